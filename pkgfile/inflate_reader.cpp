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
  // The Adler-32 of the inflated bytes is not computed: its four bytes end
  // the stream as before, and the signature over the compressed bytes,
  // which every install checks, covers them. It was a sixth of the work.
  if (!ended_) inflateValidate(&stream_, 0);
}

InflateStreamBuf::~InflateStreamBuf() { inflateEnd(&stream_); }

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  // Keep the last byte handed out, so that one put-back survives the refill.
  bool keepLast = eback() != nullptr && eback() < gptr();
  if (keepLast) output_[0] = gptr()[-1];

  size_t produced = inflateMore(output_ + 1, BUFFER_SIZE);
  char* start = output_ + 1;
  setg(keepLast ? output_ : start, start, start + produced);
  if (produced == 0) return traits_type::eof();
  return traits_type::to_int_type(*start);
}

size_t InflateStreamBuf::borrow(const char*& data, size_t most) {
  if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) return 0;
  size_t count = std::min<size_t>(most, static_cast<size_t>(egptr() - gptr()));
  data = gptr();
  gbump(static_cast<int>(count));
  return count;
}

std::streamsize InflateStreamBuf::xsgetn(char_type* buffer, std::streamsize count) {
  if (count <= 0) return 0;
  std::streamsize buffered = std::min<std::streamsize>(count, egptr() - gptr());
  if (buffered > 0) {
    traits_type::copy(buffer, gptr(), static_cast<size_t>(buffered));
    gbump(static_cast<int>(buffered));
  }
  std::streamsize done = buffered;
  // A rest that the output buffer could hold goes through it, so that small
  // reads keep inflating a buffer ahead; a larger rest skips the copy.
  while (done < count) {
    size_t wanted = static_cast<size_t>(count - done);
    if (wanted <= BUFFER_SIZE) {
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      std::streamsize step = std::min<std::streamsize>(count - done, egptr() - gptr());
      traits_type::copy(buffer + done, gptr(), static_cast<size_t>(step));
      gbump(static_cast<int>(step));
      done += step;
      continue;
    }
    size_t produced = inflateMore(buffer + done, std::min<size_t>(wanted, UINT32_MAX));
    if (produced == 0) break;
    done += static_cast<std::streamsize>(produced);
    // The last byte handed out stays available for one put-back.
    output_[0] = buffer[done - 1];
    setg(output_, output_ + 1, output_ + 1);
  }
  return done;
}

size_t InflateStreamBuf::inflateMore(char* out, size_t room) {
  while (!ended_) {
    if (stream_.avail_in == 0 && !refillInput()) return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = static_cast<uInt>(room);
    int result = inflate(&stream_, Z_PARTIAL_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) {
      ended_ = true;
      return 0;
    }
    ended_ = result == Z_STREAM_END;
    size_t produced = room - stream_.avail_out;
    position_ += produced;
    if (produced > 0) return produced;
    // Input that completes no output yet (the start of a block header left
    // over from the last refill, say) does not end the data: fetch more.
  }
  return 0;
}

bool InflateStreamBuf::refillInput() {
  std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), INPUT_BUFFER_SIZE);
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
