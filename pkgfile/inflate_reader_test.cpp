#include "pkgfile/inflate_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "package_writer.h"
#include "pkgfile/package_reader.h"

namespace {

const int END = std::char_traits<char>::eof();

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// Compressible but not trivial data.
ByteVector sampleData(size_t length) {
  ByteVector data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>((i / 7) * 13 % 256 ^ (i % 5));
  return data;
}

ByteVector compressed(const ByteVector& raw) {
  ByteVector out;
  EXPECT_TRUE(compressData(raw, out));
  return out;
}

ByteVector plus(ByteVector bytes, const ByteVector& tail) {
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

/// A zlib stream made by hand: `emptyBlocks` empty stored blocks (as many
/// flushes without data leave), then `data` in one final stored block.
ByteVector storedStream(size_t emptyBlocks, const ByteVector& data) {
  ByteVector out = {0x78, 0x01};
  for (size_t i = 0; i < emptyBlocks; ++i) out.insert(out.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  uint16_t length = static_cast<uint16_t>(data.size());
  out.insert(out.end(), {0x01, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                         static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)});
  out.insert(out.end(), data.begin(), data.end());
  uint32_t check = static_cast<uint32_t>(
      adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(check >> shift));
  return out;
}

/// Everything the stream delivers up to its end.
ByteVector readAll(std::istream& in) {
  ByteVector out;
  char buffer[1000];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    out.insert(out.end(), buffer, buffer + in.gcount());
  }
  return out;
}

/// A package file whose files part holds `filesData`, followed by a signature part.
ByteVector packageWithFiles(const ByteVector& filesData) {
  return wrapInFile(PACKAGE_MAGIC, plus(plus(encodePart(PART_HEADER, encodeHeaderBlock("z", 1, 1, 0)),
                                             encodePart(PART_FILES, filesData)),
                                        encodePart(PART_SIGNATURE, ByteVector(68, 0))));
}

}  // namespace

// The stream ends with the zlib data, not before (a refill that brings only
// the trailer, input that yields no output yet) and not after (bytes behind
// it in the part); the package reader then goes on to the next part.
TEST(InflateReader, DeliversExactlyTheZlibStreamOfTheFilesPart) {
  const ByteVector raw = sampleData(20000);
  const ByteVector fillsFirstInput = sampleData(InflateStreamBuf::BUFFER_SIZE - 7);
  const struct {
    const char* name;
    ByteVector part;
    ByteVector expected;
  } rows[] = {
      {"empty part", {}, {}},
      {"trailing bytes", plus(compressed(raw), ByteVector(5000, 0x78)), raw},
      {"trailer alone in a refill", storedStream(0, fillsFirstInput), fillsFirstInput},
      {"empty blocks before the data", storedStream(2000, sampleData(3000)), sampleData(3000)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::istringstream in(text(packageWithFiles(row.part)));
    PackageReader reader(in, true);
    reader.filter = {PART_FILES, PART_SIGNATURE};
    ASSERT_EQ(reader.nextPart(), PART_FILES);
    InflateReader inflated(reader);
    EXPECT_EQ(readAll(inflated), row.expected);
    EXPECT_TRUE(inflated.fail());
    EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  }
}

TEST(InflateReader, SkipByZeroReadsNothingSkipPastTheEndFails) {
  ByteVector raw = sampleData(10000);
  std::istringstream in(text(packageWithFiles(compressed(raw))));
  PackageReader reader(in, false);
  reader.filter = {PART_FILES};
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  InflateReader inflated(reader);
  EXPECT_TRUE(inflated.seekg(0, std::ios_base::cur));
  EXPECT_EQ(reader.tellg(), 0);

  EXPECT_TRUE(inflated.seekg(3000, std::ios_base::cur));
  EXPECT_EQ(inflated.get(), raw[3000]);
  EXPECT_EQ(inflated.tellg(), 3001);
  EXPECT_FALSE(inflated.seekg(7000, std::ios_base::cur));
  inflated.clear();
  EXPECT_EQ(inflated.get(), END);
  inflated.clear();
  EXPECT_FALSE(inflated.seekg(0, std::ios_base::end));
  inflated.clear();
  EXPECT_FALSE(inflated.seekg(-1, std::ios_base::cur));
}

// One byte put back survives the refill of the output buffer; an
// exact-length read succeeds and the next read ends.
TEST(InflateReader, PutBackAcrossARefillThenExactLengthRead) {
  ByteVector raw = sampleData(12345);
  std::istringstream in(text(compressed(raw)));
  InflateReader inflated(in);
  ByteVector out(raw.size());
  char* bytes = reinterpret_cast<char*>(out.data());
  ASSERT_TRUE(inflated.read(bytes, InflateStreamBuf::BUFFER_SIZE));
  EXPECT_EQ(inflated.get(), raw[4096]);  // refills
  EXPECT_TRUE(inflated.unget());
  EXPECT_TRUE(inflated.unget());
  EXPECT_EQ(inflated.get(), raw[4095]);
  ASSERT_TRUE(inflated.read(bytes + 4096, static_cast<std::streamsize>(raw.size() - 4096)));
  EXPECT_EQ(out, raw);
  EXPECT_EQ(inflated.tellg(), 12345);
  EXPECT_EQ(inflated.get(), END);
}

TEST(InflateReader, CorruptDataOrHeaderEndsTheStream) {
  ByteVector raw = sampleData(50000);
  ByteVector data = compressed(raw);
  for (size_t i = data.size() / 3; i < data.size() / 3 + 40; ++i) data[i] ^= 0x5C;
  std::istringstream in(text(data));
  InflateReader inflated(in);
  EXPECT_LT(readAll(inflated).size(), raw.size());
  EXPECT_TRUE(inflated.fail());
  inflated.clear();
  EXPECT_EQ(inflated.get(), END);

  ByteVector wrongHeader = compressed(raw);
  wrongHeader[0] = 0x00;
  std::istringstream badIn(text(wrongHeader));
  InflateReader badInflated(badIn);
  EXPECT_EQ(badInflated.get(), END);
}
