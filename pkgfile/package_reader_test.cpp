#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "package_writer.h"

namespace {

const int END = std::char_traits<char>::eof();

ByteVector concat(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

const ByteVector HEADER_PART = encodePart(PART_HEADER, encodeHeaderBlock("tessel", 1, 1, 0));

/// A header part, a files part of `filesLength` bytes 7 and a signature part.
ByteVector plainFile(size_t filesLength) {
  return wrapInFile(PACKAGE_MAGIC, concat({HEADER_PART, encodePart(PART_FILES, ByteVector(filesLength, 7)),
                                           encodePart(PART_SIGNATURE, ByteVector(68, 9))}));
}

/// A file in memory that counts the reads reaching it and fails once, like a
/// bad disk block, the first read that reaches offset `failAt` (when set).
struct Source : std::stringbuf {
  explicit Source(const ByteVector& bytes) : std::stringbuf(std::string(bytes.begin(), bytes.end())) {}
  std::streamsize xsgetn(char* buffer, std::streamsize count) override {
    ++reads;
    if (failAt < 0 || gptr() - eback() + count <= failAt) return std::stringbuf::xsgetn(buffer, count);
    failAt = -1;
    errno = ENXIO;
    throw std::ios_base::failure("read");
  }
  // Like a file buffer, whatever side a seek names.
  pos_type seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode) override {
    return std::stringbuf::seekoff(offset, way, std::ios_base::in);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    return std::stringbuf::seekpos(position, std::ios_base::in);
  }
  std::streamoff failAt = -1;
  int reads = 0;
};

struct Open {
  Open(const ByteVector& bytes, bool hashing, PartFilter filter, std::streambuf* copy = nullptr)
      : source(bytes), reader(in, hashing, copy) { reader.filter = std::move(filter); }
  Source source;
  std::istream in{&source};
  PackageReader reader;
};

}  // namespace

// The magic is little-endian; the total has 64 bits, so that a length field
// near 2^32 cannot wrap to a small size.
TEST(PackageReader, FileHeaderGivesMagicAndDeclaredSize) {
  const struct { ByteVector bytes; bool good, second; uint64_t total; } rows[] = {
      {{0xFB, 0x0F, 0x10, 0xA1, 42, 0, 0, 0}, true, true, 50},
      {{0x1E, 0xF1, 0xD0, 0xBA, 0xFF, 0xFF, 0xFF, 0xFF}, true, false, 0x100000007},
      {{0xBA, 0xD0, 0xF1, 0x1E, 42, 0, 0, 0}, false, false, 50},
  };
  for (const auto& row : rows) {
    Open open(concat({row.bytes, HEADER_PART}), true, {PART_HEADER});
    EXPECT_EQ(open.reader.good(), row.good) << row.total;
    EXPECT_EQ(open.reader.isUnregistered(), row.second) << row.total;
    EXPECT_EQ(open.reader.totalSize, row.total);
    EXPECT_EQ(open.reader.nextPart(), row.good ? PART_HEADER : -1) << row.total;
  }
  EXPECT_TRUE(Open({0x1E, 0xF1, 0xD0, 0xBA, 0}, true, {}).reader.bad());  // cut short
}

// Reads, put-backs and seeks stay within the part, the copy gets each byte
// consumed once, and the reader ends with the file, cut short or not, or for
// good at a failed read (a disk error): no bytes after the gap count.
TEST(PackageReader, ReadsStayInThePartAndEndWithTheFileOrAReadError) {
  const ByteVector whole = plainFile(100);
  const struct { size_t cut; std::streamoff failAt; std::streamsize got; int error; } rows[] = {
      {0, -1, 100, 0}, {6 + 68 + 50, -1, 50, 0}, {0, 8 + 42 + 6 + 10, 0, ENXIO}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.got);
    const ByteVector file(whole.begin(), whole.end() - row.cut);
    std::stringbuf copy;
    Open open(file, true, INSTALL_FILTER, &copy);
    open.source.failAt = row.failAt;
    PackageReader& reader = open.reader;
    char buffer[200];
    ASSERT_EQ(reader.nextPart(), PART_HEADER);
    EXPECT_FALSE(reader.unget());  // nothing before the part start
    reader.clear();
    EXPECT_TRUE(reader.read(buffer, 3).unget().putback('e'));
    EXPECT_EQ(reader.get(), 'e');
    EXPECT_EQ(reader.seekg(0, std::ios_base::end).tellg(), 36);
    EXPECT_EQ(reader.peek(), END);  // eofbit only
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    EXPECT_EQ(reader.read(buffer, sizeof buffer).gcount(), row.got);
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(reader.readError(), row.error);
    EXPECT_EQ(copy.str(), std::string(file.begin(), file.begin() + 8 + 42 + 6 + row.got));
    std::streambuf* rest = reader.rdbuf();
    EXPECT_TRUE(rest->sgetn(buffer, 1) == 0 && rest->sgetc() == END && rest->sbumpc() == END);
  }
}

