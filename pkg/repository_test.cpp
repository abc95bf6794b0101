// How a database loads is in the golden scenarios (tests/scenarios/) and in listings run end to end.
#include "pkg/repository.h"

#include <gtest/gtest.h>

#include "chroot_check.h"
#include "install_fixture.h"
#include "model/installer_context.h"

// The walk of a stored bundle ends at a member header that is too short: the member is kept as read, without a name,
// and its bundle follows it.
TEST(Repository, BundleWalkEndsAtAShortMemberHeader) {
  TestRoot root;
  ByteVector parts = encodePart(PART_BUNDLE_HEADER, encodeHeaderBlock("cut", version("1.0"), 5, 0));
  for (uint8_t byte : encodePart(PART_HEADER, ByteVector(10, 'x'))) parts.push_back(byte);
  for (uint8_t byte : buildPackageParts(package("never", "1.0"))) parts.push_back(byte);
  root.write("/flash/var/pdb/cut/image", bytesText(wrapInFile(PACKAGE_MAGIC, parts)));
  EXPECT_TRUE(passesInRoot(root, [] {
    EXPECT_TRUE(loadRepository(true, ""));
    std::string loaded;
    for (const auto& p : InstallerContext::instance().packages) loaded += "[" + p->name + " in=" + p->bundle.name + "]";
    EXPECT_EQ(loaded, "[ in=cut][cut in=]");
  }));
}
