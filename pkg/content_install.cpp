#include "pkg/content_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "device/flash_probe.h"
#include "journal/file_journal.h"
#include "journal/safe_write.h"
#include "pkg/package_database.h"
#include "pkgfile/inflate_reader.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/package_format.h"
#include "pkgfile/package_reader.h"

namespace {

const char* const UPGRADED_MARKER = "/flash/UPGRADED";
constexpr uint32_t IMAGE_STEP = 4096;

struct FileEntry {
  uint32_t mode = 0;
  uint32_t variant = 0;
  uint32_t size = 0;
  uint32_t nameLength = 0;
  std::string name;
};

// Reads one entry header; false at the end of the files part.
bool readEntryHeader(std::istream& in, FileEntry& entry) {
  uint8_t header[FILE_ENTRY_HEADER_LENGTH];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  entry.mode = readLittleU16(header + FILE_ENTRY_MODE_OFFSET);
  entry.variant = header[FILE_ENTRY_VARIANT_OFFSET];
  entry.size = readLittleU32(header + FILE_ENTRY_SIZE_OFFSET);
  entry.nameLength = readLittleU16(header + FILE_ENTRY_NAME_LENGTH_OFFSET);
  return true;
}

bool wantedHere(const FileEntry& entry) {
  if (!isRegularFileMode(entry.mode)) return false;
  return entry.variant == 0 || entry.variant == processorVariant();
}

enum class CopyResult { OK, BROKEN, WRITE_FAILED };

// Writes the whole block to the descriptor; false with errno set when it
// cannot (a regular file takes part of a block only when the device is full).
bool writeBlock(int descriptor, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(descriptor, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// The entry's bytes go from the inflating stream's buffer to the file as
// they lie, without a copy in between.
CopyResult copyData(InflateReader& in, int out, uint32_t size) {
  for (uint32_t left = size; left > 0;) {
    const char* data = nullptr;
    size_t step = in.buffer().borrow(data, left);
    if (step == 0) return CopyResult::BROKEN;
    if (!writeBlock(out, data, step)) return CopyResult::WRITE_FAILED;
    left -= static_cast<uint32_t>(step);
  }
  return CopyResult::OK;
}

// Closes the descriptor without letting close() overwrite the errno of the
// failure that is being reported.
void closeAfterFailure(int descriptor) {
  const int cause = errno;
  close(descriptor);
  errno = cause;
}

// Writes one regular-file entry into a journal temporary file.
bool installEntry(InstalledPackage& package, FileJournal& journal, InflateReader& in,
                  const FileEntry& entry) {
  std::string target = entryTarget(package, entry.name);
  const int out = journal.openWriteFile(target, entry.size, entry.mode);
  if (out < 0) {
    // The journal refuses a folder on flash that is a link leading
    // elsewhere: such a package is broken, not short of space. The message
    // of a write failure needs the error of the write.
    const int cause = errno;
    if (leavesOwnedPlace(target)) {
      reportBroken(package);
    } else {
      errno = cause;
      reportWriteFailure(package, entry.name);
    }
    return false;
  }
  switch (copyData(in, out, entry.size)) {
    case CopyResult::BROKEN:
      closeAfterFailure(out);
      reportBroken(package);
      return false;
    case CopyResult::WRITE_FAILED:
      closeAfterFailure(out);
      reportWriteFailure(package, entry.name);
      return false;
    case CopyResult::OK:
      break;
  }
  if (close(out) != 0) {
    reportWriteFailure(package, entry.name);
    return false;
  }
  return true;
}

// True when `target`, an entry's target, can become a plain file: it is
// shorter than PATH_MAX, no directory stands there, and it is neither a
// directory prefix of one of the package's files so far nor has one as a
// directory prefix. The package's files so far are the journal's new
// targets (extractFiles).
bool canBecomePlainFile(FileJournal& journal, const std::string& target) {
  if (target.size() >= PATH_MAX) return false;
  // In a folder that is not there yet nothing stands.
  struct stat status;
  if (!journal.folderMissing(target) && lstat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
    return false;
  // A target of the package below this one needs it as a directory; one
  // above it is a file that this one would need as a directory.
  if (journal.hasNewTargetIn(target + "/")) return false;
  for (size_t slash = target.find('/', 1); slash != std::string::npos; slash = target.find('/', slash + 1))
    if (journal.isNewTarget(target.substr(0, slash))) return false;
  return true;
}

void passOverImagePart(const InstalledPackage& package, PackageReader& reader) {
  for (uint32_t left = reader.partLength(); left > 0;) {
    showInstallProgress(package, reader);
    uint32_t step = std::min(left, IMAGE_STEP);
    // A stream that ends inside the part leaves the reader failed: nothing
    // more of the declared length can come, and a length field near 4 GiB
    // would otherwise cost a million idle steps.
    if (!reader.seekg(step, std::ios::cur)) break;
    left -= step;
  }
  reader.nextPart();
}

// After a package's signature comes the next member of its bundle or the
// end of the file, exactly at the length its header declares. A file cut
// short there, or one with more parts, is not the file that was signed and
// would not be stored whole as an image.
bool endsWhereExpected(const InstalledPackage& package, const PackageReader& reader) {
  if (reader.currentType == -1) return reader.readWhole();
  return !package.bundle.name.empty() && reader.currentType == PART_HEADER;
}

}  // namespace

bool bootImageStaysPacked(const InstalledPackage& package) {
  return package.hasBootFlag() && std::getenv("bootimage") != nullptr;
}

std::string entryTarget(const InstalledPackage& package, const std::string& entryName) {
  std::string target = "/flash";
  if (package.disabled) target += "/x/" + package.name;
  if (entryName.empty() || entryName[0] != '/') target += "/";
  return target + entryName;
}

void showInstallProgress(const InstalledPackage& package, PackageReader& reader) {
  std::string label = "installing ";
  if (package.disabled && package.bundle.name.empty()) label += " (disabled) ";
  showProgress(reader.fileOffset(), reader.totalSize, label + displayName(package));
}

void reportInstalled(const InstalledPackage& package) {
  setStatus("");
  info("installed %s%s", package.disabled ? "(disabled) " : "", nameVersionText(package).c_str());
}

void reportBroken(const InstalledPackage& package) {
  error("installation of %s failed: broken package", displayName(package).c_str());
}

namespace {

bool extractEntries(InstalledPackage& package, FileJournal& journal, PackageReader& reader) {
  InflateReader in(reader);
  FileEntry entry;
  while (readEntryHeader(in, entry)) {
    entry.name.assign(entry.nameLength, '\0');
    if (!in.read(&entry.name[0], entry.nameLength)) {
      reportBroken(package);
      return false;
    }
    if (!wantedHere(entry)) {
      in.seekg(entry.size, std::ios::cur);
      continue;
    }
    // A name that could leave the package's place, that a stored manifest
    // cannot carry, or whose target cannot become a plain file makes the
    // whole package broken before anything of it is applied.
    if (!isSafeEntryName(entry.name) || !canBecomePlainFile(journal, entryTarget(package, entry.name))) {
      reportBroken(package);
      return false;
    }
    if (!installEntry(package, journal, in, entry)) return false;
    showInstallProgress(package, reader);
  }
  return true;
}

}  // namespace

bool extractFiles(InstalledPackage& package, FileJournal& journal, PackageReader& reader) {
  // The journal notes the targets of the package's files while they are
  // written; the package's list is made of them once the inflating buffers
  // are gone, so that the paths are not held twice meanwhile.
  journal.beginNewTargets();
  const bool extracted = extractEntries(package, journal, reader);
  journal.takeNewTargets(package.files);
  return extracted;
}

bool installContents(InstalledPackage& package, FileJournal& journal, PackageReader& reader) {
  showInstallProgress(package, reader);
  if (!reader.isUnregistered() && leavesOwnedPlace(entryPath(package) + "version")) {
    reportBroken(package);
    return false;
  }
  if (!reader.isUnregistered() && !prepareEntryDirectory(package, journal)) return false;
  if (reader.currentType == PART_IMAGE) passOverImagePart(package, reader);
  if (reader.currentType == PART_FILES) {
    if (!bootImageStaysPacked(package) && !extractFiles(package, journal, reader)) return false;
    reader.nextPart();
  }
  if (reader.currentType != PART_SIGNATURE || !reader.verifySignature()) {
    reportBroken(package);
    return false;
  }
  reader.nextPart();
  if (!endsWhereExpected(package, reader)) {
    reportBroken(package);
    return false;
  }
  if (!reader.isUnregistered() && !writeEntry(package, journal)) return false;
  if (package.hasBootFlag()) journal.addEmptyFile(UPGRADED_MARKER);
  if (!package.bundle.name.empty()) return true;
  reportInstalled(package);
  return true;
}
