#include "pkgfile/package_reader.h"

#include <algorithm>
#include <cerrno>

#include "pkgfile/little_endian.h"

const PartFilter SCAN_FILTER = {PART_BUNDLE_HEADER, PART_HEADER, PART_TEXT24,  PART_ARCHITECTURE,
                                PART_TEXT2,         PART_NOTE,   PART_DEPENDS, PART_PROVIDES,
                                PART_CONFLICTS,     PART_IMAGE};
const PartFilter INSTALL_FILTER = {
    PART_HEADER,   PART_BUNDLE_HEADER, PART_BUNDLE_MEMBERS, PART_ARCHITECTURE, PART_DEPENDS,
    PART_PROVIDES, PART_CONFLICTS,     PART_IMAGE,          PART_FILES,        PART_SIGNATURE};
const PartFilter IMAGE_FILTER = {PART_BUNDLE_HEADER, PART_HEADER,   PART_TEXT24,   PART_NOTE,
                                 PART_DEPENDS,       PART_PROVIDES, PART_CONFLICTS};

namespace {

/// Step size for passing over data that must reach the hash or the copy
/// target; each step is one read of the source into a scratch buffer. Not
/// the journal's COPY_BLOCK_SIZE, which sizes copies of file contents.
constexpr size_t SKIP_STEP = 16384;
constexpr uint32_t BAD_MAGIC = 0xFFFFFFFF;
constexpr std::ios_base::openmode SEEK_MODE = std::ios_base::in | std::ios_base::out;

const std::streambuf::pos_type SEEK_FAILED = std::streambuf::pos_type(std::streambuf::off_type(-1));

/// The lesser of a count that is not negative and the bytes left in a part.
/// Compared unsigned: std::streamsize has 32 bits on 32-bit machines, where
/// a part length past 2 GiB would turn negative as one.
std::streamsize atMost(std::streamsize count, uint32_t left) {
  return static_cast<uint64_t>(count) <= left ? count : static_cast<std::streamsize>(left);
}

}  // namespace

PackageStreamBuf::PackageStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copyTarget)
    : source_(source), copyTarget_(copyTarget), hashing_(hashing) {}

uint32_t PackageStreamBuf::readFileHeader(uint64_t& totalSize) {
  uint8_t header[FILE_HEADER_LENGTH];
  std::streamsize count = sourceGetn(reinterpret_cast<char*>(header), FILE_HEADER_LENGTH);
  copy(reinterpret_cast<const char*>(header), static_cast<size_t>(count));
  if (count < static_cast<std::streamsize>(FILE_HEADER_LENGTH)) {
    totalSize = 0;
    return BAD_MAGIC;
  }
  partOffset_ = FILE_HEADER_LENGTH;
  // 64 bits, so that a length field near 2^32 cannot wrap to a tiny total.
  totalSize = static_cast<uint64_t>(readLittleU32(header + FILE_REST_LENGTH_OFFSET)) + FILE_HEADER_LENGTH;
  // A stream (standard input) has no size of its own: without this bound a
  // source that never ends would be read, and copied, for ever.
  declaredEnd_ = totalSize;
  return readLittleU32(header);
}

int32_t PackageStreamBuf::nextPart() {
  if (partRemaining_ > 0 && !skipRemaining()) return -1;
  partOffset_ += partLength_;
  partLength_ = partRemaining_ = 0;
  if (partOffset_ == declaredEnd_) {
    atDeclaredEnd_ = true;
    return -1;
  }
  if (partOffset_ + PART_HEADER_LENGTH > declaredEnd_) return -1;

  uint8_t header[PART_HEADER_LENGTH];
  std::streamsize count = sourceGetn(reinterpret_cast<char*>(header), PART_HEADER_LENGTH);
  copy(reinterpret_cast<const char*>(header), static_cast<size_t>(count));
  if (count < static_cast<std::streamsize>(PART_HEADER_LENGTH)) return -1;

  uint16_t type = readLittleU16(header);
  if (hashing_) {
    // Each package's hash starts with the part header of its part of type 1.
    if (type == PART_HEADER) sha1_.digest(digest_);
    sha1_.update(header, PART_HEADER_LENGTH);
  }
  partOffset_ += PART_HEADER_LENGTH;
  uint32_t length = readLittleU32(header + PART_LENGTH_OFFSET);
  // A part that runs past the declared length is not entered: the file is
  // broken, and its data is never read.
  if (partOffset_ + length > declaredEnd_) return -1;
  partLength_ = partRemaining_ = length;
  return type;
}

