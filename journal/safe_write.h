// File-system mechanics beneath the journal: where new content is written
// before it is moved into place, directory creation, copying with a
// progress callback, and the free-space check made before an upgrade is committed.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "model/compact_paths.h"

class FileJournal;
struct JournalOperation;

/// Directory that takes temporary files when no better place is found.
constexpr const char* FALLBACK_TEMPORARY_DIRECTORY = "/ram";
/// Longest directory that may hold a temporary file ("/tmpXXXXXX" and a
/// terminator must still fit in 128 bytes).
constexpr size_t MAX_TEMPORARY_DIRECTORY_LENGTH = 117;
/// Size of the buffer that the journal's copies of file contents across
/// file systems go through.
constexpr size_t COPY_BLOCK_SIZE = 16384;
/// An upgrade fits only when every account keeps more free blocks than this.
constexpr int64_t MIN_FREE_BLOCKS = 16;

/// Called after every block that a copy has written (a spinner, say); may
/// be empty.
using CopyProgress = std::function<void()>;

/// The directory part of `path`: trailing "/" removed, then the dirname
/// rule ("." for a bare name and for "/").
std::string parentOf(const std::string& path);
/// Creates `path` and any missing ancestors (mode 0777 before umask);
/// silently gives up on failure.
void makeDirectories(const std::string& path);

/// True when `path` names something, following symbolic links: a dangling
/// link counts as missing.
bool existsFollowingLinks(const std::string& path);
/// True when `text` begins with `prefix` byte for byte.
bool startsWith(const std::string& text, const std::string& prefix);

/// True when `path` lies below one of the installer's own places ("/flash",
/// "/ram", "/rw") as written, but the folder that holds it does not: a
/// symbolic link among its existing ancestors (or one that dangles) leads
/// out of that place, or a ".." climbs out of a missing folder. The last
/// component is not looked at: a link there is replaced or removed, never
/// followed. A path outside the owned places is not judged.
bool leavesOwnedPlace(const std::string& path);
/// Opens one of the installer's own files with open(2) `flags` without
/// following a link at its last component: when `flags` create the file, a
/// link standing there is removed first; otherwise a link fails with ELOOP,
/// as does a path that leaves its owned place. A descriptor or -1.
int openOwnedFile(const std::string& path, int flags, unsigned mode = 0666);

/// Writes all of `text` to `descriptor`; false (errno set, ENOSPC for a
/// write that took nothing) when it cannot.
bool writeWhole(int descriptor, const std::string& text);
/// writeWhole for the `length` bytes at `data`.
bool writeWhole(int descriptor, const char* data, size_t length);
/// Reads the installer's own file at `path` (opened as openOwnedFile does);
/// false when it cannot be opened. A read error ends the text early.
bool readOwnedFile(const std::string& path, std::string& text);

/// Block size and free blocks of one file system, as statfs reports them.
struct FileSystemSpace {
  uint64_t blockSize = 0;
  uint64_t freeBlocks = 0;
};
/// Reads the space of the file system holding `path`; false when it cannot.
using FileSystemProbe = std::function<bool(const std::string& path, FileSystemSpace& space)>;
/// The probe that asks the system through statfs.
bool probeFileSystem(const std::string& path, FileSystemSpace& space);

/// True when a file of `sizeHint` bytes plus a tenth of it fits strictly
/// below `blockSize` × `freeBlocks` (64-bit signed, saturating).
bool hintFits(uint64_t sizeHint, uint64_t blockSize, uint64_t freeBlocks);
/// The directory for a temporary file of `target`: its nearest measurable
/// ancestor when that has room for the hint, else "/ram".
std::string chooseTemporaryDirectory(const std::string& target, uint64_t sizeHint,
                                     const FileSystemProbe& probe = probeFileSystem);
/// Creates a new empty file (mode 0600) named `directory` + "/tmp" and six
/// random letters and digits, listed as the run's own before it exists
/// (durable_record.h); `created` false (errno set) when none could be made.
std::string makeTemporaryFile(const std::string& directory, bool& created);
/// The same, left open for writing and made with `permissions` (before the
/// umask): its descriptor (`path` named), or -1 (errno set, `path` empty).
int openTemporaryFile(const std::string& directory, std::string& path, unsigned permissions = 0600);
/// Creates a temporary file for the new content of `target`, records it in
/// `journal` as a temporary move and returns a truncating stream on it; a
/// closed stream (errno ELOOP) when `target` leaves its owned place.
std::ofstream createTemporary(FileJournal& journal, const std::string& target, uint64_t sizeHint,
                              uint32_t mode);

