#include "pkgfile/inflate_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "package_writer.h"
#include "pkgfile/package_reader.h"

namespace {

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
  ByteVector parts = encodePart(PART_HEADER, encodeHeaderBlock("z", 1, 1, 0));
  ByteVector files = encodePart(PART_FILES, filesData);
  ByteVector signature = encodePart(PART_SIGNATURE, ByteVector(68, 0));
  parts.insert(parts.end(), files.begin(), files.end());
  parts.insert(parts.end(), signature.begin(), signature.end());
  return wrapInFile(PACKAGE_MAGIC, parts);
}

}  // namespace

TEST(InflateReader, EmptyFilesPartEndsAtTheFirstRead) {
  std::istringstream in(text(packageWithFiles({})));
  PackageReader reader(in, true);
  reader.filter = INSTALL_FILTER;
  reader.nextPart();
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  InflateReader inflated(reader);
  EXPECT_EQ(inflated.get(), std::char_traits<char>::eof());
  EXPECT_TRUE(inflated.fail());
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
}

TEST(InflateReader, BytesAfterTheZlibStreamAreNotDelivered) {
  ByteVector raw = sampleData(20000);
  ByteVector data = compressed(raw);
  ByteVector trailing(5000, 0x78);
  data.insert(data.end(), trailing.begin(), trailing.end());
  std::istringstream in(text(packageWithFiles(data)));
  PackageReader reader(in, true);
  reader.filter = {PART_FILES, PART_SIGNATURE};
  ASSERT_EQ(reader.nextPart(), PART_FILES);
  InflateReader inflated(reader);
  EXPECT_EQ(readAll(inflated), raw);
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
}

TEST(InflateReader, ExactLengthReadSucceedsAndTheNextReadEnds) {
  ByteVector raw = sampleData(12345);
  std::istringstream in(text(compressed(raw)));
  InflateReader inflated(in);
  ByteVector out(raw.size());
  ASSERT_TRUE(
      inflated.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size())));
  EXPECT_EQ(out, raw);
  EXPECT_EQ(inflated.tellg(), 12345);
  EXPECT_EQ(inflated.get(), std::char_traits<char>::eof());
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
  EXPECT_EQ(inflated.get(), std::char_traits<char>::eof());
  inflated.clear();
  EXPECT_FALSE(inflated.seekg(0, std::ios_base::end));
  inflated.clear();
  EXPECT_FALSE(inflated.seekg(-1, std::ios_base::cur));
}

TEST(InflateReader, OneBytePutBackSurvivesARefill) {
  ByteVector raw = sampleData(10000);
  std::istringstream in(text(compressed(raw)));
  InflateReader inflated(in);
  ByteVector first(InflateStreamBuf::BUFFER_SIZE);
  ASSERT_TRUE(inflated.read(reinterpret_cast<char*>(first.data()),
                            static_cast<std::streamsize>(first.size())));
  EXPECT_EQ(inflated.get(), raw[4096]);  // refills
  EXPECT_TRUE(inflated.unget());
  EXPECT_TRUE(inflated.unget());
  EXPECT_EQ(inflated.get(), raw[4095]);
  EXPECT_EQ(inflated.get(), raw[4096]);
  EXPECT_EQ(inflated.get(), raw[4097]);
}

TEST(InflateReader, CorruptDataEndsTheStream) {
  ByteVector raw = sampleData(50000);
  ByteVector data = compressed(raw);
  for (size_t i = data.size() / 3; i < data.size() / 3 + 40; ++i) data[i] ^= 0x5C;
  std::istringstream in(text(data));
  InflateReader inflated(in);
  ByteVector out = readAll(inflated);
  EXPECT_LT(out.size(), raw.size());
  EXPECT_TRUE(inflated.fail());
  inflated.clear();
  EXPECT_EQ(inflated.get(), std::char_traits<char>::eof());

  ByteVector wrongHeader = compressed(raw);
  wrongHeader[0] = 0x00;
  std::istringstream badIn(text(wrongHeader));
  InflateReader badInflated(badIn);
  EXPECT_EQ(badInflated.get(), std::char_traits<char>::eof());
}

TEST(InflateReader, RefillHoldingOnlyTheTrailerEnds) {
  // Header, block header and data fill exactly the first 4096 input bytes.
  ByteVector raw = sampleData(4096 - 7);
  ByteVector data = storedStream(0, raw);
  std::istringstream in(text(data));
  InflateReader inflated(in);
  EXPECT_EQ(readAll(inflated), raw);
}

TEST(InflateReader, InputThatYieldsNoOutputYetDoesNotEndTheStream) {
  // More than one input buffer of empty blocks before the data.
  ByteVector raw = sampleData(3000);
  std::istringstream in(text(storedStream(2000, raw)));
  InflateReader inflated(in);
  EXPECT_EQ(readAll(inflated), raw);
}
