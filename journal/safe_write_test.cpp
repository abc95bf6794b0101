#include "journal/safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"

namespace {

mode_t permissionsOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Answers from a table of directories and logs every probed path.
FileSystemProbe tableProbe(std::map<std::string, FileSystemSpace> spaces, std::string* asked = nullptr) {
  return [spaces, asked](const std::string& path, FileSystemSpace& space) {
    if (asked) *asked += path + " ";
    if (spaces.count(path) == 0) return false;
    space = spaces.at(path);
    return true;
  };
}

// Runs `body` rooted in a fresh device root whose "/flash" is a tmpfs of
// `blocks` pages; "/ram" stays on the test's file system.
void withFlashTmpfs(size_t blocks, const std::function<void()>& body) {
  TestRoot root;
  ProcessResult result = runInChild([&] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), blocks * 4096)) return 100;
    return passesInRoot(root, body) ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0) << result.out << result.err;
}

TEST(SafeWrite, ParentOfAndRoomForAHint) {
  for (const auto& [path, parent] : std::map<std::string, std::string>{
           {"/flash/var/pdb/name", "/flash/var/pdb"}, {"/flash/var/pdb/name/", "/flash/var/pdb"},
           {"/flash//file", "/flash"}, {"/flash", "/"}, {"/", "."}, {"///", "."}, {"name", "."}, {"", "."}, {"a/b", "a"}})
    EXPECT_EQ(parentOf(path), parent) << path;
  // The hint and a tenth of it must stay strictly below the free bytes,
  // computed in 64 bits and saturating.
  EXPECT_FALSE(hintFits(1000, 1, 1100));
  EXPECT_TRUE(hintFits(1000, 1, 1101));
  EXPECT_TRUE(hintFits(9, 1, 10));
  EXPECT_TRUE(hintFits(uint64_t{3} << 30, 4096, uint64_t{1} << 20));
  EXPECT_FALSE(hintFits(uint64_t{4} << 30, 4096, uint64_t{1} << 20));
  EXPECT_FALSE(hintFits(UINT64_MAX, UINT64_MAX, UINT64_MAX));
  EXPECT_TRUE(hintFits(1, UINT64_MAX, UINT64_MAX));
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
    EXPECT_EQ(chooseTemporaryDirectory(c.target, c.hint, probe), c.chosen) << c.target;
    EXPECT_EQ(asked, c.asked) << c.target;
  }
}

// Beside the target's nearest existing ancestor with the mode, else in
// "/ram"; without "/ram" the template is recorded and the stream fails.
TEST(SafeWrite, CreateTemporaryBesideTheTargetOrInRam) {
  TestRoot root;
  EXPECT_TRUE(passesInRoot(root, [] {
    FileJournal journal;
    createTemporary(journal, "/flash/missing/file", 1, S_IFREG | 0640) << "near";
    createTemporary(journal, "/flash/file", 0, 0) << "x";
    const std::string near = journal.operations().at("/flash/missing/file").argument;
    const std::string inRam = journal.operations().at("/flash/file").argument;
    EXPECT_EQ(journal.operations().at("/flash/file").kind, JOURNAL_TEMPORARY_MOVE);
    EXPECT_TRUE(near.rfind("/flash/tmp", 0) == 0 && near.size() == 16) << near;
    EXPECT_EQ(readFile(near) + readFile(inRam), "nearx");
    EXPECT_EQ(permissionsOf(near), 0640u);
    EXPECT_TRUE(inRam.rfind("/ram/tmp", 0) == 0 && inRam.size() == 14) << inRam;
    ASSERT_TRUE(removeTree("/ram"));
    EXPECT_FALSE(createTemporary(journal, "/flash/other", 0, 0).is_open());
    EXPECT_EQ(journal.operations().at("/flash/other").argument, "/ram/tmpXXXXXX");
  }));
}

