#include "console/package_listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "model/installer_context.h"

namespace {

std::string blanks(size_t count) { return std::string(count, ' '); }

InstalledPackage& addPackage(const std::string& name, PackageVersion version, uint32_t buildTime) {
  auto package = std::make_unique<InstalledPackage>(name);
  package->version = version;
  package->buildTime = buildTime;
  InstallerContext::instance().packages.push_back(std::move(package));
  return *InstallerContext::instance().packages.back();
}

std::string listing() {
  std::ostringstream out;
  printPackageListing(out);
  return out.str();
}

TEST(PackageListing, HeaderThenOneRowPerPackageInLoadOrder) {
  InstallerContext::reset();
  const std::string header = blanks(12) + "Name" + "    " + blanks(6) + "Version" + " " +
                             blanks(15) + "Built" + blanks(36) + "Note\n" +
                             std::string(94, '-') + "\n";
  EXPECT_EQ(listing(), header);

  InstalledPackage& member = addPackage("tessel", makeVersion(6, 40, 'f', 5), 0);
  member.disabled = true;
  member.bundle.name = "quorilan";
  addPackage("a-very-long-package-name", makeVersion(7, 0, 'c', 0), 1609852062).note = "hello";
  InstalledPackage& bundled = addPackage("wardle", makeVersion(6, 41, 'b', 3), 4294967295u);
  bundled.bundle.name = "quorilan";
  bundled.note = std::string(41, 'n');
  EXPECT_EQ(listing(),
            header +
                // Disabled bundle member: "X" directly followed by "B ".
                blanks(10) + "tessel" + " " + "X" + "B " + blanks(7) + "6.40.5" + " " +
                "Jan/01/1970 00:00:00" + " " + blanks(40) + "\n" +
                // A name over 16 characters pushes the rest of the row to the right.
                "a-very-long-package-name" + " " + " " + "  " + blanks(8) + "7.0rc" + " " +
                "Jan/05/2021 13:07:42" + " " + blanks(35) + "hello\n" +
                blanks(10) + "wardle" + " " + " " + "B " + blanks(4) + "6.41beta3" + " " +
                "Feb/07/2106 06:28:15" + " " + std::string(41, 'n') + "\n");
}

}  // namespace