// Backwards only when the source may seek (no hash, no copy), never past the
// part end; passing over data costs one seek, or 16384-byte reads for the hash.
TEST(PackageReader, SeeksAndSkipsStayWithinThePart) {
  ByteVector file = plainFile(1 << 20);
  file[FILE_HEADER_LENGTH + 42 + 6 + 5] = 0x42;
  for (bool hashing : {false, true}) {
    SCOPED_TRACE(hashing);
    Open open(file, hashing, {PART_FILES, PART_SIGNATURE});
    PackageReader& reader = open.reader;
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    EXPECT_TRUE(reader.seekg(10));
    EXPECT_EQ(static_cast<bool>(reader.seekg(5)), !hashing);
    reader.clear();
    EXPECT_EQ(reader.get(), hashing ? 7 : 0x42);
    EXPECT_FALSE(reader.seekg((1 << 20) + 1));
    reader.clear();
    const int reads = open.source.reads;
    EXPECT_TRUE(reader.seekg(1 << 19));
    ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
    EXPECT_EQ(open.source.reads - reads, hashing ? 32 + 32 + 1 : 1);  // 2^19 bytes twice in steps of 16384, a header
    EXPECT_EQ(reader.partOffset(), file.size() - 68);
    EXPECT_FALSE(reader.verifySignature());  // not signed; without hashing nothing is even read
    EXPECT_EQ(reader.tellg(), hashing ? 68 : 0);
  }
}

// A package signs its bytes from its header part to its signature part's header,
// also those put back, passed over or sought through; the file header and a
// bundle's own parts are signed by none. A longer signature part verifies on
// its first 68 bytes, a shorter one fails without reading the next member.
TEST(PackageReader, EachPackageSignsFromItsHeaderToItsSignatureHeader) {
  PackageDraft alpha, beta, gamma;  // names do not matter here
  alpha.signatureLength = 100;
  beta.signatureLength = 67;
  gamma.extraParts = {{77, ByteVector(300, 0xAB), PART_FILES}};
  BundleDraft bundle;
  bundle.name = "suite";
  bundle.members = {buildPackageParts(alpha), buildPackageParts(beta), buildPackageParts(gamma)};
  const ByteVector file = buildBundle(bundle);
  const size_t gammaStart = file.size() - bundle.members[2].size();
  std::vector<size_t> offsets = {4, FILE_HEADER_LENGTH + PART_HEADER_LENGTH};  // length field, bundle name
  for (size_t offset = gammaStart; offset < file.size() - 68; offset += 7) offsets.push_back(offset);
  for (size_t offset : offsets) {
    ByteVector changed = file;
    changed[offset] ^= 0x20;
    Open open(changed, true, INSTALL_FILTER);
    int verified = 0;
    for (PackageReader& reader = open.reader; reader.nextPart() != -1;) {
      if (reader.currentType == PART_HEADER) reader.get(), reader.unget();
      if (reader.currentType == PART_FILES) reader.seekg(reader.partLength() / 2);
      verified += reader.currentType == PART_SIGNATURE && reader.verifySignature();
    }
    EXPECT_EQ(verified, offset < gammaStart ? 2 : 1) << "offset " << offset;
  }
}
