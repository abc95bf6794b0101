// Fault injection through the installer binary: the process killed at
// points of an upgrade run, full, missing and read-only file systems, an
// upload that vanishes, a manifest whose sources are gone, and disk errors.
// Each case checks that the live tree (the installed files and the package
// database) is exactly as before the run, or exactly as after a clean run
// where the run is meant to succeed.
//
// The faults come from the fault shim (tests/support/fault_shim.cpp),
// preloaded into the installer binary; its variables are described there.
#include <gmock/gmock.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>

#include "install_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using Tree = std::map<std::string, std::string>;

constexpr int KILLED = 128 + 9;  // SIGKILL
constexpr int MAX_FAULT_POINTS = 200;

std::string noise(size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

PackageDraft alpha(const char* versionText) {
  if (std::string(versionText) == "1.0")
    return package("alpha", "1.0", {{"bin/alpha", "one"}, {"etc/alpha.conf", "x=1"}, {"share/alpha/old", "old"}});
  return package("alpha", versionText,
                 {{"bin/alpha", "two"}, {"etc/alpha.conf", "x=2"}, {"share/alpha/new", noise(30 * 1024, 5)}});
}

// Depends on alpha (so it is installed second), has every list file, and
// a library large enough to be read in several blocks.
PackageDraft beta() {
  PackageDraft draft = package("beta", "1.0", {{"bin/beta", "b"}, {"lib/beta.so", noise(40 * 1024, 7)}});
  draft.deps.push_back(ref("alpha", "1.1"));
  draft.provides.push_back(ref("beta-api", "1.0", "1.0", 5));
  draft.conflicts.push_back(ref("gamma"));
  return draft;
}

// Enough files with long names that the manifest of their install takes
// more than one write and more than one page of memory.
PackageDraft manyFiles() {
  PackageDraft draft = package("many", "1.0");
  for (int index = 0; index < 150; ++index) {
    FileDraft entry;
    entry.name = "share/many/a-rather-long-directory-name/file-number-" + std::to_string(index);
    entry.data = "x";
    draft.files.push_back(entry);
  }
  return draft;
}

void uploadTo(const TestRoot& target, const std::string& fileName, const PackageDraft& draft) {
  ASSERT_TRUE(target.write("/flash/rw/pckg/" + fileName, bytesText(buildPackage(draft))));
}

// alpha 1.0 installed; alpha 1.1 (a changed, a new and a dropped file) and
// beta 1.0 uploaded.
void prepareUpgrade(const TestRoot& target) {
  uploadTo(target, "alpha.qbx", alpha("1.0"));
  ProcessResult installed = runInstallerBinary({"-r", target.path()});
  ASSERT_EQ(installed.status, 0) << installed.out;
  ASSERT_EQ(std::remove(target.at("/flash/rw/pckg/alpha.qbx").c_str()), 0);
  uploadTo(target, "alpha.qbx", alpha("1.1"));
  uploadTo(target, "beta.qbx", beta());
}

// The paths of `later` that `earlier` does not have.
std::vector<std::string> addedPaths(const Tree& earlier, const Tree& later) {
  std::vector<std::string> added;
  for (const auto& entry : later)
    if (earlier.count(entry.first) == 0) added.push_back(entry.first);
  return added;
}

// Large contents shortened to their size and hash, so that a failed
// comparison prints readably.
Tree readable(const Tree& tree) {
  Tree shown;
  for (const auto& [path, content] : tree)
    shown[path] = content.size() <= 64 ? content
                                       : std::to_string(content.size()) + " bytes, hash " +
                                             std::to_string(std::hash<std::string>()(content));
  return shown;
}

bool isTemporaryFile(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return name.size() == 9 && name.compare(0, 3, "tmp") == 0;
}

// The environment ("NAME=value") that preloads the shim at `library`: the
// shim stands before the sanitizer runtime of an instrumented build.
std::vector<std::string> shimEnvironment(const std::string& library) {
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  std::string options = sanitizer != nullptr ? sanitizer : "";
  if (options.find("verify_asan_link_order=0") == std::string::npos)
    options += ":verify_asan_link_order=0";
  return {"LD_PRELOAD=" + library, "ASAN_OPTIONS=" + options};
}

class FaultTest : public InstallTest {
 protected:
  void SetUp() override {
    prepareUpgrade(root);
    before = liveTree();
  }

  /// Runs `installer -r ROOT` with the fault shim preloaded and the fault
  /// variables ("NAME=value") set.
  ProcessResult runWithFaults(const std::vector<std::string>& faults,
                              const std::vector<std::string>& arguments = {},
                              const std::string& input = "") const {
    std::vector<std::string> environment = shimEnvironment(FAULT_SHIM_LIBRARY);
    environment.insert(environment.end(), faults.begin(), faults.end());
    std::vector<std::string> all{"-r", root.path()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runInstallerBinaryWithEnvironment(all, environment, input);
  }

  /// The tree that a clean upgrade run leaves, made in a second root.
  static Tree cleanUpgradeTree() {
    TestRoot reference;
    prepareUpgrade(reference);
    ProcessResult clean = runInstallerBinary({"-r", reference.path()});
    EXPECT_EQ(clean.status, 0) << clean.out;
    EXPECT_THAT(clean.out, HasSubstr("installed beta-1.0\n"));
    return readable(liveTreeOf(reference));
  }

  /// The live tree, large contents shortened.
  Tree liveTree(bool withTemporaries = true) const {
    return readable(InstallTest::liveTree(withTemporaries));
  }

  /// Checks that a killed run changed nothing but leaving temporary files;
  /// returns those.
  std::vector<std::string> expectOnlyGarbage(const std::string& point) const {
    EXPECT_EQ(liveTree(false), before) << point;
    EXPECT_FALSE(root.exists("/ram/MANIFEST")) << point;
    std::vector<std::string> garbage = addedPaths(before, liveTree());
    for (const std::string& path : garbage) EXPECT_TRUE(isTemporaryFile(path)) << point << ": " << path;
    return garbage;
  }

  /// Kills the run before the n-th matching call, for n = 1, 2, ... until a
  /// run gets through; every killed run must leave the tree as it was.
  /// Returns what the killed runs printed.
  std::vector<std::string> killAtEveryPoint(const std::string& call, const std::string& pattern) {
    std::vector<std::string> killed;
    for (int n = 1; n <= MAX_FAULT_POINTS; ++n) {
      std::string point = call + ":" + std::to_string(n) + (pattern.empty() ? "" : ":" + pattern);
      ProcessResult result = runWithFaults({"FAULT_KILL_AT=" + point});
      if (result.status != KILLED) {
        EXPECT_EQ(result.status, 0) << point << "\n" << result.out << result.err;
        return killed;
      }
      killed.push_back(result.out);
      expectOnlyGarbage(point);
    }
    ADD_FAILURE() << "no run got past " << call;
    return killed;
  }

  Tree before;
};

// ---- killed runs ---------------------------------------------------------

TEST_F(FaultTest, KilledAtTheSyncBeforeApplyingLeavesTheTreeAndTheNextRunRecovers) {
  ProcessResult killed = runWithFaults({"FAULT_KILL_AT=sync:1"});
  ASSERT_EQ(killed.status, KILLED) << killed.out << killed.err;
  std::vector<std::string> garbage = expectOnlyGarbage("sync:1");
  // One temporary file per new file and database file and the change
  // marker stays behind: 3 + 3 for alpha, 2 + 5 for beta, 1.
  EXPECT_EQ(garbage.size(), 14u);

  // The uploads are still there, so the next run does the whole upgrade.
  ProcessResult again = run();
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(liveTree(false), cleanUpgradeTree());
  EXPECT_EQ(addedPaths(cleanUpgradeTree(), liveTree()), garbage);
}

TEST_F(FaultTest, KilledAfterAnyTemporaryFileLeavesTheTree) {
  // Each temporary file is written and closed before the next is made;
  // the run that got through made the 14 of the test above.
  EXPECT_EQ(killAtEveryPoint("mkstemp", "").size(), 14u);
  EXPECT_EQ(liveTree(false), cleanUpgradeTree());
}

TEST_F(FaultTest, KilledAtAnyReadOfAnUploadLeavesTheTree) {
  std::vector<std::string> killed = killAtEveryPoint("read", "/flash/rw/pckg/*");
  // Some runs died in the scan, some while alpha was unpacked, some while
  // beta was, with alpha shown as installed but not applied.
  auto printed = [&killed](const std::string& text) {
    return std::count_if(killed.begin(), killed.end(),
                         [&text](const std::string& out) { return out.find(text) != std::string::npos; });
  };
  EXPECT_LT(printed("installing "), static_cast<long>(killed.size()));
  EXPECT_GT(printed("installing alpha-1.1"), 0);
  EXPECT_GT(printed("installed alpha-1.1\n"), 0);
  EXPECT_GT(printed("installing beta-1.0"), 1);
  EXPECT_EQ(liveTree(false), cleanUpgradeTree());
}

TEST_F(FaultTest, KilledStreamInstallLeavesOnlyItsCopyAndTemporaryFiles) {
  ProcessResult killed = runWithFaults({"FAULT_KILL_AT=sync:1"}, {"-"}, bytesText(buildPackage(alpha("1.1"))));
  ASSERT_EQ(killed.status, KILLED) << killed.out;
  // The copy of the stream is written in place, as for a failed install.
  EXPECT_TRUE(root.exists("/flash/var/pdb/image"));
  removeTree(root.at("/flash/var/pdb/image"));
  EXPECT_EQ(expectOnlyGarbage("sync:1 of a stream install").size(), 6u);
}

TEST_F(FaultTest, KilledWhileStoringTheManifestLeavesTheOlderOneToCommit) {
  const std::string older = "U /flash/share/alpha/old\n";
  ASSERT_TRUE(root.write("/ram/MANIFEST", older));
  uploadTo(root, "many.qbx", manyFiles());
  ProcessResult killed = runWithFaults({"FAULT_KILL_AT=write:2:/ram/MANIFEST*"}, {"--safe"});
  ASSERT_EQ(killed.status, KILLED) << killed.out;
  EXPECT_EQ(root.read("/ram/MANIFEST"), older);

  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(commit.err, "");
  Tree expected = before;
  expected.erase("/flash/share/alpha/old");
  EXPECT_EQ(liveTree(false), expected);
}

// "--commit" acts inside the root, where the shim has to be found; the
// binary started there inherits the test's environment.
ProcessResult commitKilledAt(const TestRoot& target, const std::string& point) {
  EXPECT_TRUE(target.write("/.fault-shim.so", readFile(FAULT_SHIM_LIBRARY), 0755));
  std::vector<std::string> entries = shimEnvironment("/.fault-shim.so");
  entries.push_back("FAULT_KILL_AT=" + point);
  for (const std::string& entry : entries) {
    size_t equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  ProcessResult result = runInstallerBinaryIn(target, {"--commit"});
  unsetenv("FAULT_KILL_AT");
  unsetenv("LD_PRELOAD");
  return result;
}

// A stored journal is applied by "--commit", which leaves the manifest in
// place: killed at any removal or move, the commit run again finishes the
// upgrade (saying "rename: ..." for what the first one already moved).
TEST_F(FaultTest, CommitKilledAnywhereIsFinishedByTheNextCommit) {
  const Tree after = cleanUpgradeTree();
  int killed = 0;
  for (const char* call : {"unlink", "rename"}) {
    for (int n = 1; n <= MAX_FAULT_POINTS; ++n) {
      TestRoot device;
      prepareUpgrade(device);
      ASSERT_EQ(runInstallerBinary({"-r", device.path(), "--safe"}).status, 0);
      std::string point = std::string(call) + ":" + std::to_string(n);
      ProcessResult first = commitKilledAt(device, point);
      if (first.status != KILLED) {
        EXPECT_EQ(first.status, 0) << point;
        EXPECT_EQ(readable(liveTreeOf(device, false)), after) << point;
        break;
      }
      ++killed;
      ProcessResult again = runInstallerBinaryIn(device, {"--commit"});
      EXPECT_EQ(again.status, 0) << point;
      EXPECT_EQ(readable(liveTreeOf(device, false)), after) << point;
    }
  }
  EXPECT_GT(killed, 14);  // at least every move
}

// ---- full and broken disks -----------------------------------------------

// A write failing with ENOSPC or EIO cancels everything; the message names
// the package that failed. Rows: each database file with content in turn
// (alpha writes version and files, its empty "deps" needs no write; beta
// version, deps, provides, conflicts and files); a small unpacked file,
// failing when its buffer is flushed at the close; beta's library (whose
// temporary file is made in "/flash", as "/flash/lib" does not exist yet)
// while its blocks are copied. The stream install fails the same way, with
// status 1.
TEST_F(FaultTest, WriteFailuresCancelEverything) {
  struct Target {
    const char* pattern;
    int from;  // the write that fails first; 0: every one
    const char* package;
  };
  std::vector<Target> targets = {{"/flash/bin/tmp??????", 0, "alpha-1.1"}, {"/flash/tmp??????", 0, "beta-1.0"}};
  for (int n = 1; n <= 7; ++n) targets.push_back({"/flash/var/pdb/*", n, n <= 2 ? "alpha-1.1" : "beta-1.0"});
  using Failure = std::pair<const char*, const char*>;  // error name, end of the message
  for (const auto& [errorName, ending] : {Failure{"ENOSPC", "disk is too small"}, Failure{"EIO", "disk error"}}) {
    const std::string message = std::string(" failed: ") + ending + "\n";
    for (const Target& target : targets) {
      std::string rule = std::string("write:") + target.pattern + ":" + errorName +
                         (target.from != 0 ? ":" + std::to_string(target.from) : "");
      ProcessResult result = runWithFaults({"FAULT_FAIL=" + rule});
      EXPECT_EQ(result.status, 0) << rule;
      EXPECT_THAT(result.out, HasSubstr(std::string("ERROR: installation of ") + target.package + message))
          << rule << "\n" << result.out;
      EXPECT_EQ(liveTree(), before) << rule;  // no temporary file left either
    }
    std::string rule = std::string("write:/flash/bin/tmp??????:") + errorName;
    ProcessResult streamed = runWithFaults({"FAULT_FAIL=" + rule}, {"-"}, bytesText(buildPackage(alpha("1.1"))));
    EXPECT_EQ(streamed.status, 1);
    EXPECT_THAT(streamed.out, HasSubstr("ERROR: installation of alpha-1.1" + message));
    removeTree(root.at("/flash/var/pdb/image"));  // the copy of the stream stays, as always
    EXPECT_EQ(liveTree(), before) << rule;
  }
  ProcessResult past = runWithFaults({"FAULT_FAIL=write:/flash/var/pdb/*:ENOSPC:8"});
  EXPECT_EQ(past.status, 0);
  EXPECT_EQ(liveTree(), cleanUpgradeTree());
}

// The stream install copies standard input into the package's stored
// image (or the boot image) while it reads it. A copy cut short by a full
// disk must not become the stored image.
TEST_F(FaultTest, StreamCopyThatCannotBeWrittenWholeFailsTheInstall) {
  clearUploads();
  PackageDraft imaged = package("imaged", "1.0");
  imaged.image = ByteVector(40000, 0x5A);
  PackageDraft boot = package("tessel", "6.40", {{"boot/kernel", "kernel"}});
  boot.flags = PACKAGE_FLAG_BOOT;
  boot.image = ByteVector(40000, 0x11);
  for (const PackageDraft& draft : {imaged, boot}) {
    ProcessResult result = runWithFaults({"FAULT_FAIL=write:/flash/var/pdb//image:ENOSPC:2", "bootimage=1"}, {"-"},
                                         bytesText(buildPackage(draft)));
    EXPECT_EQ(result.status, 1) << draft.name;
    EXPECT_THAT(result.out, HasSubstr("ERROR: could not write image: No space left on device\n")) << draft.name;
    // The short copy stays where it was written, as after any failed
    // stream install; nothing else changes.
    EXPECT_TRUE(root.exists("/flash/var/pdb/image"));
    removeTree(root.at("/flash/var/pdb/image"));
    EXPECT_EQ(liveTree(), before) << draft.name;
  }
}

// Reads of alpha's file failing with EIO from some read on, as a disk that
// died: at the first read of the scan alpha is a broken file (and beta,
// which needs it, is refused), inside the install a broken package; either
// way nothing is applied. The scan does not need the reads after the
// headers, so when the disk dies there, the install finds the header
// unreadable, which cancels the run without a message.
TEST_F(FaultTest, ReadErrorOnAnUploadIsABrokenPackage) {
  int scanFailures = 0;
  int installFailures = 0;
  int silentFailures = 0;
  for (int n = 1; n <= MAX_FAULT_POINTS; ++n) {
    std::string rule = "read:/flash/rw/pckg/alpha.qbx:EIO:" + std::to_string(n);
    ProcessResult result = runWithFaults({"FAULT_FAIL=" + rule});
    ASSERT_EQ(result.status, 0) << rule << "\n" << result.err;
    if (result.out.find("installed beta-1.0\n") != std::string::npos) break;  // past the last read
    if (result.out.find("ERROR: broken package alpha.qbx\n") != std::string::npos) {
      ++scanFailures;
      EXPECT_THAT(result.out,
                  HasSubstr("ERROR: can not install beta-1.0: alpha-1.1 is not installed, but is required\n"));
    } else if (result.out.empty()) {
      ++silentFailures;  // the tree is checked below
    } else {
      ++installFailures;
      EXPECT_THAT(result.out, HasSubstr("ERROR: installation of alpha-1.1 failed: broken package\n")) << rule;
    }
    EXPECT_EQ(liveTree(), before) << rule;
  }
  EXPECT_GT(scanFailures, 0);
  EXPECT_GT(installFailures, 0);
  EXPECT_GT(silentFailures, 0);
  EXPECT_EQ(liveTree(), cleanUpgradeTree());
}

// A file of the package database that cannot be read makes its package
// look broken, and a broken package is uninstalled: the run must stop
// before it plans anything.
TEST_F(FaultTest, UnreadableDatabaseStopsTheRunBeforeAnythingIsPlanned) {
  clearUploads();
  PackageDraft imaged = package("imaged", "1.0");
  imaged.image = ByteVector(40000, 0x5A);
  uploadTo(root, "gamma.qbx", package("gamma", "1.0", {{"bin/gamma", "g"}}));
  uploadTo(root, "imaged.qbx", imaged);
  ASSERT_EQ(run().status, 0);
  const Tree installed = liveTree();
  for (const std::string file : {"/flash/var/pdb/alpha/version", "/flash/var/pdb/alpha/deps",
                                 "/flash/var/pdb/alpha/files", "/flash/var/pdb/imaged/image"}) {
    const std::string rule = "FAULT_FAIL=read:" + file + ":EIO";
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"--cleanup"}, {"--show"}}) {
      ProcessResult result = runWithFaults({rule}, arguments);
      EXPECT_EQ(result.status, 5) << file;
      EXPECT_THAT(result.out, HasSubstr("ERROR: could not read " + file)) << file;
      EXPECT_EQ(liveTree(), installed) << file;
    }
  }
  ProcessResult readable = run();
  EXPECT_EQ(readable.status, 0);
  EXPECT_EQ(liveTree(), installed);
}

