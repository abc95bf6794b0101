#include "model/package_record.h"

#include <gtest/gtest.h>

TEST(VersionText, PrintsAndParsesBackEveryKind) {
  const struct {
    PackageVersion version;
    const char* text;
    bool parsesBack;
  } rows[] = {
      {makeVersion(6, 40, 'f', 5), "6.40.5", true},     {makeVersion(6, 40, 'f', 0), "6.40", true},
      {makeVersion(6, 41, 'b', 3), "6.41beta3", true},  {makeVersion(6, 38, 'a', 12), "6.38alpha12", true},
      {makeVersion(7, 0, 'c', 0), "7.0rc", true},       {makeVersion(3, 20, 'c', 2), "3.20rc2", true},
      {makeVersion(255, 255, 'f', 255), "255.255.255", true},
      {0, "0.0", false},                                {makeVersion(6, 0, 'x', 3), "6.03", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(versionText(row.version), row.text);
    PackageVersion parsed = 0;
    EXPECT_EQ(parseVersion(row.text, parsed) && parsed == row.version, row.parsesBack) << row.text;
  }
  // Pre-releases order before the final release.
  EXPECT_LT(makeVersion(6, 41, 'b', 3), makeVersion(6, 41, 'c', 0));
  EXPECT_LT(makeVersion(6, 41, 'c', 0), makeVersion(6, 41, 'f', 0));
  EXPECT_LT(makeVersion(6, 41, 'f', 0), makeVersion(6, 41, 'f', 1));
}

TEST(ParseVersion, RefusesMalformedText) {
  PackageVersion parsed = 42;
  for (const char* text : {"", "6", "6.", ".40", "6.40.", "6.256", "6.40gamma1", "6.40rc1x",
                           "6.40.5.1", "-1.2", "6.40beta256", "6.0040"}) {
    EXPECT_FALSE(parseVersion(text, parsed)) << text;
  }
  EXPECT_EQ(parsed, 42u);
}

TEST(RecordText, RefTextAndDisplayName) {
  EXPECT_EQ(refText(PackageRef{"tessel", 0, 0, 0}), "tessel");
  EXPECT_EQ(refText(PackageRef{"tessel", makeVersion(6, 40, 'f', 5), 0, 0}), "tessel-6.40.5");
  InstalledPackage member("wardle");
  member.version = makeVersion(1, 2, 'f', 0);
  EXPECT_EQ(displayName(member), "wardle-1.2");
  member.bundle = PackageRef{"quorilan", makeVersion(6, 40, 'f', 5), makeVersion(6, 40, 'f', 5), 0};
  EXPECT_EQ(displayName(member), "quorilan-6.40.5");
}

// A package name becomes a directory of the package database.
TEST(PackageName, OnlyNamesThatStayInsideTheDatabaseAreSafe) {
  for (const char* name : {"tessel", "media-kit", "a.b", "...", "x_1"}) EXPECT_TRUE(isSafePackageName(name)) << name;
  for (const char* name : {"", ".", "..", "a/b", "/", "a b", "tab\there", "nl\n", "del\x7f"})
    EXPECT_FALSE(isSafePackageName(name)) << name;
  EXPECT_FALSE(isSafePackageName(std::string("nul\0in", 6)));
}
