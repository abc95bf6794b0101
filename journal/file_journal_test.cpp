#include "journal/file_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/safe_write.h"
#include "test_root.h"

namespace {

using Operations = std::map<std::string, std::string>;

// The journal's operations: target → "U", "L text", "M source" or "T temporary".
Operations operationsOf(const FileJournal& journal) {
  static const char* const KINDS[] = {"M ", "T ", "?", "L ", "U"};  // by JournalKind
  Operations described;
  for (const auto& [target, operation] : journal.operations())
    described[target] = KINDS[operation.kind] + operation.argument;
  return described;
}

class FileJournalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.empty()); }
  void TearDown() override { removeTree(dir); }

  std::string path(const std::string& name) const { return dir + "/" + name; }
  // Opens a write through the journal and fills it; returns its temporary file.
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
  std::string linkText(const std::string& name) const {
    char text[64] = {};
    return readlink(path(name).c_str(), text, sizeof text - 1) > 0 ? text : "";
  }

  std::string dir = makeTemporaryDirectory("journal");
};

TEST_F(FileJournalTest, LaterOperationsOnATargetReplaceEarlierOnes) {
  ASSERT_TRUE(writeFile(path("replaced"), "old"));
  FileJournal journal;
  std::string first = write(journal, "file", "one");
  std::string second = write(journal, "file", "two");
  EXPECT_FALSE(pathExists(first));
  journal.addRemove(path("replaced"));
  EXPECT_EQ(operationsOf(journal),
            (Operations{{path("file"), "T " + second}, {path("replaced"), "U"}}));
  std::string third = write(journal, "replaced", "new");
  EXPECT_EQ(operationsOf(journal)[path("replaced")], "T " + third);
  journal.apply();
  EXPECT_EQ(readFile(path("file")), "two");
  EXPECT_FALSE(pathExists(second));
  EXPECT_EQ(readFile(path("replaced")), "new");
}

// The journal owns the temporary files of its writes: a withdrawn or
// cancelled write deletes its file, a cancelled move keeps its source.
TEST_F(FileJournalTest, WithdrawnAndCancelledWritesDeleteTheirTemporaryFiles) {
  ASSERT_TRUE(writeFile(path("source"), "source"));
  ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
  FileJournal journal;
  std::string withdrawn = write(journal, "file", "content");
  journal.addRemove(path("file"));      // a missing path withdraws what is pending on it
  journal.addRemove(path("dangling"));  // removal follows links: a dangling one is missing
  EXPECT_TRUE(journal.empty());
  EXPECT_FALSE(pathExists(withdrawn));
  const std::string temporaries[] = {write(journal, "one", "1"), write(journal, "two", "2")};
  journal.addMove(path("source"), path("moved"));
  journal.cancel();
  EXPECT_TRUE(journal.empty());
  for (const std::string& temporary : temporaries) EXPECT_FALSE(pathExists(temporary));
  EXPECT_EQ(readFile(path("source")), "source");
}

