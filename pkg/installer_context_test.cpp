#include "pkg/installer_context.h"

#include <gtest/gtest.h>

namespace {

class InstallerContextTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallerContext::reset(); }
  void TearDown() override { InstallerContext::reset(); }

  InstalledPackage* add(const std::string& name) {
    context.packages.push_back(std::make_unique<InstalledPackage>(name));
    return context.packages.back().get();
  }

  InstallerContext& context = InstallerContext::instance();
};

// Names compare case-sensitively and whole; the first of two records of
// one name wins; the empty name is found only when a record has it.
TEST_F(InstallerContextTest, LookupsTakeTheFirstExactMatch) {
  add("Tessel");
  InstalledPackage* first = add("tessel");
  add("tessel");
  EXPECT_EQ(context.findPackage("tessel"), 1);
  EXPECT_EQ(context.findPackage("Tessel"), 0);
  for (const char* missing : {"TESSEL", "tesse", "tessel2", ""}) {
    EXPECT_EQ(context.findPackage(missing), -1) << missing;
    EXPECT_EQ(context.packageByName(missing), nullptr) << missing;
  }
  EXPECT_EQ(context.packageByName("tessel"), first);

  InstalledPackage* unnamed = add("");
  add("");
  EXPECT_EQ(context.packageByName(""), unnamed);
  EXPECT_EQ(context.findPackage(""), 3);
}

TEST_F(InstallerContextTest, ResetEmptiesTheContextItWasReachedThrough) {
  add("tessel");
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
