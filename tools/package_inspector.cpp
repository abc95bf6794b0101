#include "package_inspector.h"

#include <zlib.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <iterator>
#include <ostream>

#include "console/console.h"
#include "console/package_listing.h"
#include "model/machine.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/package_header.h"
#include "pkgfile/sha1.h"
#include "package_layout.h"
#include "signing.h"

namespace {

const uint16_t PACKAGE_PART_ORDER[] = {PART_TEXT24,  PART_ARCHITECTURE, PART_TEXT2,     PART_NOTE,
                                       PART_DEPENDS, PART_PROVIDES,     PART_CONFLICTS, PART_IMAGE,
                                       PART_FILES,   PART_SIGNATURE};
const uint16_t BUNDLE_PART_ORDER[] = {PART_TEXT24,    PART_ARCHITECTURE, PART_TEXT2,
                                      PART_NOTE,      PART_DEPENDS,      PART_PROVIDES,
                                      PART_CONFLICTS, PART_IMAGE,        PART_BUNDLE_MEMBERS};

struct PartView {
  uint16_t type;
  size_t offset;  // of the part header
  uint32_t length;
  const uint8_t* data;
};

const char* partName(uint16_t type) {
  switch (type) {
    case PART_HEADER: return "header";
    case PART_TEXT2: return "text 2";
    case PART_DEPENDS: return "depends";
    case PART_FILES: return "files";
    case PART_SIGNATURE: return "signature";
    case PART_ARCHITECTURE: return "architecture";
    case PART_CONFLICTS: return "conflicts";
    case PART_BUNDLE_HEADER: return "bundle header";
    case PART_PROVIDES: return "provides";
    case PART_BUNDLE_MEMBERS: return "bundle members";
    case PART_IMAGE: return "image";
    case PART_NOTE: return "note";
    case PART_TEXT24: return "text 24";
    default: return "unknown";
  }
}

// Text in double quotes, with quotes, backslashes and unprintable bytes escaped.
std::string quoted(const uint8_t* bytes, size_t length) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text = "\"";
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = bytes[i];
    if (c == '"' || c == '\\') {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += DIGITS[c >> 4];
      text += DIGITS[c & 0xF];
    }
  }
  return text + "\"";
}

std::string quoted(const std::string& text) {
  return quoted(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string boundText(PackageVersion version) { return version == 0 ? "-" : versionText(version); }

std::string timeText(uint32_t seconds) {
  struct tm broken = buildTimeParts(seconds);
  char buffer[32];
  if (strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &broken) == 0) return "?";
  return buffer;
}

std::string flagsText(uint32_t flags) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", flags);
  std::string names;
  if (flags & PACKAGE_FLAG_BOOT) names += "boot";
  if (flags & PACKAGE_FLAG_NO_META) names += names.empty() ? "no-meta" : ", no-meta";
  return names.empty() ? hex : std::string(hex) + " (" + names + ")";
}

// Walks the parts of one package file, describing each and collecting problems.
class Inspector {
 public:
  Inspector(const ByteVector& file, const std::string& label, const uint8_t key[32], std::ostream& out)
      : file_(file), label_(label), key_(key), out_(out) {}

  bool run() {
    if (!readFileHeader()) return false;
    splitParts();
    checkFirstPart();
    for (const PartView& part : parts_) describePart(part);
    finishPackage();
    checkBundleMembers();
    return sound_;
  }

 private:
  // An error or a warning about the file, naming it first.
  void problem(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list arguments;
    va_start(arguments, format);
    emit(("ERROR: " + label_ + ": ").c_str(), format, arguments);
    va_end(arguments);
    sound_ = false;
  }

  void notice(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list arguments;
    va_start(arguments, format);
    emit(("WARNING: " + label_ + ": ").c_str(), format, arguments);
    va_end(arguments);
  }

  bool readFileHeader() {
    if (file_.size() < FILE_HEADER_LENGTH) {
      problem("the file has %zu bytes, too few for a file header", file_.size());
      return false;
    }
    uint32_t magic = readLittleU32(file_.data());
    uint32_t declared = readLittleU32(file_.data() + FILE_REST_LENGTH_OFFSET);
    // An unregistered package's magic is described as "second magic", the
    // words the tool has always printed.
    const char* kind = magic == PACKAGE_MAGIC  ? "package"
                       : magic == UNREGISTERED_PACKAGE_MAGIC ? "second magic"
                                               : nullptr;
    out_ << "file of " << file_.size() << " bytes, magic 0x" << std::hex << magic << std::dec << " ("
         << (kind ? kind : "not a package file") << "), declared length " << declared << "\n";
    if (!kind) {
      problem("the magic 0x%08x is not that of a package file", magic);
      return false;
    }
    if (static_cast<uint64_t>(declared) + FILE_HEADER_LENGTH != file_.size())
      problem("the file header declares %u bytes after it, the file has %zu", declared,
              file_.size() - FILE_HEADER_LENGTH);
    return true;
  }

