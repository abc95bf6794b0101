// Reading the upload directories. The selection and evaluation of the
// records it yields, the device limits included, are covered by the golden
// scenarios (scenario_test.cpp).
#include "resolve/candidates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "console/console.h"
#include "install_fixture.h"
#include "model/installer_context.h"

namespace {

std::string packageFile(const std::string& name, const char* versionText = "1.0", uint32_t buildTime = 1) {
  PackageDraft draft = package(name, versionText);
  draft.buildTime = buildTime;
  return bytesText(buildPackage(draft));
}

/// An upload directory of its own, with the console captured.
class UploadScan : public testing::Test {
 protected:
  void SetUp() override {
    InstallerContext::reset();
    setConsoleOutput(&console_);
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
  /// Scans the directory into a list that holds one record already.
  PackageFileList scan(const std::string& subdirectory = "") {
    PackageFileList records;
    records.push_back(std::make_unique<PackageFileRecord>());
    records[0]->name = "earlier";
    scanUploadDirectory(directory_ + subdirectory, records);
    EXPECT_EQ("earlier", records[0]->name);
    records.erase(records.begin());
    return records;
  }
  std::string output() const { return console_.str(); }

  std::string directory_ = makeTemporaryDirectory("upload") + "/";
  std::ostringstream console_;
};

TEST_F(UploadScan, OnlyLowerCaseSuffixesWithoutLeadingDotAreReadAndAppended) {
  put("a.qbx", packageFile("alpha"));
  put("b.QBX", packageFile("bravo"));
  put(".c.qbx", packageFile("charlie"));
  put("d.qbx.txt", packageFile("delta"));
  put("qbx", packageFile("echo"));
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.members = {buildPackageParts(package("tessel", "6.40")), buildPackageParts(package("web", "6.40"))};
  put("full.qbd", bytesText(buildBundle(bundle)));

  PackageFileList records = scan();

  ASSERT_EQ(2u, records.size());
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a->name < b->name; });
  EXPECT_EQ("alpha", records[0]->name);
  EXPECT_EQ(directory_ + "a.qbx", records[0]->path);
  EXPECT_TRUE(records[1]->isBundle);
  ASSERT_EQ(2u, records[1]->members.size());
  EXPECT_EQ("web", records[1]->members[1]->name);
  EXPECT_EQ("", output());
}

// A broken file is named by its entry; an entry that is not a regular file
// is broken without being opened, since opening a FIFO for reading would
// wait for a writer forever.
TEST_F(UploadScan, BrokenEntriesAreReportedByNameAndSkippedWithoutBlocking) {
  put("good.qbx", packageFile("good"));
  put("bad.qbd", "not a package at all");
  std::string truncated = packageFile("cut");
  put("cut.qbx", truncated.substr(0, truncated.size() - 1));
  ASSERT_EQ(0, mkfifo((directory_ + "pipe.qbx").c_str(), 0644));
  ASSERT_EQ(0, mkdir((directory_ + "folder.qbd").c_str(), 0755));
  ASSERT_EQ(0, symlink("/dev/null", (directory_ + "device.qbx").c_str()));
  alarm(20);

  PackageFileList records = scan();

  alarm(0);
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("good", records[0]->name);
  std::string text = output();
  for (const char* entry : {"bad.qbd", "cut.qbx", "pipe.qbx", "folder.qbd", "device.qbx"}) {
    EXPECT_NE(std::string::npos, text.find(std::string("ERROR: broken package ") + entry + "\n")) << text;
  }
  EXPECT_EQ(std::string::npos, text.find(directory_)) << "messages name the entry, not the path";
}

TEST_F(UploadScan, UnopenableDirectoryAddsNothingSilently) {
  put("plain-file", "x");
  EXPECT_TRUE(scan("missing/").empty());
  EXPECT_TRUE(scan("plain-file/").empty());
  EXPECT_EQ("", output());
}

}  // namespace
