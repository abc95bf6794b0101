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

const std::string TABLE_HEADER = blanks(12) + "Name" + "    " + blanks(6) + "Version" + " " +
                                 blanks(15) + "Built" + blanks(36) + "Note\n" +
                                 std::string(94, '-') + "\n";

// Runs the installer binary with "-r" and the root. The child mounts a
// private "/proc" into the root first, which the sanitizer's leak check
// reads at exit.
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

std::string asText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

PackageSpec packageSpec(const std::string& name, PackageVersion version, const char* note) {
  PackageSpec spec;
  spec.name = name;
  spec.version = version;
  spec.buildTime = 1600000000;
  if (note != nullptr) spec.note = note;
  spec.files.push_back({"bin/" + name, 0100755, 0, "#!/bin/sh\n"});
  return spec;
}

std::string bundleImage() {
  BundleSpec bundle;
  bundle.name = "quorilan";
  bundle.version = V6405;
  bundle.buildTime = 1600000001;
  bundle.members.push_back(buildPackageParts(packageSpec("tessel", V6405, "terminal")));
  bundle.members.push_back(buildPackageParts(packageSpec("wardle", V6405, nullptr)));
  return asText(buildBundle(bundle));
}

// A database with a bundle image of two members (one disabled), an image
// kept in both places, a meta-only entry, a hidden entry and a stray file.
void fillDatabase(const TestRoot& root) {
  ASSERT_TRUE(root.write("/flash/var/pdb/quorilan/image", bundleImage()));
  ASSERT_TRUE(root.write("/flash/var/pdb/tessel/disabled", "user\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/ssh/image",
                         asText(buildPackage(packageSpec("ssh", makeVersion(6, 41, 'f', 0), "")))));
  ASSERT_TRUE(root.write("/rw/pckg/.images/ssh", asText(buildPackage(packageSpec(
                                                     "ssh", makeVersion(6, 42, 'b', 1), "new")))));
  ASSERT_TRUE(root.write("/flash/var/pdb/media-kit/version", "103310848 1700000000\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/media-kit/files", "bin/media\n"));
  ASSERT_TRUE(root.write("/flash/var/pdb/.hidden/version", "1 1\n"));
  ASSERT_TRUE(
      root.write("/flash/var/pdb/image", asText(buildPackage(packageSpec("stray", V6405, "")))));
}

// One row: name, disabled mark, bundle mark, version, build time and note,
// each already padded to its column.
std::string row(const std::string& name, const char* marks, const std::string& version,
                const char* built, const std::string& note) {
  return name + " " + marks + version + " " + built + " " + note + "\n";
}

const std::string EXPECTED_ROWS =
    row(blanks(10) + "tessel", "XB ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:40",
        blanks(32) + "terminal") +
    row(blanks(10) + "wardle", " B ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:40", blanks(40)) +
    row(blanks(8) + "quorilan", "   ", blanks(7) + "6.40.5", "Sep/13/2020 12:26:41", blanks(40)) +
    row(blanks(13) + "ssh", "   ", blanks(9) + "6.41", "Sep/13/2020 12:26:40", blanks(40)) +
    row(blanks(13) + "ssh", "   ", blanks(4) + "6.42beta1", "Sep/13/2020 12:26:40",
        blanks(37) + "new") +
    row(blanks(7) + "media-kit", "   ", blanks(9) + "6.40", "Nov/14/2023 22:13:20", blanks(40));

TEST(ListingEndToEnd, ShowPrintsTheDatabaseInLoadOrder) {
  TestRoot root;
  fillDatabase(root);
  for (const char* quiet : {"", "-q"}) {
    SCOPED_TRACE(*quiet != '\0' ? "quiet" : "not quiet");
    std::vector<std::string> arguments = {"-r", root.path(), "--show"};
    if (*quiet != '\0') arguments.insert(arguments.begin(), quiet);
    ProcessResult result = runWithRootOption(root, arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, TABLE_HEADER + EXPECTED_ROWS);
  }
  // Listing changes nothing on the device.
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_FALSE(root.exists("/flash/postlog"));
  EXPECT_TRUE(root.exists("/flash/var/pdb/image"));
}

TEST(ListingEndToEnd, MissingDatabaseWarnsUnlessQuiet) {
  TestRoot root;
  ASSERT_TRUE(removeTree(root.at("/flash/var/pdb")));
  ProcessResult loud = runWithRootOption(root, {"-r", root.path(), "--show"});
  EXPECT_EQ(loud.status, 0);
  EXPECT_EQ(loud.out, "WARNING: could not open repo\n" + TABLE_HEADER);
  ProcessResult quiet = runWithRootOption(root, {"--show", "-q", "-r", root.path()});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, TABLE_HEADER);
}

}  // namespace
