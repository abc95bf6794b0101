// End-to-end tests of bundles: members, optional members and a newer bundle
// that no longer carries a member.
#include <gmock/gmock.h>

#include "install_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

PackageDraft member(const std::string& name, const char* versionText) {
  return package(name, versionText, {{"bin/" + name, name + " " + versionText}});
}

ByteVector bundle(const char* versionText, const std::vector<std::string>& members,
                  const std::vector<std::string>& optional = {}) {
  BundleDraft draft;
  draft.name = "quorilan";
  draft.version = version(versionText);
  draft.buildTime = 1000;
  for (const std::string& name : members) draft.members.push_back(buildPackageParts(member(name, versionText)));
  for (const std::string& name : optional) draft.optionalMembers.push_back(ref(name));
  return buildBundle(draft);
}

class BundleTest : public InstallTest {};

TEST_F(BundleTest, StreamInstallPutsOptionalMembersDisabled) {
  ProcessResult result = run({"-"}, bytesText(bundle("6.40", {"tessel", "wardle", "media-kit"}, {"media-kit"})));
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_THAT(result.out, HasSubstr("installed quorilan-6.40\n"));
  // Members are installed silently, under the bundle's name.
  EXPECT_THAT(result.out, Not(HasSubstr("installed tessel")));
  EXPECT_THAT(result.out, HasSubstr("installing quorilan-6.40 ["));
  EXPECT_EQ(root.read("/flash/bin/tessel"), "tessel 6.40");
  EXPECT_EQ(root.read("/flash/bin/wardle"), "wardle 6.40");
  EXPECT_EQ(root.read("/flash/x/media-kit/bin/media-kit"), "media-kit 6.40");
  EXPECT_EQ(dbFile("media-kit", "disabled"), "auto\n");
  EXPECT_EQ(dbFile("wardle", "bundle"), "quorilan\n");
  // The bundle keeps its own file as its image, so its members are known
  // as its members at the next start.
  EXPECT_TRUE(root.exists("/flash/var/pdb/quorilan/image"));
  ProcessResult listing = run({"--show"});
  EXPECT_THAT(listing.out, HasSubstr("XB "));
}

TEST_F(BundleTest, UserStateDecidesAnOptionalMemberInTheUpgradeRun) {
  ASSERT_EQ(run({"-"}, bytesText(bundle("6.40", {"tessel", "media-kit"}, {"media-kit"}))).status, 0);
  ASSERT_TRUE(root.write("/ram/pdb/media-kit/schedule", "enable\n"));
  upload("q.qbd", bundle("6.41", {"tessel", "media-kit"}, {"media-kit"}));
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_THAT(result.out, HasSubstr("enabled media-kit-6.40\n"));
  EXPECT_THAT(result.out, HasSubstr("installed quorilan-6.41\n"));
  EXPECT_EQ(root.read("/flash/bin/media-kit"), "media-kit 6.41");
  EXPECT_FALSE(root.exists("/flash/var/pdb/media-kit/disabled"));
  EXPECT_EQ(dbFile("media-kit", "enabled"), "user\n");
}

TEST_F(BundleTest, NewerBundleDropsAMemberUnlessSomethingNeedsIt) {
  ASSERT_EQ(run({"-"}, bytesText(bundle("6.40", {"tessel", "wardle"}))).status, 0);
  upload("q.qbd", bundle("6.41", {"tessel"}));
  ProcessResult dropped = run();
  EXPECT_EQ(dropped.status, 0) << dropped.out;
  EXPECT_FALSE(root.exists("/flash/bin/wardle"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/wardle"));
  EXPECT_EQ(root.read("/flash/bin/tessel"), "tessel 6.41");
}

TEST_F(BundleTest, DroppedMemberStaysWhileAnActivePackageDependsOnIt) {
  ASSERT_EQ(run({"-"}, bytesText(bundle("6.40", {"tessel", "wardle"}))).status, 0);
  PackageDraft user = package("user", "1.0");
  user.deps.push_back(ref("wardle"));
  ASSERT_EQ(run({"-"}, bytesText(buildPackage(user))).status, 0);
  upload("q.qbd", bundle("6.41", {"tessel"}));
  ProcessResult kept = run();
  EXPECT_EQ(kept.status, 0) << kept.out;
  EXPECT_EQ(root.read("/flash/bin/wardle"), "wardle 6.40");
  EXPECT_TRUE(root.exists("/flash/var/pdb/wardle/version"));
}

TEST_F(BundleTest, BrokenMemberFailsTheWholeBundle) {
  BundleDraft draft;
  draft.name = "quorilan";
  draft.version = version("6.40");
  draft.buildTime = 1000;
  draft.members.push_back(buildPackageParts(member("tessel", "6.40")));
  ByteVector broken = buildPackageParts(member("wardle", "6.40"));
  broken[broken.size() - 1] ^= 0x01;
  draft.members.push_back(broken);
  const auto before = liveTree();
  ProcessResult result = run({"-"}, bytesText(buildBundle(draft)));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.out, HasSubstr("ERROR: installation of quorilan-6.40 failed: broken package\n"));
  removeTree(root.at("/flash/var/pdb/image"));
  EXPECT_EQ(liveTree(), before);
}

TEST_F(BundleTest, SameBundleVersionIsRefusedWithStatus2) {
  ByteVector bytes = bundle("6.40", {"tessel"});
  ASSERT_EQ(run({"-"}, bytesText(bytes)).status, 0);
  ProcessResult again = run({"-"}, bytesText(bytes));
  EXPECT_EQ(again.status, 2);
  EXPECT_THAT(again.out, HasSubstr("WARNING: omitting package quorilan-6.40: it is already installed\n"));
}

}  // namespace
