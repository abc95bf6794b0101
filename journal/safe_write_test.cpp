#include "journal/safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"
#include "test_root.h"

namespace {

class SafeWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.empty()); }
  void TearDown() override { removeTree(dir); }

  std::string dir = makeTemporaryDirectory("safe-write");
};

mode_t permissionsOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A probe answering from a table of directories; every probed path is logged.
struct FakeProbe {
  std::map<std::string, FileSystemSpace> spaces;
  std::vector<std::string> asked;

  FileSystemProbe function() {
    return [this](const std::string& path, FileSystemSpace& space) {
      asked.push_back(path);
      auto found = spaces.find(path);
      if (found == spaces.end()) return false;
      space = found->second;
      return true;
    };
  }
};

// Runs `body` in a child whose root is `root`, with a tmpfs of `blocks`
// 4096-byte blocks as its "/flash"; "/ram" stays on the test's file system.
void withFlashTmpfs(size_t blocks, const std::function<void()>& body) {
  TestRoot root;
  ProcessResult result = runInChild([&] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), blocks * 4096)) return 100;
    return passesInRoot(root, body) ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0) << result.out << result.err;
}

TEST(PathHelpersTest, ParentOfAndStartsWith) {
  const std::pair<const char*, const char*> parents[] = {
      {"/flash/var/pdb/name", "/flash/var/pdb"}, {"/flash/var/pdb/name/", "/flash/var/pdb"},
      {"/flash//file", "/flash"}, {"/flash", "/"}, {"/", "."}, {"///", "."}, {"name", "."},
      {"", "."}, {"a/b", "a"}};
  for (const auto& [path, parent] : parents) EXPECT_EQ(parentOf(path), parent) << path;
  // No separator needed: "/flash/bootimage" counts in the account of "/flash/boot".
  EXPECT_TRUE(startsWith("/flash/bootimage", "/flash/boot"));
  EXPECT_TRUE(startsWith("/flash", "/flash"));
  EXPECT_TRUE(startsWith("anything", ""));
  EXPECT_FALSE(startsWith("/flash", "/flash/boot"));
  EXPECT_FALSE(startsWith("/flesh/boot", "/flash"));
}

