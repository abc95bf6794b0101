// End-to-end tests of the upgrade run and the stream install: the installer
// binary against temporary device roots, with packages made by the writer.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "install_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string versionLine(const char* text, uint32_t buildTime = 1000) {
  return std::to_string(version(text)) + " " + std::to_string(buildTime) + "\n";
}

TEST_F(InstallTest, UpgradeRunInstallsThenReplacesWithNewerVersion) {
  upload("a.qbx", package("alpha", "1.0", {{"bin/alpha", "one"}, {"etc/alpha.conf", "x=1"}}));
  ProcessResult first = run();
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("installed alpha-1.0\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "one");
  EXPECT_EQ(dbFile("alpha", "version"), versionLine("1.0"));
  EXPECT_EQ(dbFile("alpha", "files"), "flash/bin/alpha\nflash/etc/alpha.conf\n");
  EXPECT_EQ(dbFile("alpha", "deps"), "");
  EXPECT_TRUE(root.exists("/flash/PCKGS_CHANGED"));
  EXPECT_THAT(root.read("/flash/postlog"), HasSubstr("installed alpha-1.0\n"));

  clearUploads();
  upload("a.qbx", package("alpha", "1.1", {{"bin/alpha2", "two"}}));
  ProcessResult second = run();
  EXPECT_EQ(second.status, 0) << second.out;
  EXPECT_THAT(second.out, HasSubstr("installed alpha-1.1\n"));
  EXPECT_FALSE(root.exists("/flash/bin/alpha"));
  EXPECT_FALSE(root.exists("/flash/etc/alpha.conf"));
  EXPECT_EQ(root.read("/flash/bin/alpha2"), "two");
  EXPECT_EQ(dbFile("alpha", "version"), versionLine("1.1"));
  // The first run's lines are carried over in front of the second run's.
  std::string postlog = root.read("/flash/postlog");
  EXPECT_LT(postlog.find("installed alpha-1.0"), postlog.find("installed alpha-1.1"));
}

TEST_F(InstallTest, OlderVersionNeedsTheDowngradeMarker) {
  upload("a.qbx", package("alpha", "1.1", {{"bin/alpha", "new"}}));
  ASSERT_EQ(run().status, 0);
  clearUploads();
  upload("a.qbx", package("alpha", "1.0", {{"bin/alpha", "old"}}));

  ProcessResult refused = run();
  EXPECT_EQ(refused.status, 0);
  EXPECT_THAT(refused.out,
              HasSubstr("WARNING: omitting package alpha-1.0: newer package alpha-1.1 is already installed\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "new");

  ASSERT_TRUE(root.write("/rw/DOWNGRADE", ""));
  ProcessResult accepted = run();
  EXPECT_THAT(accepted.out, HasSubstr("installed alpha-1.0\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "old");
  EXPECT_FALSE(root.exists("/rw/DOWNGRADE"));
}

TEST_F(InstallTest, SameVersionIsOmittedUnlessReinstalling) {
  upload("a.qbx", package("alpha", "1.0", {{"bin/alpha", "one"}}));
  ASSERT_EQ(run().status, 0);
  ProcessResult again = run();
  EXPECT_THAT(again.out, HasSubstr("WARNING: omitting package alpha-1.0: it is already installed\n"));
  ProcessResult reinstall = run({"--reinstall"});
  EXPECT_EQ(reinstall.status, 0);
  EXPECT_THAT(reinstall.out, HasSubstr("\nResuming upgrade...\n"));
  EXPECT_THAT(reinstall.out, HasSubstr("installed alpha-1.0\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "one");
}

TEST_F(InstallTest, PackageWithImagePartIsKeptWholeAndListedNextRun) {
  PackageDraft draft = package("imaged", "2.0");
  draft.image = ByteVector(10000, 0x5A);
  draft.note = "kept whole";
  ByteVector bytes = buildPackage(draft);
  upload("imaged.qbx", bytes);
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read("/flash/var/pdb/imaged/image"), bytesText(bytes));
  EXPECT_FALSE(root.exists("/flash/var/pdb/imaged/version"));
  EXPECT_FALSE(root.exists("/flash/rw/pckg/imaged.qbx"));
  ProcessResult listing = run({"--show"});
  EXPECT_THAT(listing.out, HasSubstr("imaged"));
  EXPECT_THAT(listing.out, HasSubstr("2.0"));
  EXPECT_THAT(listing.out, HasSubstr("kept whole"));
}

TEST_F(InstallTest, BootPackageWithBootimageSetBecomesTheBootImage) {
  PackageDraft draft = package("tessel", "6.40", {{"boot/kernel", "kernel"}});
  draft.flags = PACKAGE_FLAG_BOOT;
  draft.image = ByteVector(100, 1);
  ByteVector bytes = buildPackage(draft);
  upload("tessel.qbx", bytes);
  setenv("bootimage", "1", 1);
  ProcessResult result = run();
  unsetenv("bootimage");
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read("/flash/bootimage"), bytesText(bytes));
  char link[256] = {};
  ASSERT_GT(readlink(root.at("/flash/var/pdb/tessel/image").c_str(), link, sizeof link - 1), 0);
  EXPECT_STREQ(link, "/flash/bootimage");
  // The files part stays packed in the image; the marker tells the boot loader.
  EXPECT_FALSE(root.exists("/flash/boot/kernel"));
  EXPECT_TRUE(root.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, ExcludedPackageIsInstalledDisabledAndRequirementsAreChecked) {
  PackageDraft guard = package("guard", "1.0");
  guard.conflicts.push_back(ref("victim"));
  upload("guard.qbx", guard);
  ASSERT_EQ(run().status, 0);
  clearUploads();

  upload("victim.qbx", package("victim", "1.0", {{"bin/victim", "v"}}));
  ProcessResult result = run();
  EXPECT_THAT(result.out, HasSubstr("installed (disabled) victim-1.0\n"));
  EXPECT_THAT(result.out, HasSubstr("\rinstalling  (disabled) victim-1.0 ["));
  EXPECT_THAT(result.out, Not(HasSubstr("conflicts")));
  EXPECT_EQ(root.read("/flash/x/victim/bin/victim"), "v");
  EXPECT_FALSE(root.exists("/flash/bin/victim"));
  EXPECT_EQ(dbFile("victim", "disabled"), "auto\n");
  clearUploads();

  PackageDraft needy = package("needy", "1.0");
  needy.deps.push_back(ref("missing", "2.0"));
  upload("needy.qbx", needy);
  ProcessResult missing = run();
  EXPECT_THAT(missing.out,
              HasSubstr("ERROR: can not install needy-1.0: missing-2.0 is not installed, but is required\n"));
  clearUploads();

  PackageDraft foreign = package("foreign", "1.0");
  foreign.architecture = "powerpc";
  upload("foreign.qbx", foreign);
  ProcessResult arch = run();
  EXPECT_THAT(arch.out,
              HasSubstr("ERROR: can not install foreign-1.0: it is not made for i386, but for powerpc\n"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/foreign"));
}

TEST_F(InstallTest, BrokenSignatureTruncatedFileAndFailingSecondCandidateLeaveTheTreeAlone) {
  upload("base.qbx", package("base", "1.0", {{"bin/base", "b"}}));
  ASSERT_EQ(run().status, 0);
  clearUploads();
  const auto before = liveTree();

  ByteVector tampered = buildPackage(package("base", "1.1", {{"bin/base", "tampered"}}));
  tampered[tampered.size() - 1] ^= 0x01;  // the scalar of the signature
  upload("base.qbx", tampered);
  ProcessResult broken = run();
  EXPECT_THAT(broken.out, HasSubstr("ERROR: installation of base-1.1 failed: broken package\n"));
  EXPECT_EQ(liveTree(), before);
  clearUploads();

  // Cut inside the files part: the size check finds it at the scan.
  ByteVector whole = buildPackage(package("base", "1.2", {{"bin/base", std::string(5000, 'z')}}));
  upload("base.qbx", ByteVector(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
  ProcessResult truncated = run();
  EXPECT_THAT(truncated.out, HasSubstr("ERROR: broken package base.qbx\n"));
  EXPECT_EQ(liveTree(), before);
  clearUploads();

  // The first candidate installs into the journal, the second fails: the
  // whole journal is dropped.
  PackageDraft first = package("first", "1.0", {{"bin/first", "f"}});
  PackageDraft secondDraft = package("second", "1.0", {{"bin/second", "s"}});
  secondDraft.deps.push_back(ref("first"));  // orders it after "first"
  ByteVector second = buildPackage(secondDraft);
  second[second.size() - 1] ^= 0x01;
  upload("first.qbx", first);
  upload("second.qbx", second);
  ProcessResult two = run();
  EXPECT_THAT(two.out, HasSubstr("installed first-1.0\n"));
  EXPECT_THAT(two.out, HasSubstr("installation of second-1.0 failed: broken package"));
  EXPECT_EQ(liveTree(), before);
}

TEST_F(InstallTest, SafeStoresTheManifestThenCommitAndCancel) {
  upload("a.qbx", package("alpha", "1.0", {{"bin/alpha", "one"}}));
  const auto before = liveTree();
  ProcessResult stored = run({"--safe"});
  EXPECT_EQ(stored.status, 0);
  EXPECT_EQ(liveTree(false), before);
  std::string manifest = root.read("/ram/MANIFEST");
  EXPECT_THAT(manifest, HasSubstr("M /flash/bin/alpha "));
  EXPECT_THAT(manifest, HasSubstr("M /flash/PCKGS_CHANGED "));

  ProcessResult commit = runInstallerBinaryIn(root, {"--commit"});
  EXPECT_EQ(commit.status, 0);
  EXPECT_EQ(commit.out, "finishing install... \b \n");
  EXPECT_EQ(root.read("/flash/bin/alpha"), "one");
  EXPECT_TRUE(root.exists("/ram/MANIFEST"));

  // A second stored run, thrown away: its temporary files stay where the
  // manifest names them, the live tree does not change.
  clearUploads();
  upload("a.qbx", package("alpha", "1.1", {{"bin/alpha", "two"}}));
  ASSERT_EQ(run({"--safe"}).status, 0);
  const auto committed = liveTree();
  ProcessResult cancel = runInstallerBinaryIn(root, {"--cancel"});
  EXPECT_EQ(cancel.status, 0);
  EXPECT_EQ(cancel.out, "");
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_EQ(liveTree(), committed);
  EXPECT_EQ(root.read("/flash/bin/alpha"), "one");
}

TEST_F(InstallTest, StreamInstallFromStandardInput) {
  ByteVector bytes = buildPackage(package("alpha", "1.0", {{"bin/alpha", "one"}}));
  ProcessResult installed = run({"-"}, bytesText(bytes));
  EXPECT_EQ(installed.status, 0) << installed.out;
  EXPECT_THAT(installed.out, HasSubstr("installed alpha-1.0\n"));
  EXPECT_EQ(root.read("/flash/bin/alpha"), "one");
  EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
  // Without a part 21 the copy of the stream becomes "/image".
  EXPECT_EQ(root.read("/image"), bytesText(bytes));

  // The installed package stands for the offered one: success.
  ProcessResult again = run({"-"}, bytesText(bytes));
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.out, HasSubstr("omitting package alpha-1.0: it is already installed"));

  ProcessResult garbage = run({"-"}, "not a package");
  EXPECT_EQ(garbage.status, 1);
  // The copy of what the reader consumed (the file header) stays behind.
  EXPECT_EQ(root.read("/flash/var/pdb/image"), "not a pa");

  removeTree(root.at("/flash/var/pdb"));
  ProcessResult noImage = run({"-q", "-"}, bytesText(bytes));
  EXPECT_EQ(noImage.status, 255);
  EXPECT_EQ(noImage.out, "ERROR: could not open image\n");
}

TEST_F(InstallTest, StoredImageFromStandardInputGoesIntoTheEntry) {
  PackageDraft draft = package("imaged", "1.0");
  draft.image = ByteVector(50, 7);
  ByteVector bytes = buildPackage(draft);
  ProcessResult result = run({"-"}, bytesText(bytes));
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read("/flash/var/pdb/imaged/image"), bytesText(bytes));
  EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
}

TEST_F(InstallTest, UnsafeNamesAreBrokenPackages) {
  const auto before = liveTree();
  for (const char* name : {"../escape", "bin/../../escape", "with space", "tab\there", ""}) {
    PackageDraft draft = package("evil", "1.0", {{name, "x"}});
    ProcessResult result = run({"-"}, bytesText(buildPackage(draft)));
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_THAT(result.out, HasSubstr("installation of evil-1.0 failed: broken package")) << name;
    // The copy of the stream stays as written; nothing else changes.
    EXPECT_TRUE(root.exists("/flash/var/pdb/image"));
    removeTree(root.at("/flash/var/pdb/image"));
    EXPECT_EQ(liveTree(), before) << name;
  }
  EXPECT_FALSE(root.exists("/escape"));

  for (const char* name : {"..", ".", "a/b", "a b"}) {
    clearUploads();
    upload("bad.qbx", package(name, "1.0"));
    ProcessResult scanned = run();
    EXPECT_THAT(scanned.out, HasSubstr("ERROR: broken package bad.qbx\n")) << name;
    ProcessResult streamed = run({"-"}, bytesText(buildPackage(package(name, "1.0"))));
    EXPECT_EQ(streamed.status, 1) << name;
    removeTree(root.at("/flash/var/pdb/image"));
  }
  EXPECT_EQ(liveTree(), before);
}

TEST_F(InstallTest, OnlyRegularFilesForThisProcessorAreUnpacked) {
  PackageDraft draft = package("mixed", "1.0");
  auto entry = [](const char* name, uint16_t mode, uint8_t variant, const char* data) {
    FileDraft file;
    file.name = name;
    file.mode = mode;
    file.variant = variant;
    file.data = data;
    return file;
  };
  // A test machine is no known processor variant, so variant entries are
  // passed over, their data skipped, and the next entry read normally.
  draft.files = {entry("bin/other", 0100755, 3, "for variant 3"), entry("lib", 040755, 0, ""),
                entry("bin/all", 0100750, 0, "for all"), entry("etc/empty", 0100644, 0, "")};
  upload("mixed.qbx", draft);
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_FALSE(root.exists("/flash/bin/other"));
  EXPECT_FALSE(root.exists("/flash/lib"));
  EXPECT_EQ(root.read("/flash/bin/all"), "for all");
  struct stat status {};
  ASSERT_EQ(stat(root.at("/flash/bin/all").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);
  ASSERT_EQ(stat(root.at("/flash/etc/empty").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(dbFile("mixed", "files"), "flash/bin/all\nflash/etc/empty\n");
}

TEST_F(InstallTest, UploadThatIsNotARegularFileDoesNotBlockTheRun) {
  ASSERT_EQ(mkfifo(root.at("/flash/rw/pckg/fifo.qbx").c_str(), 0644), 0);
  upload("good.qbx", package("good", "1.0"));
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, HasSubstr("ERROR: broken package fifo.qbx\n"));
  EXPECT_THAT(result.out, HasSubstr("installed good-1.0\n"));
}

}  // namespace
