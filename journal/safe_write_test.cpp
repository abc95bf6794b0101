// Copying across file systems is checked with the journal's moves
// (file_journal_test.cpp); where temporary files go, by the end-to-end
// fault tests that leave "/ram" missing or full.
#include "journal/safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "chroot_check.h"
#include "journal/file_journal.h"

namespace {

// Answers from a table of directories and logs every probed path.
FileSystemProbe tableProbe(std::map<std::string, FileSystemSpace> spaces, std::string* asked = nullptr) {
  return [spaces, asked](const std::string& path, FileSystemSpace& space) {
    if (asked) *asked += path + " ";
    return spaces.count(path) != 0 && (space = spaces.at(path), true);
  };
}

// The hint and a tenth of it must stay strictly below the free bytes,
// counted in 64 bits and saturating.
TEST(SafeWrite, ParentOfAndRoomForAHint) {
  for (const auto& [path, parent] : std::map<std::string, std::string>{
           {"/flash/var/pdb/name", "/flash/var/pdb"}, {"/flash/var/pdb/name/", "/flash/var/pdb"}, {"/flash//file", "/flash"},
           {"/flash", "/"}, {"/", "."}, {"///", "."}, {"name", "."}, {"", "."}, {"a/b", "a"}})
    EXPECT_EQ(parentOf(path), parent) << path;
  std::string fits;
  for (auto [hint, blockSize, freeBlocks] : std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>{
           {1000, 1, 1100}, {1000, 1, 1101}, {9, 1, 10}, {3ull << 30, 4096, 1 << 20}, {4ull << 30, 4096, 1 << 20},
           {UINT64_MAX, UINT64_MAX, UINT64_MAX}, {1, UINT64_MAX, UINT64_MAX}})
    fits += hintFits(hint, blockSize, freeBlocks) ? "y" : "n";
  EXPECT_EQ(fits, "nyyynny");
}

// The first ancestor that can be measured decides, even when it is full;
// "/ram" takes a zero hint and what finds no room.
TEST(SafeWrite, ChoosesTheMeasuredAncestorOrRam) {
  const std::string fits = "/" + std::string(116, 'd'), tooLong = fits + "d";
  const struct {
    std::string target;
    uint64_t hint;
    std::string chosen, asked;
  } cases[] = {
      {"/flash/file", 0, "/ram", ""},
      {"/flash/new/deeper/file", 1000, "/flash", "/flash/new/deeper /flash/new /flash "},
      {"/flash/pkg/file", 1000, "/ram", "/flash/pkg "},
      {"/a/b", 10, "/ram", "/a / "},
      {"relative/file", 10, "/ram", "relative . "},
      {fits + "/file", 1, fits, fits + " "},
      {tooLong + "/file", 1, "/ram", tooLong + " "},
  };
  for (const auto& c : cases) {
    std::string asked;
    auto probe = tableProbe({{"/flash", {1, 1101}}, {"/flash/pkg", {1, 1100}}, {fits, {1, 9}}, {tooLong, {1, 9}}}, &asked);
    EXPECT_EQ(chooseTemporaryDirectory(c.target, c.hint, probe) + ": " + asked, c.chosen + ": " + c.asked);
  }
}

// A long pause catches up one step at a time; ticks start from an offset.
TEST(SafeWrite, SpinnerTurnsEveryTwentyTicksAndWraps) {
  SpinnerState spinner;
  std::string shown;
  for (int64_t tick : {30100, 30120, 30121, 30121, 30200, 30200, 30200, 30200}) shown += spinner.step(tick) + ".";
  EXPECT_EQ(shown, "|..\b/..\b-.\b\\.\b|..");
  int64_t first = ticksSinceBoot();
  usleep(120 * 1000);
  EXPECT_GT(first, 30000);
  EXPECT_GT(ticksSinceBoot(), first);
}

// A removal gives its blocks back, a partly used one counting whole; a new
// file costs its blocks, a replaced one returns the old blocks only when
// the new content comes from another device; "/flash/bootimage" counts for
// "/flash/boot". Every account must keep more than 16 free blocks, and one
// that cannot be measured has none.
TEST(SafeWrite, SpaceAccounts) {
  TestRoot root;
  ProcessResult result = runInChild([&root] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), 64 * 4096)) return 100;
    return passesInRoot(root, [] {
      ASSERT_TRUE(writeFile("/flash/file", std::string(4097, 'o')) && writeFile("/ram/five", std::string(5 * 4096, 'n')) &&
                  writeFile("/flash/five", std::string(5 * 4096 - 1, 'n')) && writeFile("/flash/bootimage", "b"));
      SpaceAccount account = makeSpaceAccount("/flash"), boot{"/flash/boot", 4096, 0};
      EXPECT_EQ(std::to_string(account.blockSize) + " " + std::to_string(account.freeBlocks), "4096 56");
      const std::pair<std::string, JournalOperation> charges[] = {
          {"/flash/file", {JOURNAL_TEMPORARY_MOVE, "/ram/five"}}, {"/flash/file", {JOURNAL_MOVE, "/flash/five"}},
          {"/flash/five", {JOURNAL_REMOVE, ""}}, {"/flash/gone", {JOURNAL_REMOVE, ""}}, {"/flash/new", {JOURNAL_MOVE, "/ram/no"}},
          {"/flash/link", {JOURNAL_SYMLINK, "/ram/five"}}, {"/ram/five", {JOURNAL_REMOVE, ""}},
          {"/flash/bootimage", {JOURNAL_REMOVE, ""}}};
      std::string balance;
      for (const auto& [target, operation] : charges) {
        chargeOperation(account, target, operation);
        chargeOperation(boot, target, operation);
        balance += std::to_string(account.freeBlocks - 56) + "/" + std::to_string(boot.freeBlocks) + " ";
      }
      EXPECT_EQ(balance, "-3/0 -3/0 2/0 2/0 2/0 2/0 2/0 3/1 ");
    }) ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0) << result.out;
  FileJournal empty;
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}})));
  EXPECT_TRUE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 17}}})));
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 16}}})));
}

}  // namespace
