// "--show" end to end: the installer binary lists the packages of a device
// root's database.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package_writer.h"
#include "test_root.h"

namespace {

const PackageVersion V6405 = makeVersion(6, 40, 'f', 5);

std::string blanks(size_t count) { return std::string(count, ' '); }

// Runs the installer binary with the arguments. The child mounts a private
// "/proc" into the root first, which the sanitizer's leak check reads at exit.
ProcessResult runWithRootOption(const TestRoot& root, std::vector<std::string> arguments) {
  mkdir(root.at("/proc").c_str(), 0755);
  arguments.insert(arguments.begin(), "installer");
  return runInChild([&] {
    if (!enterPrivateMountNamespace() ||
        mount("proc", root.at("/proc").c_str(), "proc", 0, nullptr) != 0) {
      std::perror("mount");
      return 125;
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(INSTALLER_BINARY, argv.data());
    std::perror("execv");
    return 127;
  });
}

PackageDraft draft(const std::string& name, PackageVersion version, const char* note) {
  PackageDraft draft;
  draft.name = name;
  draft.version = version;
  draft.buildTime = 1600000000;
  draft.note = note;
  draft.files.push_back({"bin/" + name, 0100755, 0, "#!/bin/sh\n"});
  return draft;
}

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

// One row: name, disabled and bundle marks, version, build time and note,
// each already padded to its column.
std::string row(const std::string& name, const char* marks, const std::string& version,
                const char* built, const std::string& note) {
  return name + " " + marks + version + " " + built + " " + note + "\n";
}

// A database with a bundle image of two members (one disabled), an image
// kept in both places, a meta-only entry with a long name and no build
// time, a hidden entry and a stray file.
TEST(ListingEndToEnd, ShowPrintsTheDatabaseInLoadOrder) {
  TestRoot root;
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = V6405;
  bundle.buildTime = 1600000001;
  bundle.members = {buildPackageParts(draft("tessel", V6405, "terminal")),
                    buildPackageParts(draft("wardle", V6405, ""))};
  ASSERT_TRUE(root.write("/flash/var/pdb/quorilan/image", text(buildBundle(bundle))));
  ASSERT_TRUE(root.write("/flash/var/pdb/tessel/disabled", "user\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/ssh/image",
                         text(buildPackage(draft("ssh", makeVersion(6, 41, 'f', 0), "")))));
  ASSERT_TRUE(root.write("/rw/pckg/.images/ssh",
                         text(buildPackage(draft("ssh", makeVersion(6, 42, 'b', 1), "new")))));
  ASSERT_TRUE(root.write("/flash/var/pdb/media-kit-extensions/version", "103310848 0\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/media-kit-extensions/files", "bin/media\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/.hidden/version", "1 1\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/image", text(buildPackage(draft("stray", V6405, "")))));

  const std::string header = blanks(12) + "Name" + "    " + blanks(6) + "Version" + " " +
                             blanks(15) + "Built" + blanks(36) + "Note\n" + std::string(94, '-') +
                             "\n";
  const std::string table =
      header +
      row(blanks(10) + "tessel", "XB ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:40",
          blanks(32) + "terminal") +
      row(blanks(10) + "wardle", " B ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:40", blanks(40)) +
      row(blanks(8) + "quorilan", "   ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:41", blanks(40)) +
      row(blanks(13) + "ssh", "   ", blanks(9) + "6.41", "Sep/13/2020 12:26:40", blanks(40)) +
      row(blanks(13) + "ssh", "   ", blanks(4) + "6.42beta1", "Sep/13/2020 12:26:40",
          blanks(37) + "new") +
      row("media-kit-extensions", "   ", blanks(9) + "6.40", "Jan/01/1970 00:00:00", blanks(40));
  const std::vector<std::string> loud = {"-r", root.path(), "--show"};
  const std::vector<std::string> quiet = {"--show", "-q", "-r", root.path()};
  for (const auto& arguments : {loud, quiet}) {
    ProcessResult result = runWithRootOption(root, arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, table) << arguments[1];
  }
  // Listing changes nothing on the device.
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_FALSE(root.exists("/flash/postlog"));
  EXPECT_TRUE(root.exists("/flash/var/pdb/image"));

  ASSERT_TRUE(removeTree(root.at("/flash/var/pdb")));
  for (const auto& arguments : {loud, quiet}) {
    ProcessResult missing = runWithRootOption(root, arguments);
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out, (arguments == loud ? "WARNING: could not open repo\n" : "") + header);
  }
}

}  // namespace