/// What the journal found out about the folders of the files it placed,
/// while none of its operations has been carried out. Until then nothing
/// of the installer's changes the folders below its places (only apply()
/// makes folders and links), so each folder is looked at once: whether it
/// leaves its owned place, whether it exists, and which folder statfs
/// measures for it. The free space itself is asked for every file.
class FolderFacts {
 public:
  /// ::leavesOwnedPlace(path), looked up once per folder.
  bool leavesOwnedPlace(const std::string& path);
  /// True when the folder that holds `path` (below an owned place) is
  /// missing, so that nothing stands at `path`.
  bool folderMissing(const std::string& path);
  /// chooseTemporaryDirectory(target, sizeHint) with the walk up to a
  /// measurable folder made once per folder.
  std::string temporaryDirectory(const std::string& target, uint64_t sizeHint);
  /// Forgets everything: the tree is about to change.
  void clear();
  /// Forgets what is known of `path` and the folders below it.
  void forget(const std::string& path);

 private:
  struct Folder {
    bool leaves = false;
    bool missing = false;
  };
  // The folder that statfs measured for a start folder: always one of its
  // ancestors, so its length in the start folder's path says which.
  struct Measured {
    uint32_t length = 0;
  };
  Folder folderOf(const std::string& path);

  CompactPaths<Folder> folders_;  // by the folder's path
  std::map<std::string, std::string> homes_;
  CompactPaths<Measured> measured_;  // by the start folder's path
};

/// What one apply learns about the tree as it goes, so that its many
/// operations do not ask the same of each folder again: the folders made or
/// found standing, and the link check of each folder. A change that apply
/// makes at a path can only alter what is below it, and the operations of a
/// pass come in byte-wise order, a folder after the path that holds it; so
/// only what is moved or removed away (a move's source) is forgotten, and
/// each pass starts afresh.
class ApplyFacts {
 public:
  /// makeDirectories(path), skipped when `path` is known to stand.
  void makeDirectories(const std::string& path);
  /// ::leavesOwnedPlace(path), looked up once per folder in a pass.
  bool leavesOwnedPlace(const std::string& path) { return folders_.leavesOwnedPlace(path); }
  /// `path` was removed or moved away: what is known at or below it goes.
  void forget(const std::string& path);
  /// Forgets the link checks: the pass before changed the tree anywhere.
  void startPass() { folders_.clear(); }

 private:
  PathSet made_;
  FolderFacts folders_;
};

/// createTemporary for a file written through its descriptor: the mode is
/// set on the open file, and `facts` saves the folder look-ups. Returns the
/// descriptor, or -1 with errno (ELOOP, nothing recorded, when `target`
/// leaves its owned place).
int createTemporaryFile(FileJournal& journal, FolderFacts& facts, const std::string& target,
                        uint64_t sizeHint, uint32_t mode);

/// Copies the regular file `source` to `target` (created or truncated with
/// the source's permission bits); true on success. On failure errno tells why.
bool copyFile(const std::string& source, const std::string& target,
              const CopyProgress& progress = {});
/// Copies `source` into a new temporary file beside `target` and renames it
/// over `target` only when the copy succeeded; on failure the temporary file
/// is removed, "copy: <error>" goes to standard error and `target` is untouched.
bool copyOver(const std::string& source, const std::string& target,
              const CopyProgress& progress = {});

/// Free-space account of the file system under `mountPath`.
struct SpaceAccount {
  std::string mountPath;
  uint64_t blockSize = 1;
  int64_t freeBlocks = 0;
};
/// The account of `mountPath` read through `probe` (block size 1 and no
/// free blocks when the probe fails).
SpaceAccount makeSpaceAccount(const std::string& mountPath,
                              const FileSystemProbe& probe = probeFileSystem);
/// Changes `account` by what carrying out `operation` on `target` frees or uses.
void chargeOperation(SpaceAccount& account, const std::string& target,
                     const JournalOperation& operation);
/// Charges every operation of `journal` to each account; true when all of
/// them keep more than MIN_FREE_BLOCKS free blocks.
bool accountsFit(const FileJournal& journal, std::vector<SpaceAccount> accounts);
/// The space check before an upgrade: accounts for "/flash/boot" and "/flash".
bool hasEnoughSpace(const FileJournal& journal, const FileSystemProbe& probe = probeFileSystem);
