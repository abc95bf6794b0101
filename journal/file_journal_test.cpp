// The file journal, and the file-system mechanics beneath it (safe_write.h). Where temporary files go is left to the
// end-to-end fault tests that leave "/ram" missing or full.
#include "journal/file_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "chroot_check.h"
#include "journal/durable_record.h"
#include "journal/safe_write.h"

namespace {

using std::filesystem::exists;

// "TARGET KIND[ ARGUMENT]; " per operation: M(ove), T(emporary move), L(ink), U(nlink).
std::string described(const FileJournal& journal) {
  std::string text;
  journal.forEachOperation([&text](const std::string& target, const JournalOperation& operation) {
    text += target + " " + "MT?LU"[operation.kind];
    text += (operation.argument.empty() ? "" : " ") + operation.argument + "; ";
  });
  return text;
}

// Runs `body` in a child rooted in `root`, on a tmpfs of `flashBytes` at "/flash" unless 0; failures are printed with
// the child's output.
ProcessResult inRoot(const TestRoot& root, const std::function<void()>& body, size_t flashBytes = 0) {
  return runInChild([&] {
    if (flashBytes != 0 && (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), flashBytes))) return 100;
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 101;
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
}

// Writes through the journal and returns the temporary file.
std::string write(FileJournal& journal, const std::string& target, const std::string& content) {
  journal.openWrite(target, content.size() + 1, 0644) << content;
  return journal.operationOn(target).value().argument;
}

// A later operation on a target replaces the earlier one; a replaced, withdrawn (by removing a missing path, or a
// dangling link) or cancelled write deletes its temporary file, a cancelled move keeps its source. A directory may be
// claimed with nothing but a removal pending on it.
TEST(FileJournal, OperationsReplaceEarlierOnesAndWritesOwnTheirFiles) {
  EXPECT_TRUE(passesInRoot(TestRoot(), [] {
    ASSERT_TRUE(writeFile("/old", "old") && writeFile("/source", "source") && writeFile("/file", ""));
    std::filesystem::create_symlink("nowhere", "/dangling");
    FileJournal journal;
    const std::string first = write(journal, "/new", "one"), second = write(journal, "/new", "two");
    journal.addRemove("/old");
    journal.addRemove("/ram");
    EXPECT_EQ(described(journal), "/new T " + second + "; /old U; /ram U; ");
    const std::string third = write(journal, "/old", "new"), withdrawn = write(journal, "/dangling", "x");
    journal.addRemove("/dangling");
    journal.addSymlink("x", "/linked");
    EXPECT_TRUE(journal.claimDirectory("/ram") && journal.claimDirectory("/missing"));
    EXPECT_FALSE(journal.claimDirectory("/file") || journal.claimDirectory("/linked"));
    EXPECT_FALSE(exists(first) || exists(withdrawn));
    EXPECT_EQ(described(journal), "/linked L x; /new T " + second + "; /old T " + third + "; ");
    EXPECT_TRUE(journal.apply());
    EXPECT_EQ(readFile("/new") + readFile("/old") + std::filesystem::read_symlink("/linked").string(), "twonewx");
    EXPECT_FALSE(exists(second) || exists(third));
    const std::string cancelled = write(journal, "/other", "1");
    journal.addMove("/source", "/moved");
    journal.cancel();
    EXPECT_FALSE(!journal.empty() || exists(cancelled) || !exists("/source"));
  }));
}

// Every removal and link runs before any move: the move to "/a" comes first in key order, but its source "/z" is
// removed in the first pass, and "/package" is emptied before "/ram/meta" moves in. A directory goes with its files
// unless it holds a subdirectory or a hidden entry. Moves and links create missing directories, not below a file.
TEST(FileJournal, ApplyRemovesAndLinksBeforeItMoves) {
  TestRoot root;
  ProcessResult result = inRoot(root, [] {
    for (const char* name : {"/z", "/package/old", "/package/meta", "/ram/meta", "/source", "/blocker", "/plain/a",
                             "/nested/a", "/nested/sub/c", "/hidden/a", "/hidden/.keep"})
      ASSERT_TRUE(writeFile(name, name));
    FileJournal journal;
    journal.addMove("/z", "/a");
    for (const char* name : {"/z", "/package", "/plain", "/nested", "/hidden"}) journal.addRemove(name);
    journal.addMove("/ram/meta", "/package/meta");
    journal.addMove("/source", "/b/c/d/target");
    journal.addSymlink("target text", "/new/dir/link");
    journal.addSymlink("x", "/blocker/link");
    EXPECT_FALSE(journal.apply());
    for (const char* gone : {"/a", "/z", "/package/old", "/plain", "/nested/a", "/hidden/a", "/source"})
      EXPECT_FALSE(exists(gone)) << gone;
    EXPECT_EQ(readFile("/package/meta") + readFile("/nested/sub/c") + readFile("/hidden/.keep") +
                  readFile("/b/c/d/target") + std::filesystem::read_symlink("/new/dir/link").string(),
              "/ram/meta/nested/sub/c/hidden/.keep/sourcetarget text");
  });
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.err, "symlink: Not a directory\nrename: No such file or directory\n");
}

