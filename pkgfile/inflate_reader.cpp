#include "pkgfile/inflate_reader.h"

#include <algorithm>

namespace {

/// Step size of a forward skip through the decompressed data.
constexpr size_t SKIP_STEP = 1024;

const std::streambuf::pos_type SEEK_FAILED = std::streambuf::pos_type(std::streambuf::off_type(-1));

}  // namespace

InflateStreamBuf::InflateStreamBuf(std::streambuf* source) : source_(source), stream_{} {
  // A state that fails to initialise simply ends the data at the first read.
  ended_ = inflateInit(&stream_) != Z_OK;
}

InflateStreamBuf::~InflateStreamBuf() { inflateEnd(&stream_); }

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  // Keep the last byte handed out, so that one put-back survives the refill.
  bool keepLast = eback() != nullptr && eback() < gptr();
  if (keepLast) output_[0] = gptr()[-1];

  size_t produced = inflateMore();
  char* start = output_ + 1;
  setg(keepLast ? output_ : start, start, start + produced);
  if (produced == 0) return traits_type::eof();
  return traits_type::to_int_type(*start);
}

size_t InflateStreamBuf::inflateMore() {
  while (!ended_) {
    if (stream_.avail_in == 0 && !refillInput()) return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(output_ + 1);
    stream_.avail_out = BUFFER_SIZE;
    int result = inflate(&stream_, Z_PARTIAL_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) {
      ended_ = true;
      return 0;
    }
    ended_ = result == Z_STREAM_END;
    size_t produced = BUFFER_SIZE - stream_.avail_out;
    position_ += produced;
    if (produced > 0) return produced;
    // Input that completes no output yet (the start of a block header left
    // over from the last refill, say) does not end the data: fetch more.
  }
  return 0;
}

bool InflateStreamBuf::refillInput() {
  std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), BUFFER_SIZE);
  if (got <= 0) return false;
  stream_.next_in = input_;
  stream_.avail_in = static_cast<uInt>(got);
  return true;
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type offset,
                                                     std::ios_base::seekdir direction,
                                                     std::ios_base::openmode) {
  off_type distance = offset;
  if (direction == std::ios_base::beg) {
    distance = offset - static_cast<off_type>(consumed());
  } else if (direction != std::ios_base::cur) {
    return SEEK_FAILED;
  }
  // Compressed data cannot be positioned: only forward, by reading.
  if (distance < 0 || !skip(static_cast<uint64_t>(distance))) return SEEK_FAILED;
  return pos_type(static_cast<off_type>(consumed()));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type position,
                                                     std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

bool InflateStreamBuf::skip(uint64_t count) {
  char scratch[SKIP_STEP];
  while (count > 0) {
    std::streamsize step = static_cast<std::streamsize>(std::min<uint64_t>(count, SKIP_STEP));
    if (sgetn(scratch, step) < step) return false;
    count -= static_cast<uint64_t>(step);
  }
  return true;
}

uint64_t InflateStreamBuf::consumed() const {
  return position_ - static_cast<uint64_t>(egptr() - gptr());
}

InflateReader::InflateReader(std::istream& source)
    : std::istream(nullptr), buffer_(std::make_unique<InflateStreamBuf>(source.rdbuf())) {
  rdbuf(buffer_.get());
}

InflateReader::~InflateReader() = default;