  void splitParts() {
    size_t offset = FILE_HEADER_LENGTH;
    while (offset < file_.size()) {
      if (file_.size() - offset < PART_HEADER_LENGTH) {
        problem("part header at offset %zu is cut short", offset);
        return;
      }
      const uint8_t* header = file_.data() + offset;
      PartView part{readLittleU16(header), offset, readLittleU32(header + PART_LENGTH_OFFSET),
                    header + PART_HEADER_LENGTH};
      if (file_.size() - offset - PART_HEADER_LENGTH < part.length) {
        problem("part %u at offset %zu declares %u bytes, the file holds %zu", part.type, offset,
                part.length, file_.size() - offset - PART_HEADER_LENGTH);
        return;
      }
      parts_.push_back(part);
      offset += PART_HEADER_LENGTH + part.length;
    }
  }

  void checkFirstPart() {
    if (parts_.empty() || (parts_[0].type != PART_HEADER && parts_[0].type != PART_BUNDLE_HEADER))
      problem("the file does not start with a header part (type 1 or 18)");
    else
      isBundle_ = parts_[0].type == PART_BUNDLE_HEADER;
  }

  void checkBundleMembers() {
    if (isBundle_ && memberCount_ == 0) problem("the bundle holds no member package");
  }

  void describePart(const PartView& part) {
    out_ << "part " << part.type << " (" << partName(part.type) << "), " << part.length
         << " bytes at offset " << part.offset << "\n";
    checkOrder(part);
    switch (part.type) {
      case PART_HEADER: startPackage(part); break;
      case PART_BUNDLE_HEADER: describeHeaderBlock(part); break;
      case PART_TEXT24:
      case PART_ARCHITECTURE:
      case PART_TEXT2:
      case PART_NOTE: out_ << "  " << quoted(part.data, part.length) << "\n"; break;
      case PART_DEPENDS:
      case PART_PROVIDES:
      case PART_CONFLICTS:
      case PART_BUNDLE_MEMBERS: describeRefList(part); break;
      case PART_FILES: describeFiles(part); break;
      case PART_SIGNATURE: checkSignature(part); break;
      default: break;
    }
  }

  // Warns about a header part that comes after a later one of the order: the
  // installer reads each optional part only at its place.
  void checkOrder(const PartView& part) {
    if (part.type == PART_HEADER || part.type == PART_BUNDLE_HEADER) {
      lastRank_ = 0;
      return;
    }
    bool inBundleParts = isBundle_ && memberCount_ == 0;
    const uint16_t* order = inBundleParts ? BUNDLE_PART_ORDER : PACKAGE_PART_ORDER;
    size_t count = inBundleParts ? std::size(BUNDLE_PART_ORDER) : std::size(PACKAGE_PART_ORDER);
    for (size_t rank = 1; rank <= count; ++rank) {
      if (order[rank - 1] != part.type) continue;
      if (rank <= lastRank_)
        notice("part %u at offset %zu is out of order; the installer does not read it there", part.type,
                part.offset);
      else
        lastRank_ = rank;
      return;
    }
  }

  void startPackage(const PartView& part) {
    finishPackage();
    ++memberCount_;
    inPackage_ = true;
    packageStart_ = part.offset;
    packageLabel_ = describeHeaderBlock(part);
  }

  void finishPackage() {
    if (inPackage_) problem("package %s has no signature part", packageLabel_.c_str());
    inPackage_ = false;
  }

  // Returns the name and version text of the block, or a placeholder.
  std::string describeHeaderBlock(const PartView& part) {
    if (part.length < HEADER_BLOCK_LENGTH) {
      problem("header part at offset %zu has %u bytes, fewer than %u", part.offset, part.length,
              HEADER_BLOCK_LENGTH);
      return "at offset " + std::to_string(part.offset);
    }
    std::string name = nameField(part.data);
    PackageVersion version = readLittleU32(part.data + HEADER_VERSION_OFFSET);
    uint32_t buildTime = readLittleU32(part.data + HEADER_BUILD_TIME_OFFSET);
    out_ << "  name " << quoted(name) << ", version " << versionText(version) << ", build time "
         << buildTime << " (" << timeText(buildTime) << "), flags ";
    if (part.length >= HEADER_BLOCK_LENGTH + FLAGS_LENGTH)
      out_ << flagsText(readLittleU32(part.data + HEADER_FLAGS_OFFSET)) << "\n";
    else
      out_ << "none\n";
    return name + "-" + versionText(version);
  }