// The manifest marks a temporary move with a trailing "T"; one that cannot be put in place leaves no partial file.
// Reading takes a manifest whole or not at all (tests/transcripts/manifests.t has more of the manifests it refuses).
TEST(FileJournal, Manifest) {
  EXPECT_TRUE(passesInRoot(TestRoot(), [] {
    ASSERT_TRUE(writeFile("/flash/old", "old"));
    FileJournal journal, restored;
    journal.addRemove("/flash/old");
    journal.addSymlink("/x", "/flash/link");
    journal.addMove("/ram/tmpSource", "/flash/moved");
    const std::string temporary = write(journal, "/flash/written", "content");
    EXPECT_FALSE(journal.writeManifest("/missing/MANIFEST") || journal.writeManifest("/ram") || exists("/ram.new"));
    ASSERT_TRUE(journal.writeManifest("/MANIFEST"));
    EXPECT_EQ(readFile("/MANIFEST"),
              "L /flash/link /x\nM /flash/moved /ram/tmpSource\nU /flash/old\nM /flash/written " + temporary + " T\n");
    ASSERT_EQ(restored.readManifest("/MANIFEST"), "");
    EXPECT_EQ(described(restored), described(journal));
    for (const auto& [text, read] : std::map<std::string, std::string>{
             {"U\n", "line 1 is malformed"}, {"L /flash/l /t extra\n", "line 1 is malformed"}, {"", " "},
             {"M /flash/a /flash/tmpAbc123 X\n", "line 1 is malformed"},
             {"U /flash\n", "line 1 names /flash, outside /flash"},
             {"M /flash/a /ram/pdb\n", "line 1 moves /ram/pdb, which is not the installer's"},
             {"M /flash/a /ram/tmpAbc123 T\nM /flash/b /flash/d/tmpAbc123 T\nM /flash/c /flash/image\nU /flash/u\n",
              " /flash/a T /ram/tmpAbc123; /flash/b T /flash/d/tmpAbc123; /flash/c M /flash/image; /flash/u U; "}}) {
      FileJournal partial;
      ASSERT_TRUE(writeFile("/MANIFEST", text));
      const std::string reason = partial.readManifest("/MANIFEST");
      EXPECT_EQ(reason + " " + described(partial), read + (read[0] == ' ' ? "" : " ")) << text;
    }
  }));
}