bool PackageStreamBuf::readSignatureData(uint8_t data[SIGNATURE_DATA_LENGTH]) {
  if (!hashing_) return false;
  // The signature part's header was the last thing hashed.
  sha1_.digest(digest_);
  if (partRemaining_ < SIGNATURE_DATA_LENGTH) return false;

  char* bytes = reinterpret_cast<char*>(data);
  std::streamsize count = sourceGetn(bytes, SIGNATURE_DATA_LENGTH);
  // Bytes put back earlier already reached the copy target.
  uint32_t again = static_cast<uint32_t>(std::min<std::streamsize>(putbackCount_, count));
  copy(bytes + again, static_cast<size_t>(count - again));
  putbackCount_ -= again;
  partRemaining_ -= static_cast<uint32_t>(count);
  return count == static_cast<std::streamsize>(SIGNATURE_DATA_LENGTH);
}

std::streamsize PackageStreamBuf::showmanyc() {
  if (sourceError_ != 0) return -1;
  std::streamsize available = source_->in_avail();
  if (available < 0) return -1;
  return atMost(available, partRemaining_);
}

PackageStreamBuf::int_type PackageStreamBuf::underflow() {
  if (partRemaining_ == 0) return traits_type::eof();
  return sourceGetc();
}

PackageStreamBuf::int_type PackageStreamBuf::uflow() {
  if (partRemaining_ == 0) return traits_type::eof();
  int_type c = sourceBumpc();
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  --partRemaining_;
  if (putbackCount_ > 0) {
    --putbackCount_;
    return c;
  }
  char byte = traits_type::to_char_type(c);
  pass(&byte, 1);
  return c;
}

PackageStreamBuf::int_type PackageStreamBuf::pbackfail(int_type c) {
  if (partRemaining_ == partLength_) return traits_type::eof();
  int_type result = traits_type::eq_int_type(c, traits_type::eof())
                        ? source_->sungetc()
                        : source_->sputbackc(traits_type::to_char_type(c));
  if (traits_type::eq_int_type(result, traits_type::eof())) return result;
  ++partRemaining_;
  // The byte will come again; it must not be hashed or copied twice.
  if (!maySeek()) ++putbackCount_;
  return result;
}

std::streamsize PackageStreamBuf::xsgetn(char_type* buffer, std::streamsize count) {
  if (partRemaining_ == 0 || count <= 0) return 0;
  std::streamsize got = readThrough(buffer, atMost(count, partRemaining_));
  partRemaining_ -= static_cast<uint32_t>(got);
  return got;
}

PackageStreamBuf::pos_type PackageStreamBuf::seekoff(off_type offset,
                                                     std::ios_base::seekdir direction,
                                                     std::ios_base::openmode which) {
  off_type consumed = static_cast<off_type>(partLength_) - partRemaining_;
  switch (direction) {
    case std::ios_base::beg:
      return seekpos(pos_type(offset), which);
    case std::ios_base::cur:
      return seekpos(pos_type(consumed + offset), which);
    case std::ios_base::end:
      return seekpos(pos_type(static_cast<off_type>(partLength_) + offset), which);
    default:
      return SEEK_FAILED;
  }
}

PackageStreamBuf::pos_type PackageStreamBuf::seekpos(pos_type position, std::ios_base::openmode) {
  off_type wanted = off_type(position);
  if (wanted < 0 || wanted > static_cast<off_type>(partLength_)) return SEEK_FAILED;
  uint32_t target = partLength_ - static_cast<uint32_t>(wanted);
  if (target == partRemaining_) return position;

  if (maySeek()) {
    pos_type filePosition = pos_type(static_cast<off_type>(partOffset_) + wanted);
    if (source_->pubseekpos(filePosition, SEEK_MODE) != SEEK_FAILED) {
      partRemaining_ = target;
      return position;
    }
  }
  // Without seeking the source only forward moves are possible; the bytes
  // passed over are hashed and copied like any byte read.
  if (target > partRemaining_) return SEEK_FAILED;
  uint32_t distance = partRemaining_ - target;
  uint64_t got = skipRead(distance);
  partRemaining_ -= static_cast<uint32_t>(got);
  return got == distance ? position : SEEK_FAILED;
}

