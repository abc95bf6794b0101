#include "package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "console/console.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/sha1.h"
#include "signing.h"

namespace {

const uint16_t PACKAGE_ORDER[] = {PART_HEADER, PART_TEXT24,  PART_ARCHITECTURE, PART_TEXT2,
                                  PART_NOTE,   PART_DEPENDS, PART_PROVIDES,     PART_CONFLICTS,
                                  PART_IMAGE,  PART_FILES,   PART_SIGNATURE};
const uint16_t BUNDLE_ORDER[] = {
    PART_BUNDLE_HEADER, PART_TEXT24,   PART_ARCHITECTURE, PART_TEXT2, PART_NOTE,
    PART_DEPENDS,       PART_PROVIDES, PART_CONFLICTS,    PART_IMAGE, PART_BUNDLE_MEMBERS};

// One part waiting to be written, with its place in the order.
struct PlannedPart {
  size_t sortKey;
  uint16_t type;
  ByteVector data;
};

// Lays out the parts of one package or bundle header in canonical order
// with the extra parts placed among them.
class PartPlan {
 public:
  template <size_t N>
  explicit PartPlan(const uint16_t (&order)[N]) : order_(order, order + N) {}

  void add(uint16_t type, ByteVector data) {
    parts_.push_back({2 * rankOf(type) + 1, type, std::move(data)});
  }

  void addText(uint16_t type, const std::optional<std::string>& text) {
    if (text) add(type, ByteVector(text->begin(), text->end()));
  }

  void addList(uint16_t type, const std::vector<PackageRef>& refs, bool writeEmpty) {
    if (!refs.empty() || writeEmpty) add(type, encodeRefList(refs));
  }

  void addExtras(const std::vector<ExtraPart>& extras) {
    for (const ExtraPart& extra : extras)
      parts_.push_back({2 * rankOf(extra.before), extra.type, extra.data});
  }

  /// Concatenates the parts. `offsets` receives, for each part type of the
  /// order, the offset of its part header (extra parts not counted).
  ByteVector layOut(std::map<uint16_t, size_t>& offsets) {
    std::stable_sort(parts_.begin(), parts_.end(),
                     [](const PlannedPart& a, const PlannedPart& b) { return a.sortKey < b.sortKey; });
    size_t total = 0;
    for (const PlannedPart& part : parts_) total += PART_HEADER_LENGTH + part.data.size();
    ByteVector out;
    out.reserve(total);
    for (const PlannedPart& part : parts_) {
      if (part.sortKey % 2 == 1) offsets.emplace(part.type, out.size());
      // encodePart, written in place.
      putU16(out, part.type);
      putU32(out, static_cast<uint32_t>(part.data.size()));
      out.insert(out.end(), part.data.begin(), part.data.end());
    }
    return out;
  }

 private:
  size_t rankOf(uint16_t type) const {
    return static_cast<size_t>(std::find(order_.begin(), order_.end(), type) - order_.begin());
  }

  std::vector<uint16_t> order_;
  std::vector<PlannedPart> parts_;
};

// A file entry's header and name, without its content.
ByteVector encodeFileEntryHead(const FileDraft& entry) {
  ByteVector out;
  putU16(out, entry.mode);
  putZeros(out, FILE_ENTRY_RESERVED_LENGTH);
  out.push_back(entry.variant);
  putU32(out, static_cast<uint32_t>(entry.data.size()));
  putU16(out, static_cast<uint16_t>(entry.name.size()));
  putText(out, entry.name);
  return out;
}

// A zlib stream at the best compression, fed piece by piece, into a vector
// that grows as the stream needs.
class Deflater {
 public:
  Deflater(ByteVector& out, uLong expected) : out_(out) {
    status_ = deflateInit(&stream_, Z_BEST_COMPRESSION);
    out_.assign(deflateBound(&stream_, expected), 0);
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool add(const uint8_t* bytes, size_t length) {
    stream_.next_in = const_cast<Bytef*>(bytes);
    while (status_ == Z_OK && length > 0) {
      uInt step = static_cast<uInt>(std::min<size_t>(length, UINT32_MAX));
      stream_.next_in = const_cast<Bytef*>(bytes);
      stream_.avail_in = step;
      while (status_ == Z_OK && stream_.avail_in > 0) run(Z_NO_FLUSH);
      bytes += step;
      length -= step;
    }
    return report();
  }

  bool finish() {
    while (status_ == Z_OK) run(Z_FINISH);
    if (status_ == Z_STREAM_END) {
      out_.resize(stream_.total_out);
      return true;
    }
    return report();
  }

 private:
  void run(int flush) {
    if (out_.size() - stream_.total_out < MIN_ROOM) out_.resize(out_.size() * 2 + MIN_ROOM);
    stream_.next_out = out_.data() + stream_.total_out;
    stream_.avail_out = static_cast<uInt>(std::min<size_t>(out_.size() - stream_.total_out, UINT32_MAX));
    int result = deflate(&stream_, flush);
    if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR)) status_ = result;
  }