// "/flash" is a small tmpfs, so every move copies: a copy whose last block is written short keeps the target, and the
// progress callback runs for the copied blocks; a copied file keeps its mode, and only the journal's own temporary file is deleted from "/ram"
// after the copy.
TEST(FileJournal, MovesAcrossFileSystemsCopy) {
  TestRoot root;
  ProcessResult result = inRoot(root, [] {
    // The last block of "huge" fits only in part.
    ASSERT_TRUE(writeFile("/ram/huge", std::string(3 * COPY_BLOCK_SIZE + 12000, 'h')));
    ASSERT_TRUE(writeFile("/flash/kept", "old"));
    ASSERT_TRUE(writeFile("/ram/tmp123456", "owned", 0640) && writeFile("/ram/small", "small"));
    FileJournal journal;
    int blocks = 0;
    journal.put("/flash/dir/owned", JOURNAL_TEMPORARY_MOVE, "/ram/tmp123456");
    journal.addMove("/ram/huge", "/flash/kept");
    journal.addMove("/ram/small", "/flash/small");
    EXPECT_FALSE(journal.apply([&blocks] { ++blocks; }));
    EXPECT_GT(blocks, 3);
    struct stat status {};
    EXPECT_EQ(stat("/flash/dir/owned", &status) == 0 ? status.st_mode & 0777 : 0, 0640u);
    EXPECT_EQ(readFile("/flash/kept") + readFile("/flash/dir/owned") + readFile("/flash/small") +
                  readFile("/ram/small"), "oldownedsmallsmall");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/flash"), {}), 3);
    EXPECT_FALSE(exists("/ram/tmp123456"));
  }, 16 * 4096);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.err, "copy: No space left on device\n");
}

// Answers from a table of directories and logs every probed path.
FileSystemProbe tableProbe(std::map<std::string, FileSystemSpace> spaces, std::string* asked = nullptr) {
  return [spaces, asked](const std::string& path, FileSystemSpace& space) {
    if (asked) *asked += path + " ";
    return spaces.count(path) != 0 && (space = spaces.at(path), true);
  };
}

// The hint and a tenth of it must stay strictly below the free bytes, counted in 64 bits and saturating.
TEST(SafeWrite, ParentOfAndRoomForAHint) {
  for (const auto& [path, parent] : std::map<std::string, std::string>{
           {"/flash/var/pdb/name", "/flash/var/pdb"}, {"/flash/var/pdb/name/", "/flash/var/pdb"}, {"/a//b", "/a"},
           {"/flash", "/"}, {"/", "."}, {"///", "."}, {"name", "."}, {"", "."}, {"a/b", "a"}})
    EXPECT_EQ(parentOf(path), parent) << path;
  std::string fits;
  for (auto [hint, blockSize, freeBlocks] : std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>{
           {1000, 1, 1100}, {1000, 1, 1101}, {9, 1, 10}, {3ull << 30, 4096, 1 << 20}, {4ull << 30, 4096, 1 << 20},
           {UINT64_MAX, UINT64_MAX, UINT64_MAX}, {1, UINT64_MAX, UINT64_MAX}})
    fits += hintFits(hint, blockSize, freeBlocks) ? "y" : "n";
  EXPECT_EQ(fits, "nyyynny");
}

// The first ancestor that can be measured decides, even when it is full or its name too long; "/ram" takes a zero
// hint and what finds no room.
TEST(SafeWrite, ChoosesTheMeasuredAncestorOrRam) {
  const std::string fits = "/" + std::string(116, 'd'), tooLong = fits + "d";
  for (const auto& [target, expected] : std::map<std::string, std::string>{
           {"/flash/new/deeper/file", "/flash: /flash/new/deeper /flash/new /flash "},
           {"/flash/pkg/file", "/ram: /flash/pkg "}, {"/a/b", "/ram: /a / "}, {"relative/file", "/ram: relative . "},
           {fits + "/f", fits + ": " + fits + " "}, {tooLong + "/f", "/ram: " + tooLong + " "}, {"/0", "/ram: "}}) {
    std::string asked;
    const FileSystemSpace room{1, 1101};
    auto probe = tableProbe({{"/flash", room}, {"/flash/pkg", {1, 1100}}, {fits, room}, {tooLong, room}}, &asked);
    EXPECT_EQ(chooseTemporaryDirectory(target, target == "/0" ? 0 : 1000, probe) + ": " + asked, expected);
  }
}

