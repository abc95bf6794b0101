#include "resolve/relations.h"

#include <gtest/gtest.h>

#include <sstream>

#include "pkg/installer_context.h"

namespace {

// "6.40", "6.41beta3"; the empty text is 0 (an open bound).
PackageVersion version(const std::string& text) {
  PackageVersion value = 0;
  if (!text.empty() && !parseVersion(text, value)) ADD_FAILURE() << "bad version " << text;
  return value;
}

// "name[:min[:max[:priority]]]", empty fields being 0.
PackageRef refOf(const std::string& text) {
  std::istringstream in(text);
  std::string name, minText, maxText, priorityText;
  std::getline(in, name, ':');
  std::getline(in, minText, ':');
  std::getline(in, maxText, ':');
  std::getline(in, priorityText, ':');
  int32_t priority = priorityText.empty() ? 0 : std::stoi(priorityText);
  return PackageRef{name, version(minText), version(maxText), priority};
}

// Fills a record from "name version [time=N] [inert] [disabled] [dep=REF]
// [prov=REF] [conf=REF] ..."; returns whether "disabled" was given.
bool describe(PackageRecord& record, const std::string& description) {
  std::istringstream in(description);
  std::string versionText, word;
  in >> record.name >> versionText;
  record.version = version(versionText);
  bool disabled = false;
  while (in >> word) {
    std::string value = word.substr(word.find('=') + 1);
    if (word == "inert") {
      record.version = record.buildTime = INERT_VALUE;
    } else if (word == "disabled") {
      disabled = true;
    } else if (word.rfind("time=", 0) == 0) {
      record.buildTime = static_cast<uint32_t>(std::stoul(value));
    } else if (word.rfind("dep=", 0) == 0) {
      record.deps.push_back(refOf(value));
    } else if (word.rfind("prov=", 0) == 0) {
      record.provides.push_back(refOf(value));
    } else if (word.rfind("conf=", 0) == 0) {
      record.conflicts.push_back(refOf(value));
    } else {
      ADD_FAILURE() << "bad word " << word;
    }
  }
  return disabled;
}

class RelationsTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallerContext::reset(); }
  void TearDown() override { InstallerContext::reset(); }

  // A record owned by the fixture.
  PackageRecord& rec(const std::string& description) {
    owned.push_back(std::make_unique<PackageRecord>());
    describe(*owned.back(), description);
    return *owned.back();
  }

  // A bundle read from a package file, with its members.
  PackageRecord& bundle(const std::string& description, std::initializer_list<const char*> members) {
    PackageRecord& record = rec(description);
    record.isBundle = true;
    for (const char* member : members) {
      record.members.push_back(std::make_unique<PackageRecord>());
      describe(*record.members.back(), member);
    }
    return record;
  }

  // An installed package appended to the context's list.
  InstalledPackage* install(const std::string& description) {
    auto package = std::make_unique<InstalledPackage>();
    package->disabled = describe(*package, description);
    InstallerContext::instance().packages.push_back(std::move(package));
    return InstallerContext::instance().packages.back().get();
  }

  std::vector<std::unique_ptr<PackageRecord>> owned;
};

TEST_F(RelationsTest, SatisfiesWithInclusiveBoundsAndExactName) {
  EXPECT_TRUE(satisfies(rec("tessel 0.1"), refOf("tessel")));
  EXPECT_TRUE(satisfies(rec("tessel 6.40"), refOf("tessel:6.40")));
  EXPECT_TRUE(satisfies(rec("tessel 6.41beta3"), refOf("tessel:6.40")));
  EXPECT_FALSE(satisfies(rec("tessel 6.40rc1"), refOf("tessel:6.40")));
  EXPECT_TRUE(satisfies(rec("tessel 6.41"), refOf("tessel::6.41")));
  EXPECT_FALSE(satisfies(rec("tessel 6.41.1"), refOf("tessel::6.41")));
  EXPECT_TRUE(satisfies(rec("tessel 6.40"), refOf("tessel:6.40:6.40")));
  EXPECT_FALSE(satisfies(rec("Tessel 6.40"), refOf("tessel")));
  EXPECT_FALSE(satisfies(rec("tessel2 6.40"), refOf("tessel")));
}

TEST_F(RelationsTest, ProvideMatchesWhenRangesOverlap) {
  EXPECT_TRUE(provideMatches(refOf("x"), refOf("x:6.41:7.0")));
  EXPECT_FALSE(provideMatches(refOf("x:6.40:6.40"), refOf("x:6.41")));
  EXPECT_TRUE(provideMatches(refOf("x:6.40:6.40"), refOf("x::6.40")));
  EXPECT_TRUE(provideMatches(refOf("x:6.40:6.40"), refOf("x:6.40")));
  EXPECT_FALSE(provideMatches(refOf("x:6.42"), refOf("x::6.41")));
  EXPECT_TRUE(provideMatches(refOf("x:6.42"), refOf("x::6.42")));
  EXPECT_TRUE(provideMatches(refOf("x:::-5"), refOf("x")));
  EXPECT_FALSE(provideMatches(refOf("y"), refOf("x")));

  PackageRecord& provider = rec("alt 1.0 prov=a prov=x:6.42");
  EXPECT_TRUE(providesFor(provider, refOf("x:6.43")));
  EXPECT_FALSE(providesFor(provider, refOf("x::6.41")));
  EXPECT_FALSE(providesFor(provider, refOf("alt")));
}

