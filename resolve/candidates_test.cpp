// Reading the upload directories, and the selection on the records it
// yields. The selection and evaluation rules themselves are covered by the
// golden scenarios (scenario_test.cpp).
#include "resolve/candidates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "console/console.h"
#include "device/flash_probe.h"
#include "package_writer.h"
#include "pkg/installer_context.h"
#include "test_root.h"

namespace {

std::string fileText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string packageFile(const std::string& name, PackageVersion version, uint32_t buildTime = 1) {
  PackageSpec spec;
  spec.name = name;
  spec.version = version;
  spec.buildTime = buildTime;
  return fileText(buildPackage(spec));
}

std::string bundleFile(const std::string& name, PackageVersion version,
                       const std::vector<std::string>& members) {
  BundleSpec spec;
  spec.name = name;
  spec.version = version;
  for (const std::string& member : members) {
    PackageSpec memberSpec;
    memberSpec.name = member;
    memberSpec.version = version;
    spec.members.push_back(buildPackageParts(memberSpec));
  }
  return fileText(buildBundle(spec));
}

/// An upload directory of its own, with the console captured.
class UploadScan : public testing::Test {
 protected:
  void SetUp() override {
    InstallerContext::reset();
    setConsoleOutput(&console_);
    directory_ = makeTemporaryDirectory("upload") + "/";
    ASSERT_NE("/", directory_);
  }
  void TearDown() override {
    setConsoleOutput(nullptr);
    removeTree(directory_);
    InstallerContext::reset();
  }

  void put(const std::string& name, const std::string& content) {
    ASSERT_TRUE(writeFile(directory_ + name, content));
  }
  PackageFileList scan() {
    PackageFileList records;
    scanUploadDirectory(directory_, records);
    return records;
  }
  std::string output() const { return console_.str(); }

