// What the load order looks like is also checked by listing a database end
// to end (tests/listing_test.cpp).
#include "pkg/repository.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "install_fixture.h"
#include "pkg/installer_context.h"

// Members stand before their bundle, with its name and version, and read
// their files and state from their own entries; stored images are read without their
// architecture part. The walk of a bundle ends at a member header that is
// too short. An image that cannot be read, or that names another package,
// leaves its entry to be loaded from its meta files; an image in the image
// directory without a database entry is not looked at.
TEST(Repository, LoadsImagesThenMetaOnlyEntries) {
  TestRoot root;
  PackageDraft tessel = package("tessel", "6.40.5");
  tessel.architecture = "powerpc";
  tessel.note = "terminal";
  tessel.deps.push_back({"system", 1, 2, 0});
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = version("6.40.5");
  bundle.members = {buildPackageParts(tessel), buildPackageParts(package("wardle", "6.40.5"))};
  ByteVector cut = encodePart(PART_BUNDLE_HEADER, encodeHeaderBlock("cut", version("1.0"), 5, 0));
  for (uint8_t byte : encodePart(PART_HEADER, ByteVector(10, 'x'))) cut.push_back(byte);
  const std::map<std::string, std::string> files = {
      {"quorilan/image", bytesText(buildBundle(bundle))}, {"tessel/disabled", "auto\n"}, {"tessel/files", "bin/tessel\n"},
      {"cut/image", bytesText(wrapInFile(PACKAGE_MAGIC, cut))}, {"renamed/image", bytesText(buildPackage(package("original", "1.0")))},
      {"original/disabled", "user\n"}, {"plain/image", "not a package"}, {"plain/version", "17 18\n"}, {"plain/files", "bin/plain\n"}};
  for (const auto& [path, content] : files) root.write("/flash/var/pdb/" + path, content);
  root.write("/rw/pckg/.images/zeta", bytesText(buildPackage(package("zeta", "1.0"))));
  EXPECT_TRUE(passesInRoot(root, [] {
    EXPECT_TRUE(loadRepository(false, "powerpc"));
    std::ostringstream loaded;
    for (const auto& p : InstallerContext::instance().packages)
      loaded << nameVersionText(*p) << " " << p->architecture << p->note << " deps=" << p->deps.size() << " files=" << p->files.size()
             << (p->bundle.name.empty() ? "" : " in=" + refText(p->bundle) + ":" + versionText(p->bundle.maxVersion))
             << (p->isBundle ? " bundle" : "") << (p->disabled ? " disabled" : "")
             << (p->scheduledAction != ACTION_NONE ? " do=" + std::string(scheduleActionName(p->scheduledAction)) : "") << "\n";
    EXPECT_EQ(loaded.str(), "-0.0  deps=0 files=0 in=cut-1.0:1.0 bundle do=uninstall\ncut-1.0 i386 deps=0 files=0 bundle\n"
                            "plain-0.017  deps=0 files=1\n"
                            "tessel-6.40.5 i386terminal deps=1 files=1 in=quorilan-6.40.5:6.40.5 disabled\n"
                            "wardle-6.40.5 i386 deps=0 files=0 in=quorilan-6.40.5:6.40.5\nquorilan-6.40.5 i386 deps=0 files=0 bundle\n"
                            "original-1.0 i386 deps=0 files=0 disabled\nrenamed-0.0  deps=0 files=0 bundle do=uninstall\n");
  }));
}

TEST(Repository, MissingDatabaseIsAWarningUnlessQuiet) {
  TestRoot root;
  ASSERT_TRUE(removeTree(root.at("/flash/var/pdb")));
  EXPECT_TRUE(passesInRoot(root, [] {
    std::ostringstream output;
    setConsoleOutput(&output);
    for (bool quiet : {false, true}) EXPECT_TRUE(loadRepository(quiet, ""));
    EXPECT_EQ(output.str(), "WARNING: could not open repo\n");
    EXPECT_TRUE(InstallerContext::instance().packages.empty());
  }));
}
