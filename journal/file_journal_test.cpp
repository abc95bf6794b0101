#include "journal/file_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "journal/safe_write.h"
#include "test_root.h"

namespace {

// The journal in one line: "TARGET KIND[ ARGUMENT]" per operation, KIND
// being one of M(ove), T(emporary move), L(ink) or U(nlink).
std::string described(const FileJournal& journal) {
  std::string text;
  for (const auto& [target, operation] : journal.operations())
    text += target + " " + "MT?LU"[operation.kind] + (operation.argument.empty() ? "" : " ") + operation.argument + "; ";
  return text;
}

class FileJournalTest : public ::testing::Test {
 protected:
  void TearDown() override { removeTree(dir); }
  std::string at(const std::string& name) const { return dir + "/" + name; }
  // Writes through the journal and returns the temporary file.
  std::string write(FileJournal& journal, const std::string& name, const std::string& content) {
    journal.openWrite(at(name), content.size() + 1, 0644) << content;
    return journal.operations().at(at(name)).argument;
  }
  std::string linkText(const std::string& name) const {
    char text[64] = {};
    return readlink(at(name).c_str(), text, sizeof text - 1) > 0 ? text : "";
  }

  const std::string dir = makeTemporaryDirectory("journal");
};

// A later operation on a target replaces the earlier one. The journal owns
// the temporary files of its writes: a replaced, withdrawn (a removal of a
// missing path, a dangling link included) or cancelled write deletes its
// file; a cancelled move keeps its source. A directory may be claimed for
// an entry only without a pending operation other than a removal, which is
// withdrawn.
TEST_F(FileJournalTest, OperationsReplaceEarlierOnesAndWritesOwnTheirFiles) {
  ASSERT_TRUE(writeFile(at("old"), "old") && writeFile(at("source"), "source") && writeFile(at("file"), ""));
  ASSERT_EQ(symlink("nowhere", at("dangling").c_str()) | mkdir(at("entry").c_str(), 0755), 0);
  FileJournal journal;
  const std::string first = write(journal, "new", "one"), second = write(journal, "new", "two");
  journal.addRemove(at("old"));
  journal.addRemove(at("entry"));
  EXPECT_EQ(described(journal), at("entry") + " U; " + at("new") + " T " + second + "; " + at("old") + " U; ");
  const std::string third = write(journal, "old", "new"), withdrawn = write(journal, "dangling", "x");
  journal.addRemove(at("dangling"));
  journal.addSymlink("x", at("linked"));
  EXPECT_TRUE(journal.claimDirectory(at("entry")) && journal.claimDirectory(at("missing")));
  EXPECT_FALSE(journal.claimDirectory(at("file")) || journal.claimDirectory(at("linked")));
  EXPECT_FALSE(pathExists(first) || pathExists(withdrawn));
  EXPECT_EQ(described(journal), at("linked") + " L x; " + at("new") + " T " + second + "; " + at("old") + " T " + third + "; ");
  journal.apply(false);
  EXPECT_EQ(readFile(at("new")) + readFile(at("old")) + linkText("linked"), "twonewx");
  EXPECT_FALSE(pathExists(second) || pathExists(third));
  const std::string cancelled = write(journal, "other", "1");
  journal.addMove(at("source"), at("moved"));
  journal.cancel();
  EXPECT_TRUE(journal.empty());
  EXPECT_FALSE(pathExists(cancelled));
  EXPECT_EQ(readFile(at("source")), "source");
}

// Every removal and link runs before any move: the move to "a" comes first
// in key order, but its source "z" is removed in the first pass, and
// "package" is emptied before "ram/meta" moves in. A directory goes with its
// files unless it holds a subdirectory or a hidden entry. Moves and links
// create missing directories, not below a file.
TEST_F(FileJournalTest, ApplyRemovesAndLinksBeforeItMoves) {
  for (const char* name : {"z", "package/old", "package/meta", "ram/meta", "source", "existing", "blocker", "plain/a",
                           "nested/a", "nested/sub/c", "hidden/a", "hidden/.keep"})
    ASSERT_TRUE(writeFile(at(name), name));
  ProcessResult result = runInChild([this] {
    FileJournal journal;
    journal.addMove(at("z"), at("a"));
    for (const char* name : {"z", "package", "plain", "nested", "hidden"}) journal.addRemove(at(name));
    journal.addMove(at("ram/meta"), at("package/meta"));
    journal.addMove(at("source"), at("b/c/d/target"));
    journal.addSymlink("/flash/bootimage", at("existing"));
    journal.addSymlink("target text", at("new/dir/link"));
    journal.addSymlink("x", at("blocker/link"));
    journal.apply(false);
    return 0;
  });
  for (const char* gone : {"a", "z", "package/old", "plain", "nested/a", "hidden/a", "source"})
    EXPECT_FALSE(pathExists(at(gone))) << gone;
  EXPECT_EQ(readFile(at("package/meta")) + readFile(at("nested/sub/c")) + readFile(at("hidden/.keep")) +
                readFile(at("b/c/d/target")) + linkText("existing") + linkText("new/dir/link"),
            "ram/metanested/sub/chidden/.keepsource/flash/bootimagetarget text");
  EXPECT_EQ(result.err, "symlink: Not a directory\nrename: No such file or directory\n");
}

// The manifest stores a temporary move as a move, which owns no file; one
// that cannot be put in place leaves no partial file. Reading stops at an
// empty line, passes over unknown lines and fails at a malformed one,
// keeping the operations before it.
TEST_F(FileJournalTest, Manifest) {
  ASSERT_TRUE(writeFile(at("old"), "old"));
  ASSERT_EQ(mkdir(at("taken").c_str(), 0755), 0);
  FileJournal journal;
  journal.addRemove(at("old"));
  journal.addSymlink("/flash/x", at("link"));
  journal.addMove("/ram/source", at("moved"));
  const std::string temporary = write(journal, "written", "content");
  EXPECT_FALSE(journal.writeManifest(at("missing/MANIFEST")) || journal.writeManifest(at("taken")));
  EXPECT_FALSE(pathExists(at("taken.new")));
  ASSERT_TRUE(journal.writeManifest(at("MANIFEST")));
  EXPECT_EQ(readFile(at("MANIFEST")), "L " + at("link") + " /flash/x\nM " + at("moved") + " /ram/source\nU " + at("old") +
                                          "\nM " + at("written") + " " + temporary + "\n");
  FileJournal restored;
  ASSERT_TRUE(restored.readManifest(at("MANIFEST")));
  std::string expected = described(journal);
  EXPECT_EQ(described(restored), expected.replace(expected.rfind(" T "), 3, " M "));
  restored.cancel();
  EXPECT_EQ(readFile(temporary), "content");
  for (const auto& [text, read] : std::map<std::string, std::string>{
           {"U /a\nM /b\nU /c\n", "false /a U; "}, {"U\n", "false "}, {"L /link\n", "false "}, {"X /a /b\n", "false "},
           {"X /ignored /really\nL /l /t extra\n\nU /after\n", "true /l L /t; "}, {"\nU /a\n", "true "}}) {
    FileJournal partial;
    ASSERT_TRUE(writeFile(at("MANIFEST"), text));
    std::string outcome = partial.readManifest(at("MANIFEST")) ? "true " : "false ";
    EXPECT_EQ(outcome + described(partial), read) << text;
  }
  EXPECT_FALSE(FileJournal().readManifest(at("no-such-manifest")));
}

// "/flash" is a small tmpfs in the child, so every move copies: a copy
// whose last block is written short keeps the target, and the spinner shows
// once; a copied file keeps its mode, and only the journal's own temporary
// file is deleted from "/ram" after the copy.
TEST_F(FileJournalTest, MovesAcrossFileSystemsCopy) {
  const std::string flash = at("flash");
  ASSERT_EQ(mkdir(flash.c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(at("ram/huge"), std::string(3 * COPY_BLOCK_SIZE + 12000, 'h')) &&
              writeFile(at("ram/tmp123456"), "owned", 0640) && writeFile(at("ram/small"), "small"));
  ProcessResult result = runInChild([&] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(flash, 16 * 4096) || !writeFile(flash + "/kept", "old")) return 100;
    processSpinner() = SpinnerState{};
    FileJournal journal;
    journal.put(flash + "/dir/owned", JOURNAL_TEMPORARY_MOVE, at("ram/tmp123456"));
    journal.addMove(at("ram/huge"), flash + "/kept");
    journal.addMove(at("ram/small"), flash + "/small");
    journal.apply(true);
    struct stat status {};
    stat((flash + "/dir/owned").c_str(), &status);
    std::cout << " " << readFile(flash + "/kept") << readFile(flash + "/dir/owned") << readFile(flash + "/small") << " "
              << std::oct << (status.st_mode & 0777) << " " << std::distance(std::filesystem::directory_iterator(flash), {});
    return 0;
  });
  EXPECT_EQ(result.err, "copy: No space left on device\n");
  EXPECT_EQ(result.out, "| oldownedsmall 640 3");
  EXPECT_EQ(readFile(at("ram/small")), "small");
  EXPECT_FALSE(pathExists(at("ram/tmp123456")));
}

}  // namespace
