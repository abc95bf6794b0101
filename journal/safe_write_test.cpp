#include "journal/safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

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

TEST(PathHelpersTest, ParentOfStripsTrailingSlashesAndFollowsDirname) {
  EXPECT_EQ(parentOf("/flash/var/pdb/name"), "/flash/var/pdb");
  EXPECT_EQ(parentOf("/flash/var/pdb/name/"), "/flash/var/pdb");
  EXPECT_EQ(parentOf("/flash//file"), "/flash");
  EXPECT_EQ(parentOf("/flash"), "/");
  EXPECT_EQ(parentOf("/"), ".");
  EXPECT_EQ(parentOf("///"), ".");
  EXPECT_EQ(parentOf("name"), ".");
  EXPECT_EQ(parentOf(""), ".");
  EXPECT_EQ(parentOf("a/b"), "a");
}

TEST(PathHelpersTest, StartsWithNeedsNoSeparator) {
  EXPECT_TRUE(startsWith("/flash/bootimage", "/flash/boot"));
  EXPECT_TRUE(startsWith("/flash", "/flash"));
  EXPECT_TRUE(startsWith("anything", ""));
  EXPECT_FALSE(startsWith("/flash", "/flash/boot"));
  EXPECT_FALSE(startsWith("/flesh/boot", "/flash"));
}