  bool report() {
    if (status_ == Z_OK || status_ == Z_STREAM_END) return true;
    error("compression failed: %s", zError(status_));
    out_.clear();
    return false;
  }

  static constexpr size_t MIN_ROOM = 65536;
  ByteVector& out_;
  z_stream stream_{};
  int status_ = Z_OK;
};

void planHeaderParts(PartPlan& plan, const HeaderDraft& draft, uint16_t headerType) {
  plan.add(headerType,
           encodeHeaderBlock(draft.name, draft.version, draft.buildTime, draft.flags, draft.writeFlags));
  plan.addText(PART_TEXT24, draft.extraText24);
  plan.addText(PART_ARCHITECTURE, draft.architecture);
  plan.addText(PART_TEXT2, draft.extraText2);
  plan.addText(PART_NOTE, draft.note);
  plan.addList(PART_DEPENDS, draft.deps, draft.writeEmptyLists);
  plan.addList(PART_PROVIDES, draft.provides, draft.writeEmptyLists);
  plan.addList(PART_CONFLICTS, draft.conflicts, draft.writeEmptyLists);
  plan.addExtras(draft.extraParts);
}

// Deflates the file entries one after the other into `data`, each entry's
// header and name from a small buffer and its content where it lies: the
// same stream as compressData over all entries laid end to end, without
// that copy of the whole payload.
bool filesPartData(const PackageDraft& draft, ByteVector& data) {
  if (draft.rawFilesData) {
    data = *draft.rawFilesData;
    return true;
  }
  uLong total = 0;
  for (const FileDraft& entry : draft.files) {
    if (entry.name.size() > UINT16_MAX || entry.data.size() > UINT32_MAX) {
      error("file entry %s is too large for a package", entry.name.c_str());
      return false;
    }
    total += static_cast<uLong>(FILE_ENTRY_HEADER_LENGTH + entry.name.size() + entry.data.size());
  }
  Deflater deflater(data, total);
  for (const FileDraft& entry : draft.files) {
    ByteVector head = encodeFileEntryHead(entry);
    if (!deflater.add(head.data(), head.size()) ||
        !deflater.add(reinterpret_cast<const uint8_t*>(entry.data.data()), entry.data.size()))
      return false;
  }
  return deflater.finish();
}

// The file header's length field cannot describe more.
bool fitsInFile(const ByteVector& parts) {
  if (parts.size() <= UINT32_MAX) return true;
  error("the package is too large for a package file");
  return false;
}

}  // namespace

