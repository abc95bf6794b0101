#include "resolve/relations.h"

#include <gtest/gtest.h>

#include <sstream>

#include "install_fixture.h"
#include "model/installer_context.h"

namespace {

// "name[:min[:max[:priority]]]", empty fields being 0.
PackageRef refOf(const std::string& text) {
  std::istringstream in(text);
  std::string name, minText, maxText, priorityText;
  std::getline(in, name, ':');
  std::getline(in, minText, ':');
  std::getline(in, maxText, ':');
  std::getline(in, priorityText, ':');
  return ref(name, minText.c_str(), maxText.c_str(), priorityText.empty() ? 0 : std::stoi(priorityText));
}

// Fills a record from "name version [time=N] [inert] [disabled] [dep=REF]
// [prov=REF] [conf=REF] ..."; returns whether "disabled" was given.
bool describe(PackageRecord& record, const std::string& description) {
  std::istringstream in(description);
  std::string versionText, word;
  in >> record.name >> versionText;
  record.version = version(versionText.c_str());
  bool disabled = false;
  while (in >> word) {
    std::string key = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
    if (key == "inert") record.version = record.buildTime = INERT_VALUE;
    else if (key == "disabled") disabled = true;
    else if (key == "time") record.buildTime = static_cast<uint32_t>(std::stoul(value));
    else if (key == "dep") record.deps.push_back(refOf(value));
    else if (key == "prov") record.provides.push_back(refOf(value));
    else if (key == "conf") record.conflicts.push_back(refOf(value));
    else ADD_FAILURE() << "bad word " << word;
  }
  return disabled;
}

class RelationsTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallerContext::reset(); }
  void TearDown() override { InstallerContext::reset(); }

  // A record owned by the fixture; " | " separates a bundle (read from a
  // package file) from each of its members.
  PackageRecord& rec(const std::string& description) {
    owned.push_back(std::make_unique<PackageRecord>());
    PackageRecord& record = *owned.back();
    size_t end = description.find(" | ");
    describe(record, description.substr(0, end));
    while (end != std::string::npos) {
      size_t start = end + 3;
      end = description.find(" | ", start);
      record.isBundle = true;
      record.members.push_back(std::make_unique<PackageRecord>());
      describe(*record.members.back(), description.substr(start, end - start));
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

struct Row {
  const char* a;
  const char* b;
  bool expected;
};

TEST_F(RelationsTest, SatisfiesAndProvideMatchWithInclusiveBounds) {
  const Row satisfied[] = {
      {"tessel 0.1", "tessel", true},           {"tessel 6.40", "tessel:6.40", true},
      {"tessel 6.41beta3", "tessel:6.40", true}, {"tessel 6.40rc1", "tessel:6.40", false},
      {"tessel 6.41", "tessel::6.41", true},    {"tessel 6.41.1", "tessel::6.41", false},
      {"tessel 6.40", "tessel:6.40:6.40", true}, {"Tessel 6.40", "tessel", false},
      {"tessel2 6.40", "tessel", false},
  };
  for (const Row& row : satisfied) EXPECT_EQ(satisfies(rec(row.a), refOf(row.b)), row.expected) << row.a << " / " << row.b;

  const Row provided[] = {
      {"x", "x:6.41:7.0", true},          {"x:6.40:6.40", "x:6.41", false}, {"x:6.40:6.40", "x::6.40", true},
      {"x:6.40:6.40", "x:6.40", true},    {"x:6.42", "x::6.41", false},     {"x:6.42", "x::6.42", true},
      {"x:::-5", "x", true},              {"y", "x", false},
  };
  for (const Row& row : provided) EXPECT_EQ(provideMatches(refOf(row.a), refOf(row.b)), row.expected) << row.a << " / " << row.b;

  PackageRecord& provider = rec("alt 1.0 prov=a prov=x:6.42");
  EXPECT_TRUE(providesFor(provider, refOf("x:6.43")));
  EXPECT_FALSE(providesFor(provider, refOf("x::6.41")));
  EXPECT_FALSE(providesFor(provider, refOf("alt")));
}

TEST_F(RelationsTest, Excludes) {
  const char* quorilan = "quorilan 6.40 | tessel 6.40 | wardle 6.40 conf=web";
  const Row rows[] = {
      // Inert records exclude nothing and are not excluded.
      {"a 1.0 conf=b", "b 1.0", true}, {"a 1.0 conf=b", "b 1.0 inert", false},
      {"a 1.0 inert conf=b", "b 1.0", false}, {"a 1.0 prov=b", "b 1.0 inert", false},
      // Shared provides exclude only towards the lower priority, compared signed.
      {"a 1.0 prov=x:::5", "b 1.0 prov=x:::3", true}, {"b 1.0 prov=x:::3", "a 1.0 prov=x:::5", false},
      {"b 1.0 prov=x:::3", "c 1.0 prov=x:::3", false}, {"c 1.0 prov=x:::3", "b 1.0 prov=x:::3", false},
      {"b 1.0 prov=x:::3", "d 1.0 prov=x:::-1", true}, {"d 1.0 prov=x:::-1", "b 1.0 prov=x:::3", false},
      {"d 1.0 prov=x:::-1", "e 1.0 prov=x:::-2", true}, {"e 1.0 prov=x:::-2", "d 1.0 prov=x:::-1", false},
      // Providing another package's own name; B's entry with priority 0
      // decides "no" before A's conflict with x, which B also provides.
      {"a 1.0 prov=b:::0", "b 1.0", true}, {"a 1.0 prov=b:::-1", "b 1.0", false},
      {"a 1.0 conf=x", "b 1.0 prov=a:::-1", true}, {"a 1.0 conf=x", "b 1.0 prov=a:::0 prov=x", false},
      {"a 1.0 conf=x", "b 1.0 prov=x", true},
      // Conflicts match own names and provided names.
      {"a 1.0 conf=web:2.0", "web 2.1", true}, {"a 1.0 conf=web:2.0", "web 1.9", false},
      {"a 1.0 conf=web:2.0", "alt 1.0 prov=web", true}, {"a 1.0 conf=web:2.0", "alt 1.0 prov=web::1.9", false},
      {"web 2.1", "a 1.0 conf=web:2.0", false},
      // Bundle members take part.
      {"tessel 6.39", quorilan, true}, {"other 6.39", quorilan, false},
      {quorilan, "web 1.0", true}, {quorilan, "mail 1.0", false},
  };
  for (const Row& row : rows) EXPECT_EQ(excludes(rec(row.a), rec(row.b)), row.expected) << row.a << " / " << row.b;
}

TEST_F(RelationsTest, DependsOnThroughDepsProvidesAndMembers) {
  const char* app = "app 1.0 dep=tessel:6.40";
  const char* extras = "extras 1.0 | mail 1.0 | proxy 1.0 dep=web";
  const Row rows[] = {
      {app, "tessel 6.41", true}, {app, "tessel 6.39", false}, {"tessel 6.41", app, false},
      {app, "alt 1.0 prov=tessel", true}, {app, "alt 1.0 prov=tessel::6.39", false},
      {app, "quorilan 1.0 | wardle 1.0 | tessel 6.41", true}, {app, "quorilan 1.0 | tessel 6.39", false},
      {extras, "web 2.0", true}, {extras, "ftp 2.0", false},
  };
  for (const Row& row : rows) EXPECT_EQ(dependsOn(rec(row.a), rec(row.b)), row.expected) << row.a << " / " << row.b;

  PackageRecord& bundle = rec("quorilan 6.40 | tessel 6.40 | wardle 6.40");
  EXPECT_TRUE(carries(bundle, "quorilan"));
  EXPECT_TRUE(carries(bundle, "wardle"));
  EXPECT_FALSE(carries(bundle, "Wardle"));
  EXPECT_FALSE(carries(rec("tessel 1.0"), "wardle"));
}

TEST_F(RelationsTest, CompareVersionsByVersionThenBuildTimeFollowingBundleMembers) {
  // The bundle's own version is older than both, so only the member counts;
  // the sign follows the argument order.
  const char* bundle = "quorilan 1.0 | wardle 9.0 | tessel 6.40";
  const struct {
    const char* a;
    const char* b;
    int expected;
  } rows[] = {
      {"tessel 6.41", "tessel 6.40 time=900", 1}, {"tessel 6.40 time=900", "tessel 6.41", -1},
      {"tessel 6.40 time=200", "tessel 6.40 time=100", 1}, {"tessel 6.40 time=100", "tessel 6.40 time=200", -1},
      {"tessel 6.40 time=100", "tessel 6.40 time=100", 0}, {"tessel 6.41", "wardle 6.40", 0},
      {bundle, "tessel 6.39", 1}, {"tessel 6.39", bundle, -1},
      {bundle, "tessel 6.41", -1}, {"tessel 6.41", bundle, 1}, {bundle, "mail 1.0", 0},
  };
  for (const auto& row : rows) {
    PackageRecord& a = rec(row.a);
    PackageRecord& b = rec(row.b);
    EXPECT_EQ(compareVersions(a, b), row.expected) << row.a << " / " << row.b;
    EXPECT_EQ(compareVersionsDirected(a, b, false), row.expected);
    EXPECT_EQ(compareVersionsDirected(a, b, true), -row.expected);
  }
}

TEST_F(RelationsTest, ProvidersOfKeepsListOrderAndSkipsInertAndDisabled) {
  InstalledPackage* oldWeb = install("web 1.0 disabled");
  InstalledPackage* proxy = install("proxy 2.0 prov=web");
  install("web 3.0 inert");
  InstalledPackage* web = install("web 2.0");
  InstalledPackage* mail = install("mail 2.0 prov=web::0.5");

  EXPECT_EQ(providersOf(refOf("web"), false), (std::vector<InstalledPackage*>{proxy, web, mail}));
  EXPECT_EQ(providersOf(refOf("web"), true), (std::vector<InstalledPackage*>{oldWeb, proxy, web, mail}));
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
