#include "package_layout.h"

#include <zlib.h>

#include <cstring>

#include "pkgfile/little_endian.h"
#include "pkgfile/package_header.h"
#include "pkgfile/sha1.h"

namespace {

/// Output step of inflating a whole files part into memory.
constexpr size_t INFLATE_CHUNK = 16384;

std::string at(size_t offset) { return " at offset " + std::to_string(offset); }

// Collects the parts of the file after its file header.
bool splitParts(const ByteVector& file, std::vector<PartSpan>& parts, std::string& problem) {
  for (size_t offset = FILE_HEADER_LENGTH; offset < file.size();) {
    if (file.size() - offset < PART_HEADER_LENGTH) {
      problem = "part header" + at(offset) + " is cut short";
      return false;
    }
    PartSpan part{readLittleU16(file.data() + offset), offset,
                  readLittleU32(file.data() + offset + PART_LENGTH_OFFSET)};
    if (file.size() - part.dataOffset() < part.length) {
      problem = "part " + std::to_string(part.type) + at(offset) + " declares " + std::to_string(part.length) +
                " bytes, the file holds " + std::to_string(file.size() - part.dataOffset());
      return false;
    }
    parts.push_back(part);
    offset = part.dataOffset() + part.length;
  }
  return true;
}

// Walks the parts of the packages in order, from `first`.
bool readMembers(const ByteVector& file, const std::vector<PartSpan>& parts, size_t first, FileLayout& layout,
                 std::string& problem) {
  MemberLayout* open = nullptr;
  for (size_t index = first; index < parts.size(); ++index) {
    const PartSpan& part = parts[index];
    if (open == nullptr && part.type != PART_HEADER) {
      problem = "part " + std::to_string(part.type) + at(part.offset) + " follows a signature part";
      return false;
    }
    if (part.type == PART_HEADER) {
      if (open != nullptr) {
        problem = "package " + open->label() + " has no signature part";
        return false;
      }
      if (part.length < HEADER_BLOCK_LENGTH) {
        problem = "header part" + at(part.offset) + " has " + std::to_string(part.length) + " bytes, fewer than " +
                  std::to_string(HEADER_BLOCK_LENGTH);
        return false;
      }
      if (!layout.bundle && !layout.members.empty()) {
        problem = "a second package" + at(part.offset) + " in a file that is not a bundle";
        return false;
      }
      MemberLayout member;
      member.name = nameField(file.data() + part.dataOffset());
      member.version = readLittleU32(file.data() + part.dataOffset() + HEADER_VERSION_OFFSET);
      member.start = part.offset;
      layout.members.push_back(member);
      open = &layout.members.back();
    } else if (part.type == PART_FILES) {
      if (open->hasFiles) {
        problem = "package " + open->label() + " has a second files part" + at(part.offset);
        return false;
      }
      open->hasFiles = true;
      open->files = part;
    } else if (part.type == PART_SIGNATURE) {
      if (part.length < SIGNATURE_DATA_LENGTH) {
        problem = "package " + open->label() + ": the signature part has " + std::to_string(part.length) +
                  " bytes, fewer than " + std::to_string(SIGNATURE_DATA_LENGTH);
        return false;
      }
      open->signature = part;
      open = nullptr;
    }
  }
  if (open != nullptr) {
    problem = "package " + open->label() + " has no signature part";
    return false;
  }
  if (layout.members.empty()) problem = "the bundle holds no member package";
  return !layout.members.empty();
}

}  // namespace

std::string MemberLayout::label() const { return name + "-" + versionText(version); }

