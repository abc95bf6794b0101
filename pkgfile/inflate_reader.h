// Decompressing input stream over the zlib data of a files part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

/// Stream buffer that inflates zlib-format data pulled from another stream
/// buffer. Fixed memory: a 65536-byte input buffer, a 131072-byte output
/// buffer with one put-back byte in front of it, and the zlib state. Reads
/// of more than the output buffer holds are inflated straight into the
/// caller's memory; borrow() lends the inflated bytes where they lie.
class InflateStreamBuf : public std::streambuf {
 public:
  /// The output buffer. Each refill inflates as much as it holds at once:
  /// besides the bytes handed out, zlib copies up to 32 KiB of every call's
  /// output into its window, so few large calls cost less than many small.
  static constexpr size_t BUFFER_SIZE = 131072;
  /// The input buffer: each refill is one read of the source of this size,
  /// whose bytes the source hashes in place.
  static constexpr size_t INPUT_BUFFER_SIZE = 65536;

  /// Inflates what `source` (not owned, not null) delivers.
  explicit InflateStreamBuf(std::streambuf* source);
  ~InflateStreamBuf() override;
  InflateStreamBuf(const InflateStreamBuf&) = delete;
  InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

  /// Hands out up to `most` bytes without copying them: `data` points at
  /// them in the output buffer, valid until the next read. Returns the
  /// count, 0 at the end of the data. The last byte stays for a put-back.
  size_t borrow(const char*& data, size_t most);

 protected:
  int_type underflow() override;
  /// Hands out what the output buffer holds, then inflates the rest of the
  /// request directly into `buffer`.
  std::streamsize xsgetn(char_type* buffer, std::streamsize count) override;
  /// Only forward from the current position (or from the beginning to a
  /// later position); returns the number of bytes consumed so far.
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  /// Inflates into `out` (room for `room` bytes) until it produces bytes;
  /// returns the count, 0 at the end of the data or on an error (the bytes
  /// of the call that failed are not handed out).
  size_t inflateMore(char* out, size_t room);
  /// Reads more compressed bytes from the source; false when none arrive.
  bool refillInput();
  /// Reads and discards `count` bytes; false when the data ends first.
  bool skip(uint64_t count);
  /// Bytes handed out (consumed by the reader) so far.
  uint64_t consumed() const;

  std::streambuf* source_;
  z_stream stream_;
  bool ended_ = false;
  uint64_t position_ = 0;
  unsigned char input_[INPUT_BUFFER_SIZE];
  /// The put-back byte at [0], the output buffer after it.
  char output_[1 + BUFFER_SIZE];
};

/// Input stream of the decompressed bytes of a zlib stream.
class InflateReader : public std::istream {
 public:
  /// Decompresses what `source` delivers (typically a PackageReader standing
  /// on a files part, which ends with the part).
  explicit InflateReader(std::istream& source);
  ~InflateReader() override;

  /// The stream buffer, for borrowing its bytes.
  InflateStreamBuf& buffer() { return *buffer_; }

 private:
  std::unique_ptr<InflateStreamBuf> buffer_;
};
