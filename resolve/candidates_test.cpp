// Reading the upload directories; what becomes of the records is in the
// golden scenarios (scenario_test.cpp).
#include "resolve/candidates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "console/console.h"
#include "install_fixture.h"

// Only "*.qbx" and "*.qbd" entries without a leading dot are read and
// appended; a broken one is named by its entry, and one that is not a
// regular file is broken without being opened (a FIFO would block).
// A directory that cannot be opened adds nothing, silently.
TEST(UploadScan, ReadsPackageFilesAndNamesBrokenEntries) {
  TestRoot root;
  const std::string directory = root.at("/flash/rw/pckg/");
  std::string cut = bytesText(buildPackage(package("cut", "1.0")));
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.members = {buildPackageParts(package("tessel", "6.40")), buildPackageParts(package("web", "6.40"))};
  for (const auto& [name, content] : std::map<std::string, std::string>{
           {"a.qbx", bytesText(buildPackage(package("alpha", "1.0")))}, {"b.QBX", cut}, {".c.qbx", cut}, {"d.qbx.txt", cut},
           {"qbx", cut}, {"full.qbd", bytesText(buildBundle(bundle))}, {"bad.qbd", "not a package"},
           {"cut.qbx", cut.substr(0, cut.size() - 1)}})
    ASSERT_TRUE(writeFile(directory + name, content));
  ASSERT_EQ(mkfifo((directory + "pipe.qbx").c_str(), 0644) | mkdir((directory + "folder.qbd").c_str(), 0755) |
                symlink("/dev/null", (directory + "device.qbx").c_str()),
            0);
  std::ostringstream console;
  setConsoleOutput(&console);
  PackageFileList records;
  records.push_back(std::make_unique<PackageFileRecord>());
  alarm(20);
  scanUploadDirectory(directory, records);
  scanUploadDirectory(directory + "missing/", records);
  scanUploadDirectory(directory + "a.qbx/", records);
  alarm(0);
  setConsoleOutput(nullptr);
  std::multiset<std::string> found, messages;
  for (const auto& record : records) found.insert(record->name + " " + record->path);
  EXPECT_EQ(records[0]->path, "");  // appended after what the list held
  EXPECT_EQ(found, (std::multiset<std::string>{" ", "alpha " + directory + "a.qbx", "quorilan " + directory + "full.qbd"}));
  std::istringstream lines(console.str());
  for (std::string line; std::getline(lines, line);) messages.insert(line);
  EXPECT_EQ(messages, (std::multiset<std::string>{"ERROR: broken package bad.qbd", "ERROR: broken package cut.qbx",
                                                  "ERROR: broken package device.qbx", "ERROR: broken package folder.qbd",
                                                  "ERROR: broken package pipe.qbx"}));
}