std::streamsize PackageStreamBuf::readThrough(char* buffer, std::streamsize count) {
  std::streamsize got = sourceGetn(buffer, count);
  if (got < static_cast<std::streamsize>(putbackCount_)) {
    putbackCount_ -= static_cast<uint32_t>(got);
    return got;
  }
  pass(buffer + putbackCount_, static_cast<size_t>(got - putbackCount_));
  putbackCount_ = 0;
  return got;
}

uint64_t PackageStreamBuf::skipRead(uint64_t count) {
  char scratch[SKIP_STEP];
  uint64_t total = 0;
  while (total < count) {
    std::streamsize step =
        static_cast<std::streamsize>(std::min<uint64_t>(SKIP_STEP, count - total));
    std::streamsize got = readThrough(scratch, step);
    total += static_cast<uint64_t>(got);
    if (got < step) break;
  }
  return total;
}

bool PackageStreamBuf::skipRemaining() {
  if (maySeek() &&
      source_->pubseekoff(partRemaining_, std::ios_base::cur, SEEK_MODE) != SEEK_FAILED) {
    partRemaining_ = 0;
    return true;
  }
  uint32_t wanted = partRemaining_;
  uint64_t got = skipRead(wanted);
  partRemaining_ -= static_cast<uint32_t>(got);
  return got == wanted;
}

// A read error of the disk (EIO, say), which the standard file buffer
// throws, must not end the program: from the first failed read on, the
// source counts as ended, and the package reads as one cut short, which
// every caller already reports as broken; sourceError() tells the two
// apart. Later reads are not tried, so that no bytes after a gap are taken
// for the ones before it.
template <class Result, class Read>
Result PackageStreamBuf::readSource(Result ended, Read read) {
  if (sourceError_ != 0) return ended;
  try {
    return read();
  } catch (const std::ios_base::failure&) {
    sourceError_ = errno != 0 ? errno : EIO;
    return ended;
  }
}

std::streamsize PackageStreamBuf::sourceGetn(char* buffer, std::streamsize count) {
  return readSource(std::streamsize(0), [&] { return source_->sgetn(buffer, count); });
}

PackageStreamBuf::int_type PackageStreamBuf::sourceGetc() {
  return readSource(traits_type::eof(), [&] { return source_->sgetc(); });
}

PackageStreamBuf::int_type PackageStreamBuf::sourceBumpc() {
  return readSource(traits_type::eof(), [&] { return source_->sbumpc(); });
}

void PackageStreamBuf::pass(const char* bytes, size_t count) {
  if (count == 0) return;
  if (hashing_) sha1_.update(reinterpret_cast<const uint8_t*>(bytes), count);
  copy(bytes, count);
}

void PackageStreamBuf::copy(const char* bytes, size_t count) {
  if (copyTarget_ != nullptr && count > 0) {
    copyTarget_->sputn(bytes, static_cast<std::streamsize>(count));
  }
}

PackageReader::PackageReader(std::istream& source, bool hashing, std::streambuf* copyTarget)
    : std::istream(nullptr),
      buffer_(std::make_unique<PackageStreamBuf>(source.rdbuf(), hashing, copyTarget)) {
  rdbuf(buffer_.get());
  magic = buffer_->readFileHeader(totalSize);
  if (magic != PACKAGE_MAGIC && magic != UNREGISTERED_PACKAGE_MAGIC) setstate(std::ios_base::badbit);
}

PackageReader::~PackageReader() = default;

int32_t PackageReader::nextPart() {
  if (rdstate() & (std::ios_base::badbit | std::ios_base::failbit)) {
    currentType = -1;
    return -1;
  }
  // Reading to the end of the previous part set eofbit; that part is done.
  clear(rdstate() & ~std::ios_base::eofbit);
  for (;;) {
    currentType = buffer_->nextPart();
    if (currentType == -1) {
      setstate(std::ios_base::eofbit | std::ios_base::failbit);
      return -1;
    }
    if (inFilter(currentType)) return currentType;
  }
}

uint64_t PackageReader::fileOffset() const {
  return buffer_->partOffset() + (buffer_->partLength() - buffer_->partRemaining());
}

bool PackageReader::verifySignature() {
  if (currentType != PART_SIGNATURE) return false;
  uint8_t data[SIGNATURE_DATA_LENGTH];
  if (!buffer_->readSignatureData(data)) return false;
  return verifySignatureData(buffer_->digest(), data, SIGNATURE_KEY);
}

bool PackageReader::inFilter(int32_t type) const {
  return std::find(filter.begin(), filter.end(), static_cast<uint32_t>(type)) != filter.end();
}