TEST_F(RelationsTest, InertRecordsExcludeNothingAndAreNotExcluded) {
  EXPECT_TRUE(excludes(rec("a 1.0 conf=b"), rec("b 1.0")));
  EXPECT_FALSE(excludes(rec("a 1.0 conf=b"), rec("b 1.0 inert")));
  EXPECT_FALSE(excludes(rec("a 1.0 inert conf=b"), rec("b 1.0")));
  EXPECT_FALSE(excludes(rec("a 1.0 prov=b"), rec("b 1.0 inert")));
}

TEST_F(RelationsTest, SharedProvidesExcludeOnlyTowardsTheLowerPriority) {
  PackageRecord& high = rec("a 1.0 prov=x:::5");
  PackageRecord& low = rec("b 1.0 prov=x:::3");
  PackageRecord& same = rec("c 1.0 prov=x:::3");
  EXPECT_TRUE(excludes(high, low));
  EXPECT_FALSE(excludes(low, high));
  EXPECT_FALSE(excludes(low, same));
  EXPECT_FALSE(excludes(same, low));

  // Priorities compare signed.
  PackageRecord& minusOne = rec("d 1.0 prov=x:::-1");
  PackageRecord& minusTwo = rec("e 1.0 prov=x:::-2");
  EXPECT_TRUE(excludes(low, minusOne));
  EXPECT_FALSE(excludes(minusOne, low));
  EXPECT_TRUE(excludes(minusOne, minusTwo));
  EXPECT_FALSE(excludes(minusTwo, minusOne));
}

TEST_F(RelationsTest, ProvidingAnotherPackagesOwnName) {
  PackageRecord& b = rec("b 1.0");
  EXPECT_TRUE(excludes(rec("a 1.0 prov=b:::0"), b));
  EXPECT_FALSE(excludes(rec("a 1.0 prov=b:::-1"), b));

  // B names A with a negative priority: A keeps B out.
  PackageRecord& a = rec("a 1.0 conf=x");
  EXPECT_TRUE(excludes(a, rec("b 1.0 prov=a:::-1")));
  // With priority 0 that entry decides "no", before A's conflict with x,
  // which B also provides, is looked at.
  EXPECT_FALSE(excludes(a, rec("b 1.0 prov=a:::0 prov=x")));
  EXPECT_TRUE(excludes(a, rec("b 1.0 prov=x")));
}

TEST_F(RelationsTest, ConflictsMatchOwnNamesAndProvidedNames) {
  PackageRecord& a = rec("a 1.0 conf=web:2.0");
  EXPECT_TRUE(excludes(a, rec("web 2.1")));
  EXPECT_FALSE(excludes(a, rec("web 1.9")));
  EXPECT_TRUE(excludes(a, rec("alt 1.0 prov=web")));
  EXPECT_FALSE(excludes(a, rec("alt 1.0 prov=web::1.9")));
  EXPECT_FALSE(excludes(rec("web 2.1"), a));
}

TEST_F(RelationsTest, BundleMembersTakePartInExclusion) {
  PackageRecord& quorilan = bundle("quorilan 6.40", {"tessel 6.40", "wardle 6.40 conf=web"});
  EXPECT_TRUE(excludes(rec("tessel 6.39"), quorilan));
  EXPECT_FALSE(excludes(rec("other 6.39"), quorilan));
  EXPECT_TRUE(excludes(quorilan, rec("web 1.0")));
  EXPECT_FALSE(excludes(quorilan, rec("mail 1.0")));
}

TEST_F(RelationsTest, DependsOnThroughDepsProvidesAndMembers) {
  PackageRecord& app = rec("app 1.0 dep=tessel:6.40");
  EXPECT_TRUE(dependsOn(app, rec("tessel 6.41")));
  EXPECT_FALSE(dependsOn(app, rec("tessel 6.39")));
  EXPECT_TRUE(dependsOn(app, rec("alt 1.0 prov=tessel")));
  EXPECT_FALSE(dependsOn(app, rec("alt 1.0 prov=tessel::6.39")));
  EXPECT_FALSE(dependsOn(rec("tessel 6.41"), app));

  EXPECT_TRUE(dependsOn(app, bundle("quorilan 1.0", {"wardle 1.0", "tessel 6.41"})));
  EXPECT_FALSE(dependsOn(app, bundle("quorilan 1.0", {"tessel 6.39"})));
  PackageRecord& needsWeb = bundle("extras 1.0", {"mail 1.0", "proxy 1.0 dep=web"});
  EXPECT_TRUE(dependsOn(needsWeb, rec("web 2.0")));
  EXPECT_FALSE(dependsOn(needsWeb, rec("ftp 2.0")));
}

