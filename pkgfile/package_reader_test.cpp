#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sstream>

#include "package_writer.h"

namespace {

const int END = std::char_traits<char>::eof();

ByteVector concat(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

ByteVector headerPart(const std::string& name) {
  return encodePart(PART_HEADER, encodeHeaderBlock(name, makeVersion(6, 40, 'f', 1), 1000, 0));
}

ByteVector filledPart(uint16_t type, size_t length, uint8_t fill) {
  return encodePart(type, ByteVector(length, fill));
}

/// The SHA-1 of bytes [begin, end), by another implementation than the reader's.
ByteVector sha1Of(const ByteVector& bytes, size_t begin, size_t end) {
  ByteVector digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(bytes.data() + begin, end - begin, digest.data(), &length, EVP_sha1(), nullptr);
  digest.resize(length);
  return digest;
}

ByteVector readerDigest(const PackageReader& reader) {
  return ByteVector(reader.digest(), reader.digest() + SHA1::DIGEST_LENGTH);
}

/// Seekable in-memory source that counts the requests reaching it; it seeks
/// its input side whatever side a request names.
struct CountingSource : std::stringbuf {
  explicit CountingSource(const ByteVector& bytes) : std::stringbuf(text(bytes), std::ios_base::in) {}
  std::streamsize xsgetn(char* buffer, std::streamsize count) override {
    reads.push_back(count);
    return std::stringbuf::xsgetn(buffer, count);
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode) override {
    ++seeks;
    return std::stringbuf::seekoff(offset, direction, std::ios_base::in);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    ++seeks;
    return std::stringbuf::seekpos(position, std::ios_base::in);
  }
  int seeks = 0;
  std::vector<std::streamsize> reads;
};

/// A package with a part of a type the installer does not know in the middle.
struct SamplePackage {
  ByteVector header = headerPart("tessel");
  ByteVector unknown = filledPart(77, 300, 0xAB);
  ByteVector deps = encodePart(PART_DEPENDS, encodeRefList({{"base", 1, 2, 0}}));
  ByteVector files = filledPart(PART_FILES, 40000, 0x11);
  ByteVector signature = filledPart(PART_SIGNATURE, 68, 0x5A);

  ByteVector file() const {
    return wrapInFile(PACKAGE_MAGIC, concat({header, unknown, deps, files, signature}));
  }
  /// The signed range: part 1 header up to the signature header's end.
  ByteVector signedDigest() const { return sha1Of(file(), FILE_HEADER_LENGTH, file().size() - 68); }
  size_t filesDataOffset() const { return file().size() - signature.size() - 40000; }
};

}  // namespace

TEST(PackageReaderHeader, MagicIsReadLittleEndianAndTotalSizeDoesNotWrap) {
  std::istringstream second(text(wrapInFile(UNREGISTERED_PACKAGE_MAGIC, headerPart("a"))));
  PackageReader secondReader(second, false);
  EXPECT_TRUE(secondReader.good());
  EXPECT_TRUE(secondReader.isUnregistered());
  EXPECT_EQ(secondReader.totalSize, 8u + 6u + 36u);

  std::istringstream huge(text({0x1E, 0xF1, 0xD0, 0xBA, 0xFF, 0xFF, 0xFF, 0xFF}));
  PackageReader hugeReader(huge, false);
  EXPECT_TRUE(hugeReader.good());
  EXPECT_FALSE(hugeReader.isUnregistered());
  EXPECT_EQ(hugeReader.totalSize, 0x100000007ull);

  // Magic in the wrong byte order, and a file header cut short.
  ByteVector swapped = concat({{0xBA, 0xD0, 0xF1, 0x1E, 42, 0, 0, 0}, headerPart("a")});
  for (const ByteVector& bytes : {swapped, ByteVector{0x1E, 0xF1, 0xD0, 0xBA, 0}}) {
    std::istringstream in(text(bytes));
    PackageReader reader(in, true);
    reader.filter = INSTALL_FILTER;
    EXPECT_TRUE(reader.bad());
    EXPECT_EQ(reader.nextPart(), -1);
  }
}

// An unknown part is passed over but hashed and copied; the copy receives
// exactly the bytes consumed, whatever mix of reads, put-backs and skips.
TEST(PackageReaderParts, HashAndCopySeeEveryByteConsumed) {
  SamplePackage sample;
  ByteVector file = sample.file();
  std::istringstream in(text(file));
  std::stringbuf copy;
  PackageReader reader(in, true, &copy);
  reader.filter = INSTALL_FILTER;

  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  EXPECT_FALSE(reader.unget());  // nothing before the part start
  reader.clear();
  char buffer[8];
  reader.read(buffer, 3);
  EXPECT_EQ(std::string(buffer, 3), "tes");
  EXPECT_TRUE(reader.unget());
  EXPECT_TRUE(reader.putback('e'));
  EXPECT_EQ(reader.tellg(), 1);
  EXPECT_TRUE(reader.unget());
  EXPECT_FALSE(reader.unget());
  reader.clear();
  reader.read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "tesse");
  EXPECT_EQ(reader.peek(), 'l');
  EXPECT_EQ(copy.str().size(), FILE_HEADER_LENGTH + PART_HEADER_LENGTH + 5);