// A path below an owned place leaves it when a link among its existing folders, or a dangling one, leads elsewhere,
// or when ".." climbs out of a missing folder; a link at the last component or one that stays inside does not count,
// and paths outside the owned places are not judged. An owned file is opened without following a link at its name:
// creating it replaces the link, reading it fails with ELOOP, and nothing is opened in a folder that leaves.
TEST(SafeWrite, LinksThatLeaveAnOwnedPlace) {
  EXPECT_TRUE(passesInRoot(TestRoot(), [] {
    for (const char* folder : {"/flash/usr/lib", "/outside", "/ram/pdb"}) std::filesystem::create_directories(folder);
    ASSERT_TRUE(writeFile("/outside/secret", "kept") && writeFile("/flash/file", ""));
    for (const auto& [link, target] : std::map<std::string, std::string>{
             {"/flash/lib", "usr/lib"}, {"/flash/bin", "/outside"}, {"/flash/gone", "/nowhere"}, {"/flash/up", ".."},
             {"/flash/ram", "/ram/pdb"}, {"/ram/out", "/outside"}, {"/flash/usr/lib/name", "/outside/secret"}})
      std::filesystem::create_symlink(target, link);
    // The journal's folder facts agree, asked twice; a folder that is missing leaves nothing at the path.
    FolderFacts facts;
    std::string leaving, cached, missing;
    for (int pass = 0; pass < 2; ++pass)
      for (const char* path : {"/flash/lib/x", "/flash/lib/new/x", "/flash/usr/lib/name", "/flash/file/deeper/x",
                               "/flash/bin/x", "/flash/bin/new/x", "/flash/gone/x", "/flash/up/x", "/flash/ram/x",
                               "/ram/out/x", "/flash/new/../../x", "/outside/x", "/flashy/x"}) {
        if (pass == 0) leaving += leavesOwnedPlace(path) ? "y" : "n";
        cached += facts.leavesOwnedPlace(path) ? "y" : "n";
        missing += facts.folderMissing(path) ? "m" : "-";
      }
    EXPECT_EQ(leaving, "nnnnyyyyyyynn");
    EXPECT_EQ(cached, leaving + leaving);
    EXPECT_EQ(missing, "-m-m---------" "-m-m---------");
    int descriptor = openOwnedFile("/flash/usr/lib/name", O_RDONLY);
    EXPECT_EQ(descriptor < 0 ? errno : 0, ELOOP);
    descriptor = openOwnedFile("/flash/usr/lib/name", O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_TRUE(descriptor >= 0 && ::write(descriptor, "new", 3) == 3 && close(descriptor) == 0);
    EXPECT_EQ(readFile("/outside/secret") + readFile("/flash/usr/lib/name"), "keptnew");
    EXPECT_LT(openOwnedFile("/flash/bin/owned", O_WRONLY | O_CREAT), 0);
    EXPECT_FALSE(exists("/outside/owned"));
  }));
}

// A file written through its descriptor gets the entry's mode exactly (also bits the umask would take) and is
// recorded as a temporary move; in a
// folder that leaves its place nothing is made or recorded. What the journal learned of the folders holds until apply:
// a link planted after it is seen by the next write.
TEST(FileJournal, WritesThroughDescriptors) {
  EXPECT_TRUE(passesInRoot(TestRoot(), [] {
    std::filesystem::create_directories("/flash/etc");
    std::filesystem::create_directories("/outside");
    std::filesystem::create_symlink("/outside", "/flash/out");
    FileJournal journal;
    umask(022);
    const int file = journal.openWriteFile("/flash/etc/new/tool", 5, 0100751);
    ASSERT_GE(file, 0);
    EXPECT_TRUE(::write(file, "tool\n", 5) == 5 && close(file) == 0);
    const int shared = journal.openWriteFile("/flash/etc/shared", 1, 0100666);
    ASSERT_GE(shared, 0);
    close(shared);
    errno = 0;
    EXPECT_EQ(journal.openWriteFile("/flash/out/x", 1, 0644), -1);
    EXPECT_EQ(errno, ELOOP);
    const std::string temporary = journal.operationOn("/flash/etc/new/tool").value().argument;
    struct stat status {};
    EXPECT_TRUE(stat(temporary.c_str(), &status) == 0 && (status.st_mode & 07777) == 0751);
    const std::string sharedTemporary = journal.operationOn("/flash/etc/shared").value().argument;
    EXPECT_TRUE(stat(sharedTemporary.c_str(), &status) == 0 && (status.st_mode & 07777) == 0666);
    journal.forget("/flash/etc/shared");
    unlink(sharedTemporary.c_str());
    EXPECT_EQ(described(journal), "/flash/etc/new/tool T " + temporary + "; ");
    EXPECT_TRUE(journal.folderMissing("/flash/etc/new/tool") && !journal.folderMissing("/flash/etc/x"));
    EXPECT_TRUE(journal.apply());
    EXPECT_EQ(readFile("/flash/etc/new/tool"), "tool\n");
    std::filesystem::rename("/flash/etc", "/flash/etc.old");
    std::filesystem::create_symlink("/outside", "/flash/etc");
    EXPECT_EQ(journal.openWriteFile("/flash/etc/new/again", 1, 0644), -1);
    EXPECT_FALSE(exists("/outside/new"));
  }));
}

// Apply makes each folder once: one it made is not asked for again, unless a path at or above it was forgotten
// (moved or removed away); a name that only begins like the forgotten one ("/flash/a-x" for "/flash/a") stays known.
TEST(SafeWrite, ApplyMakesEachFolderOnce) {
  EXPECT_TRUE(passesInRoot(TestRoot(), [] {
    ApplyFacts facts;
    for (const char* folder : {"/flash/a/b/c", "/flash/a-x", "/flash/a/d"}) facts.makeDirectories(folder);
    for (const char* folder : {"/flash/a/b/c", "/flash/a/d", "/flash/a-x"}) std::filesystem::remove(folder);
    facts.forget("/flash/a/b");
    std::string made;
    for (const char* folder : {"/flash/a/b/c", "/flash/a-x", "/flash/a/d"}) {
      facts.makeDirectories(folder);
      made += exists(folder) ? "y" : "n";
    }
    facts.forget("/flash/a");
    for (const char* folder : {"/flash/a/d", "/flash/a-x"}) {
      facts.makeDirectories(folder);
      made += exists(folder) ? "y" : "n";
    }
    EXPECT_EQ(made, "ynnyn");
  }));
}

// A removal gives its blocks back, a partly used one counting whole; a new file costs its blocks, a replaced one
// returns the old blocks only when the new content comes from another device; "/flash/bootimage" counts for
// "/flash/boot". Every account must keep more than 16 free blocks, and one that cannot be measured has none. A file
// past 4 GiB (sparse) counts whole on 32-bit machines too.
TEST(SafeWrite, SpaceAccounts) {
  TestRoot root;
  ProcessResult result = inRoot(root, [] {
    ASSERT_TRUE(writeFile("/flash/file", std::string(4097, 'o')) && writeFile("/ram/five", std::string(20480, 'n')) &&
                writeFile("/flash/five", std::string(20479, 'n')) && writeFile("/flash/bootimage", "b") &&
                writeFile("/flash/huge", "") && truncate("/flash/huge", (int64_t{1} << 32) + 4096) == 0);
    SpaceAccount account = makeSpaceAccount("/flash"), boot{"/flash/boot", 4096, 0};
    EXPECT_EQ(std::to_string(account.blockSize) + " " + std::to_string(account.freeBlocks), "4096 56");
    const std::pair<std::string, JournalOperation> charges[] = {
        {"/flash/file", {JOURNAL_TEMPORARY_MOVE, "/ram/five"}}, {"/flash/file", {JOURNAL_MOVE, "/flash/five"}},
        {"/flash/five", {JOURNAL_REMOVE, ""}}, {"/flash/gone", {JOURNAL_REMOVE, ""}}, {"/flash/n", {JOURNAL_MOVE, ""}},
        {"/flash/link", {JOURNAL_SYMLINK, "/ram/five"}}, {"/ram/five", {JOURNAL_REMOVE, ""}},
        {"/flash/bootimage", {JOURNAL_REMOVE, ""}}, {"/flash/huge", {JOURNAL_REMOVE, ""}}};
    std::string balance;
    for (const auto& [target, operation] : charges) {
      chargeOperation(account, target, operation);
      chargeOperation(boot, target, operation);
      balance += std::to_string(account.freeBlocks - 56) + "/" + std::to_string(boot.freeBlocks) + " ";
    }
    EXPECT_EQ(balance, "-3/0 -3/0 2/0 2/0 2/0 2/0 2/0 3/1 1048580/1 ");
  }, 64 * 4096);
  EXPECT_EQ(result.status, 0) << result.out;
  FileJournal empty;
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}})));
  EXPECT_TRUE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 17}}})));
  EXPECT_FALSE(hasEnoughSpace(empty, tableProbe({{"/flash", {4096, 20}}, {"/flash/boot", {4096, 16}}})));
}