  std::string directory_;
  std::ostringstream console_;
};

TEST_F(UploadScan, OnlyLowerCaseSuffixesWithoutLeadingDotAreRead) {
  put("a.qbx", packageFile("alpha", makeVersion(1, 0, 'f', 0)));
  put("b.QBX", packageFile("bravo", makeVersion(1, 0, 'f', 0)));
  put(".c.qbx", packageFile("charlie", makeVersion(1, 0, 'f', 0)));
  put("d.qbx.txt", packageFile("delta", makeVersion(1, 0, 'f', 0)));
  put("qbx", packageFile("echo", makeVersion(1, 0, 'f', 0)));

  PackageFileList records = scan();

  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("alpha", records[0]->name);
  EXPECT_EQ(directory_ + "a.qbx", records[0]->path);
  EXPECT_EQ("", output());
}

TEST_F(UploadScan, BundleFilesAreReadWithTheirMembers) {
  put("full.qbd", bundleFile("quorilan", makeVersion(6, 40, 'f', 0), {"tessel", "web"}));

  PackageFileList records = scan();

  ASSERT_EQ(1u, records.size());
  EXPECT_TRUE(records[0]->isBundle);
  ASSERT_EQ(2u, records[0]->members.size());
  EXPECT_EQ("web", records[0]->members[1]->name);
}

TEST_F(UploadScan, BrokenFileIsReportedByItsEntryNameAndSkipped) {
  put("good.qbx", packageFile("good", makeVersion(1, 0, 'f', 0)));
  put("bad.qbd", "not a package at all");
  std::string truncated = packageFile("cut", makeVersion(1, 0, 'f', 0));
  put("cut.qbx", truncated.substr(0, truncated.size() - 1));

  PackageFileList records = scan();

  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("good", records[0]->name);
  std::string text = output();
  EXPECT_NE(std::string::npos, text.find("ERROR: broken package bad.qbd\n")) << text;
  EXPECT_NE(std::string::npos, text.find("ERROR: broken package cut.qbx\n")) << text;
  EXPECT_EQ(std::string::npos, text.find(directory_)) << "messages name the entry, not the path";
}

TEST_F(UploadScan, EntriesThatAreNotRegularFilesAreBrokenWithoutBlocking) {
  // Opening a FIFO for reading would wait for a writer forever.
  ASSERT_EQ(0, mkfifo((directory_ + "pipe.qbx").c_str(), 0644));
  ASSERT_EQ(0, mkdir((directory_ + "folder.qbd").c_str(), 0755));
  ASSERT_EQ(0, symlink("/dev/null", (directory_ + "device.qbx").c_str()));
  alarm(20);

  PackageFileList records = scan();

  alarm(0);
  EXPECT_TRUE(records.empty());
  std::string text = output();
  EXPECT_NE(std::string::npos, text.find("ERROR: broken package pipe.qbx\n")) << text;
  EXPECT_NE(std::string::npos, text.find("ERROR: broken package folder.qbd\n")) << text;
  EXPECT_NE(std::string::npos, text.find("ERROR: broken package device.qbx\n")) << text;
}

TEST_F(UploadScan, UnopenableDirectoryAddsNothingSilently) {
  PackageFileList records;
  records.push_back(std::make_unique<PackageFileRecord>());
  put("plain-file", "x");

  scanUploadDirectory(directory_ + "missing/", records);
  scanUploadDirectory(directory_ + "plain-file/", records);

  EXPECT_EQ(1u, records.size());
  EXPECT_EQ("", output());
}

TEST_F(UploadScan, RecordsAreAppendedBehindWhatTheListHolds) {
  put("x.qbx", packageFile("x", makeVersion(1, 0, 'f', 0)));
  PackageFileList records;
  records.push_back(std::make_unique<PackageFileRecord>());
  records[0]->name = "earlier";

  scanUploadDirectory(directory_, records);

  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("earlier", records[0]->name);
  EXPECT_EQ("x", records[1]->name);
}

TEST_F(UploadScan, SelectionOnScannedFilesKeepsTheOwnedRecords) {
  put("old.qbx", packageFile("x", makeVersion(6, 40, 'f', 0)));
  put("new.qbx", packageFile("x", makeVersion(6, 41, 'f', 0)));
  put("same1.qbx", packageFile("twin", makeVersion(1, 0, 'f', 0), 7));
  put("same2.qbx", packageFile("twin", makeVersion(1, 0, 'f', 0), 7));
  PackageFileList records = scan();
  ASSERT_EQ(4u, records.size());
  std::vector<PackageFileRecord*> candidates;
  for (const auto& record : records) candidates.push_back(record.get());

  selectCandidates(candidates, false, true);

  ASSERT_EQ(1u, candidates.size());
  EXPECT_EQ(directory_ + "new.qbx", candidates[0]->path);
  EXPECT_EQ(4u, records.size());
  EXPECT_EQ("WARNING: omitting package x-6.40: newer package is already provided\n", output());
}

TEST(DeviceLimits, NamesSubjectToTheLimits) {
  EXPECT_TRUE(isSubjectToDeviceLimits("tessel"));
  EXPECT_TRUE(isSubjectToDeviceLimits("quorilan"));
  EXPECT_TRUE(isSubjectToDeviceLimits("quorilan-extra"));
  EXPECT_FALSE(isSubjectToDeviceLimits("tessel2"));
  EXPECT_FALSE(isSubjectToDeviceLimits("quorila"));
  EXPECT_FALSE(isSubjectToDeviceLimits("Quorilan"));
  EXPECT_FALSE(isSubjectToDeviceLimits(""));
}

TEST(DeviceLimits, WithoutReportNothingIsPrinted) {
  InstallerContext::reset();
  std::ostringstream console;
  setConsoleOutput(&console);
  deviceProbes().systemVersion = [] { return makeVersion(6, 40, 'f', 0); };
  deviceProbes().largeBlockFlash = [] { return true; };
  PackageRecord old("tessel");
  old.version = makeVersion(3, 0, 'f', 0);
  PackageRecord current("tessel");
  current.version = makeVersion(6, 40, 'f', 0);

  EXPECT_FALSE(checkDeviceLimits(old, false));
  EXPECT_TRUE(checkDeviceLimits(current, false));

  EXPECT_EQ("", console.str());
  setConsoleOutput(nullptr);
  resetDeviceProbes();
}

}  // namespace
