#include "journal/file_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/safe_write.h"
#include "test_root.h"

namespace {

class FileJournalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.empty()); }
  void TearDown() override { removeTree(dir); }

  std::string path(const std::string& name) const { return dir + "/" + name; }
  // Opens a write through the journal and fills it.
  std::string write(FileJournal& journal, const std::string& name, const std::string& content) {
    std::ofstream out = journal.openWrite(path(name), content.size() + 1, 0644);
    out << content;
    out.close();
    EXPECT_FALSE(out.fail());
    return journal.operations().at(path(name)).argument;
  }
  std::string manifestOf(const FileJournal& journal) {
    EXPECT_TRUE(journal.writeManifest(path("MANIFEST")));
    return readFile(path("MANIFEST"));
  }
  bool readManifestText(FileJournal& journal, const std::string& text) {
    EXPECT_TRUE(writeFile(path("MANIFEST"), text));
    return journal.readManifest(path("MANIFEST"));
  }

  std::string dir = makeTemporaryDirectory("journal");
};

bool isDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

TEST_F(FileJournalTest, SecondWriteReplacesTheFirstAndDeletesItsTemporaryFile) {
  FileJournal journal;
  std::string first = write(journal, "file", "one");
  std::string second = write(journal, "file", "two");
  EXPECT_NE(first, second);
  EXPECT_FALSE(pathExists(first));
  EXPECT_EQ(journal.operations().size(), 1u);
  journal.apply(false);
  EXPECT_EQ(readFile(path("file")), "two");
  EXPECT_FALSE(pathExists(second));
}

TEST_F(FileJournalTest, RemoveOfAMissingPathWithdrawsThePendingWrite) {
  FileJournal journal;
  std::string temporary = write(journal, "file", "content");
  journal.addRemove(path("file"));
  EXPECT_TRUE(journal.empty());
  EXPECT_FALSE(pathExists(temporary));  // withdrawn, and its temporary file with it
}

TEST_F(FileJournalTest, RemoveFollowsLinksSoADanglingLinkIsNotRemoved) {
  ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
  FileJournal journal;
  journal.addRemove(path("dangling"));
  EXPECT_TRUE(journal.empty());
}

TEST_F(FileJournalTest, WriteAfterRemoveReplacesTheFileByRenaming) {
  ASSERT_TRUE(writeFile(path("file"), "old"));
  FileJournal journal;
  journal.addRemove(path("file"));
  ASSERT_EQ(journal.operations().at(path("file")).kind, JOURNAL_REMOVE);
  write(journal, "file", "new");
  EXPECT_EQ(journal.operations().at(path("file")).kind, JOURNAL_TEMPORARY_MOVE);
  journal.apply(false);
  EXPECT_EQ(readFile(path("file")), "new");
}

TEST_F(FileJournalTest, RemovingDirectoriesKeepsSubdirectoriesAndHiddenEntries) {
  ASSERT_TRUE(writeFile(path("plain/a"), "a"));
  ASSERT_TRUE(writeFile(path("plain/b"), "b"));
  ASSERT_TRUE(writeFile(path("nested/a"), "a"));
  ASSERT_TRUE(writeFile(path("nested/sub/c"), "c"));
  ASSERT_TRUE(writeFile(path("hidden/a"), "a"));
  ASSERT_TRUE(writeFile(path("hidden/.keep"), "k"));
  ASSERT_TRUE(writeFile(path("single"), "s"));
  FileJournal journal;
  for (const char* name : {"plain", "nested", "hidden", "single"}) journal.addRemove(path(name));
  journal.apply(false);
  EXPECT_FALSE(pathExists(path("plain")));
  EXPECT_FALSE(pathExists(path("single")));
  EXPECT_FALSE(pathExists(path("nested/a")));
  EXPECT_EQ(readFile(path("nested/sub/c")), "c");
  EXPECT_FALSE(pathExists(path("hidden/a")));
  EXPECT_EQ(readFile(path("hidden/.keep")), "k");
}

TEST_F(FileJournalTest, MoveCreatesMissingDirectories) {
  ASSERT_TRUE(writeFile(path("source"), "data"));
  FileJournal journal;
  journal.addMove(path("source"), path("a/b/c/target"));
  journal.apply(false);
  EXPECT_EQ(readFile(path("a/b/c/target")), "data");
  EXPECT_FALSE(pathExists(path("source")));
}

