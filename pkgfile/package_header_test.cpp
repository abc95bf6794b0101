#include "pkgfile/package_header.h"

#include <gtest/gtest.h>

#include "package_writer.h"
#include "test_root.h"

namespace {

ByteVector concat(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

ByteVector header(const std::string& name, const ByteVector& tail = {}) {
  return encodePart(PART_HEADER, concat({encodeHeaderBlock(name, 7, 8, 0, false), tail}));
}

ByteVector packageFile(const ByteVector& parts, bool declaredLongest) {
  ByteVector file = wrapInFile(PACKAGE_MAGIC, parts);
  for (uint32_t byte = 0; declaredLongest && byte < 4; ++byte) file[FILE_REST_LENGTH_OFFSET + byte] = 0xFF;
  return file;
}

const ByteVector SIGNATURE = encodePart(PART_SIGNATURE, ByteVector(68, 0));

/// Reads the header of a file made of `parts`, through a source like a pipe:
/// one byte at a time, never telling how much more is waiting. With
/// `declaredLonger` the file header declares the longest length it can hold.
struct HeaderRead : std::streambuf {
  HeaderRead(const ByteVector& parts, const PartFilter& filter = SCAN_FILTER, bool declaredLonger = false)
      : file(packageFile(parts, declaredLonger)) {
    reader.filter = filter;
    reader.nextPart();
    ok = readPackageHeader(record, reader);
  }
  int_type underflow() override {
    if (next == file.size()) return traits_type::eof();
    char* at = reinterpret_cast<char*>(&file[next++]);
    setg(at, at, at + 1);
    return traits_type::to_int_type(*at);
  }
  ByteVector file;
  size_t next = 0;
  std::istream in{this};
  PackageReader reader{in, true};
  PackageRecord record;
  bool ok;
};

}  // namespace

// Flags only when the part holds four bytes after the block, however the source
// delivers them; a name ends at a NUL or after 16 bytes. A short block, a name
// unfit for a database directory, a wrong first part or a cut list break it.
TEST(ReadPackageHeader, HeaderBlockFlagsNameAndBrokenHeaders) {
  const struct { ByteVector parts; const char* name; uint32_t flags; } rows[] = {
      {header("tessel"), "tessel", 0},
      {header("tessel", {0x67, 0x45, 0x23, 0x01}), "tessel", 0x1234567},
      {header("tessel", {5, 0, 0, 0, 0xEE, 0xEE, 0xEE}), "tessel", 5},
      {header("tessel", {1, 2, 3}), "tessel", 0},
      {header("abcdefghijklmnop"), "abcdefghijklmnop", 0},
      {encodePart(PART_HEADER, ByteVector(31, 'a')), nullptr, 0},
      {header(".."), nullptr, 0},
      {encodePart(PART_DEPENDS, encodeHeaderBlock("tessel", 7, 8, 0, false)), nullptr, 0},
      {concat({header("t"), encodePart(PART_PROVIDES, ByteVector{1, 0, 'b'})}), nullptr, 0},  // entry cut short
      {concat({header("t"), encodePart(PART_CONFLICTS, ByteVector{1})}), nullptr, 0},         // count cut short
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    HeaderRead read(concat({row.parts, SIGNATURE}), INSTALL_FILTER);
    ASSERT_EQ(read.ok, row.name != nullptr);
    if (!read.ok) continue;
    EXPECT_EQ(read.record.name, row.name);
    EXPECT_EQ(read.record.flags, row.flags);
    EXPECT_EQ(read.reader.currentType, PART_SIGNATURE);
  }
}

// A reference entry; an optional part out of its order stays the current part
// for the caller. A text part that runs past the declared file length is not
// entered; one that the file is too short for is read in steps, so that a
// corrupt length field costs only the data that is really there.
TEST(ReadPackageHeader, OptionalPartsOutOfOrderOrLongerThanTheFile) {
  const ByteVector deps = encodeRefList({{"abcdefghijklmnop", 1, 0xA0B0C0D0, -5}});
  ByteVector parts = concat({header("t"), encodePart(PART_DEPENDS, deps), encodePart(PART_ARCHITECTURE, "arm")});
  HeaderRead outOfOrder(parts);
  ASSERT_TRUE(outOfOrder.ok && outOfOrder.record.deps.size() == 1);
  const PackageRef& dep = outOfOrder.record.deps[0];
  EXPECT_EQ(std::tie(dep.name, dep.maxVersion, dep.priority), std::make_tuple("abcdefghijklmnop", 0xA0B0C0D0u, -5));
  EXPECT_EQ(outOfOrder.record.architecture, "i386");
  EXPECT_EQ(outOfOrder.reader.currentType, PART_ARCHITECTURE);
  putU16(parts, PART_TEXT2);
  putU32(parts, 0xFFFFFF00);
  putText(parts, "cut");
  for (bool declaredLonger : {false, true})
    EXPECT_EQ(HeaderRead(parts, {PART_HEADER, PART_TEXT2}, declaredLonger).record.extraText2,
              declaredLonger ? "cut" : "");
}

// The size on disk must be the declared total; a bundle needs readable members.
TEST(ReadPackageFile, DeclaredSizeAndBundleMembers) {
  const std::string directory = makeTemporaryDirectory("package_header_test"), path = directory + "/p.qbx";
  PackageFileRecord record;
  auto read = [&](const ByteVector& bytes) {
    return writeFile(path, std::string(bytes.begin(), bytes.end())) && readPackageFile(record, path);
  };
  PackageDraft alpha, beta;
  alpha.name = "alpha";
  alpha.unregistered = true;
  alpha.image = ByteVector(100, 1);
  beta.name = "beta";
  ByteVector file = buildPackage(alpha);
  ASSERT_TRUE(read(file));
  EXPECT_TRUE(record.unregistered && !record.isBundle);
  EXPECT_EQ(record.declaredSize, file.size());

  file.push_back(0);
  EXPECT_FALSE(read(file));
  BundleDraft bundle;
  bundle.name = "suite";
  EXPECT_FALSE(read(buildBundle(bundle)));
  bundle.members = {concat({encodePart(PART_HEADER, ByteVector(10, 'm')), SIGNATURE})};
  EXPECT_FALSE(read(buildBundle(bundle)));
  bundle.members = {buildPackageParts(alpha), buildPackageParts(beta)};
  ASSERT_TRUE(read(buildBundle(bundle)));  // the first with members, as the record keeps them
  EXPECT_TRUE(record.isBundle && record.storedAsImage);
  ASSERT_EQ(record.members.size(), 2u);
  EXPECT_EQ(record.members[1]->name, "beta");
  removeTree(directory);
}