// Blocks and permission bits are copied; the spinner shows with the first
// block and the others come within 20 ticks; an empty file steps nothing.
TEST(SafeWrite, CopyFileStepsTheSpinnerAtMostOnce) {
  TestRoot root;
  std::string content;
  for (int i = 0; content.size() < 5 * COPY_BLOCK_SIZE + 123; ++i) content += std::to_string(i) + ",";
  ASSERT_TRUE(root.write("/source", content, 04751) && root.write("/empty", ""));
  std::ostringstream console;
  setConsoleOutput(&console);
  processSpinner() = SpinnerState{};
  EXPECT_TRUE(copyFile(root.at("/empty"), root.at("/copy"), true));
  EXPECT_TRUE(copyFile(root.at("/source"), root.at("/target"), true));
  setConsoleOutput(nullptr);
  EXPECT_EQ(console.str(), "|");
  EXPECT_EQ(root.read("/target"), content);
  EXPECT_EQ(permissionsOf(root.at("/target")), 04751u);
  EXPECT_FALSE(copyFile(root.at("/missing"), root.at("/other"), false));
  EXPECT_FALSE(copyFile(root.at("/ram"), root.at("/other"), false));  // not a regular file
  EXPECT_FALSE(root.exists("/other"));
  EXPECT_FALSE(copyFile(root.at("/source"), root.at("/no/such/target"), false));
}

TEST(SafeWrite, SpinnerTurnsEveryTwentyTicksAndWraps) {
  SpinnerState spinner;
  std::string shown;
  for (int64_t tick : {30100, 30120, 30121, 30121, 30200, 30200, 30200, 30200}) shown += spinner.step(tick) + ".";
  // A long pause catches up one step at a time.
  EXPECT_EQ(shown, "|..\b/..\b-.\b\\.\b|..");
  EXPECT_EQ(spinner.lastTick, 30180);
  int64_t first = ticksSinceBoot();
  usleep(120 * 1000);
  EXPECT_GT(first, 30000);
  EXPECT_GT(ticksSinceBoot(), first);
}

// A removal gives its blocks back, a partly used block counting whole; a
// new file costs its blocks, and a replaced one returns the old blocks but
// only when the new content comes from another device.
TEST(SafeWrite, SpaceAccountsChargeRemovalsAndMoves) {
  withFlashTmpfs(64, [] {
    ASSERT_TRUE(writeFile("/flash/file", std::string(4097, 'o')) && writeFile("/ram/five", std::string(5 * 4096, 'n')) &&
                writeFile("/flash/five", std::string(5 * 4096 - 1, 'n')));
    SpaceAccount start = makeSpaceAccount("/flash"), account = start;
    EXPECT_EQ(start.blockSize, 4096u);
    EXPECT_EQ(start.freeBlocks, 64 - 7);
    const std::pair<std::string, JournalOperation> charges[] = {
        {"/flash/file", {JOURNAL_TEMPORARY_MOVE, "/ram/five"}}, {"/flash/file", {JOURNAL_MOVE, "/flash/five"}},
        {"/flash/five", {JOURNAL_REMOVE, ""}},                 {"/flash/gone", {JOURNAL_REMOVE, ""}},
        {"/flash/new", {JOURNAL_MOVE, "/ram/missing"}},         {"/flash/link", {JOURNAL_SYMLINK, "/ram/five"}},
        {"/ram/five", {JOURNAL_REMOVE, ""}}};
    std::string balance;
    for (const auto& [target, operation] : charges) {
      chargeOperation(account, target, operation);
      balance += std::to_string(account.freeBlocks - start.freeBlocks) + " ";
    }
    EXPECT_EQ(balance, "-3 -3 2 2 2 2 2 ");
  });
}

// "/flash/bootimage" counts in the accounts of "/flash/boot" and "/flash";
// each must keep more than 16 free blocks, and an account that cannot be
// measured has none.
TEST(SafeWrite, HasEnoughSpaceMeasuresFlashAndBoot) {
  FileJournal empty;
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}})));
  EXPECT_TRUE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 17}}})));
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 16}}})));
  withFlashTmpfs(24, [] {
    ASSERT_TRUE(writeFile("/flash/boot/kernel", std::string(6 * 4096, 'k')) && writeFile("/ram/new", "n"));
    FileJournal journal;  // 18 blocks free
    journal.addMove("/ram/new", "/flash/new");  // 17 left
    EXPECT_TRUE(journal.hasEnoughSpace());
    journal.addMove("/ram/new", "/flash/bootimage");  // 16 and 17 left
    EXPECT_FALSE(journal.hasEnoughSpace());
    journal.addRemove("/flash/boot/kernel");  // 6 back to both
    EXPECT_TRUE(journal.hasEnoughSpace());
  });
}

}  // namespace
