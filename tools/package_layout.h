// The layout of a package or bundle file held in memory: where each member
// package starts, where its files and signature parts stand, and its file
// entries. verify, sign and extract work on it; every offset counts from the
// start of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package_writer.h"

/// A part: its type, the offset of its 6-byte part header and its data length.
struct PartSpan {
  uint16_t type = 0;
  size_t offset = 0;
  uint32_t length = 0;
  size_t dataOffset() const { return offset + PART_HEADER_LENGTH; }
};

/// One package of the file: the file itself, or a member of a bundle.
struct MemberLayout {
  std::string name;
  PackageVersion version = 0;
  /// Offset of its header part (type 1), where the signed bytes start.
  size_t start = 0;
  bool hasFiles = false;
  PartSpan files;
  PartSpan signature;
  /// "NAME-VERSION".
  std::string label() const;
};

struct FileLayout {
  bool bundle = false;
  std::vector<MemberLayout> members;
};

/// Splits `file` into its packages. False, with `problem` saying what is
/// wrong, for a file that the installer could not take whole: a wrong
/// magic, a length other than the declared one, a part running past the
/// end, no header part first, a header block too short, a package without
/// a signature part of at least 68 bytes or with parts after it (outside a
/// bundle), a bundle without members.
bool readLayout(const ByteVector& file, FileLayout& layout, std::string& problem);

/// True when the stored digest of `member` is the SHA-1 of its signed
/// bytes. `digest` receives that SHA-1.
bool storedDigestMatches(const ByteVector& file, const MemberLayout& member, uint8_t digest[20]);

/// True when the signature of `member` verifies with `key` (32 bytes), as
/// the installer checks it.
bool memberSignatureGood(const ByteVector& file, const MemberLayout& member, const uint8_t key[32]);

/// Inflates zlib data into `out`; returns Z_STREAM_END when the stream is
/// whole, Z_BUF_ERROR when it is cut short, another code when it is
/// corrupt. `used` receives the count of compressed bytes consumed.
int inflateAll(const uint8_t* data, size_t length, ByteVector& out, size_t& used);

/// The file entries of `member`'s files part (none without one), in stream
/// order. False, with `problem` set, when the stream is cut short or corrupt
/// or an entry runs past its end.
bool readFileEntries(const ByteVector& file, const MemberLayout& member, std::vector<FileDraft>& entries,
                     std::string& problem);
