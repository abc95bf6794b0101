#include "pkgfile/inflate_reader.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package_writer.h"

namespace {

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// Bytes that do not compress: zlib stores them, so the stream layout is known.
ByteVector noise(size_t length) {
  ByteVector data(length);
  uint32_t state = 1;
  for (uint8_t& byte : data) byte = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
  return data;
}

ByteVector compressed(const ByteVector& raw) {
  ByteVector out;
  EXPECT_TRUE(compressData(raw, out));
  return out;
}

}  // namespace

// The stream ends with the zlib data, not before (a refill of the trailer only,
// input that yields no output yet) nor after; at once for data that is not zlib.
TEST(InflateReader, DeliversExactlyTheZlibStream) {
  const ByteVector raw = noise(20000), stream = compressed(raw);
  const ByteVector fillsFirstInput = noise(InflateStreamBuf::INPUT_BUFFER_SIZE - 22);  // four stored blocks
  ByteVector trailing = stream, emptyBlocks = {0x78, 0x01}, wrongHeader = stream;
  trailing.insert(trailing.end(), 5000, 0x78);
  for (int i = 0; i < 2000; ++i) emptyBlocks.insert(emptyBlocks.end(), {0, 0, 0, 0xFF, 0xFF});  // as flushes leave
  emptyBlocks.insert(emptyBlocks.end(), stream.begin() + 2, stream.end());
  wrongHeader[0] = 0;
  ASSERT_EQ(compressed(fillsFirstInput).size(), InflateStreamBuf::INPUT_BUFFER_SIZE + 4);
  const struct { const char* name; ByteVector stream, expected; } rows[] = {
      {"empty", {}, {}},
      {"trailing bytes", trailing, raw},
      {"trailer alone in a refill", compressed(fillsFirstInput), fillsFirstInput},
      {"empty blocks before the data", emptyBlocks, raw},
      {"wrong header", wrongHeader, {}},
  };
  for (const auto& row : rows) {
    std::istringstream in(text(row.stream));
    InflateReader inflated(in);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(inflated), {}) == text(row.expected)) << row.name;
    EXPECT_EQ(inflated.get(), std::char_traits<char>::eof()) << row.name;
  }
}

// Reads larger than the output buffer are inflated straight into the caller's memory, smaller ones through the buffer,
// and borrowed bytes are handed out where they lie; mixed, they give the bytes in order, and the last byte handed out
// can be put back. A step of 0 borrows up to 5000 bytes.
TEST(InflateReader, LargeReadsAndBorrowedBytes) {
  constexpr size_t FULL = InflateStreamBuf::BUFFER_SIZE;
  const ByteVector raw = noise(3 * FULL + 12345);
  for (const std::vector<size_t>& steps : std::vector<std::vector<size_t>>{{FULL + 7, 3, 100000}, {4096, FULL + 1, 1}, {1, raw.size() - 1}, {0, 30, 0}}) {
    std::istringstream in(text(compressed(raw)));
    InflateReader inflated(in);
    std::string got;
    for (size_t i = 0; got.size() < raw.size(); ++i) {
      const char* lent = nullptr;
      std::string block(steps[i % steps.size()], '\0');
      if (block.empty()) {
        const size_t count = inflated.buffer().borrow(lent, 5000);
        got.append(lent, count);
      } else {
        inflated.read(&block[0], static_cast<std::streamsize>(block.size()));
        got.append(block, 0, static_cast<size_t>(inflated.gcount()));
        if (inflated.gcount() == 0) break;
      }
      inflated.clear();  // the last read ends short
      EXPECT_TRUE(inflated.unget() && inflated.get() == static_cast<unsigned char>(got.back()));
    }
    EXPECT_TRUE(got == text(raw)) << steps[0];
  }
}

// One byte put back survives the refill of the output buffer; seeks go
// forward only, by reading, and not past the end.
TEST(InflateReader, PutBackAcrossARefillAndForwardSeeks) {
  constexpr size_t FULL = InflateStreamBuf::BUFFER_SIZE, SKIPPED_TO = FULL + 904;
  ByteVector raw(FULL + 8249), out(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i % 251);  // compresses: the output fills
  std::istringstream in(text(compressed(raw)));
  InflateReader inflated(in);
  char* bytes = reinterpret_cast<char*>(out.data());
  ASSERT_TRUE(inflated.read(bytes, FULL));
  EXPECT_EQ(inflated.get(), raw[FULL]);  // refills
  EXPECT_TRUE(inflated.unget() && inflated.unget());
  EXPECT_EQ(inflated.get(), raw[FULL - 1]);
  EXPECT_TRUE(inflated.seekg(SKIPPED_TO));
  for (auto [offset, way] : {std::pair{std::streamoff(SKIPPED_TO) - 1, std::ios_base::beg}, {-1, std::ios_base::cur}, {0, std::ios_base::end}}) {
    EXPECT_FALSE(inflated.seekg(offset, way));
    inflated.clear();
  }
  ASSERT_TRUE(inflated.read(bytes + SKIPPED_TO, static_cast<std::streamsize>(raw.size() - SKIPPED_TO)));
  for (ByteVector* data : {&out, &raw}) data->erase(data->begin() + FULL, data->begin() + SKIPPED_TO);  // skipped
  EXPECT_EQ(out, raw);
  EXPECT_EQ(inflated.tellg(), std::streamoff(FULL + 8249));
  EXPECT_FALSE(inflated.seekg(1, std::ios_base::cur));
}
