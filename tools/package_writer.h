// Writing package files: the little-endian encoders, the parts of a package
// and of a bundle in their canonical order, and the signed file bytes.
//
// Everything here works in memory and is deterministic: the same draft gives
// the same bytes. Tests of every subsystem use it to make package files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/package_record.h"
#include "pkgfile/package_format.h"
#include "pkgfile/signature.h"

struct SigningKey;

/// Bytes of a package file or of a part of one.
using ByteVector = std::vector<uint8_t>;

/// Appends `value` as 2 bytes, least significant first.
void putU16(ByteVector& out, uint16_t value);
/// Appends `value` as 4 bytes, least significant first.
void putU32(ByteVector& out, uint32_t value);
/// Appends `name` as a 16-byte field padded with NUL bytes; a longer name is
/// cut at 16 bytes (a name of exactly 16 bytes has no terminator).
void putName(ByteVector& out, const std::string& name);
/// Appends `count` zero bytes.
void putZeros(ByteVector& out, size_t count);
/// Appends the bytes of `text`.
void putText(ByteVector& out, const std::string& text);

/// A part: the 6-byte part header (u16 type, u32 length) and `data`.
ByteVector encodePart(uint16_t type, const ByteVector& data);
/// A part whose data is the bytes of `text`.
ByteVector encodePart(uint16_t type, const std::string& text);

/// The header block of a part of type 1 or 18: name, version, build time,
/// 8 zero bytes and, when `withFlags`, the u32 flags (36 bytes, else 32).
ByteVector encodeHeaderBlock(const std::string& name, PackageVersion version, uint32_t buildTime,
                             uint32_t flags, bool withFlags = true);

/// A reference list: u16 count, then per entry name, minVersion, 4 zero
/// bytes, maxVersion and the signed priority. Holds at most 65535 entries;
/// the count of a longer list is cut to 16 bits.
ByteVector encodeRefList(const std::vector<PackageRef>& refs);

/// One file of a package's files part.
struct FileDraft {
  /// Path below the flash root, for example "bin/tool".
  std::string name;
  /// Unix type and permission bits; 0100644 is a regular file.
  uint16_t mode = 0100644;
  /// 0 for every machine, 1 to MAX_PROCESSOR_VARIANT for one processor
  /// variant only.
  uint8_t variant = 0;
  std::string data;
};

/// One file entry: mode, 21 zero bytes, variant, size, name length, name,
/// data (not compressed).
ByteVector encodeFileEntry(const FileDraft& entry);

/// Compresses `raw` into the zlib format at the best compression level;
/// false (with an error printed) when zlib fails.
bool compressData(const ByteVector& raw, ByteVector& compressed);

/// An additional part for tests, for example one of a type the installer
/// does not know.
struct ExtraPart {
  uint16_t type = 0;
  ByteVector data;
  /// The part goes where a part of this type stands or would stand in the
  /// canonical order; a type outside that order puts it after all others.
  uint16_t before = PART_SIGNATURE;
};

/// Header fields and optional parts shared by packages and bundles.
struct HeaderDraft {
  std::string name;
  PackageVersion version = 0;
  uint32_t buildTime = 0;
  /// PACKAGE_FLAG_BOOT, PACKAGE_FLAG_NO_META and any other bits.
  uint32_t flags = 0;
  /// Write the optional flags field of the header block.
  bool writeFlags = true;
  /// Texts of the parts 24 and 2, which the installer keeps but never uses.
  std::optional<std::string> extraText24;
  std::optional<std::string> architecture;
  std::optional<std::string> extraText2;
  std::optional<std::string> note;
  /// The reference lists; each is written only when it is not empty (or
  /// always, with writeEmptyLists).
  std::vector<PackageRef> deps;
  std::vector<PackageRef> provides;
  std::vector<PackageRef> conflicts;
  bool writeEmptyLists = false;
  /// Payload of the part of type 21.
  std::optional<ByteVector> image;
  std::vector<ExtraPart> extraParts;
};

/// A single package: its header, files and signature.
struct PackageDraft : HeaderDraft {
  /// Start the file with UNREGISTERED_PACKAGE_MAGIC instead of PACKAGE_MAGIC.
  bool unregistered = false;
  /// The entries of the files part, written in this order.
  std::vector<FileDraft> files;
  /// Write the files part (also when `files` is empty).
  bool writeFilesPart = true;
  /// When set, the data of the files part as given, instead of the
  /// compressed entries (for broken streams in tests).
  std::optional<ByteVector> rawFilesData;
  /// Write the signature part.
  bool writeSignature = true;
  /// Length of the signature part data: shorter cuts the 68 bytes, longer
  /// appends zero bytes.
  size_t signatureLength = SIGNATURE_DATA_LENGTH;
  /// The signing key; null signs with the development key.
  const SigningKey* key = nullptr;
};

/// A bundle: its own header and parts, then the member packages.
struct BundleDraft : HeaderDraft {
  /// Leave out the part of type 21, which a bundle otherwise always carries
  /// (with `image` as payload, empty when unset).
  bool omitImage = false;
  /// Members that are installed disabled unless the user enabled them: the
  /// part of type 20, written when not empty.
  std::vector<PackageRef> optionalMembers;
  /// The members' bytes as buildPackageParts makes them, in file order.
  std::vector<ByteVector> members;
};

/// The parts of one package, signed, without a file header: what a bundle
/// holds per member. Empty (with an error printed) when compressing or
/// signing fails.
ByteVector buildPackageParts(const PackageDraft& draft);

/// A whole package file: file header and signed parts. Empty (with an error
/// printed) on failure.
ByteVector buildPackage(const PackageDraft& draft);

/// A whole bundle file: file header, the bundle's parts in canonical order
/// (18, 24, 16, 2, 23, 3, 19, 17, 21, 20), then the members. Empty on failure.
ByteVector buildBundle(const BundleDraft& draft);

/// The 8-byte file header (magic, length of the rest) followed by `parts`.
ByteVector wrapInFile(uint32_t magic, const ByteVector& parts);

/// The parts of a package file without its file header, for use as a
/// bundle member. False (with an error printed, naming `label`) when the
/// bytes are not a package file of the length they declare.
bool packageFileParts(const ByteVector& file, const std::string& label, ByteVector& parts);

/// Signs the package in `parts` whose part of type 1 starts at `signedStart`:
/// computes the SHA-1 of the bytes from there up to and including the
/// 6-byte header of the signature part at `signatureOffset`, and fills the
/// first 68 bytes of that part's data (fewer when the part is shorter).
/// False (with an error printed) when signing fails.
bool signPackageParts(ByteVector& parts, size_t signedStart, size_t signatureOffset,
                      const SigningKey& key);