  ASSERT_EQ(reader.nextPart(), PART_DEPENDS);
  EXPECT_EQ(reader.partOffset(),
            FILE_HEADER_LENGTH + sample.header.size() + sample.unknown.size() + PART_HEADER_LENGTH);
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  EXPECT_TRUE(reader.seekg(20000, std::ios_base::cur));
  ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
  EXPECT_FALSE(reader.verifySignature());  // not signed, but the digest is finished
  EXPECT_EQ(readerDigest(reader), sample.signedDigest());
  EXPECT_EQ(reader.nextPart(), -1);
  EXPECT_EQ(copy.str(), text(file));
}

TEST(PackageReaderParts, FilterWithOnlyTheSignatureStopsThereThenStaysFailed) {
  std::istringstream in(text(SamplePackage().file()));
  PackageReader reader(in, true);
  reader.filter = {PART_SIGNATURE};
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  EXPECT_EQ(reader.partLength(), 68u);
  EXPECT_EQ(reader.nextPart(), -1);
  EXPECT_TRUE(reader.fail());
  EXPECT_EQ(reader.nextPart(), -1);
  EXPECT_EQ(reader.currentType, -1);
}

TEST(PackageReaderParts, ReadingPastThePartEndFailsButReadingToItDoesNot) {
  std::istringstream in(text(SamplePackage().file()));
  PackageReader reader(in, false);
  reader.filter = INSTALL_FILTER;
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  char buffer[64];
  ASSERT_TRUE(reader.read(buffer, 36));
  EXPECT_EQ(reader.peek(), END);  // eofbit only
  EXPECT_EQ(reader.nextPart(), PART_DEPENDS);
  reader.read(buffer, sizeof buffer);
  EXPECT_EQ(reader.gcount(), 2 + 32);  // nothing of the next part
  EXPECT_TRUE(reader.fail());
  EXPECT_EQ(reader.nextPart(), -1);
}

TEST(PackageReaderParts, TruncatedPartEndsTheStream) {
  ByteVector file = wrapInFile(PACKAGE_MAGIC, concat({headerPart("a"), filledPart(PART_FILES, 100, 1)}));
  file.resize(file.size() - 50);
  std::istringstream in(text(file));
  PackageReader reader(in, true);
  reader.filter = {PART_FILES};
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  char buffer[100];
  reader.read(buffer, sizeof buffer);
  EXPECT_EQ(reader.gcount(), 50);
  EXPECT_EQ(reader.nextPart(), -1);
}

// Forward to exactly the part end and not one further; backwards only when
// the source may seek (neither hashing nor copying).
TEST(PackageReaderSeek, StaysWithinThePart) {
  SamplePackage sample;
  ByteVector file = sample.file();
  file[sample.filesDataOffset() + 5] = 0x42;
  for (bool hashing : {true, false}) {
    SCOPED_TRACE(hashing ? "hashing" : "seeking");
    CountingSource source(file);
    std::istream in(&source);
    PackageReader reader(in, hashing);
    reader.filter = {PART_FILES, PART_SIGNATURE};
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    EXPECT_EQ(reader.get(), 0x11);
    EXPECT_TRUE(reader.seekg(39999, std::ios_base::cur));
    EXPECT_EQ(reader.tellg(), 40000);
    EXPECT_EQ(reader.peek(), END);
    reader.clear();
    EXPECT_FALSE(reader.seekg(1, std::ios_base::cur));
    reader.clear();
    EXPECT_EQ(reader.tellg(), 40000);
    EXPECT_EQ(static_cast<bool>(reader.seekg(5)), !hashing);
    if (!hashing) {
      EXPECT_EQ(reader.get(), 0x42);
    }
    reader.clear();
    EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  }
}