void putU16(ByteVector& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void putU32(ByteVector& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
}

void putName(ByteVector& out, const std::string& name) {
  size_t length = std::min<size_t>(name.size(), NAME_FIELD_LENGTH);
  out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
  putZeros(out, NAME_FIELD_LENGTH - length);
}

void putZeros(ByteVector& out, size_t count) { out.insert(out.end(), count, 0); }

void putText(ByteVector& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

ByteVector encodePart(uint16_t type, const ByteVector& data) {
  ByteVector out;
  out.reserve(PART_HEADER_LENGTH + data.size());
  putU16(out, type);
  putU32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

ByteVector encodePart(uint16_t type, const std::string& text) {
  return encodePart(type, ByteVector(text.begin(), text.end()));
}

ByteVector encodeHeaderBlock(const std::string& name, PackageVersion version, uint32_t buildTime,
                             uint32_t flags, bool withFlags) {
  ByteVector out;
  putName(out, name);
  putU32(out, version);
  putU32(out, buildTime);
  putZeros(out, HEADER_RESERVED_LENGTH);
  if (withFlags) putU32(out, flags);
  return out;
}

ByteVector encodeRefList(const std::vector<PackageRef>& refs) {
  ByteVector out;
  putU16(out, static_cast<uint16_t>(refs.size()));
  for (const PackageRef& ref : refs) {
    putName(out, ref.name);
    putU32(out, ref.minVersion);
    putZeros(out, REF_RESERVED_LENGTH);
    putU32(out, ref.maxVersion);
    putU32(out, static_cast<uint32_t>(ref.priority));
  }
  return out;
}

ByteVector encodeFileEntry(const FileDraft& entry) {
  ByteVector out = encodeFileEntryHead(entry);
  putText(out, entry.data);
  return out;
}

bool compressData(const ByteVector& raw, ByteVector& compressed) {
  uLongf length = compressBound(static_cast<uLong>(raw.size()));
  compressed.assign(length, 0);
  int status = compress2(compressed.data(), &length, raw.data(), static_cast<uLong>(raw.size()),
                         Z_BEST_COMPRESSION);
  if (status != Z_OK) {
    error("compression failed: %s", zError(status));
    compressed.clear();
    return false;
  }
  compressed.resize(length);
  return true;
}

ByteVector wrapInFile(uint32_t magic, const ByteVector& parts) {
  ByteVector out;
  out.reserve(FILE_HEADER_LENGTH + parts.size());
  putU32(out, magic);
  putU32(out, static_cast<uint32_t>(parts.size()));
  out.insert(out.end(), parts.begin(), parts.end());
  return out;
}

bool packageFileParts(const ByteVector& file, const std::string& label, ByteVector& parts) {
  if (file.size() < FILE_HEADER_LENGTH) {
    error("%s is not a package file", label.c_str());
    return false;
  }
  uint32_t magic = readLittleU32(file.data());
  if (magic != PACKAGE_MAGIC && magic != UNREGISTERED_PACKAGE_MAGIC) {
    error("%s is not a package file", label.c_str());
    return false;
  }
  if (readLittleU32(file.data() + FILE_REST_LENGTH_OFFSET) != file.size() - FILE_HEADER_LENGTH) {
    error("%s does not have the length its header declares", label.c_str());
    return false;
  }
  parts.assign(file.begin() + FILE_HEADER_LENGTH, file.end());
  return true;
}

bool signPackageParts(ByteVector& parts, size_t signedStart, size_t signatureOffset,
                      const SigningKey& key) {
  size_t dataOffset = signatureOffset + PART_HEADER_LENGTH;
  if (signedStart > signatureOffset || dataOffset > parts.size()) {
    error("no signature part to sign");
    return false;
  }
  SHA1 sha1;
  uint8_t digest[SHA1::DIGEST_LENGTH];
  sha1.update(parts.data() + signedStart, dataOffset - signedStart);
  sha1.digest(digest);
  uint8_t signature[SIGNATURE_DATA_LENGTH];
  if (!signDigest(key, digest, signature)) return false;
  size_t room =
      std::min<size_t>(readLittleU32(parts.data() + signatureOffset + PART_LENGTH_OFFSET), parts.size() - dataOffset);
  std::memcpy(parts.data() + dataOffset, signature, std::min<size_t>(room, SIGNATURE_DATA_LENGTH));
  return true;
}

ByteVector buildPackageParts(const PackageDraft& draft) {
  PartPlan plan(PACKAGE_ORDER);
  planHeaderParts(plan, draft, PART_HEADER);
  if (draft.image) plan.add(PART_IMAGE, *draft.image);
  if (draft.writeFilesPart) {
    ByteVector data;
    if (!filesPartData(draft, data)) return ByteVector();
    plan.add(PART_FILES, std::move(data));
  }
  if (draft.writeSignature) plan.add(PART_SIGNATURE, ByteVector(draft.signatureLength, 0));
  std::map<uint16_t, size_t> offsets;
  ByteVector parts = plan.layOut(offsets);
  if (!fitsInFile(parts)) return ByteVector();
  if (draft.writeSignature && !signPackageParts(parts, offsets[PART_HEADER], offsets[PART_SIGNATURE],
                                               draft.key ? *draft.key : developmentKey()))
    return ByteVector();
  return parts;
}

ByteVector buildPackage(const PackageDraft& draft) {
  ByteVector parts = buildPackageParts(draft);
  if (parts.empty()) return parts;
  return wrapInFile(draft.unregistered ? UNREGISTERED_PACKAGE_MAGIC : PACKAGE_MAGIC, parts);
}

ByteVector buildBundle(const BundleDraft& draft) {
  PartPlan plan(BUNDLE_ORDER);
  planHeaderParts(plan, draft, PART_BUNDLE_HEADER);
  if (!draft.omitImage) plan.add(PART_IMAGE, draft.image.value_or(ByteVector()));
  plan.addList(PART_BUNDLE_MEMBERS, draft.optionalMembers, draft.writeEmptyLists);
  std::map<uint16_t, size_t> unusedOffsets;
  ByteVector parts = plan.layOut(unusedOffsets);
  for (const ByteVector& member : draft.members) parts.insert(parts.end(), member.begin(), member.end());
  if (!fitsInFile(parts)) return ByteVector();
  return wrapInFile(PACKAGE_MAGIC, parts);
}