TEST_F(SafeWriteTest, MakeDirectoriesCreatesMissingLevels) {
  ASSERT_EQ(mkdir((dir + "/one").c_str(), 0755), 0);
  makeDirectories(dir + "/one/two/three");
  struct stat status {};
  ASSERT_EQ(stat((dir + "/one/two/three").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  makeDirectories(dir + "/one/two/three");  // existing: no harm
  EXPECT_EQ(stat((dir + "/one/two/three").c_str(), &status), 0);
}

TEST_F(SafeWriteTest, MakeDirectoriesGivesUpBelowAFile) {
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
}

TEST(TemporaryPlacementTest, RoomIsComputedWithoutWrapping) {
  // 4096 × 2^20 bytes is 4 GiB: zero in 32 bits, plenty in 64.
  EXPECT_TRUE(hintFits(1000, 4096, uint64_t{1} << 20));
  EXPECT_TRUE(hintFits(uint64_t{3} << 30, 4096, uint64_t{1} << 20));
  EXPECT_FALSE(hintFits(uint64_t{4} << 30, 4096, uint64_t{1} << 20));
  // Absurd sizes saturate instead of overflowing.
  EXPECT_FALSE(hintFits(UINT64_MAX, UINT64_MAX, UINT64_MAX));
  EXPECT_TRUE(hintFits(1, UINT64_MAX, UINT64_MAX));
}

TEST(TemporaryPlacementTest, ZeroHintAlwaysGoesToRam) {
  FakeProbe probe;
  probe.spaces["/flash"] = {4096, 1000};
  EXPECT_EQ(chooseTemporaryDirectory("/flash/file", 0, probe.function()), "/ram");
  EXPECT_TRUE(probe.asked.empty());
}

TEST(TemporaryPlacementTest, MeasuresTheNearestExistingAncestor) {
  FakeProbe probe;
  probe.spaces["/flash"] = {1, 1101};
  EXPECT_EQ(chooseTemporaryDirectory("/flash/new/deeper/file", 1000, probe.function()), "/flash");
  EXPECT_EQ(probe.asked, (std::vector<std::string>{"/flash/new/deeper", "/flash/new", "/flash"}));
}

TEST(TemporaryPlacementTest, StopsAtTheFirstMeasurableDirectoryEvenWhenFull) {
  FakeProbe probe;
  probe.spaces["/flash/pkg"] = {1, 1100};
  probe.spaces["/flash"] = {1, 1000000};
  EXPECT_EQ(chooseTemporaryDirectory("/flash/pkg/file", 1000, probe.function()), "/ram");
  EXPECT_EQ(probe.asked, (std::vector<std::string>{"/flash/pkg"}));
}

TEST(TemporaryPlacementTest, FallsBackToRamWhenNothingCanBeMeasured) {
  FakeProbe probe;
  EXPECT_EQ(chooseTemporaryDirectory("/a/b", 10, probe.function()), "/ram");
  EXPECT_EQ(probe.asked, (std::vector<std::string>{"/a", "/"}));
  probe.asked.clear();
  EXPECT_EQ(chooseTemporaryDirectory("relative/file", 10, probe.function()), "/ram");
  EXPECT_EQ(probe.asked, (std::vector<std::string>{"relative", "."}));
}

TEST(TemporaryPlacementTest, TooLongDirectoryIsNotChosen) {
  std::string fits = "/" + std::string(116, 'd');
  std::string tooLong = "/" + std::string(117, 'd');
  FakeProbe probe;
  probe.spaces[fits] = {4096, 1000};
  probe.spaces[tooLong] = {4096, 1000};
  EXPECT_EQ(chooseTemporaryDirectory(fits + "/file", 1, probe.function()), fits);
  EXPECT_EQ(chooseTemporaryDirectory(tooLong + "/file", 1, probe.function()), "/ram");
}

TEST_F(SafeWriteTest, CreateTemporaryWritesNextToTheTargetWithTheMode) {
  FileJournal journal;
  std::string target = dir + "/missing/file";
  {
    std::ofstream out = createTemporary(journal, target, 1, S_IFREG | 0640);
    ASSERT_TRUE(out.good());
    out << "content";
  }
  ASSERT_EQ(journal.operations().count(target), 1u);
  const JournalOperation& operation = journal.operations().at(target);
  EXPECT_EQ(operation.kind, JOURNAL_TEMPORARY_MOVE);
  EXPECT_EQ(parentOf(operation.argument), dir);  // nearest existing ancestor
  EXPECT_TRUE(startsWith(operation.argument, dir + "/tmp"));
  EXPECT_EQ(readFile(operation.argument), "content");
  EXPECT_EQ(permissionsOf(operation.argument), 0640u);
}

TEST_F(SafeWriteTest, CreateTemporaryUsesRamInsideTheRoot) {
  TestRoot root;
  ProcessResult result = runInChild([&root] {
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 10;
    FileJournal journal;
    std::ofstream out = createTemporary(journal, "/flash/file", 0, 0);
    out << "x";
    out.close();
    const std::string& temporary = journal.operations().at("/flash/file").argument;
    if (!startsWith(temporary, "/ram/tmp") || temporary.size() != 14) return 11;
    return readFile(temporary) == "x" ? 0 : 12;
  });
  EXPECT_EQ(result.status, 0) << result.err;
}

TEST_F(SafeWriteTest, CreateTemporaryWithoutRamRecordsTheTemplateAndFailsTheStream) {
  ProcessResult result = runInChild([this] {
    if (chroot(dir.c_str()) != 0 || chdir("/") != 0) return 10;
    FileJournal journal;
    std::ofstream out = createTemporary(journal, "/flash/file", 0, 0);
    if (out.is_open()) return 11;
    return journal.operations().at("/flash/file").argument == "/ram/tmpXXXXXX" ? 0 : 12;
  });
  EXPECT_EQ(result.status, 0);
}

TEST_F(SafeWriteTest, CopyFileCopiesManyBlocksAndPermissions) {
  std::string content;
  for (int i = 0; content.size() < 3 * COPY_BLOCK_SIZE + 123; ++i) content += std::to_string(i) + ",";
  ASSERT_TRUE(writeFile(dir + "/source", content, 04751));
  ASSERT_TRUE(copyFile(dir + "/source", dir + "/target", false));
  EXPECT_EQ(readFile(dir + "/target"), content);
  EXPECT_EQ(permissionsOf(dir + "/target"), 04751u);
  EXPECT_EQ(readFile(dir + "/source"), content);
}

TEST_F(SafeWriteTest, CopyFileRefusesWhatIsNotARegularFile) {
  EXPECT_FALSE(copyFile(dir + "/missing", dir + "/target", false));
  EXPECT_FALSE(copyFile(dir, dir + "/target", false));
  EXPECT_FALSE(pathExists(dir + "/target"));
  ASSERT_TRUE(writeFile(dir + "/source", "data"));
  EXPECT_FALSE(copyFile(dir + "/source", dir + "/no/such/dir/target", false));
}

TEST_F(SafeWriteTest, CopySpinnerStepsOncePerBlockAtMost) {
  std::ostringstream console;
  setConsoleOutput(&console);
  processSpinner() = SpinnerState{};
  ASSERT_TRUE(writeFile(dir + "/empty", ""));
  ASSERT_TRUE(copyFile(dir + "/empty", dir + "/copy", true));
  EXPECT_EQ(console.str(), "");  // nothing written, no step
  ASSERT_TRUE(writeFile(dir + "/big", std::string(5 * COPY_BLOCK_SIZE, 'b')));
  ASSERT_TRUE(copyFile(dir + "/big", dir + "/copy", true));
  setConsoleOutput(nullptr);
  // The first block shows the spinner; the others come within 20 ticks.
  EXPECT_EQ(console.str(), "|");
  EXPECT_EQ(processSpinner().index, 1u);
}

TEST(SpinnerTest, TurnsEveryTwentyTicksAndWraps) {
  SpinnerState spinner;
  EXPECT_EQ(spinner.step(30100), "|");
  EXPECT_EQ(spinner.step(30120), "");  // exactly 20 ticks: not yet
  EXPECT_EQ(spinner.step(30121), "\b/");
  EXPECT_EQ(spinner.lastTick, 30120);
  EXPECT_EQ(spinner.step(30121), "");
  EXPECT_EQ(spinner.step(30200), "\b-");  // a long pause catches up one step at a time
  EXPECT_EQ(spinner.step(30200), "\b\\");
  EXPECT_EQ(spinner.step(30200), "\b|");
  EXPECT_EQ(spinner.lastTick, 30180);
  EXPECT_EQ(spinner.step(30200), "");
}

TEST(SpinnerTest, TicksAdvanceFromTheOffset) {
  int64_t first = ticksSinceBoot();
  usleep(120 * 1000);
  int64_t second = ticksSinceBoot();
  EXPECT_GT(first, 30000);
  EXPECT_GT(second, first);
}

// Runs `body` in a child that has a tmpfs of `bytes` mounted at `path`.
ProcessResult withTmpfs(const std::string& path, size_t bytes, const std::function<int()>& body) {
  return runInChild([&] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(path, bytes)) return 100;
    return body();
  });
}

