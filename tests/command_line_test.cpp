// The option scan of the installer binary: the usage line, the options that
// end the scan, and "--commit" / "--cancel" of a stored manifest.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/command_line.h"
#include "console/console.h"
#include "journal/safe_write.h"
#include "test_root.h"

namespace {

using Arguments = std::vector<std::string>;

const std::string USAGE = "usage: installer [-q] [-r <root>] [-]\n";
const std::string RESUMING = "\nResuming upgrade...\n";
const std::string FINISHING = "finishing install... ";

TEST(OptionScanTest, UnknownArgumentsPrintUsageAndSucceed) {
  const std::pair<Arguments, std::string> cases[] = {
      {{"--bogus"}, USAGE},
      {{"-q", "help"}, USAGE},
      {{"--safe", "-down", "-b", "--force", "--noupgrade", "-i", "-x"}, USAGE},
      {{"-R"}, USAGE},
      {{"--SHOW"}, USAGE},
      {{"--show", "--commitx"}, USAGE},
      {{"-r"}, USAGE},  // "-r" as the last argument
      {{"-q", "-r", "/tmp", "-r"}, USAGE},
      {{"--reinstall", "--bogus"}, RESUMING + USAGE},
      {{"-q", "--reinstall", "--reinstall", "?"}, RESUMING + RESUMING + USAGE},
  };
  for (const auto& [arguments, out] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    ProcessResult result = runInstallerBinary(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, "");
  }
}

// "--cleanup", "--show" and "-" end the scan; the ignored options are
// accepted; a root that cannot be entered is reported and the run goes on.
TEST(OptionScanTest, OptionsThatEndTheScanOrAreIgnored) {
  struct Case {
    Arguments arguments;
    int status;
    bool listed;
    std::string err;
  };
  const std::string chrootFailed = "chroot: No such file or directory\n";
  const Case cases[] = {
      {{"--cleanup", "--bogus"}, 0, false, ""},
      {{"-q", "-", "--bogus"}, 1, false, ""},
      {{"--cleanup", "--show"}, 0, false, ""},
      {{"--show", "--cleanup"}, 0, true, ""},
      {{"-b", "--force", "--noupgrade", "-i", "--show"}, 0, true, ""},
      {{"-r", "/no/such/root", "--show"}, 0, true, chrootFailed},
      {{"-r", "--commit", "--show"}, 0, true, chrootFailed},  // "-r" takes any next argument
  };
  TestRoot root;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    ProcessResult result = runInstallerBinaryIn(root, c.arguments, "");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out.find("usage:"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(FINISHING), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Version") != std::string::npos, c.listed) << result.out;
  }
}

// A manifest that removes a file and a directory, links, and moves a
// temporary file into a directory that does not exist yet.
const std::string MANIFEST =
    "L /flash/link /flash/bootimage\n"
    "M /flash/new/dir/file /ram/tmpAbc123\n"
    "U /flash/old\n"
    "U /flash/olddir\n";

void storeManifest(const TestRoot& root) {
  ASSERT_TRUE(root.write("/flash/old", "old"));
  ASSERT_TRUE(root.write("/flash/olddir/a", "a"));
  ASSERT_TRUE(root.write("/flash/link", "a file the link replaces"));
  ASSERT_TRUE(root.write("/ram/tmpAbc123", "new content", 0755));
  ASSERT_TRUE(root.write(MANIFEST_PATH, MANIFEST));
}

std::string linkText(const std::string& path) {
  char text[256] = {};
  return readlink(path.c_str(), text, sizeof text - 1) > 0 ? text : "";
}

// "--commit" applies the manifest and leaves it in place, also when quiet,
// run in process, or after "-r": the root change belongs to the mode run,
// which "--commit" never reaches.
TEST(StoredManifestTest, CommitAppliesTheManifest) {
  for (const Arguments& arguments : {Arguments{"-q", "--commit", "--bogus"}, Arguments{"--commit"},
                                     Arguments{"-r", "/other", "--commit"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    TestRoot root;
    storeManifest(root);
    ASSERT_TRUE(root.write("/other/ram/MANIFEST", "U /flash/link\n"));
    ProcessResult result = arguments.size() == 1 ? runInstallerInRoot(root, arguments)
                                                 : runInstallerBinaryIn(root, arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, FINISHING + "\b \n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(root.exists("/flash/old"));
    EXPECT_FALSE(root.exists("/flash/olddir"));
    EXPECT_EQ(linkText(root.at("/flash/link")), "/flash/bootimage");
    EXPECT_EQ(root.read("/flash/new/dir/file"), "new content");
    EXPECT_FALSE(root.exists("/ram/tmpAbc123"));
    EXPECT_EQ(root.read(MANIFEST_PATH), MANIFEST);
  }
}

TEST(StoredManifestTest, CancelRemovesTheManifestAndTouchesNothingElse) {
  TestRoot root;
  storeManifest(root);
  ProcessResult result = runInstallerBinaryIn(root, {"--cancel", "--bogus"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(root.exists(MANIFEST_PATH));
  EXPECT_EQ(root.read("/ram/tmpAbc123"), "new content");  // a stored move owns no file
  EXPECT_EQ(root.read("/flash/old"), "old");
  EXPECT_EQ(root.read("/flash/link"), "a file the link replaces");
  EXPECT_FALSE(root.exists("/flash/new"));

  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});  // nothing to commit
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(commit.out, FINISHING + "\b \n");
  EXPECT_EQ(root.read("/flash/old"), "old");
  ProcessResult cancel = runInstallerBinaryIn(root, {"--cancel"});
  EXPECT_EQ(cancel.status, 0);
  EXPECT_EQ(cancel.out, "");
}

// "/flash" on its own small tmpfs: the move from "/ram" has to copy, which
// turns the spinner once; a copy that does not fit keeps the old file.
TEST(StoredManifestTest, CommitAcrossFileSystemsCopiesWithTheSpinner) {
  TestRoot root;
  ASSERT_TRUE(root.write("/ram/tmpSmall1", "small"));
  ASSERT_TRUE(root.write("/ram/tmpHuge01", std::string(256 * 1024, 'h')));
  ASSERT_TRUE(root.write(MANIFEST_PATH,
                         "M /flash/kept /ram/tmpHuge01\nM /flash/var/pdb/x/file /ram/tmpSmall1\n"));
  ProcessResult result = runInChild([&root] {
    if (!enterPrivateMountNamespace() || !mountTmpfs(root.at("/flash"), 64 * 1024)) return 100;
    if (!writeFile(root.at("/flash/kept"), "old content")) return 101;
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 102;
    processSpinner() = SpinnerState{};
    std::string arguments[] = {"installer", "--commit"};
    char* argv[] = {arguments[0].data(), arguments[1].data(), nullptr};
    int status = runInstaller(2, argv);
    if (readFile("/flash/kept") != "old content") return 1;
    if (readFile("/flash/var/pdb/x/file") != "small") return 2;
    return status;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, FINISHING + "|\b \n");
  EXPECT_EQ(result.err, "copy: No space left on device\n");
}

}  // namespace