bool readLayout(const ByteVector& file, FileLayout& layout, std::string& problem) {
  layout = FileLayout();
  if (file.size() < FILE_HEADER_LENGTH) {
    problem = "the file has " + std::to_string(file.size()) + " bytes, too few for a file header";
    return false;
  }
  uint32_t magic = readLittleU32(file.data());
  if (magic != PACKAGE_MAGIC && magic != UNREGISTERED_PACKAGE_MAGIC) {
    problem = "not a package file";
    return false;
  }
  uint64_t declared = readLittleU32(file.data() + FILE_REST_LENGTH_OFFSET);
  if (declared + FILE_HEADER_LENGTH != file.size()) {
    problem = "the file header declares " + std::to_string(declared) + " bytes after it, the file has " +
              std::to_string(file.size() - FILE_HEADER_LENGTH);
    return false;
  }
  std::vector<PartSpan> parts;
  if (!splitParts(file, parts, problem)) return false;
  if (parts.empty() || (parts[0].type != PART_HEADER && parts[0].type != PART_BUNDLE_HEADER)) {
    problem = "the file does not start with a header part (type 1 or 18)";
    return false;
  }
  layout.bundle = parts[0].type == PART_BUNDLE_HEADER;
  size_t first = 0;
  while (layout.bundle && first < parts.size() && parts[first].type != PART_HEADER) ++first;
  return readMembers(file, parts, first, layout, problem);
}

bool storedDigestMatches(const ByteVector& file, const MemberLayout& member, uint8_t digest[20]) {
  SHA1 sha1;
  sha1.update(file.data() + member.start, member.signature.dataOffset() - member.start);
  sha1.digest(digest);
  return std::memcmp(digest, file.data() + member.signature.dataOffset(), STORED_DIGEST_LENGTH) == 0;
}

bool memberSignatureGood(const ByteVector& file, const MemberLayout& member, const uint8_t key[32]) {
  uint8_t digest[SHA1::DIGEST_LENGTH];
  return storedDigestMatches(file, member, digest) &&
         verifySignatureData(digest, file.data() + member.signature.dataOffset(), key);
}

int inflateAll(const uint8_t* data, size_t length, ByteVector& out, size_t& used) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return Z_MEM_ERROR;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(length);
  int status = Z_OK;
  uint8_t chunk[INFLATE_CHUNK];
  while (status == Z_OK) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
  }
  used = length - stream.avail_in;
  inflateEnd(&stream);
  return status;
}

bool readFileEntries(const ByteVector& file, const MemberLayout& member, std::vector<FileDraft>& entries,
                     std::string& problem) {
  entries.clear();
  if (!member.hasFiles) return true;
  ByteVector raw;
  size_t used = 0;
  int status = inflateAll(file.data() + member.files.dataOffset(), member.files.length, raw, used);
  if (status != Z_STREAM_END) {
    problem = "package " + member.label() + ": the compressed files are " +
              (status == Z_BUF_ERROR ? "cut short" : "corrupt");
    return false;
  }
  for (size_t offset = 0; offset < raw.size();) {
    const uint8_t* header = raw.data() + offset;
    size_t available = raw.size() - offset;
    uint32_t size = 0;
    uint16_t nameLength = 0;
    if (available >= FILE_ENTRY_HEADER_LENGTH) {
      size = readLittleU32(header + FILE_ENTRY_SIZE_OFFSET);
      nameLength = readLittleU16(header + FILE_ENTRY_NAME_LENGTH_OFFSET);
    }
    if (available < FILE_ENTRY_HEADER_LENGTH ||
        available - FILE_ENTRY_HEADER_LENGTH < static_cast<size_t>(nameLength) + size) {
      problem = "package " + member.label() + ": the file entry at unpacked offset " + std::to_string(offset) +
                " is cut short";
      return false;
    }
    const char* name = reinterpret_cast<const char*>(header + FILE_ENTRY_HEADER_LENGTH);
    entries.push_back(FileDraft{std::string(name, nameLength), readLittleU16(header + FILE_ENTRY_MODE_OFFSET),
                                header[FILE_ENTRY_VARIANT_OFFSET], std::string(name + nameLength, size)});
    offset += FILE_ENTRY_HEADER_LENGTH + nameLength + size;
  }
  return true;
}