TEST_F(FileJournalTest, DirectoryRemovalRunsBeforeAMoveIntoIt) {
  ASSERT_TRUE(writeFile(path("package/old"), "old"));
  ASSERT_TRUE(writeFile(path("package/meta"), "old meta"));
  ASSERT_TRUE(writeFile(path("ram/meta"), "new meta"));
  FileJournal journal;
  journal.addRemove(path("package"));
  journal.addMove(path("ram/meta"), path("package/meta"));
  journal.apply(false);
  EXPECT_FALSE(pathExists(path("package/old")));
  EXPECT_EQ(readFile(path("package/meta")), "new meta");
}

TEST_F(FileJournalTest, EveryRemovalRunsBeforeAnyMove) {
  // In key order the move to "a" comes first, but its source is removed in
  // the first pass, so the move fails and says so.
  ASSERT_TRUE(writeFile(path("z"), "z"));
  ProcessResult result = runInChild([this] {
    FileJournal journal;
    journal.addMove(path("z"), path("a"));
    journal.addRemove(path("z"));
    journal.apply(false);
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(pathExists(path("a")));
  EXPECT_FALSE(pathExists(path("z")));
  EXPECT_EQ(result.err.rfind("rename: ", 0), 0u) << result.err;
}

TEST_F(FileJournalTest, SymlinksReplaceFilesAndCreateDirectories) {
  ASSERT_TRUE(writeFile(path("existing"), "file"));
  ASSERT_TRUE(writeFile(path("blocker"), "a file where a directory should be"));
  ProcessResult result = runInChild([this] {
    FileJournal journal;
    journal.addSymlink("/flash/bootimage", path("existing"));
    journal.addSymlink("target text", path("new/dir/link"));
    journal.addSymlink("x", path("blocker/link"));
    journal.apply(false);
    return 0;
  });
  char text[64] = {};
  ASSERT_GT(readlink(path("existing").c_str(), text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "/flash/bootimage");
  std::fill(text, text + sizeof text, '\0');
  ASSERT_GT(readlink(path("new/dir/link").c_str(), text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "target text");
  EXPECT_EQ(result.err.rfind("symlink: ", 0), 0u) << result.err;
}

TEST_F(FileJournalTest, ManifestRoundTripTurnsTemporaryMovesIntoMoves) {
  ASSERT_TRUE(writeFile(path("old"), "old"));
  FileJournal journal;
  journal.addRemove(path("old"));
  journal.addSymlink("/flash/x", path("link"));
  journal.addMove("/ram/source", path("moved"));
  std::string temporary = write(journal, "written", "content");
  std::string manifest = manifestOf(journal);
  EXPECT_EQ(manifest, "L " + path("link") + " /flash/x\n" + "M " + path("moved") + " /ram/source\n" +
                          "U " + path("old") + "\n" + "M " + path("written") + " " + temporary + "\n");

  FileJournal restored;
  ASSERT_TRUE(restored.readManifest(path("MANIFEST")));
  ASSERT_EQ(restored.operations().size(), 4u);
  EXPECT_EQ(restored.operations().at(path("old")).kind, JOURNAL_REMOVE);
  EXPECT_EQ(restored.operations().at(path("link")).kind, JOURNAL_SYMLINK);
  EXPECT_EQ(restored.operations().at(path("link")).argument, "/flash/x");
  EXPECT_EQ(restored.operations().at(path("written")).kind, JOURNAL_MOVE);
  EXPECT_EQ(restored.operations().at(path("written")).argument, temporary);
  EXPECT_EQ(manifestOf(restored), manifest);

  restored.cancel();  // moves own nothing
  EXPECT_TRUE(restored.empty());
  EXPECT_EQ(readFile(temporary), "content");
}

TEST_F(FileJournalTest, MalformedManifestLineFailsButKeepsEarlierOperations) {
  FileJournal journal;
  EXPECT_FALSE(readManifestText(journal, "U /a\nM /b\nU /c\n"));
  ASSERT_EQ(journal.operations().size(), 1u);
  EXPECT_EQ(journal.operations().count("/a"), 1u);

  FileJournal single;
  EXPECT_FALSE(readManifestText(single, "U\n"));
  FileJournal link;
  EXPECT_FALSE(readManifestText(link, "L /link\n"));
  EXPECT_TRUE(link.empty());
}

TEST_F(FileJournalTest, ManifestIgnoresUnknownLinesAndStopsAtAnEmptyLine) {
  FileJournal journal;
  EXPECT_TRUE(readManifestText(journal, "X /ignored /really\nM /t /s extra fields\n\nU /after\n"));
  ASSERT_EQ(journal.operations().size(), 1u);
  EXPECT_EQ(journal.operations().at("/t").argument, "/s");

  FileJournal onlyUnknown;
  EXPECT_FALSE(readManifestText(onlyUnknown, "X /a /b\n"));
  FileJournal empty;
  EXPECT_TRUE(readManifestText(empty, "\nU /a\n"));
  EXPECT_TRUE(empty.empty());
  FileJournal missing;
  EXPECT_FALSE(missing.readManifest(path("no-such-manifest")));
}

TEST_F(FileJournalTest, CancelDeletesTemporaryFilesOnly) {
  ASSERT_TRUE(writeFile(path("source"), "source"));
  FileJournal journal;
  std::string first = write(journal, "one", "1");
  std::string second = write(journal, "two", "2");
  journal.addMove(path("source"), path("moved"));
  journal.cancel();
  EXPECT_TRUE(journal.empty());
  EXPECT_FALSE(pathExists(first));
  EXPECT_FALSE(pathExists(second));
  EXPECT_EQ(readFile(path("source")), "source");
}

TEST_F(FileJournalTest, ClaimDirectoryWithdrawsRemovalsOnly) {
  ASSERT_EQ(mkdir(path("entry").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(path("file"), "f"));
  FileJournal journal;
  journal.addRemove(path("entry"));
  EXPECT_TRUE(journal.claimDirectory(path("entry")));
  EXPECT_TRUE(journal.empty());
  EXPECT_TRUE(journal.claimDirectory(path("missing")));
  EXPECT_FALSE(journal.claimDirectory(path("file")));
  journal.addSymlink("x", path("linked"));
  EXPECT_FALSE(journal.claimDirectory(path("linked")));
  EXPECT_EQ(journal.operations().size(), 1u);
}

TEST_F(FileJournalTest, WriteManifestFailsWhenItCannotCreateTheFile) {
  FileJournal journal;
  journal.addMove("/a", "/b");
  EXPECT_FALSE(journal.writeManifest(path("missing/MANIFEST")));
}

// "/flash" is a small tmpfs in the child, the sources stay on the test's
// file system, so every move has to copy.
TEST_F(FileJournalTest, MovesAcrossFileSystemsCopyAndAFailedCopyKeepsTheTarget) {
  std::string flash = path("flash");
  ASSERT_EQ(mkdir(flash.c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(path("ram/small"), "small", 0640));
  ASSERT_TRUE(writeFile(path("ram/huge"), std::string(200 * 1024, 'h')));
  ASSERT_TRUE(writeFile(path("ram/tmp123456"), "owned"));
  ProcessResult result = runInChild([&] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(flash, 64 * 1024)) return 100;
    if (!writeFile(flash + "/kept", "old content")) return 101;
    processSpinner() = SpinnerState{};
    FileJournal journal;
    journal.addMove(path("ram/huge"), flash + "/kept");
    journal.addMove(path("ram/small"), flash + "/dir/small");
    journal.put(flash + "/owned", JOURNAL_TEMPORARY_MOVE, path("ram/tmp123456"));
    journal.apply(true);
    if (readFile(flash + "/kept") != "old content") return 1;
    if (readFile(flash + "/dir/small") != "small") return 2;
    struct stat status {};
    if (stat((flash + "/dir/small").c_str(), &status) != 0 || (status.st_mode & 0777) != 0640) return 3;
    if (readFile(path("ram/small")) != "small") return 4;  // a copy leaves the source
    if (!isDirectory(flash + "/dir")) return 5;
    // The journal's own temporary file is not left behind in "/ram".
    if (readFile(flash + "/owned") != "owned" || pathExists(path("ram/tmp123456"))) return 6;
    return 0;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err.rfind("copy: No space left on device", 0), 0u) << result.err;
  EXPECT_EQ(result.out, "|");  // the spinner's first step, shown during the copy
}

}  // namespace