TEST(PackageReaderSeek, MegabytePartCostsOneSeekWithoutHashOrCopyElseStepsOf16384) {
  ByteVector file =
      wrapInFile(PACKAGE_MAGIC, concat({headerPart("big"), filledPart(PART_FILES, 1 << 20, 7),
                                        filledPart(PART_SIGNATURE, 68, 9)}));
  std::vector<std::streamsize> steps(64, 16384);
  steps.push_back(6);
  for (bool hashing : {false, true}) {
    SCOPED_TRACE(hashing ? "hashing" : "seeking");
    CountingSource source(file);
    std::istream in(&source);
    PackageReader reader(in, hashing);
    reader.filter = {PART_FILES, PART_SIGNATURE};
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    source.reads.clear();
    source.seeks = 0;
    ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
    EXPECT_EQ(source.seeks, hashing ? 0 : 1);
    EXPECT_EQ(source.reads, hashing ? steps : std::vector<std::streamsize>{6});
    EXPECT_EQ(reader.partOffset(), file.size() - 68);
  }
}

TEST(PackageReaderSignature, SignedPackageVerifiesAndEachByteCounts) {
  PackageDraft draft;
  draft.name = "tessel";
  draft.files = {{"bin/tool", 0100755, 0, "#!/bin/sh\n"}};
  draft.extraParts = {{77, ByteVector(50, 3), PART_FILES}};
  ByteVector file = buildPackage(draft);
  ASSERT_FALSE(file.empty());

  auto verify = [](const ByteVector& bytes) {
    std::istringstream in(text(bytes));
    PackageReader reader(in, true);
    reader.filter = {PART_SIGNATURE};
    return reader.nextPart() == PART_SIGNATURE && reader.verifySignature();
  };
  EXPECT_TRUE(verify(file));
  // Every byte from the first part header up to the signature header counts;
  // the file header's length field does not.
  for (size_t offset = FILE_HEADER_LENGTH; offset < file.size() - 68; offset += 7) {
    ByteVector changed = file;
    changed[offset] ^= 0x20;
    EXPECT_FALSE(verify(changed)) << "offset " << offset;
  }
  file[4] ^= 1;
  EXPECT_TRUE(verify(file));
}

// A longer signature part verifies on its first 68 bytes; a shorter one,
// or a reader without hashing, fails without reading anything.
TEST(PackageReaderSignature, SignaturePartLengthAndHashing) {
  const struct {
    size_t length;
    bool hashing;
    bool verifies;
    std::streamoff readAfter;
  } rows[] = {{100, true, true, 68}, {67, true, false, 0}, {68, false, false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    PackageDraft draft;
    draft.name = "tessel";
    draft.signatureLength = row.length;
    std::istringstream in(text(buildPackage(draft)));
    PackageReader reader(in, row.hashing);
    reader.filter = INSTALL_FILTER;
    while (reader.currentType != PART_SIGNATURE && reader.nextPart() != -1) {
    }
    ASSERT_EQ(reader.currentType, PART_SIGNATURE);
    EXPECT_EQ(reader.verifySignature(), row.verifies);
    EXPECT_EQ(reader.tellg(), row.readAfter);
    EXPECT_EQ(reader.nextPart(), -1);
  }
}

TEST(PackageReaderSignature, BundleMembersAreHashedEachOnTheirOwn) {
  PackageDraft first;
  first.name = "alpha";
  PackageDraft second;
  second.name = "beta";
  second.files = {{"etc/beta", 0100644, 0, "b"}};
  BundleDraft bundle;
  bundle.name = "suite";
  bundle.members = {buildPackageParts(first), buildPackageParts(second)};
  ByteVector file = buildBundle(bundle);
  ASSERT_FALSE(file.empty());

  auto verifiedMembers = [](const ByteVector& bytes) {
    std::istringstream in(text(bytes));
    std::stringbuf copy;
    PackageReader reader(in, true, &copy);
    reader.filter = INSTALL_FILTER;
    int verified = 0;
    while (reader.nextPart() != -1) {
      if (reader.currentType == PART_SIGNATURE && reader.verifySignature()) ++verified;
    }
    EXPECT_EQ(copy.str(), text(bytes));
    return verified;
  };
  EXPECT_EQ(verifiedMembers(file), 2);
  file[FILE_HEADER_LENGTH + PART_HEADER_LENGTH] ^= 1;  // the bundle's name
  EXPECT_EQ(verifiedMembers(file), 2);
}