TEST_F(RelationsTest, CarriesOwnNameAndMemberNames) {
  PackageRecord& quorilan = bundle("quorilan 6.40", {"tessel 6.40", "wardle 6.40"});
  EXPECT_TRUE(carries(quorilan, "quorilan"));
  EXPECT_TRUE(carries(quorilan, "wardle"));
  EXPECT_FALSE(carries(quorilan, "Wardle"));
  EXPECT_FALSE(carries(rec("tessel 1.0"), "wardle"));
}

TEST_F(RelationsTest, CompareVersionsUsesBuildTimeOnEqualVersions) {
  EXPECT_EQ(compareVersions(rec("tessel 6.41"), rec("tessel 6.40 time=900")), 1);
  EXPECT_EQ(compareVersions(rec("tessel 6.40 time=900"), rec("tessel 6.41")), -1);
  EXPECT_EQ(compareVersions(rec("tessel 6.40 time=200"), rec("tessel 6.40 time=100")), 1);
  EXPECT_EQ(compareVersions(rec("tessel 6.40 time=100"), rec("tessel 6.40 time=200")), -1);
  EXPECT_EQ(compareVersions(rec("tessel 6.40 time=100"), rec("tessel 6.40 time=100")), 0);
  EXPECT_EQ(compareVersions(rec("tessel 6.41"), rec("wardle 6.40")), 0);
}

TEST_F(RelationsTest, CompareVersionsFollowsBundleMembersInArgumentOrder) {
  // The bundle's own version is older than both, so only the member counts.
  PackageRecord& quorilan = bundle("quorilan 1.0", {"wardle 9.0", "tessel 6.40"});
  PackageRecord& older = rec("tessel 6.39");
  PackageRecord& newer = rec("tessel 6.41");
  EXPECT_EQ(compareVersions(quorilan, older), 1);
  EXPECT_EQ(compareVersions(older, quorilan), -1);
  EXPECT_EQ(compareVersions(quorilan, newer), -1);
  EXPECT_EQ(compareVersions(newer, quorilan), 1);
  EXPECT_EQ(compareVersions(quorilan, rec("mail 1.0")), 0);

  EXPECT_EQ(compareVersionsDirected(quorilan, older, false), 1);
  EXPECT_EQ(compareVersionsDirected(quorilan, older, true), -1);
  EXPECT_EQ(compareVersionsDirected(older, quorilan, true), 1);
}

TEST_F(RelationsTest, ProvidersOfKeepsListOrderAndSkipsInertAndDisabled) {
  InstalledPackage* oldWeb = install("web 1.0 disabled");
  InstalledPackage* proxy = install("proxy 2.0 prov=web");
  install("web 3.0 inert");
  InstalledPackage* web = install("web 2.0");
  InstalledPackage* mail = install("mail 2.0 prov=web::0.5");

  EXPECT_EQ(providersOf(refOf("web"), false), (std::vector<InstalledPackage*>{proxy, web, mail}));
  EXPECT_EQ(providersOf(refOf("web"), true),
            (std::vector<InstalledPackage*>{oldWeb, proxy, web, mail}));
  EXPECT_EQ(providersOf(refOf("web:1.5"), true), (std::vector<InstalledPackage*>{proxy, web}));
  EXPECT_TRUE(providersOf(refOf("ftp"), true).empty());
}

TEST_F(RelationsTest, ResolveNamePrefersAnEnabledMatchElseTheLastDisabled) {
  install("tessel 6.40 disabled");
  InstalledPackage* lastDisabled = install("alt 1.0 disabled prov=tessel:6.50");
  EXPECT_EQ(resolveName("tessel"), lastDisabled);

  InstalledPackage* enabledProvider = install("alt2 1.0 prov=tessel");
  install("tessel 6.41");
  EXPECT_EQ(resolveName("tessel"), enabledProvider);
  EXPECT_EQ(resolveName("alt"), lastDisabled);
  EXPECT_EQ(resolveName("Tessel"), nullptr);
}

TEST_F(RelationsTest, FirstExcluderIsTheFirstEnabledPackageExcludingTheCandidate) {
  PackageRecord& candidate = rec("tessel 6.41 conf=mail");
  install("web 1.0 disabled conf=tessel");
  install("mail 1.0");
  InstalledPackage* first = install("ftp 1.0 conf=tessel:6.41");
  install("proxy 1.0 conf=tessel");
  EXPECT_EQ(firstExcluder(candidate), first);
  // Only the installed package's side counts.
  EXPECT_EQ(firstExcluder(rec("ssh 1.0 conf=mail")), nullptr);
}

}  // namespace
