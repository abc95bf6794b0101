#include "model/package_record.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

// Pre-releases order before the final release; every form prints and parses back, and a malformed text or a field
// above 255 leaves the version alone.
TEST(PackageRecord, VersionTextPrintsAndParsesBack) {
  PackageVersion previous = 0, parsed = 0;
  for (const auto& [version, text] : std::vector<std::pair<PackageVersion, const char*>>{
           {makeVersion(3, 20, 'a', 12), "3.20alpha12"}, {makeVersion(3, 20, 'b', 3), "3.20beta3"},
           {makeVersion(3, 20, 'c', 0), "3.20rc"}, {makeVersion(3, 20, 'c', 2), "3.20rc2"},
           {makeVersion(3, 20, 'f', 0), "3.20"}, {makeVersion(3, 20, 'f', 5), "3.20.5"},
           {makeVersion(255, 255, 'f', 255), "255.255.255"}}) {
    EXPECT_EQ(versionText(version), text);
    EXPECT_TRUE(parseVersion(text, parsed) && parsed == version && previous < version) << text;
    previous = version;
  }
  EXPECT_EQ(versionText(0) + " " + versionText(makeVersion(6, 0, 'x', 3)), "0.0 6.03");
  for (const char* text :
       {"", "6", "6.", ".40", "6.40.", "6.256", "6.40gamma1", "6.40rc1x", "6.40.5.1", "-1.2", "6.40beta256", "6.0040"})
    EXPECT_FALSE(parseVersion(text, parsed)) << text;
  EXPECT_EQ(parsed, makeVersion(255, 255, 'f', 255));
}

// A package name becomes a directory of the package database; a name of a
// relation list is stored there as one word.
TEST(PackageRecord, SafeNames) {
  for (const char* name : {"tessel", "media-kit", "a.b", "x_1"}) EXPECT_TRUE(isSafePackageName(name)) << name;
  for (const std::string& name : std::vector<std::string>{"", ".", "..", "...", ".hidden", "a/b", "/", "a b",
                                                          "tab\there", "nl\n", "del\x7f", {"nul\0in", 6}})
    EXPECT_FALSE(isSafePackageName(name)) << name;
  for (const char* name : {".hidden", "a/b", "x"}) EXPECT_TRUE(isStorableName(name)) << name;
  for (const char* name : {"", "a b", "tab\there", "cr\r", "ctl\x01", "del\x7f"}) EXPECT_FALSE(isStorableName(name)) << name;
}

// A file list holds its paths split into folder and name, yet keeps them in the byte order of whole paths: "-" and
// bytes above 127 sort around "/", a bare name and "" have no folder, and a path goes in once.
TEST(PackageRecord, FileListKeepsTheOrderOfWholePaths) {
  const std::vector<std::string> paths = {"/flash/a/z", "/flash/a-b/y", "", "/flash/a/b/x", "etc/plain", "/flash/\xe4/q",
                                          "/flash/a", "name", "/flash/a/b-c", "/", "/flash/a/b/x", "/flash/a/b"};
  PathSet files;
  std::set<std::string> expected;
  for (const std::string& path : paths) EXPECT_EQ(files.insert(path), expected.insert(path).second) << path;
  EXPECT_EQ(std::vector<std::string>(files.begin(), files.end()), std::vector<std::string>(expected.begin(), expected.end()));
  EXPECT_TRUE(files.erase("/flash/a/b") && !files.erase("/flash/a/b") && files.count("/flash/a/b/x") == 1);
  EXPECT_EQ(*files.lowerBound("/flash/a/"), "/flash/a/b-c");
  EXPECT_EQ(files.count("/flash/a/b"), 0u);
}
