// The option scan of the installer binary: the usage line, the options that
// end the scan, and "--commit" / "--cancel" of a stored manifest.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/command_line.h"
#include "journal/safe_write.h"
#include "test_root.h"

namespace {

const std::string USAGE = "usage: installer [-q] [-r <root>] [-]\n";
const std::string FINISHING = "finishing install... ";

std::string linkText(const std::string& path) {
  char text[256] = {};
  return readlink(path.c_str(), text, sizeof text - 1) > 0 ? text : "";
}

TEST(OptionScanTest, UnknownArgumentPrintsUsageAndSucceeds) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--bogus"}, {"-q", "help"}, {"--safe", "-down", "-b", "--force", "--noupgrade", "-i", "-x"},
        {"-R"}, {"--SHOW"}, {"--show", "--commitx"}}) {
    ProcessResult result = runInstallerBinary(arguments);
    EXPECT_EQ(result.status, 0) << arguments.back();
    EXPECT_EQ(result.out, USAGE) << arguments.back();
    EXPECT_EQ(result.err, "") << arguments.back();
  }
}

TEST(OptionScanTest, RootOptionWithoutValuePrintsUsage) {
  ProcessResult alone = runInstallerBinary({"-r"});
  EXPECT_EQ(alone.status, 0);
  EXPECT_EQ(alone.out, USAGE);
  ProcessResult afterOthers = runInstallerBinary({"-q", "-r", "/tmp", "-r"});
  EXPECT_EQ(afterOthers.status, 0);
  EXPECT_EQ(afterOthers.out, USAGE);
  EXPECT_EQ(afterOthers.err, "");
}