// ---- uploads -------------------------------------------------------------

// The scan opens each upload once; the install's open finds it gone. beta
// is refused without the alpha it needs, and a refusal drops the run;
// gamma, which nobody needs, is passed over in silence.
TEST_F(FaultTest, UploadThatVanishesAfterTheScan) {
  ProcessResult needed = runWithFaults({"FAULT_UNLINK_BEFORE_OPEN=/flash/rw/pckg/alpha.qbx:2"});
  EXPECT_EQ(needed.status, 0) << needed.out;
  EXPECT_EQ(needed.out, "ERROR: can not install beta-1.0: alpha-1.1 is not installed, but is required\n");
  EXPECT_EQ(liveTree(), before);

  upload("alpha.qbx", alpha("1.1"));
  upload("gamma.qbx", package("gamma", "1.0", {{"bin/gamma", "g"}}));
  ProcessResult result = runWithFaults({"FAULT_UNLINK_BEFORE_OPEN=/flash/rw/pckg/gamma.qbx:2"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_FALSE(root.exists("/flash/rw/pckg/gamma.qbx"));
  EXPECT_THAT(result.out, Not(HasSubstr("gamma")));
  EXPECT_THAT(result.out, HasSubstr("installed beta-1.0\n"));
  EXPECT_EQ(liveTree(), cleanUpgradeTree());
}

// ---- commit of a stored manifest -----------------------------------------

TEST_F(FaultTest, CommitReportsEachMissingSourceAndAppliesTheRest) {
  ASSERT_TRUE(root.write("/flash/tmpAAAAAA", "new alpha"));
  ASSERT_TRUE(root.write("/ram/MANIFEST",
                         "M /flash/bin/alpha /flash/tmpAAAAAA\n"
                         "M /flash/bin/gone /flash/tmpMISSING\n"
                         "U /flash/etc/alpha.conf\n"
                         "L /flash/lib/link /flash/bin/alpha\n"
                         "M /flash/sbin/also-gone /ram/tmpMISSING\n"));
  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(commit.out, "finishing install... \b \n");
  EXPECT_EQ(commit.err, "rename: No such file or directory\nrename: No such file or directory\n");
  EXPECT_EQ(root.read("/flash/bin/alpha"), "new alpha");
  EXPECT_FALSE(root.exists("/flash/etc/alpha.conf"));
  EXPECT_EQ(liveTree()["/flash/lib/link"], "-> /flash/bin/alpha");
  EXPECT_FALSE(root.exists("/flash/bin/gone"));
  EXPECT_FALSE(root.exists("/flash/sbin/also-gone"));
  EXPECT_TRUE(root.exists("/ram/MANIFEST"));
}

// ---- file systems that are missing, full or read-only ---------------------

TEST_F(FaultTest, MissingRamOnlyFailsWhatNeedsIt) {
  ASSERT_TRUE(removeTree(root.at("/ram")));
  // "--safe" cannot store its manifest: nothing would ever apply the
  // journal, so it is dropped with an error.
  ProcessResult safe = run({"--safe"});
  EXPECT_EQ(safe.status, 1);
  EXPECT_THAT(safe.out, HasSubstr("ERROR: could not store /ram/MANIFEST: No such file or directory\n"));
  EXPECT_EQ(liveTree(), before);

  // An empty file has its temporary file in "/ram".
  upload("empty.qbx", package("empty", "1.0", {{"etc/empty", ""}}));
  ProcessResult withEmptyFile = run();
  EXPECT_EQ(withEmptyFile.status, 0);
  EXPECT_THAT(withEmptyFile.out, HasSubstr("ERROR: installation of empty-1.0 failed: could not create etc/empty: "
                                           "No such file or directory\n"));
  EXPECT_EQ(liveTree(), before);
  ASSERT_EQ(std::remove(root.at("/flash/rw/pckg/empty.qbx").c_str()), 0);

  ProcessResult streamed = run({"-"}, bytesText(buildPackage(package("gamma", "1.0", {{"bin/gamma", "g"}}))));
  EXPECT_EQ(streamed.status, 0) << streamed.out;
  EXPECT_EQ(root.read("/flash/bin/gamma"), "g");

  ProcessResult upgrade = run();
  EXPECT_EQ(upgrade.status, 0) << upgrade.out;
  EXPECT_THAT(upgrade.out, HasSubstr("installed beta-1.0\n"));
}

// Gives the test its own mount table, so that the root's "/flash" and
// "/ram" can be replaced for the runs of one test.
class MountedFaultTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    ASSERT_TRUE(enterPrivateMountNamespace());
  }
  void TearDown() override {
    for (const char* path : {"/ram", "/flash"}) umount2(root.at(path).c_str(), MNT_DETACH);
  }

  void mountRam(size_t bytes) { ASSERT_TRUE(mountTmpfs(root.at("/ram"), bytes)); }

  void makeFlashReadOnly() {
    const std::string flash = root.at("/flash");
    ASSERT_EQ(mount(flash.c_str(), flash.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, flash.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  }
};

TEST_F(MountedFaultTest, ReadOnlyFlashRefusesEveryInstall) {
  const std::string postlog = root.read("/flash/postlog");
  makeFlashReadOnly();
  ProcessResult upgrade = run();
  EXPECT_EQ(upgrade.status, 0);
  EXPECT_THAT(upgrade.out, HasSubstr("ERROR: installation of alpha-1.1 failed: could not create bin/alpha: "
                                     "Read-only file system\n"));
  EXPECT_THAT(upgrade.out, Not(HasSubstr("installed")));
  EXPECT_EQ(upgrade.err, "");

  ProcessResult safe = run({"--safe"});
  EXPECT_EQ(safe.status, 0);
  EXPECT_THAT(safe.out, HasSubstr("ERROR: installation of alpha-1.1 failed: could not create bin/alpha: "
                                  "Read-only file system\n"));
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));

  ProcessResult streamed = run({"-"}, bytesText(buildPackage(alpha("1.1"))));
  EXPECT_EQ(streamed.status, 255);
  EXPECT_EQ(streamed.out, "ERROR: could not open image\n");

  EXPECT_EQ(liveTree(), before);
  EXPECT_EQ(root.read("/flash/postlog"), postlog);
}

