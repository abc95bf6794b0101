// Reading the upload directories; what becomes of the records is in the
// golden scenarios, broken and blocking uploads are also run end to end.
#include "resolve/candidates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "console/console.h"
#include "install_fixture.h"

// Only "*.qbx" and "*.qbd" entries without a leading dot are read, and
// appended; one that is not a regular file is broken, named by its entry.
// A directory that cannot be opened adds nothing, silently.
TEST(UploadScan, ReadsPackageFilesAndNamesBrokenEntries) {
  TestRoot root;
  const std::string directory = root.at("/flash/rw/pckg/"), alpha = bytesText(buildPackage(package("alpha", "1.0")));
  for (const char* name : {"a.qbx", "b.QBX", ".c.qbx", "d.qbx.txt", "qbx", "e.qbd"}) ASSERT_TRUE(writeFile(directory + name, alpha));
  ASSERT_EQ(mkdir((directory + "folder.qbd").c_str(), 0755), 0);
  std::ostringstream console;
  setConsoleOutput(&console);
  PackageFileList records;
  records.push_back(std::make_unique<PackageFileRecord>());
  for (const char* subdirectory : {"", "missing/", "a.qbx/"}) scanUploadDirectory(directory + subdirectory, records);
  setConsoleOutput(nullptr);
  std::multiset<std::string> found;
  for (const auto& record : records) found.insert(record->name + " " + record->path);
  EXPECT_EQ(records[0]->path, "");
  EXPECT_EQ(found, (std::multiset<std::string>{" ", "alpha " + directory + "a.qbx", "alpha " + directory + "e.qbd"}));
  EXPECT_EQ(console.str(), "ERROR: broken package folder.qbd\n");
}