TEST_F(SafeWriteTest, MakeDirectoriesCreatesMissingLevelsButNotBelowAFile) {
  ASSERT_EQ(mkdir((dir + "/one").c_str(), 0755), 0);
  makeDirectories(dir + "/one/two/three");
  makeDirectories(dir + "/one/two/three");  // existing: no harm
  struct stat status {};
  ASSERT_EQ(stat((dir + "/one/two/three").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  ASSERT_TRUE(writeFile(dir + "/file", "x"));
  makeDirectories(dir + "/file/sub/deeper");
  EXPECT_FALSE(pathExists(dir + "/file/sub"));
  EXPECT_EQ(readFile(dir + "/file"), "x");
}

TEST(TemporaryPlacementTest, HintPlusATenthMustStayBelowTheFreeBytes) {
  EXPECT_FALSE(hintFits(1000, 1, 1100));
  EXPECT_TRUE(hintFits(1000, 1, 1101));
  EXPECT_FALSE(hintFits(1000, 1100, 0));
  EXPECT_TRUE(hintFits(9, 1, 10));  // a tenth of 9 is 0
  // The room is computed without wrapping: 4096 × 2^20 bytes is 4 GiB,
  // zero in 32 bits, plenty in 64.
  EXPECT_TRUE(hintFits(1000, 4096, uint64_t{1} << 20));
  EXPECT_TRUE(hintFits(uint64_t{3} << 30, 4096, uint64_t{1} << 20));
  EXPECT_FALSE(hintFits(uint64_t{4} << 30, 4096, uint64_t{1} << 20));
  // Absurd sizes saturate instead of overflowing.
  EXPECT_FALSE(hintFits(UINT64_MAX, UINT64_MAX, UINT64_MAX));
  EXPECT_TRUE(hintFits(1, UINT64_MAX, UINT64_MAX));
}

// The nearest existing ancestor is measured; the first one that can be
// measured decides, even when full; "/ram" takes the rest.
TEST(TemporaryPlacementTest, ChoosesTheMeasuredAncestorOrRam) {
  const std::string fits = "/" + std::string(116, 'd');
  const std::string tooLong = "/" + std::string(117, 'd');
  struct Case {
    const char* what;
    std::string target;
    uint64_t hint;
    std::string chosen;
    std::vector<std::string> asked;
  };
  const Case cases[] = {
      {"zero hint", "/flash/file", 0, "/ram", {}},
      {"nearest ancestor", "/flash/new/deeper/file", 1000, "/flash",
       {"/flash/new/deeper", "/flash/new", "/flash"}},
      {"first measured is full", "/flash/pkg/file", 1000, "/ram", {"/flash/pkg"}},
      {"nothing measurable", "/a/b", 10, "/ram", {"/a", "/"}},
      {"relative path", "relative/file", 10, "/ram", {"relative", "."}},
      {"116 characters", fits + "/file", 1, fits, {fits}},
      {"117 characters", tooLong + "/file", 1, "/ram", {tooLong}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeProbe probe;
    probe.spaces = {{"/flash", {1, 1101}}, {"/flash/pkg", {1, 1100}}, {fits, {4096, 1000}},
                    {tooLong, {4096, 1000}}};
    EXPECT_EQ(chooseTemporaryDirectory(c.target, c.hint, probe.function()), c.chosen);
    EXPECT_EQ(probe.asked, c.asked);
  }
}

// Next to the target's nearest existing ancestor when it has room, with
// the mode; else in "/ram"; without "/ram" the template is recorded and
// the stream fails.
TEST(CreateTemporaryTest, PlacesTheFileBesideTheTargetOrInRam) {
  TestRoot root;
  EXPECT_TRUE(passesInRoot(root, [] {
    FileJournal journal;
    std::ofstream(createTemporary(journal, "/flash/missing/file", 1, S_IFREG | 0640)) << "near";
    std::ofstream(createTemporary(journal, "/flash/file", 0, 0)) << "x";
    const std::string near = journal.operations().at("/flash/missing/file").argument;
    const std::string inRam = journal.operations().at("/flash/file").argument;
    EXPECT_EQ(journal.operations().at("/flash/file").kind, JOURNAL_TEMPORARY_MOVE);
    EXPECT_TRUE(startsWith(near, "/flash/tmp") && near.size() == 16) << near;
    EXPECT_EQ(readFile(near), "near");
    EXPECT_EQ(permissionsOf(near), 0640u);
    EXPECT_TRUE(startsWith(inRam, "/ram/tmp") && inRam.size() == 14) << inRam;
    EXPECT_EQ(readFile(inRam), "x");
    ASSERT_TRUE(removeTree("/ram"));
    EXPECT_FALSE(createTemporary(journal, "/flash/other", 0, 0).is_open());
    EXPECT_EQ(journal.operations().at("/flash/other").argument, "/ram/tmpXXXXXX");
  }));
}

// The progress callback runs once per block written, never for an empty file.
TEST_F(SafeWriteTest, CopyFileCopiesBlocksAndPermissions) {
  std::string content;
  for (int i = 0; content.size() < 5 * COPY_BLOCK_SIZE + 123; ++i)
    content += std::to_string(i) + ",";
  ASSERT_TRUE(writeFile(dir + "/source", content, 04751));
  ASSERT_TRUE(writeFile(dir + "/empty", ""));
  int blocks = 0;
  ASSERT_TRUE(copyFile(dir + "/empty", dir + "/copy", [&] { ++blocks; }));
  EXPECT_EQ(blocks, 0);
  ASSERT_TRUE(copyFile(dir + "/source", dir + "/target", [&] { ++blocks; }));
  EXPECT_EQ(blocks, 6);
  EXPECT_EQ(readFile(dir + "/target"), content);
  EXPECT_EQ(permissionsOf(dir + "/target"), 04751u);
  EXPECT_EQ(readFile(dir + "/source"), content);

  EXPECT_FALSE(copyFile(dir + "/missing", dir + "/other"));
  EXPECT_FALSE(copyFile(dir, dir + "/other"));  // not a regular file
  EXPECT_FALSE(pathExists(dir + "/other"));
  EXPECT_FALSE(copyFile(dir + "/source", dir + "/no/such/dir/target"));
}

TEST(SpaceCheckTest, FailsAtSixteenFreeBlocksOrAFailedProbe) {
  FakeProbe probe;
  probe.spaces["/flash"] = {4096, 20};
  FileJournal journal;
  EXPECT_FALSE(hasEnoughSpace(journal, probe.function()));
  probe.spaces["/flash/boot"] = {4096, 17};
  EXPECT_TRUE(hasEnoughSpace(journal, probe.function()));
  probe.spaces["/flash/boot"] = {4096, 16};
  EXPECT_FALSE(hasEnoughSpace(journal, probe.function()));
}

TEST_F(SafeWriteTest, RemovalsGiveBlocksBackAndNewFilesCostThem) {
  ASSERT_TRUE(writeFile(dir + "/flash/old", std::string(3000, 'o')));
  ASSERT_TRUE(writeFile(dir + "/ram/new", std::string(1025, 'n')));
  SpaceAccount account{dir + "/flash", 1024, 100};
  chargeOperation(account, dir + "/flash/old", {JOURNAL_REMOVE, ""});
  EXPECT_EQ(account.freeBlocks, 103);
  chargeOperation(account, dir + "/flash/gone", {JOURNAL_REMOVE, ""});
  chargeOperation(account, dir + "/elsewhere/old", {JOURNAL_REMOVE, ""});
  chargeOperation(account, dir + "/flash/link", {JOURNAL_SYMLINK, "/ram/new"});
  EXPECT_EQ(account.freeBlocks, 103);
  chargeOperation(account, dir + "/flash/fresh", {JOURNAL_TEMPORARY_MOVE, dir + "/ram/new"});
  EXPECT_EQ(account.freeBlocks, 101);
  chargeOperation(account, dir + "/flash/fresh", {JOURNAL_MOVE, dir + "/ram/missing"});
  EXPECT_EQ(account.freeBlocks, 101);
}

// A replaced file costs the new blocks and returns the old, but only when
// the new content comes from another device.
TEST(SpaceCheckTest, ReplacingAFileCountsAcrossDevicesOnly) {
  withFlashTmpfs(64, [] {
    ASSERT_TRUE(writeFile("/flash/file", std::string(3 * 4096, 'o')));
    ASSERT_TRUE(writeFile("/ram/five", std::string(5 * 4096, 'n')));
    ASSERT_TRUE(writeFile("/flash/five", std::string(5 * 4096, 'n')));
    SpaceAccount start = makeSpaceAccount("/flash");
    EXPECT_EQ(start.blockSize, 4096u);
    EXPECT_EQ(start.freeBlocks, 64 - 8);
    SpaceAccount account = start;
    chargeOperation(account, "/flash/file", {JOURNAL_TEMPORARY_MOVE, "/ram/five"});
    EXPECT_EQ(account.freeBlocks, start.freeBlocks - 5 + 3);
    account = start;
    chargeOperation(account, "/flash/file", {JOURNAL_TEMPORARY_MOVE, "/flash/five"});
    EXPECT_EQ(account.freeBlocks, start.freeBlocks);
  });
}

TEST(SpaceCheckTest, HasEnoughSpaceMeasuresFlashAndBoot) {
  withFlashTmpfs(24, [] {
    ASSERT_TRUE(writeFile("/flash/boot/kernel", std::string(6 * 4096, 'k')));
    ASSERT_TRUE(writeFile("/ram/new", std::string(4096, 'n')));
    FileJournal journal;  // 24 - 6 = 18 blocks free
    EXPECT_TRUE(journal.hasEnoughSpace());
    journal.addMove("/ram/new", "/flash/new");  // 17 left
    EXPECT_TRUE(journal.hasEnoughSpace());
    journal.addMove("/ram/new", "/flash/bootimage");  // counts in both: 16 and 17 left
    EXPECT_FALSE(journal.hasEnoughSpace());
    journal.addRemove("/flash/boot/kernel");  // gives 6 back to both
    EXPECT_TRUE(journal.hasEnoughSpace());
  });
}

}  // namespace
