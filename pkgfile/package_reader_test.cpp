#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sstream>

#include "package_writer.h"

namespace {

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

/// SHA-1 by another implementation than the reader's.
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

/// Seekable in-memory source that counts the requests reaching it.
class CountingSource : public std::streambuf {
 public:
  explicit CountingSource(const ByteVector& bytes) : data_(bytes.begin(), bytes.end()) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

  int seeks = 0;
  std::vector<std::streamsize> reads;

 protected:
  std::streamsize xsgetn(char* buffer, std::streamsize count) override {
    reads.push_back(count);
    return std::streambuf::xsgetn(buffer, count);
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode) override {
    ++seeks;
    off_type base = direction == std::ios_base::cur ? gptr() - eback() : 0;
    off_type target = base + offset;
    if (target < 0 || target > static_cast<off_type>(data_.size())) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  std::vector<char> data_;
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
  /// Offsets in file() of the signed range: part 1 header to signature header.
  size_t signedBegin() const { return FILE_HEADER_LENGTH; }
  size_t signedEnd() const { return file().size() - 68; }
};

}  // namespace

TEST(PackageReaderHeader, MagicIsReadLittleEndianAndTotalSizeDoesNotWrap) {
  std::istringstream second(text(wrapInFile(SECOND_MAGIC, headerPart("a"))));
  PackageReader secondReader(second, false);
  EXPECT_TRUE(secondReader.good());
  EXPECT_TRUE(secondReader.isSecondMagic());
  EXPECT_EQ(secondReader.totalSize, 8u + 6u + 36u);

  std::istringstream huge(text({0x1E, 0xF1, 0xD0, 0xBA, 0xFF, 0xFF, 0xFF, 0xFF}));
  PackageReader hugeReader(huge, false);
  EXPECT_TRUE(hugeReader.good());
  EXPECT_FALSE(hugeReader.isSecondMagic());
  EXPECT_EQ(hugeReader.totalSize, 0x100000007ull);

  ByteVector swapped = {0xBA, 0xD0, 0xF1, 0x1E, 42, 0, 0, 0};
  ByteVector part = headerPart("a");
  swapped.insert(swapped.end(), part.begin(), part.end());
  for (const ByteVector& bytes : {swapped, ByteVector{0x1E, 0xF1, 0xD0, 0xBA, 0}}) {
    std::istringstream in(text(bytes));
    PackageReader reader(in, true);
    reader.filter = INSTALL_FILTER;
    EXPECT_TRUE(reader.bad());
    EXPECT_EQ(reader.nextPart(), -1);
  }
}

TEST(PackageReaderParts, UnknownPartIsPassedOverButHashedAndCopied) {
  SamplePackage sample;
  ByteVector file = sample.file();
  std::istringstream in(text(file));
  std::stringbuf copy;
  PackageReader reader(in, true, &copy);
  reader.filter = INSTALL_FILTER;

  EXPECT_EQ(reader.nextPart(), PART_HEADER);
  EXPECT_EQ(reader.nextPart(), PART_DEPENDS);
  EXPECT_EQ(reader.partOffset(),
            FILE_HEADER_LENGTH + sample.header.size() + sample.unknown.size() + PART_HEADER_LENGTH);
  EXPECT_EQ(reader.nextPart(), PART_FILES);
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  EXPECT_FALSE(reader.verifySignature());  // not signed, but the digest is finished
  EXPECT_EQ(readerDigest(reader), sha1Of(file, sample.signedBegin(), sample.signedEnd()));
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
  EXPECT_EQ(reader.peek(), std::char_traits<char>::eof());  // eofbit only
  EXPECT_EQ(reader.nextPart(), PART_DEPENDS);
  reader.read(buffer, sizeof buffer);
  EXPECT_EQ(reader.gcount(), 2 + 32);  // nothing of the next part
  EXPECT_TRUE(reader.fail());
  EXPECT_EQ(reader.nextPart(), -1);
}

TEST(PackageReaderParts, TruncatedPartEndsTheStream) {
  ByteVector parts = concat({headerPart("a"), filledPart(PART_FILES, 100, 1)});
  ByteVector file = wrapInFile(PACKAGE_MAGIC, parts);
  file.resize(file.size() - 50);
  std::istringstream in(text(file));
  PackageReader reader(in, true);
  reader.filter = INSTALL_FILTER;
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  char buffer[100];
  reader.read(buffer, sizeof buffer);
  EXPECT_EQ(reader.gcount(), 50);
  EXPECT_EQ(reader.nextPart(), -1);
}

TEST(PackageReaderSeek, ForwardToExactlyThePartEndSucceedsOneFurtherFails) {
  for (bool hashing : {true, false}) {
    SCOPED_TRACE(hashing ? "hashing" : "seeking");
    CountingSource source(SamplePackage().file());
    std::istream in(&source);
    PackageReader reader(in, hashing);
    reader.filter = INSTALL_FILTER;
    ASSERT_EQ(reader.nextPart(), PART_HEADER);
    ASSERT_EQ(reader.nextPart(), PART_DEPENDS);
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    EXPECT_EQ(reader.get(), 0x11);
    EXPECT_TRUE(reader.seekg(39999, std::ios_base::cur));
    EXPECT_EQ(reader.tellg(), 40000);
    EXPECT_EQ(reader.peek(), std::char_traits<char>::eof());
    reader.clear();
    EXPECT_FALSE(reader.seekg(1, std::ios_base::cur));
    reader.clear();
    EXPECT_EQ(reader.tellg(), 40000);
    EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  }
}

TEST(PackageReaderSeek, BackwardsOnlyWhenTheSourceMaySeek) {
  SamplePackage sample;
  ByteVector file = sample.file();
  size_t filesData = file.size() - sample.signature.size() - 40000;
  file[filesData + 5] = 0x42;

  CountingSource seekable(file);
  std::istream seekableIn(&seekable);
  PackageReader plain(seekableIn, false);
  plain.filter = {PART_FILES};
  ASSERT_EQ(plain.nextPart(), PART_FILES);
  ASSERT_TRUE(plain.seekg(100));
  EXPECT_TRUE(plain.seekg(5));
  EXPECT_EQ(plain.get(), 0x42);

  std::istringstream in(text(file));
  PackageReader hashing(in, true);
  hashing.filter = {PART_FILES};
  ASSERT_EQ(hashing.nextPart(), PART_FILES);
  ASSERT_TRUE(hashing.seekg(100));
  EXPECT_FALSE(hashing.seekg(5));
}

TEST(PackageReaderSeek, MegabytePartCostsOneSeekWithoutHashOrCopyElseStepsOf16384) {
  ByteVector file =
      wrapInFile(PACKAGE_MAGIC, concat({headerPart("big"), filledPart(PART_FILES, 1 << 20, 7),
                                        filledPart(PART_SIGNATURE, 68, 9)}));
  CountingSource plainSource(file);
  std::istream plainIn(&plainSource);
  PackageReader plain(plainIn, false);
  plain.filter = {PART_FILES, PART_SIGNATURE};
  ASSERT_EQ(plain.nextPart(), PART_FILES);
  plainSource.reads.clear();
  plainSource.seeks = 0;
  ASSERT_EQ(plain.nextPart(), PART_SIGNATURE);
  EXPECT_EQ(plainSource.seeks, 1);
  EXPECT_EQ(plainSource.reads, (std::vector<std::streamsize>{6}));
  EXPECT_EQ(plain.partOffset(), file.size() - 68);

  CountingSource hashedSource(file);
  std::istream hashedIn(&hashedSource);
  PackageReader hashed(hashedIn, true);
  hashed.filter = {PART_FILES, PART_SIGNATURE};
  ASSERT_EQ(hashed.nextPart(), PART_FILES);
  hashedSource.reads.clear();
  ASSERT_EQ(hashed.nextPart(), PART_SIGNATURE);
  EXPECT_EQ(hashedSource.seeks, 0);
  std::vector<std::streamsize> expected(64, 16384);
  expected.push_back(6);
  EXPECT_EQ(hashedSource.reads, expected);
}

TEST(PackageReaderCopy, CopyEqualsTheFileAfterMixedReadsPutbacksAndSkips) {
  SamplePackage sample;
  ByteVector file = sample.file();
  std::istringstream in(text(file));
  std::stringbuf copy;
  PackageReader reader(in, true, &copy);
  reader.filter = INSTALL_FILTER;

  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  char buffer[8];
  reader.read(buffer, 3);
  EXPECT_EQ(std::string(buffer, 3), "tes");
  EXPECT_TRUE(reader.unget());
  EXPECT_TRUE(reader.putback('e'));
  EXPECT_EQ(reader.tellg(), 1);
  reader.read(buffer, 4);
  EXPECT_EQ(std::string(buffer, 4), "esse");
  EXPECT_EQ(reader.peek(), 'l');
  EXPECT_EQ(copy.str().size(), FILE_HEADER_LENGTH + PART_HEADER_LENGTH + 5);

  ASSERT_EQ(reader.nextPart(), PART_DEPENDS);
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  EXPECT_TRUE(reader.seekg(20000, std::ios_base::cur));
  ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
  reader.verifySignature();
  EXPECT_EQ(readerDigest(reader), sha1Of(file, sample.signedBegin(), sample.signedEnd()));
  EXPECT_EQ(copy.str(), text(file));
  EXPECT_EQ(reader.nextPart(), -1);
  EXPECT_EQ(copy.str(), text(file));
}

TEST(PackageReaderCopy, NothingCanBePutBackBeforeThePartStart) {
  std::istringstream in(text(SamplePackage().file()));
  PackageReader reader(in, true);
  reader.filter = INSTALL_FILTER;
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  EXPECT_FALSE(reader.unget());
  reader.clear();
  EXPECT_EQ(reader.get(), 't');
  EXPECT_TRUE(reader.unget());
  EXPECT_FALSE(reader.unget());
}

TEST(PackageReaderSignature, SignedPackageVerifiesAndEachByteCounts) {
  PackageSpec spec;
  spec.name = "tessel";
  spec.version = makeVersion(7, 1, 'f', 0);
  spec.files = {{"bin/tool", 0100755, 0, "#!/bin/sh\n"}};
  spec.extraParts = {{77, ByteVector(50, 3), PART_FILES}};
  ByteVector file = buildPackage(spec);
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
  ByteVector lengthChanged = file;
  lengthChanged[4] ^= 1;
  EXPECT_TRUE(verify(lengthChanged));
}

TEST(PackageReaderSignature, LongerSignaturePartVerifiesShortOneFails) {
  PackageSpec spec;
  spec.name = "tessel";
  spec.signatureLength = 100;
  std::istringstream in(text(buildPackage(spec)));
  PackageReader reader(in, true);
  reader.filter = INSTALL_FILTER;
  while (reader.currentType != PART_SIGNATURE && reader.nextPart() != -1) {
  }
  ASSERT_EQ(reader.currentType, PART_SIGNATURE);
  EXPECT_TRUE(reader.verifySignature());
  EXPECT_EQ(reader.tellg(), 68);
  EXPECT_EQ(reader.nextPart(), -1);

  spec.signatureLength = 67;
  std::istringstream shortIn(text(buildPackage(spec)));
  PackageReader shortReader(shortIn, true);
  shortReader.filter = {PART_SIGNATURE};
  ASSERT_EQ(shortReader.nextPart(), PART_SIGNATURE);
  EXPECT_FALSE(shortReader.verifySignature());
  EXPECT_EQ(shortReader.tellg(), 0);  // nothing read

  std::istringstream plainIn(text(buildPackage(spec)));
  PackageReader plain(plainIn, false);
  plain.filter = {PART_SIGNATURE};
  ASSERT_EQ(plain.nextPart(), PART_SIGNATURE);
  EXPECT_FALSE(plain.verifySignature());
  EXPECT_EQ(plain.tellg(), 0);
}

TEST(PackageReaderSignature, BundleMembersAreHashedEachOnTheirOwn) {
  PackageSpec first;
  first.name = "alpha";
  PackageSpec second;
  second.name = "beta";
  second.files = {{"etc/beta", 0100644, 0, "b"}};
  BundleSpec bundle;
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
  ByteVector changedBundleHeader = file;
  changedBundleHeader[FILE_HEADER_LENGTH + PART_HEADER_LENGTH] ^= 1;  // the bundle's name
  EXPECT_EQ(verifiedMembers(changedBundleHeader), 2);
}
