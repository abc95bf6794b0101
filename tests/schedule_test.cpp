// End-to-end tests of the stored schedule, the cleanup mode and the
// free-space limits.
#include <gmock/gmock.h>
#include <sys/mount.h>

#include <random>

#include "install_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ScheduleTest : public InstallTest {
 protected:
  void SetUp() override {
    PackageDraft base = package("alpha", "1.0", {{"bin/alpha", "a"}});
    PackageDraft dependant = package("beta", "1.0", {{"bin/beta", "b"}});
    dependant.deps.push_back(ref("alpha"));
    upload("alpha.qbx", base);
    upload("beta.qbx", dependant);
    ASSERT_EQ(run().status, 0);
    clearUploads();
  }

  ProcessResult runWithSchedule(const std::string& name, const std::string& action) {
    EXPECT_TRUE(root.write("/ram/pdb/" + name + "/schedule", action + "\n"));
    ProcessResult result = run();
    removeTree(root.at("/ram/pdb"));
    return result;
  }
};

TEST_F(ScheduleTest, DisableThenEnableWithTheirMessages) {
  ProcessResult disabled = runWithSchedule("beta", "disable");
  EXPECT_EQ(disabled.status, 0);
  EXPECT_THAT(disabled.out, HasSubstr("\rdisabling beta-1.0..."));
  EXPECT_THAT(disabled.out, HasSubstr("disabled beta-1.0\n"));
  EXPECT_EQ(dbFile("beta", "disabled"), "user\n");

  ProcessResult enabled = runWithSchedule("beta", "enable");
  EXPECT_THAT(enabled.out, HasSubstr("\renabling beta-1.0..."));
  EXPECT_THAT(enabled.out, HasSubstr("enabled beta-1.0\n"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/beta/disabled"));
  EXPECT_EQ(dbFile("beta", "enabled"), "user\n");
  EXPECT_THAT(root.read("/flash/postlog"), HasSubstr("enabled beta-1.0\n"));
}

TEST_F(ScheduleTest, UninstallIsRefusedWhileADependantNeedsIt) {
  ProcessResult refused = runWithSchedule("alpha", "uninstall");
  EXPECT_THAT(refused.out, HasSubstr("WARNING: can not uninstall alpha-1.0: beta depends on it\n"));
  EXPECT_TRUE(root.exists("/flash/bin/alpha"));

  ProcessResult removed = runWithSchedule("beta", "uninstall");
  EXPECT_EQ(removed.status, 0);
  EXPECT_THAT(removed.out, Not(HasSubstr("beta")));
  EXPECT_FALSE(root.exists("/flash/bin/beta"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/beta"));
  EXPECT_TRUE(root.exists("/flash/bin/alpha"));
}

TEST_F(ScheduleTest, UninstallingEverythingIsRefused) {
  ASSERT_TRUE(root.write("/ram/pdb/alpha/schedule", "uninstall"));
  ProcessResult result = runWithSchedule("beta", "uninstall");
  EXPECT_THAT(result.out, HasSubstr("ERROR: can not uninstall or disable all packages\n"));
  EXPECT_TRUE(root.exists("/flash/bin/alpha"));
  EXPECT_TRUE(root.exists("/flash/bin/beta"));
}

class CleanupTest : public InstallTest {};

TEST_F(CleanupTest, KeepsTheBaseAndWhatNeedsTheCurrentGeneration) {
  auto needs = [](const char* name, const char* minText) {
    PackageDraft draft = package(name, "1.0", {{std::string("bin/") + name, name}});
    draft.deps.push_back(ref("tessel", minText));
    return draft;
  };
  upload("tessel.qbx", package("tessel", "6.40", {{"bin/tessel", "t"}}));
  upload("wardle.qbx", package("wardle", "1.0"));
  upload("old.qbx", needs("old", "3.22rc9"));
  upload("new.qbx", needs("new", "3.22"));
  upload("loose.qbx", package("loose", "1.0", {{"bin/loose", "l"}}));
  ASSERT_EQ(run().status, 0);

  ProcessResult result = run({"--cleanup"});
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(root.exists("/flash/bin/old"));
  EXPECT_FALSE(root.exists("/flash/bin/loose"));
  EXPECT_TRUE(root.exists("/flash/bin/new"));
  EXPECT_TRUE(root.exists("/flash/bin/tessel"));
  EXPECT_TRUE(root.exists("/flash/var/pdb/wardle"));
}

// Random bytes do not compress, so the upload costs its full size on flash.
std::string noise(size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// Gives the test its own mount table with small tmpfs file systems for the
// root's "/flash" (and optionally "/ram").
class SpaceTest : public InstallTest {
 protected:
  void mountFlash(size_t flashBytes, size_t ramBytes = 0) {
    ASSERT_TRUE(enterPrivateMountNamespace());
    ASSERT_TRUE(mountTmpfs(root.at("/flash"), flashBytes));
    for (const char* directory : {"/flash/boot", "/flash/var/pdb", "/flash/rw/pckg", "/flash/var/pckg"})
      ASSERT_TRUE(root.write(std::string(directory) + "/.keep", ""));
    if (ramBytes != 0) ASSERT_TRUE(mountTmpfs(root.at("/ram"), ramBytes));
    mounted_ = true;
  }
  void TearDown() override {
    if (!mounted_) return;
    umount2(root.at("/ram").c_str(), MNT_DETACH);
    umount2(root.at("/flash").c_str(), MNT_DETACH);
  }

 private:
  bool mounted_ = false;
};

TEST_F(SpaceTest, UpgradeThatDoesNotFitIsRefusedWithStatus28) {
  mountFlash(512 * 1024);
  upload("big.qbx", package("big", "1.0", {{"bin/big", noise(300 * 1024, 1)}}));
  const auto before = liveTree();
  ProcessResult result = run();
  EXPECT_EQ(result.status, 28);
  EXPECT_THAT(result.out, HasSubstr("ERROR: not enough space for upgrade\n"));
  EXPECT_EQ(liveTree(), before);
  EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));

  ProcessResult forced = run({"--reinstall"});
  EXPECT_EQ(forced.status, 0);
}

TEST_F(SpaceTest, FlashFillingWhileUnpackingCancelsEverything) {
  mountFlash(512 * 1024, 64 * 1024);
  upload("big.qbx", package("big", "1.0", {{"bin/one", noise(150 * 1024, 2)}, {"bin/two", noise(150 * 1024, 3)}}));
  const auto before = liveTree();
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, HasSubstr("ERROR: installation of big-1.0 failed: disk is too small\n"));
  EXPECT_EQ(liveTree(), before);
}

}  // namespace
