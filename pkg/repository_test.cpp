#include "pkg/repository.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "install_fixture.h"
#include "pkg/installer_context.h"

namespace {

std::string image(const std::string& name, const char* versionText = "6.40.5") {
  return bytesText(buildPackage(package(name, versionText)));
}

// Loads the root's database and returns what was printed, then a line per
// package in load order.
std::string loaded(const TestRoot& root, bool quiet = false) {
  EXPECT_TRUE(passesInRoot(root, [quiet] {
    InstallerContext::reset();
    std::ostringstream out;
    setConsoleOutput(&out);
    EXPECT_TRUE(loadRepository(quiet, "powerpc"));
    for (const auto& p : InstallerContext::instance().packages)
      out << nameVersionText(*p) << " " << p->buildTime << " " << p->architecture << p->note << " deps=" << p->deps.size()
          << (p->bundle.name.empty() ? "" : " in=" + refText(p->bundle) + ":" + versionText(p->bundle.maxVersion))
          << (p->isBundle ? " bundle" : "") << (p->disabled ? " disabled" : "")
          << (p->scheduledAction != ACTION_NONE ? " do=" + std::string(scheduleActionName(p->scheduledAction)) : "")
          << "\n";
    std::ofstream("/loaded") << out.str();
  }));
  return root.read("/loaded");
}

// Members stand before their bundle and their entries need no meta files;
// images of the image directory follow those of the database (an image in
// both places is listed twice, one without a database entry not at all);
// meta-only entries come last. Stored images are read without their
// architecture part; hidden names and plain files are no entries.
TEST(Repository, LoadOrderAndWhatIsNoEntry) {
  TestRoot root;
  PackageDraft tessel = package("tessel", "6.40.5");
  tessel.architecture = "powerpc";
  tessel.note = "terminal";
  tessel.deps.push_back({"system", 1, 2, 0});
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = version("6.40.5");
  bundle.buildTime = 1600000001;
  bundle.members = {buildPackageParts(tessel), buildPackageParts(package("wardle", "6.40.5"))};
  root.write("/flash/var/pdb/quorilan/image", bytesText(buildBundle(bundle)));
  root.write("/flash/var/pdb/tessel/disabled", "auto\n");
  root.write("/flash/var/pdb/ssh/image", image("ssh"));
  for (const char* name : {"ssh", "zeta", ".hidden", "image"}) root.write(std::string("/rw/pckg/.images/") + name, image(name, "6.41"));
  for (const char* entry : {"/flash/var/pdb/.hidden/image", "/flash/var/pdb/image"}) root.write(entry, image("stray"));
  for (const char* name : {"media-kit", ".meta"}) root.write(std::string("/flash/var/pdb/") + name + "/version", "103310848 18\n");
  EXPECT_EQ(loaded(root), "tessel-6.40.5 1000 i386terminal deps=1 in=quorilan-6.40.5:6.40.5 disabled\n"
                          "wardle-6.40.5 1000 i386 deps=0 in=quorilan-6.40.5:6.40.5\n"
                          "quorilan-6.40.5 1600000001 i386 deps=0 bundle\n"
                          "ssh-6.40.5 1000 i386 deps=0\n"
                          "ssh-6.41 1000 i386 deps=0\n"
                          "media-kit-6.40 18  deps=0 bundle\n");
}

// The walk of a bundle ends at a member header that is too short; an entry
// whose image names another package, or cannot be read, is loaded again
// from its meta files; the state follows the record's name.
TEST(Repository, ImagesThatDoNotMatchTheirEntry) {
  TestRoot root;
  ByteVector parts = encodePart(PART_BUNDLE_HEADER, encodeHeaderBlock("quorilan", version("6.40.5"), 5, 0));
  ByteVector shortHeader = encodePart(PART_HEADER, ByteVector(10, 'x'));
  parts.insert(parts.end(), shortHeader.begin(), shortHeader.end());
  root.write("/flash/var/pdb/quorilan/image", bytesText(wrapInFile(PACKAGE_MAGIC, parts)));
  root.write("/flash/var/pdb/renamed/image", image("original"));
  root.write("/flash/var/pdb/original/disabled", "user\n");
  root.write("/flash/var/pdb/tessel/image", "not a package");
  root.write("/flash/var/pdb/tessel/version", "17 18\n");
  root.write("/flash/var/pdb/tessel/files", "bin/tessel\n");
  EXPECT_EQ(loaded(root), "-0.0 0  deps=0 in=quorilan-6.40.5:6.40.5 bundle do=uninstall\n"
                          "quorilan-6.40.5 5 i386 deps=0 bundle\n"
                          "original-6.40.5 1000 i386 deps=0 disabled\n"
                          "tessel-0.017 18  deps=0\n"
                          "renamed-0.0 0  deps=0 bundle do=uninstall\n");
}

TEST(Repository, MissingDatabaseIsAWarningUnlessQuiet) {
  TestRoot root;
  ASSERT_TRUE(removeTree(root.at("/flash/var/pdb")));
  EXPECT_EQ(loaded(root), "WARNING: could not open repo\n");
  EXPECT_EQ(loaded(root, true), "");
}

}  // namespace