  void describeRefList(const PartView& part) {
    if (part.length < REF_COUNT_LENGTH) {
      problem("reference list at offset %zu has no count", part.offset);
      return;
    }
    uint16_t count = readLittleU16(part.data);
    out_ << "  " << count << (count == 1 ? " entry\n" : " entries\n");
    if (part.length < REF_COUNT_LENGTH + static_cast<size_t>(count) * REF_ENTRY_LENGTH) {
      problem("reference list at offset %zu has %u entries but %u bytes", part.offset, count,
              part.length);
      return;
    }
    for (uint16_t i = 0; i < count; ++i) {
      PackageRef ref = decodeRefEntry(part.data + REF_COUNT_LENGTH + i * REF_ENTRY_LENGTH);
      out_ << "  " << quoted(ref.name) << " min " << boundText(ref.minVersion) << " max "
           << boundText(ref.maxVersion) << " priority " << ref.priority << "\n";
    }
  }

  void describeFiles(const PartView& part) {
    ByteVector raw;
    size_t used = 0;
    int status = inflateAll(part.data, part.length, raw, used);
    if (status != Z_STREAM_END) {
      problem("files part at offset %zu: the compressed data is %s", part.offset,
              status == Z_BUF_ERROR ? "cut short" : "corrupt");
      return;
    }
    if (used < part.length)
      notice("files part at offset %zu: %zu bytes after the compressed data", part.offset,
              part.length - used);
    out_ << "  " << raw.size() << " bytes unpacked\n";
    describeEntries(raw);
  }

  void describeEntries(const ByteVector& raw) {
    size_t offset = 0;
    while (offset < raw.size()) {
      if (raw.size() - offset < FILE_ENTRY_HEADER_LENGTH) {
        problem("file entry at unpacked offset %zu: header cut short", offset);
        return;
      }
      const uint8_t* header = raw.data() + offset;
      uint16_t mode = readLittleU16(header + FILE_ENTRY_MODE_OFFSET);
      uint8_t variant = header[FILE_ENTRY_VARIANT_OFFSET];
      uint32_t size = readLittleU32(header + FILE_ENTRY_SIZE_OFFSET);
      uint16_t nameLength = readLittleU16(header + FILE_ENTRY_NAME_LENGTH_OFFSET);
      size_t available = raw.size() - offset - FILE_ENTRY_HEADER_LENGTH;
      // In 64 bits: a size near 4 GiB must not wrap round a 32-bit size_t.
      if (available < uint64_t{nameLength} + size) {
        problem("file entry at unpacked offset %zu: name or data cut short", offset);
        return;
      }
      describeEntry(mode, variant, size, quoted(header + FILE_ENTRY_HEADER_LENGTH, nameLength));
      offset += FILE_ENTRY_HEADER_LENGTH + nameLength + size;
    }
  }

  void describeEntry(uint16_t mode, uint8_t variant, uint32_t size, const std::string& name) {
    char modeText[16];
    std::snprintf(modeText, sizeof modeText, "%06o", mode);
    out_ << "  " << modeText << " variant " << static_cast<unsigned>(variant) << " " << size << " bytes "
         << name;
    if (!isRegularFileMode(mode))
      out_ << " (not a regular file: not installed)";
    else if (variant > MAX_PROCESSOR_VARIANT)
      out_ << " (no machine has this variant: not installed)";
    out_ << "\n";
  }

  void checkSignature(const PartView& part) {
    if (!inPackage_) {
      problem("signature part at offset %zu belongs to no package", part.offset);
      return;
    }
    inPackage_ = false;
    if (part.length < SIGNATURE_DATA_LENGTH) {
      problem("package %s: the signature part has %u bytes, fewer than %zu", packageLabel_.c_str(),
              part.length, SIGNATURE_DATA_LENGTH);
      return;
    }
    uint8_t digest[SHA1::DIGEST_LENGTH];
    SHA1 sha1;
    sha1.update(file_.data() + packageStart_, part.offset + PART_HEADER_LENGTH - packageStart_);
    sha1.digest(digest);
    if (std::memcmp(digest, part.data, sizeof digest) != 0)
      problem("package %s: the stored digest does not match the package's bytes", packageLabel_.c_str());
    else if (!verifySignatureData(digest, part.data, key_))
      problem("package %s: the signature does not verify with key %s", packageLabel_.c_str(),
              hexText(key_).c_str());
    else
      out_ << "  good signature of " << packageLabel_ << "\n";
  }

  const ByteVector& file_;
  const std::string& label_;
  const uint8_t* key_;
  std::ostream& out_;
  std::vector<PartView> parts_;
  bool sound_ = true;
  bool isBundle_ = false;
  size_t memberCount_ = 0;
  size_t lastRank_ = 0;
  bool inPackage_ = false;
  size_t packageStart_ = 0;
  std::string packageLabel_;
};

}  // namespace

bool inspectPackageFile(const ByteVector& file, const std::string& label, const uint8_t key[32],
                        std::ostream& out) {
  return Inspector(file, label, key, out).run();
}
