#include "pkg/package_record.h"

#include <gtest/gtest.h>

TEST(VersionText, FinalReleasesPrintTheirPointNumberOnlyWhenSet) {
  EXPECT_EQ(versionText(makeVersion(6, 40, 'f', 5)), "6.40.5");
  EXPECT_EQ(versionText(makeVersion(6, 40, 'f', 0)), "6.40");
}

TEST(VersionText, PreReleasesCarryTheirSuffix) {
  EXPECT_EQ(versionText(makeVersion(6, 41, 'b', 3)), "6.41beta3");
  EXPECT_EQ(versionText(makeVersion(6, 38, 'a', 12)), "6.38alpha12");
  EXPECT_EQ(versionText(makeVersion(7, 0, 'c', 0)), "7.0rc");
}

TEST(VersionText, ZeroAndUnknownKindsPrintNoSuffix) {
  EXPECT_EQ(versionText(0), "0.0");
  EXPECT_EQ(versionText(makeVersion(6, 0, 'x', 3)), "6.03");
}

TEST(VersionOrder, PreReleasesOrderBeforeTheFinalRelease) {
  EXPECT_LT(makeVersion(6, 41, 'b', 3), makeVersion(6, 41, 'c', 0));
  EXPECT_LT(makeVersion(6, 41, 'c', 0), makeVersion(6, 41, 'f', 0));
  EXPECT_LT(makeVersion(6, 41, 'f', 0), makeVersion(6, 41, 'f', 1));
}

TEST(ParseVersion, ReadsEveryFormThatVersionTextWrites) {
  const PackageVersion samples[] = {
      makeVersion(6, 40, 'f', 5), makeVersion(6, 40, 'f', 0), makeVersion(6, 41, 'b', 3),
      makeVersion(7, 0, 'c', 0),  makeVersion(3, 20, 'c', 2), makeVersion(6, 38, 'a', 12),
      makeVersion(255, 255, 'f', 255)};
  for (PackageVersion v : samples) {
    PackageVersion parsed = 0;
    ASSERT_TRUE(parseVersion(versionText(v), parsed)) << versionText(v);
    EXPECT_EQ(parsed, v) << versionText(v);
  }
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
  PackageRef open{"tessel", 0, 0, 0};
  EXPECT_EQ(refText(open), "tessel");
  PackageRef bounded{"tessel", makeVersion(6, 40, 'f', 5), 0, 0};
  EXPECT_EQ(refText(bounded), "tessel-6.40.5");

  InstalledPackage member("wardle");
  member.version = makeVersion(1, 2, 'f', 0);
  EXPECT_EQ(displayName(member), "wardle-1.2");
  member.bundle = PackageRef{"quorilan", makeVersion(6, 40, 'f', 5), makeVersion(6, 40, 'f', 5), 0};
  EXPECT_EQ(displayName(member), "quorilan-6.40.5");
}

TEST(PackageName, OnlyNamesThatStayInsideTheDatabaseAreSafe) {
  for (const char* name : {"tessel", "media-kit", "a.b", "...", "x_1"}) EXPECT_TRUE(isSafePackageName(name)) << name;
  for (const char* name : {"", ".", "..", "a/b", "/", "a b", "tab\there", "nl\n", "del\x7f"})
    EXPECT_FALSE(isSafePackageName(name)) << name;
  EXPECT_FALSE(isSafePackageName(std::string("nul\0in", 6)));
}
