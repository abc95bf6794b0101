// Reading a package file part by part.
//
// A file is its file header and then its parts, each a part header and its
// data (package_format.h has the layouts). A package starts with a part of
// type 1 and ends with its signature part (type 9); a bundle starts with a
// part of type 18 and carries its member packages after its own parts.
//
// PackageStreamBuf confines reads to the data of the current part, feeds every
// byte that passes to a running SHA-1 (restarted at each part header of type
// 1) and copies it to an optional second stream buffer. PackageReader is the
// input stream on top that stops only at the part types of its filter.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "pkgfile/package_format.h"
#include "pkgfile/sha1.h"
#include "pkgfile/signature.h"

/// The part types at which PackageReader::nextPart stops.
using PartFilter = std::vector<uint32_t>;

/// Header parts of files in the upload directories.
extern const PartFilter SCAN_FILTER;
/// Everything that installing a package or bundle needs.
extern const PartFilter INSTALL_FILTER;
/// Header parts of the images stored in the package database.
extern const PartFilter IMAGE_FILTER;

/// Unbuffered stream buffer over the current part of a package file; every
/// request goes to the source.
class PackageStreamBuf : public std::streambuf {
 public:
  /// Reads from `source` (not owned, not null); hashes when `hashing`,
  /// copies every consumed byte to `copyTarget` (not owned, may be null).
  PackageStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copyTarget);

  /// Reads the 8-byte file header and copies it to the copy target. Returns
  /// the magic, or 0xFFFFFFFF when the header is cut short (totalSize then 0).
  /// Nothing past the declared length is read afterwards.
  uint32_t readFileHeader(uint64_t& totalSize);
  /// Passes over the rest of the current part and reads the next part
  /// header; returns its type, or -1 when the source ends or cannot skip,
  /// at the declared end of the file, or when the next part would run past it.
  int32_t nextPart();
  /// First steps of the signature check on the current part: finishes the
  /// SHA-1 into digest() and reads the 68 signature bytes into `data`
  /// straight from the source. False without hashing or with a short part.
  bool readSignatureData(uint8_t data[SIGNATURE_DATA_LENGTH]);

  /// Offset in the file of the current part's data.
  uint64_t partOffset() const { return partOffset_; }
  /// Data length of the current part.
  uint32_t partLength() const { return partLength_; }
  /// Bytes of the current part not yet consumed.
  uint32_t partRemaining() const { return partRemaining_; }
  /// The SHA-1 digest finished last.
  const uint8_t* digest() const { return digest_; }
  /// The error number of the first failed read of the source (a disk
  /// error); 0 while its reads have only ever succeeded or ended.
  int sourceError() const { return sourceError_; }
  /// True once nextPart found the last part ending exactly at the declared
  /// length of the file.
  bool atDeclaredEnd() const { return atDeclaredEnd_; }
  /// Copies nothing more to the copy target.
  void stopCopying() { copyTarget_ = nullptr; }

 protected:
  std::streamsize showmanyc() override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type c) override;
  std::streamsize xsgetn(char_type* buffer, std::streamsize count) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  /// Reads up to `count` bytes from the source, hashing and copying those
  /// that were not put back earlier.
  std::streamsize readThrough(char* buffer, std::streamsize count);
  /// Consumes `count` bytes through readThrough in 16384-byte steps.
  uint64_t skipRead(uint64_t count);
  /// Passes the rest of the current part, by seeking when allowed.
  bool skipRemaining();
  /// Hashes (when hashing) and copies the bytes.
  void pass(const char* bytes, size_t count);
  void copy(const char* bytes, size_t count);
  /// True when neither the hash nor the copy needs the bytes.
  bool maySeek() const { return !hashing_ && copyTarget_ == nullptr; }
  /// The source's sgetn, sgetc and sbumpc, with a failed read (which the
  /// standard file buffer throws) taken as the end of the source for good.
  std::streamsize sourceGetn(char* buffer, std::streamsize count);
  int_type sourceGetc();
  int_type sourceBumpc();
  /// Runs `read` on the source unless an earlier read failed; a failure
  /// (a thrown ios_base::failure) is recorded, and both give `ended`.
  template <class Result, class Read>
  Result readSource(Result ended, Read read);

  std::streambuf* source_;
  std::streambuf* copyTarget_;
  bool hashing_;
  uint64_t partOffset_ = 0;
  uint32_t partLength_ = 0;
  uint32_t partRemaining_ = 0;
  uint32_t putbackCount_ = 0;
  int sourceError_ = 0;
  // The declared file length; no part may run past it.
  uint64_t declaredEnd_ = UINT64_MAX;
  bool atDeclaredEnd_ = false;
  SHA1 sha1_;
  uint8_t digest_[SHA1::DIGEST_LENGTH] = {};
};

/// Input stream over a package file that walks its parts forward; reads,
/// tellg and seekg work within the current part.
class PackageReader : public std::istream {
 public:
  /// Reads the file header from `source`; the reader is bad when the magic
  /// is neither PACKAGE_MAGIC nor UNREGISTERED_PACKAGE_MAGIC.
  PackageReader(std::istream& source, bool hashing, std::streambuf* copyTarget = nullptr);
  ~PackageReader() override;

  /// Moves to the next part whose type is in `filter`; returns the type, or
  /// -1 at the end of the data or after a failure (the reader stays failed).
  int32_t nextPart();
  /// Data length of the current part.
  uint32_t partLength() const { return buffer_->partLength(); }
  /// Offset in the file of the current part's data.
  uint64_t partOffset() const { return buffer_->partOffset(); }
  /// Offset in the file of the next byte to read, even when the reader failed.
  uint64_t fileOffset() const;
  /// Copies no more of what is read to the copy target, whose copy then
  /// stays incomplete: for a copy that will not be kept.
  void stopCopying() { buffer_->stopCopying(); }
  /// The file header carries UNREGISTERED_PACKAGE_MAGIC.
  bool isUnregistered() const { return magic == UNREGISTERED_PACKAGE_MAGIC; }
  /// Checks the signature part on which the reader stands against the
  /// built-in key. REQUIRES: hashing on; false for any other part.
  bool verifySignature();
  /// The SHA-1 digest finished last (by verifySignature or a part of type 1).
  const uint8_t* digest() const { return buffer_->digest(); }
  /// The error number of a failed read of the package file (a disk error),
  /// after which the reader took the file as ended; 0 when none failed.
  int readError() const { return buffer_->sourceError(); }
  /// True when the parts were read to exactly the declared length: the file
  /// ended where its header says, neither cut short nor running past it.
  bool readWhole() const { return buffer_->atDeclaredEnd(); }

  /// Part types at which nextPart stops; filled by the caller.
  PartFilter filter;
  /// Magic of the file header.
  uint32_t magic = 0;
  /// Type of the current part; -1 at the end of the data or after a failure.
  int32_t currentType = -1;
  /// Declared file length: the header's length field plus 8, without
  /// wrapping for length fields near 2^32.
  uint64_t totalSize = 0;

 private:
  bool inFilter(int32_t type) const;

  std::unique_ptr<PackageStreamBuf> buffer_;
};