// A record is carried out only when it is whole (a stored manifest that it names goes with it); a temporary list
// deletes only what whole "T" lines name, not taken back by "K", of the run's own kind of file, inside the installer's
// places, not named by the stored manifest, and never through a link.
TEST(DurableRecord, FinishesWholeRecordsAndDeletesOnlyTheRunsOwnFiles) {
  const std::pair<std::string, Leftover> records[] = {
      {"installer record 1\nU /flash/x\nend 1\n", Leftover::FINISHED},
      {"installer record 1\nC /ram/MANIFEST\nU /flash/x\nend 1\n", Leftover::FINISHED},
      {"installer record 1\nU /flash/x\n", Leftover::DAMAGED},
      {"installer record 1\nU /flash/x\nend 2\n", Leftover::DAMAGED},
      {"installer record 1\nU /flash/x\nend 1", Leftover::DAMAGED},
      {"installer record 2\nU /flash/x\nend 1\n", Leftover::DAMAGED},
      {"installer record 1\nU /flash/x\nend 1\nU /flash/y\n", Leftover::DAMAGED},
      {"installer record 1\nU /outside\nend 1\n", Leftover::DAMAGED},
      {"installer record 1\nC /flash/x\nend 0\n", Leftover::DAMAGED},
  };
  EXPECT_TRUE(passesInRoot(TestRoot(), [&records] {
    for (const auto& [record, expected] : records) {
      ASSERT_TRUE(writeFile("/flash/x", "x") && writeFile("/ram/MANIFEST", "") && writeFile(RECORD_PATH, record));
      EXPECT_EQ(finishInterruptedInstall(""), expected) << record;
      EXPECT_EQ(exists("/flash/x"), expected != Leftover::FINISHED) << record;
      EXPECT_EQ(exists("/ram/MANIFEST"), record.find("C /ram") == std::string::npos) << record;
      EXPECT_FALSE(exists(RECORD_PATH));
    }
    const std::string kept[] = {"/flash/a/tmpBBBBBB", "/flash/a/tmpCCCCCC", "/flash/a/alpha", "/flash/a/tmpDDDDDD",
                                "/outside/tmpFFFFFF", "/outside/file"};
    for (const std::string& path : kept) ASSERT_TRUE(writeFile(path, "kept"));
    ASSERT_TRUE(writeFile("/flash/a/tmpAAAAAA", "") && writeFile(STREAM_IMAGE_FILE, "") &&
                writeFile("/ram/MANIFEST", "M /flash/a/new /flash/a/tmpDDDDDD T\n"));
    std::filesystem::create_symlink("/outside/file", "/flash/a/tmpEEEEEE");
    std::string list;
    for (const char* name : {"AAAAAA", "BBBBBB", "DDDDDD", "EEEEEE"}) list += std::string("T /flash/a/tmp") + name + "\n";
    list += "K /flash/a/tmpBBBBBB\nT /flash/a/alpha\nT /flash/a/../a/tmpAAAAAA\nT /outside/tmpFFFFFF\nT " +
            std::string(STREAM_IMAGE_FILE) + "\nT /flash/a/tmpCCCCCC";
    ASSERT_TRUE(writeFile(TEMPORARY_LIST_PATH, list));
    EXPECT_EQ(finishInterruptedInstall("/ram/MANIFEST"), Leftover::DISCARDED);
    EXPECT_FALSE(exists("/flash/a/tmpAAAAAA") || exists(STREAM_IMAGE_FILE) || exists(TEMPORARY_LIST_PATH));
    for (const std::string& path : kept) EXPECT_EQ(readFile(path), "kept") << path;
    EXPECT_TRUE(std::filesystem::is_symlink("/flash/a/tmpEEEEEE"));
    EXPECT_EQ(finishInterruptedInstall("/ram/MANIFEST"), Leftover::NONE);
  }));
}

}  // namespace
