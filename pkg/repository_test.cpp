#include "pkg/repository.h"

#include <gtest/gtest.h>

#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "package_writer.h"
#include "model/installer_context.h"

namespace {

const PackageVersion V6405 = makeVersion(6, 40, 'f', 5);

std::string asText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

PackageDraft packageDraft(const std::string& name, PackageVersion version = V6405) {
  PackageDraft draft;
  draft.name = name;
  draft.version = version;
  draft.buildTime = 1600000000;
  return draft;
}

std::string packageImage(const std::string& name, PackageVersion version = V6405) {
  return asText(buildPackage(packageDraft(name, version)));
}

void writeMetaEntry(const TestRoot& root, const std::string& name) {
  root.write("/flash/var/pdb/" + name + "/version", "17 18\n");
  root.write("/flash/var/pdb/" + name + "/files", "bin/" + name + "\n");
}

// Loads the root's database (silently) and hands the context and the names
// of its packages, in order, to `check`.
void loadInRoot(const TestRoot& root,
                const std::function<void(InstallerContext&, std::vector<std::string>)>& check) {
  EXPECT_TRUE(passesInRoot(root, [&] {
    InstallerContext::reset();
    std::ostringstream output;
    setConsoleOutput(&output);
    loadRepository(false, "powerpc");
    setConsoleOutput(nullptr);
    EXPECT_EQ(output.str(), "");
    std::vector<std::string> names;
    for (const auto& package : InstallerContext::instance().packages)
      names.push_back(package->name);
    check(InstallerContext::instance(), names);
  }));
}

// Members stand before their bundle, images of the image directory follow
// those of the database, meta-only entries come last; hidden names and
// plain files are no entries.
TEST(Repository, LoadOrderAndWhatIsNoEntry) {
  TestRoot root;
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = V6405;
  bundle.buildTime = 1600000001;
  PackageDraft tessel = packageDraft("tessel");
  tessel.architecture = "powerpc";
  tessel.note = "terminal";
  tessel.deps.push_back({"system", 1, 2, 0});
  bundle.members = {buildPackageParts(tessel), buildPackageParts(packageDraft("wardle"))};
  root.write("/flash/var/pdb/quorilan/image", asText(buildBundle(bundle)));
  root.write("/flash/var/pdb/tessel/disabled", "auto\n");
  // An image in both places is listed twice; one in the image directory
  // without a database entry is not looked at.
  root.write("/flash/var/pdb/ssh/image", packageImage("ssh"));
  root.write("/rw/pckg/.images/ssh", packageImage("ssh", makeVersion(6, 41, 'f', 0)));
  root.write("/rw/pckg/.images/zeta", packageImage("zeta"));
  writeMetaEntry(root, "media-kit");
  root.write("/flash/var/pdb/.hidden/image", packageImage("hidden"));
  root.write("/rw/pckg/.images/.hidden", packageImage("hidden"));
  writeMetaEntry(root, ".meta");
  // A stream install's image left in the database directory, with a copy
  // in the image directory under the same name.
  root.write("/flash/var/pdb/image", packageImage("stray"));
  root.write("/rw/pckg/.images/image", packageImage("stray"));
  loadInRoot(root, [](InstallerContext& context, std::vector<std::string> names) {
    ASSERT_EQ(names, (std::vector<std::string>{"tessel", "wardle", "quorilan", "ssh", "ssh",
                                               "media-kit"}));
    const InstalledPackage& tessel = *context.packages[0];
    EXPECT_EQ(tessel.bundle.name, "quorilan");
    EXPECT_EQ(tessel.bundle.minVersion, V6405);
    EXPECT_EQ(tessel.bundle.maxVersion, V6405);
    EXPECT_EQ(tessel.version, V6405);
    // Stored images are read without their architecture part.
    EXPECT_EQ(tessel.architecture, "i386");
    EXPECT_EQ(tessel.note, "terminal");
    EXPECT_EQ(tessel.deps.size(), 1u);
    EXPECT_TRUE(tessel.disabled);
    EXPECT_EQ(tessel.scheduledAction, ACTION_NONE);
    // The member's entry has no meta files, yet it is not marked for uninstalling.
    EXPECT_EQ(context.packages[1]->scheduledAction, ACTION_NONE);
    EXPECT_TRUE(context.packages[2]->isBundle);
    EXPECT_TRUE(context.packages[2]->bundle.name.empty());
    EXPECT_EQ(context.packages[2]->buildTime, 1600000001u);
    EXPECT_EQ(context.packages[3]->version, V6405);
    EXPECT_EQ(context.packages[4]->version, makeVersion(6, 41, 'f', 0));
    EXPECT_EQ(context.packages[5]->version, 17u);
    EXPECT_EQ(context.packages[5]->files, (std::set<std::string>{"/bin/media-kit"}));
  });
}

TEST(Repository, ImagesThatDoNotMatchTheirEntry) {
  TestRoot root;
  // A bundle whose member header is too short: the walk ends with it.
  ByteVector parts = encodePart(PART_BUNDLE_HEADER, encodeHeaderBlock("quorilan", V6405, 5, 0));
  ByteVector shortHeader = encodePart(PART_HEADER, ByteVector(10, 'x'));
  parts.insert(parts.end(), shortHeader.begin(), shortHeader.end());
  root.write("/flash/var/pdb/quorilan/image", asText(wrapInFile(PACKAGE_MAGIC, parts)));
  // "renamed" has a record ("original") only by its image's name, so the
  // entry is loaded again from its (missing) meta files.
  root.write("/flash/var/pdb/renamed/image", packageImage("original"));
  root.write("/flash/var/pdb/original/disabled", "user\n");
  // An unreadable image yields its record from the meta files.
  root.write("/flash/var/pdb/tessel/image", "not a package");
  writeMetaEntry(root, "tessel");
  loadInRoot(root, [](InstallerContext& context, std::vector<std::string> names) {
    ASSERT_EQ(names, (std::vector<std::string>{"", "quorilan", "original", "tessel", "renamed"}));
    EXPECT_EQ(context.packages[0]->bundle.name, "quorilan");
    EXPECT_TRUE(context.packages[2]->disabled);
    EXPECT_EQ(context.packages[2]->scheduledAction, ACTION_NONE);
    EXPECT_EQ(context.packages[3]->version, 17u);
    EXPECT_EQ(context.packages[3]->scheduledAction, ACTION_NONE);
    EXPECT_EQ(context.packages[4]->scheduledAction, ACTION_UNINSTALL);
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
      EXPECT_FALSE(loadImages(IMAGE_DIRECTORY, true));
    }));
  }
}

}  // namespace