TEST_F(SafeWriteTest, SpaceAccountOfAFailedProbeIsEmpty) {
  FakeProbe probe;
  probe.spaces["/flash"] = {4096, 20};
  SpaceAccount flash = makeSpaceAccount("/flash", probe.function());
  EXPECT_EQ(flash.blockSize, 4096u);
  EXPECT_EQ(flash.freeBlocks, 20);
  SpaceAccount boot = makeSpaceAccount("/flash/boot", probe.function());
  EXPECT_EQ(boot.blockSize, 1u);
  EXPECT_EQ(boot.freeBlocks, 0);
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

// A real file system: "/flash" is a 64-block tmpfs inside a chrooted child,
// "/ram" stays on the test's own file system.
TEST_F(SafeWriteTest, ReplacingAFileCountsAcrossDevicesOnly) {
  TestRoot root;
  ProcessResult result = withTmpfs(root.at("/flash"), 64 * 4096, [&] {
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 10;
    if (!writeFile("/flash/file", std::string(3 * 4096, 'o'))) return 11;
    if (!writeFile("/ram/five", std::string(5 * 4096, 'n'))) return 12;
    if (!writeFile("/flash/five", std::string(5 * 4096, 'n'))) return 13;
    SpaceAccount start = makeSpaceAccount("/flash");
    if (start.blockSize != 4096 || start.freeBlocks != 64 - 8) return 14;
    SpaceAccount account = start;
    chargeOperation(account, "/flash/file", {JOURNAL_TEMPORARY_MOVE, "/ram/five"});
    if (account.freeBlocks != start.freeBlocks - 5 + 3) return 15;
    account = start;
    chargeOperation(account, "/flash/file", {JOURNAL_TEMPORARY_MOVE, "/flash/five"});
    if (account.freeBlocks != start.freeBlocks) return 16;
    return 0;
  });
  EXPECT_EQ(result.status, 0) << result.err;
}

TEST_F(SafeWriteTest, HasEnoughSpaceMeasuresFlashAndBoot) {
  TestRoot root;
  ProcessResult result = withTmpfs(root.at("/flash"), 24 * 4096, [&] {
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 10;
    if (!writeFile("/flash/boot/kernel", std::string(6 * 4096, 'k'))) return 11;
    if (!writeFile("/ram/new", std::string(4096, 'n'))) return 12;
    FileJournal journal;  // 24 - 6 = 18 blocks free
    if (!journal.hasEnoughSpace()) return 13;
    journal.addMove("/ram/new", "/flash/new");  // 17 left
    if (!journal.hasEnoughSpace()) return 14;
    journal.addMove("/ram/new", "/flash/bootimage");  // counts in both: 16 and 17 left
    if (journal.hasEnoughSpace()) return 15;
    journal.addRemove("/flash/boot/kernel");  // gives 6 back to both
    return journal.hasEnoughSpace() ? 0 : 16;
  });
  EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
