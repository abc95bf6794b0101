#include <gtest/gtest.h>

#include <sstream>

#include "console/console.h"
#include "package_writer.h"
#include "pkg/installer_context.h"
#include "pkgfile/package_reader.h"

/// The bar that showProgress draws after label "L": 73 cells.
static std::string bar(size_t filled) {
  return "L [" + std::string(filled, '#') + std::string(73 - filled, ' ') + "]";
}

TEST(ReaderProgress, BarFollowsTheOffsetInTheFile) {
  InstallerContext::reset();
  std::ostringstream screen;
  setConsoleOutput(&screen);
  ByteVector file = wrapInFile(PACKAGE_MAGIC, encodePart(PART_FILES, ByteVector(1000, 0)));
  std::istringstream in(std::string(file.begin(), file.end()));
  PackageReader reader(in, true);
  reader.filter = {PART_FILES};
  EXPECT_EQ(reader.nextPart(), PART_FILES);
  const std::string& status = InstallerContext::instance().statusLine;

  showProgress(reader, "L");
  EXPECT_EQ(status, bar(14 * 73 / 1014));
  reader.seekg(493);
  showProgress(reader, "L");
  EXPECT_EQ(status, bar(507 * 73 / 1014));
  char rest[600];
  reader.read(rest, sizeof rest);  // past the end: the reader fails
  EXPECT_TRUE(reader.fail());
  showProgress(reader, "L");
  EXPECT_EQ(status, bar(73));
  setConsoleOutput(nullptr);
}