TEST(OptionScanTest, ReinstallAnnouncesItselfBeforeTheUsageLine) {
  ProcessResult result = runInstallerBinary({"--reinstall", "--bogus"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\nResuming upgrade...\n" + USAGE);
  ProcessResult quiet = runInstallerBinary({"-q", "--reinstall", "--reinstall", "?"});
  EXPECT_EQ(quiet.out, "\nResuming upgrade...\n\nResuming upgrade...\n" + USAGE);
}

TEST(OptionScanTest, CleanupAndStandardInputEndTheScan) {
  TestRoot root;
  ProcessResult cleanup = runInstallerBinaryIn(root, {"--cleanup", "--bogus"});
  EXPECT_EQ(cleanup.status, 0) << cleanup.err;
  EXPECT_EQ(cleanup.out.find("usage:"), std::string::npos) << cleanup.out;
  ProcessResult stream = runInstallerBinaryIn(root, {"-q", "-", "--bogus"}, "");
  EXPECT_EQ(stream.out.find("usage:"), std::string::npos) << stream.out;
}

TEST(OptionScanTest, CleanupBeforeShowRunsTheCleanupAndShowBeforeCleanupLists) {
  TestRoot root;
  ProcessResult cleanup = runInstallerBinaryIn(root, {"--cleanup", "--show"});
  EXPECT_EQ(cleanup.status, 0) << cleanup.err;
  EXPECT_EQ(cleanup.out.find("Version"), std::string::npos) << cleanup.out;
  ProcessResult listing = runInstallerBinaryIn(root, {"--show", "--cleanup"});
  EXPECT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("Version"), std::string::npos) << listing.out;
}

TEST(OptionScanTest, IgnoredOptionsAreAccepted) {
  TestRoot root;
  ProcessResult result = runInstallerBinaryIn(root, {"-b", "--force", "--noupgrade", "-i", "--show"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("usage:"), std::string::npos);
  EXPECT_NE(result.out.find("Version"), std::string::npos) << result.out;
}

TEST(OptionScanTest, FailedRootChangeIsReportedAndTheRunGoesOn) {
  TestRoot root;
  ProcessResult result = runInstallerBinaryIn(root, {"-r", "/no/such/root", "--show"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "chroot: No such file or directory\n");
  EXPECT_NE(result.out.find("Version"), std::string::npos) << result.out;
}

TEST(OptionScanTest, RootOptionConsumesTheNextArgumentWhateverItIs) {
  TestRoot root;
  ProcessResult result = runInstallerBinaryIn(root, {"-r", "--commit", "--show"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "chroot: No such file or directory\n");
  EXPECT_EQ(result.out.find(FINISHING), std::string::npos) << result.out;
}

class StoredManifestTest : public ::testing::Test {
 protected:
  // A manifest that removes a file and a directory, links, and moves a
  // temporary file into a directory that does not exist yet.
  void SetUp() override {
    ASSERT_TRUE(root.write("/flash/old", "old"));
    ASSERT_TRUE(root.write("/flash/olddir/a", "a"));
    ASSERT_TRUE(root.write("/flash/link", "a file the link replaces"));
    ASSERT_TRUE(root.write("/ram/tmpAbc123", "new content", 0755));
    ASSERT_TRUE(root.write(MANIFEST_PATH, MANIFEST));
  }

  void expectCommitted() const {
    EXPECT_FALSE(root.exists("/flash/old"));
    EXPECT_FALSE(root.exists("/flash/olddir"));
    EXPECT_EQ(linkText(root.at("/flash/link")), "/flash/bootimage");
    EXPECT_EQ(root.read("/flash/new/dir/file"), "new content");
    EXPECT_FALSE(root.exists("/ram/tmpAbc123"));
    EXPECT_EQ(root.read(MANIFEST_PATH), MANIFEST);  // left in place
  }

  const std::string MANIFEST =
      "L /flash/link /flash/bootimage\n"
      "M /flash/new/dir/file /ram/tmpAbc123\n"
      "U /flash/old\n"
      "U /flash/olddir\n";
  TestRoot root;
};

TEST_F(StoredManifestTest, QuietCommitStillShowsItsLineAndAppliesTheManifest) {
  ProcessResult result = runInstallerBinaryIn(root, {"-q", "--commit", "--bogus"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, FINISHING + "\b \n");
  EXPECT_EQ(result.err, "");
  expectCommitted();
}

TEST_F(StoredManifestTest, CommitInProcessAppliesTheManifest) {
  ProcessResult result = runInstallerInRoot(root, {"--commit"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, FINISHING + "\b \n");
  expectCommitted();
}

TEST_F(StoredManifestTest, CommitIgnoresTheRootOption) {
  // The root change belongs to the mode run; "--commit" ends the process
  // before it, so the manifest of the starting root is applied.
  ASSERT_TRUE(root.write("/other/ram/MANIFEST", "U /flash/link\n"));
  ProcessResult result = runInstallerBinaryIn(root, {"-r", "/other", "--commit"});
  EXPECT_EQ(result.status, 0) << result.err;
  expectCommitted();
}

TEST_F(StoredManifestTest, CancelRemovesTheManifestAndTouchesNothingElse) {
  ProcessResult result = runInstallerBinaryIn(root, {"--cancel", "--bogus"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(root.exists(MANIFEST_PATH));
  EXPECT_EQ(root.read("/ram/tmpAbc123"), "new content");  // a stored move owns no file
  EXPECT_EQ(root.read("/flash/old"), "old");
  EXPECT_EQ(root.read("/flash/link"), "a file the link replaces");
  EXPECT_FALSE(root.exists("/flash/new"));
}

TEST(CommitTest, MissingManifestCommitsNothing) {
  TestRoot root;
  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(commit.out, FINISHING + "\b \n");
  ProcessResult cancel = runInstallerBinaryIn(root, {"--cancel"});
  EXPECT_EQ(cancel.status, 0);
  EXPECT_EQ(cancel.out, "");
}

// "/flash" on its own small tmpfs: the move from "/ram" has to copy, which
// turns the spinner once; a copy that does not fit keeps the old file.
TEST(CommitTest, CommitAcrossFileSystemsCopiesWithTheSpinner) {
  TestRoot root;
  ASSERT_TRUE(root.write("/ram/tmpSmall1", "small", 0640));
  ASSERT_TRUE(root.write("/ram/tmpHuge01", std::string(256 * 1024, 'h')));
  ASSERT_TRUE(root.write(MANIFEST_PATH,
                         "M /flash/kept /ram/tmpHuge01\nM /flash/var/pdb/x/file /ram/tmpSmall1\n"));
  ProcessResult result = runInChild([&root] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), 64 * 1024)) return 100;
    if (!writeFile(root.at("/flash/kept"), "old content")) return 101;
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 102;
    processSpinner() = SpinnerState{};
    std::vector<std::string> storage = {"installer", "--commit"};
    std::vector<char*> argv = {storage[0].data(), storage[1].data(), nullptr};
    int status = runInstaller(2, argv.data());
    if (readFile("/flash/kept") != "old content") return 1;
    if (readFile("/flash/var/pdb/x/file") != "small") return 2;
    struct stat copied {};
    if (stat("/flash/var/pdb/x/file", &copied) != 0 || (copied.st_mode & 07777) != 0640) return 3;
    return status;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, FINISHING + "|\b \n");
  EXPECT_EQ(result.err, "copy: No space left on device\n");
  EXPECT_EQ(root.read("/ram/tmpSmall1"), "small");  // a copy leaves its source
}

}  // namespace