// Every removal and link runs before any move. In key order the move to
// "a" comes first, but its source "z" is removed in the first pass, so the
// move fails and says so; "package" is emptied before "ram/meta" moves in.
// A directory goes with its files unless it holds a subdirectory or a
// hidden entry. Moves and links create missing directories, not below a file.
TEST_F(FileJournalTest, ApplyRemovesAndLinksBeforeItMoves) {
  for (const char* name : {"z", "package/old", "package/meta", "ram/meta", "source", "existing",
                           "blocker", "plain/a", "nested/a", "nested/sub/c", "hidden/a",
                           "hidden/.keep"})
    ASSERT_TRUE(writeFile(path(name), name));
  ProcessResult result = runInChild([this] {
    FileJournal journal;
    journal.addMove(path("z"), path("a"));
    for (const char* name : {"z", "package", "plain", "nested", "hidden"})
      journal.addRemove(path(name));
    journal.addMove(path("ram/meta"), path("package/meta"));
    journal.addMove(path("source"), path("b/c/d/target"));
    journal.addSymlink("/flash/bootimage", path("existing"));
    journal.addSymlink("target text", path("new/dir/link"));
    journal.addSymlink("x", path("blocker/link"));
    journal.apply();
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(pathExists(path("a")));
  EXPECT_FALSE(pathExists(path("z")));
  EXPECT_FALSE(pathExists(path("package/old")));
  EXPECT_EQ(readFile(path("package/meta")), "ram/meta");
  EXPECT_FALSE(pathExists(path("plain")));
  EXPECT_FALSE(pathExists(path("nested/a")));
  EXPECT_EQ(readFile(path("nested/sub/c")), "nested/sub/c");
  EXPECT_FALSE(pathExists(path("hidden/a")));
  EXPECT_EQ(readFile(path("hidden/.keep")), "hidden/.keep");
  EXPECT_EQ(readFile(path("b/c/d/target")), "source");
  EXPECT_FALSE(pathExists(path("source")));
  EXPECT_EQ(linkText("existing"), "/flash/bootimage");
  EXPECT_EQ(linkText("new/dir/link"), "target text");
  EXPECT_EQ(result.err, "symlink: Not a directory\nrename: No such file or directory\n");
}

TEST_F(FileJournalTest, ManifestRoundTripTurnsTemporaryMovesIntoMoves) {
  ASSERT_TRUE(writeFile(path("old"), "old"));
  FileJournal journal;
  journal.addRemove(path("old"));
  journal.addSymlink("/flash/x", path("link"));
  journal.addMove("/ram/source", path("moved"));
  std::string temporary = write(journal, "written", "content");
  std::string manifest = manifestOf(journal);
  EXPECT_EQ(manifest, "L " + path("link") + " /flash/x\nM " + path("moved") + " /ram/source\nU " +
                          path("old") + "\nM " + path("written") + " " + temporary + "\n");
  EXPECT_FALSE(journal.writeManifest(path("missing/MANIFEST")));

  FileJournal restored;
  ASSERT_TRUE(restored.readManifest(path("MANIFEST")));
  Operations expected = operationsOf(journal);
  expected[path("written")] = "M " + temporary;
  EXPECT_EQ(operationsOf(restored), expected);
  EXPECT_EQ(manifestOf(restored), manifest);
  restored.cancel();  // moves own nothing
  EXPECT_EQ(readFile(temporary), "content");
}

// A malformed line fails the read but keeps the operations before it;
// unknown lines are passed over and an empty line ends the manifest.
TEST_F(FileJournalTest, ManifestLinesMalformedUnknownAndEmpty) {
  struct Case {
    const char* text;
    bool read;
    Operations operations;
  };
  const Case cases[] = {
      {"U /a\nM /b\nU /c\n", false, {{"/a", "U"}}},
      {"U\n", false, {}},
      {"L /link\n", false, {}},
      {"X /ignored /really\nM /t /s extra fields\n\nU /after\n", true, {{"/t", "M /s"}}},
      {"X /a /b\n", false, {}},
      {"\nU /a\n", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(writeFile(path("MANIFEST"), c.text));
    FileJournal journal;
    EXPECT_EQ(journal.readManifest(path("MANIFEST")), c.read);
    EXPECT_EQ(operationsOf(journal), c.operations);
  }
  FileJournal missing;
  EXPECT_FALSE(missing.readManifest(path("no-such-manifest")));
}

TEST_F(FileJournalTest, ClaimDirectoryWithdrawsRemovalsOnly) {
  ASSERT_EQ(mkdir(path("entry").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(path("file"), "f"));
  FileJournal journal;
  journal.addRemove(path("entry"));
  journal.addSymlink("x", path("linked"));
  EXPECT_TRUE(journal.claimDirectory(path("entry")));
  EXPECT_TRUE(journal.claimDirectory(path("missing")));
  EXPECT_FALSE(journal.claimDirectory(path("file")));
  EXPECT_FALSE(journal.claimDirectory(path("linked")));
  EXPECT_EQ(operationsOf(journal), (Operations{{path("linked"), "L x"}}));
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
    FileJournal journal;
    int blocks = 0;
    journal.addMove(path("ram/huge"), flash + "/kept");
    journal.addMove(path("ram/small"), flash + "/dir/small");
    journal.put(flash + "/owned", JOURNAL_TEMPORARY_MOVE, path("ram/tmp123456"));
    journal.apply([&] { ++blocks; });
    if (blocks == 0) return 7;  // the copies reported their progress
    if (readFile(flash + "/kept") != "old content") return 1;
    if (readFile(flash + "/dir/small") != "small") return 2;
    struct stat status {};
    if (stat((flash + "/dir/small").c_str(), &status) != 0) return 3;
    if ((status.st_mode & 0777) != 0640) return 4;
    if (readFile(path("ram/small")) != "small") return 5;  // a copy leaves the source
    // The journal's own temporary file is not left behind in "/ram".
    if (readFile(flash + "/owned") != "owned" || pathExists(path("ram/tmp123456"))) return 6;
    return 0;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err.rfind("copy: No space left on device", 0), 0u) << result.err;
}

}  // namespace
