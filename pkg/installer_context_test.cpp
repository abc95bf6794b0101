#include "pkg/installer_context.h"

#include <gtest/gtest.h>

namespace {

InstalledPackage* addPackage(const std::string& name, PackageVersion version) {
  auto record = std::make_unique<InstalledPackage>(name);
  record->version = version;
  InstallerContext::instance().packages.push_back(std::move(record));
  return InstallerContext::instance().packages.back().get();
}

class InstallerContextTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallerContext::reset(); }
  void TearDown() override { InstallerContext::reset(); }
  InstallerContext& context = InstallerContext::instance();
};

TEST_F(InstallerContextTest, FindPackageIsCaseSensitiveAndTakesTheFirstOfTwo) {
  addPackage("Tessel", makeVersion(1, 0, 'f', 0));
  InstalledPackage* first = addPackage("tessel", makeVersion(6, 40, 'f', 0));
  addPackage("tessel", makeVersion(6, 41, 'f', 0));

  EXPECT_EQ(context.findPackage("tessel"), 1);
  EXPECT_EQ(context.findPackage("Tessel"), 0);
  EXPECT_EQ(context.findPackage("TESSEL"), -1);
  EXPECT_EQ(context.findPackage("tesse"), -1);
  EXPECT_EQ(context.packageByName("tessel"), first);
  EXPECT_EQ(context.packageByName("tessel2"), nullptr);
}

TEST_F(InstallerContextTest, PackageByNameFindsTheEmptyNameOnlyWhenARecordHasIt) {
  addPackage("tessel", 1);
  EXPECT_EQ(context.packageByName(""), nullptr);
  EXPECT_EQ(context.findPackage(""), -1);

  InstalledPackage* unnamed = addPackage("", 2);
  addPackage("", 3);
  EXPECT_EQ(context.packageByName(""), unnamed);
  EXPECT_EQ(context.findPackage(""), 1);
}

TEST_F(InstallerContextTest, ResetEmptiesTheContextItWasReachedThrough) {
  addPackage("tessel", 1);
  context.architecture = "powerpc";
  context.statusLine = "working";
  context.messageLog.push_back("done");
  context.quiet = true;

  InstallerContext::reset();

  EXPECT_EQ(&InstallerContext::instance(), &context);
  EXPECT_TRUE(context.packages.empty());
  EXPECT_TRUE(context.architecture.empty());
  EXPECT_TRUE(context.statusLine.empty());
  EXPECT_TRUE(context.messageLog.empty());
  EXPECT_FALSE(context.quiet);
}

}  // namespace