// A manifest larger than "/ram" drops the "--safe" run without leaving a
// partial manifest. Only "--safe" and the temporary files of empty files
// (or of files too large for the flash) go through "/ram"; an empty file
// needs no room, so with "/ram" full upgrades and streams still work.
TEST_F(MountedFaultTest, FullRamFailsOnlyASafeRun) {
  mountRam(4096);
  upload("many.qbx", manyFiles());
  ProcessResult safe = run({"--safe"});
  EXPECT_EQ(safe.status, 1);
  EXPECT_THAT(safe.out, HasSubstr("ERROR: could not store /ram/MANIFEST: No space left on device\n"));
  EXPECT_EQ(liveTree(), before);
  // A later commit must not find half a journal to apply.
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(liveTree(), before);

  EXPECT_FALSE(root.write("/ram/filler", std::string(8192, 'f')));
  ProcessResult streamed = run({"-"}, bytesText(buildPackage(package("empty", "1.0", {{"etc/empty", ""}}))));
  EXPECT_EQ(streamed.status, 0) << streamed.out;
  EXPECT_EQ(root.read("/flash/etc/empty"), "");
  ProcessResult upgrade = run();
  EXPECT_EQ(upgrade.status, 0) << upgrade.out;
  EXPECT_THAT(upgrade.out, HasSubstr("installed many-1.0\n"));
  EXPECT_THAT(upgrade.out, HasSubstr("installed beta-1.0\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "two");
}

}  // namespace
