#include "pkgfile/package_header.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <memory>

#include "model/machine.h"
#include "pkgfile/little_endian.h"

namespace {

/// Text parts are read in steps of this size, so that a corrupt length field
/// costs no more memory than the data that is really there.
constexpr uint32_t TEXT_STEP = 4096;

/// Reads exactly `count` bytes; false when the part or the source ends first.
bool readBytes(PackageReader& reader, uint8_t* bytes, uint32_t count) {
  reader.read(reinterpret_cast<char*>(bytes), count);
  return !reader.fail();
}

/// The whole data of the current part as a string; a short part leaves the
/// reader failed and the text cut.
std::string readText(PackageReader& reader) {
  std::string text;
  char chunk[TEXT_STEP];
  uint32_t left = reader.partLength();
  while (left > 0 && !reader.fail()) {
    uint32_t step = std::min(left, TEXT_STEP);
    reader.read(chunk, step);
    text.append(chunk, static_cast<size_t>(reader.gcount()));
    left -= step;
  }
  return text;
}

/// Name, version, build time and, when the part is long enough, flags.
bool readHeaderBlock(PackageRecord& record, PackageReader& reader) {
  uint8_t block[HEADER_BLOCK_LENGTH];
  if (!readBytes(reader, block, HEADER_BLOCK_LENGTH)) return false;
  record.name = nameField(block);
  record.version = readLittleU32(block + HEADER_VERSION_OFFSET);
  record.buildTime = readLittleU32(block + HEADER_BUILD_TIME_OFFSET);
  // Decided by the part's length rather than by what the source happens to
  // have buffered, so a pipe gives the same flags as a file.
  uint8_t flags[FLAGS_LENGTH];
  if (reader.partLength() >= HEADER_BLOCK_LENGTH + FLAGS_LENGTH &&
      readBytes(reader, flags, FLAGS_LENGTH)) {
    record.flags = readLittleU32(flags);
  }
  // The name becomes a directory of the package database.
  return isSafePackageName(record.name);
}

/// When the reader stands on a part of `type`, reads it into `text` and moves
/// on; returns whether it did.
bool takeText(PackageReader& reader, uint16_t type, std::string& text) {
  if (reader.currentType != type) return false;
  text = readText(reader);
  reader.nextPart();
  return true;
}

/// When the reader stands on a part of `type`, appends its list to `refs`
/// and moves on; false only for a list that is cut short.
bool takeRefList(PackageReader& reader, uint16_t type, std::vector<PackageRef>& refs) {
  if (reader.currentType != type) return true;
  if (!readRefList(reader, refs)) return false;
  reader.nextPart();
  return true;
}

/// True when the package database can store every name of the list as a
/// word and read it back.
bool allStorable(const std::vector<PackageRef>& refs) {
  for (const PackageRef& ref : refs)
    if (!isStorableName(ref.name)) return false;
  return true;
}

/// The size on disk equals the declared total, or cannot be told.
bool sizeMatches(const std::string& path, uint64_t totalSize) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return true;
  return static_cast<uint64_t>(status.st_size) == totalSize;
}

/// Reads the member packages that follow a bundle's own parts.
bool readBundleMembers(PackageRecord& bundle, PackageReader& reader) {
  if (reader.currentType == PART_IMAGE) reader.nextPart();
  while (reader.currentType == PART_HEADER) {
    auto member = std::make_unique<PackageRecord>();
    if (!readPackageHeader(*member, reader)) return false;
    bundle.members.push_back(std::move(member));
    if (reader.currentType == PART_IMAGE) reader.nextPart();
  }
  return !bundle.members.empty();
}

}  // namespace

std::string nameField(const uint8_t* bytes) {
  const uint8_t* end = std::find(bytes, bytes + NAME_FIELD_LENGTH, 0);
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
}

PackageRef decodeRefEntry(const uint8_t* bytes) {
  PackageRef ref;
  ref.name = nameField(bytes);
  ref.minVersion = readLittleU32(bytes + REF_MIN_VERSION_OFFSET);
  ref.maxVersion = readLittleU32(bytes + REF_MAX_VERSION_OFFSET);
  ref.priority = static_cast<int32_t>(readLittleU32(bytes + REF_PRIORITY_OFFSET));
  return ref;
}

bool readRefList(PackageReader& reader, std::vector<PackageRef>& refs) {
  uint8_t count[REF_COUNT_LENGTH];
  if (!readBytes(reader, count, REF_COUNT_LENGTH)) return false;
  for (uint16_t i = readLittleU16(count); i > 0; --i) {
    uint8_t entry[REF_ENTRY_LENGTH];
    if (!readBytes(reader, entry, REF_ENTRY_LENGTH)) return false;
    refs.push_back(decodeRefEntry(entry));
  }
  return true;
}

bool readPackageHeader(PackageRecord& record, PackageReader& reader) {
  if (reader.currentType != PART_HEADER && reader.currentType != PART_BUNDLE_HEADER) return false;
  record.isBundle = reader.currentType == PART_BUNDLE_HEADER;
  if (!readHeaderBlock(record, reader)) return false;
  reader.nextPart();

  // Each optional part is looked for once, in this order; one that comes
  // out of order stays the current part for the caller.
  takeText(reader, PART_TEXT24, record.extraText24);
  if (!takeText(reader, PART_ARCHITECTURE, record.architecture)) {
    record.architecture = DEFAULT_ARCHITECTURE;
  }
  takeText(reader, PART_TEXT2, record.extraText2);
  takeText(reader, PART_NOTE, record.note);
  if (!takeRefList(reader, PART_DEPENDS, record.deps) ||
      !takeRefList(reader, PART_PROVIDES, record.provides) ||
      !takeRefList(reader, PART_CONFLICTS, record.conflicts)) {
    return false;
  }
  if (reader.currentType == PART_IMAGE) record.storedAsImage = true;
  // The record is complete, but a list that the database would read back
  // as broken (and so uninstall the package) makes the header broken.
  return allStorable(record.deps) && allStorable(record.provides) && allStorable(record.conflicts);
}

bool readPackageFile(PackageFileRecord& record, const std::string& path) {
  record.path = path;
  std::ifstream file(path, std::ios_base::in | std::ios_base::binary);
  // Nothing here checks the signature, so the reader need not hash: it
  // seeks over the parts that the scan passes (the files part above all)
  // instead of reading them. The install reads the file once, whole.
  PackageReader reader(file, false);
  record.declaredSize = static_cast<uint32_t>(
      std::min<uint64_t>(reader.totalSize, std::numeric_limits<uint32_t>::max()));
  if (!sizeMatches(path, reader.totalSize)) return false;
  record.unregistered = reader.isUnregistered();

  reader.filter = SCAN_FILTER;
  reader.nextPart();
  if (!readPackageHeader(record, reader)) return false;
  if (!record.isBundle) return true;
  return readBundleMembers(record, reader);
}
