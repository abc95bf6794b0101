#include "pkg/repository.h"

#include <gtest/gtest.h>

#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "package_writer.h"
#include "pkg/installer_context.h"

namespace {

const PackageVersion V6405 = makeVersion(6, 40, 'f', 5);

std::string asText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

PackageSpec packageSpec(const std::string& name, PackageVersion version) {
  PackageSpec spec;
  spec.name = name;
  spec.version = version;
  spec.buildTime = 1600000000;
  return spec;
}

std::string packageImage(const std::string& name, PackageVersion version) {
  return asText(buildPackage(packageSpec(name, version)));
}

// The bundle "quorilan" with the members "tessel" and "wardle".
std::string bundleImage() {
  BundleSpec bundle;
  bundle.name = "quorilan";
  bundle.version = V6405;
  bundle.buildTime = 1600000001;
  PackageSpec tessel = packageSpec("tessel", V6405);
  tessel.architecture = "powerpc";
  tessel.note = "terminal";
  tessel.deps.push_back({"system", 1, 2, 0});
  bundle.members.push_back(buildPackageParts(tessel));
  bundle.members.push_back(buildPackageParts(packageSpec("wardle", V6405)));
  return asText(buildBundle(bundle));
}

void writeMetaEntry(const TestRoot& root, const std::string& name) {
  root.write("/flash/var/pdb/" + name + "/version", "17 18\n");
  root.write("/flash/var/pdb/" + name + "/files", "bin/" + name + "\n");
}

// The names of the loaded packages, in order.
std::vector<std::string> loadedNames() {
  std::vector<std::string> names;
  for (const auto& package : InstallerContext::instance().packages) names.push_back(package->name);
  return names;
}

void loadInRoot(const TestRoot& root, const std::function<void(InstallerContext&)>& check) {
  EXPECT_TRUE(passesInRoot(root, [&] {
    InstallerContext::reset();
    std::ostringstream output;
    setConsoleOutput(&output);
    loadRepository(false, "powerpc");
    setConsoleOutput(nullptr);
    EXPECT_EQ(output.str(), "");
    check(InstallerContext::instance());
  }));
}

TEST(Repository, BundleMembersStandBeforeTheirBundleThenMetaEntries) {
  TestRoot root;
  root.write("/flash/var/pdb/quorilan/image", bundleImage());
  writeMetaEntry(root, "media-kit");
  root.write("/flash/var/pdb/tessel/disabled", "auto\n");
  loadInRoot(root, [](InstallerContext& context) {
    EXPECT_EQ(context.architecture, "powerpc");
    ASSERT_EQ(loadedNames(),
              (std::vector<std::string>{"tessel", "wardle", "quorilan", "media-kit"}));
    const InstalledPackage& tessel = *context.packages[0];
    EXPECT_EQ(tessel.bundle.name, "quorilan");
    EXPECT_EQ(tessel.bundle.minVersion, V6405);
    EXPECT_EQ(tessel.bundle.maxVersion, V6405);
    EXPECT_EQ(tessel.version, V6405);
    // Stored images are read without their architecture part.
    EXPECT_EQ(tessel.architecture, "i386");
    EXPECT_EQ(tessel.note, "terminal");
    ASSERT_EQ(tessel.deps.size(), 1u);
    EXPECT_TRUE(tessel.disabled);
    EXPECT_EQ(tessel.scheduledAction, ACTION_NONE);
    const InstalledPackage& bundle = *context.packages[2];
    EXPECT_TRUE(bundle.isBundle);
    EXPECT_TRUE(bundle.bundle.name.empty());
    EXPECT_EQ(bundle.buildTime, 1600000001u);
    // The member's entry has no meta files, yet it is not marked for uninstalling.
    EXPECT_EQ(context.packages[1]->scheduledAction, ACTION_NONE);
    const InstalledPackage& mediaKit = *context.packages[3];
    EXPECT_EQ(mediaKit.version, 17u);
    EXPECT_EQ(mediaKit.files, (std::set<std::string>{"/bin/media-kit"}));
  });
}

TEST(Repository, ImageInBothPlacesIsListedTwice) {
  TestRoot root;
  root.write("/flash/var/pdb/tessel/image", packageImage("tessel", V6405));
  root.write("/rw/pckg/.images/tessel", packageImage("tessel", makeVersion(6, 41, 'f', 0)));
  // An image directory file without a database entry is not looked at.
  root.write("/rw/pckg/.images/wardle", packageImage("wardle", V6405));
  loadInRoot(root, [](InstallerContext& context) {
    ASSERT_EQ(loadedNames(), (std::vector<std::string>{"tessel", "tessel"}));
    EXPECT_EQ(context.packages[0]->version, V6405);
    EXPECT_EQ(context.packages[1]->version, makeVersion(6, 41, 'f', 0));
  });
}

TEST(Repository, HiddenNamesAndPlainFilesAreNoEntries) {
  TestRoot root;
  root.write("/flash/var/pdb/.hidden/image", packageImage("hidden", V6405));
  root.write("/rw/pckg/.images/.hidden", packageImage("hidden", V6405));
  writeMetaEntry(root, ".meta");
  // A stream install's image left in the database directory, with a copy
  // in the image directory under the same name.
  root.write("/flash/var/pdb/image", packageImage("stray", V6405));
  root.write("/rw/pckg/.images/image", packageImage("stray", V6405));
  writeMetaEntry(root, "media-kit");
  loadInRoot(root, [](InstallerContext&) {
    EXPECT_EQ(loadedNames(), (std::vector<std::string>{"media-kit"}));
  });
}

TEST(Repository, RecordCarriesTheImageHeadersName) {
  TestRoot root;
  root.write("/flash/var/pdb/renamed/image", packageImage("original", V6405));
  root.write("/flash/var/pdb/original/disabled", "user\n");
  loadInRoot(root, [](InstallerContext& context) {
    // "renamed" has a record ("original") only by its image's name, so the
    // entry is loaded again from its (missing) meta files.
    ASSERT_EQ(loadedNames(), (std::vector<std::string>{"original", "renamed"}));
    EXPECT_TRUE(context.packages[0]->disabled);
    EXPECT_EQ(context.packages[0]->scheduledAction, ACTION_NONE);
    EXPECT_EQ(context.packages[1]->scheduledAction, ACTION_UNINSTALL);
  });
}

TEST(Repository, UnreadableImageYieldsItsRecordFromTheMetaFiles) {
  TestRoot root;
  root.write("/flash/var/pdb/tessel/image", "not a package");
  writeMetaEntry(root, "tessel");
  loadInRoot(root, [](InstallerContext& context) {
    ASSERT_EQ(loadedNames(), (std::vector<std::string>{"tessel"}));
    EXPECT_EQ(context.packages[0]->version, 17u);
    EXPECT_EQ(context.packages[0]->scheduledAction, ACTION_NONE);
  });
}

TEST(Repository, BundleMemberWithShortHeaderEndsTheBundle) {
  TestRoot root;
  ByteVector parts = encodePart(PART_BUNDLE_HEADER, encodeHeaderBlock("quorilan", V6405, 5, 0));
  ByteVector shortHeader = encodePart(PART_HEADER, ByteVector(10, 'x'));
  parts.insert(parts.end(), shortHeader.begin(), shortHeader.end());
  root.write("/flash/var/pdb/quorilan/image", asText(wrapInFile(PACKAGE_MAGIC, parts)));
  loadInRoot(root, [](InstallerContext& context) {
    ASSERT_EQ(context.packages.size(), 2u);
    EXPECT_EQ(context.packages[0]->bundle.name, "quorilan");
    EXPECT_EQ(context.packages[1]->name, "quorilan");
  });
}

TEST(Repository, MissingDatabaseIsAWarningUnlessQuiet) {
  TestRoot root;
  ASSERT_EQ(rmdir(root.at("/flash/var/pdb").c_str()), 0);
  for (bool quiet : {false, true}) {
    EXPECT_TRUE(passesInRoot(root, [quiet] {
      InstallerContext::reset();
      std::ostringstream output;
      setConsoleOutput(&output);
      loadRepository(quiet, "");
      setConsoleOutput(nullptr);
      EXPECT_EQ(output.str(), quiet ? "" : "WARNING: could not open repo\n");
      EXPECT_TRUE(InstallerContext::instance().packages.empty());
      EXPECT_EQ(InstallerContext::instance().architecture, "");
      EXPECT_FALSE(loadImages(IMAGE_DIRECTORY, true));
    }));
  }
}

}  // namespace
