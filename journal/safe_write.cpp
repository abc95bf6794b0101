#include "journal/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <ostream>
#include <vector>

#include "journal/durable_record.h"
#include "journal/file_journal.h"

namespace {

constexpr mode_t PERMISSION_BITS = 07777;
const char* const OWNED_PLACES[] = {"/flash", "/ram", "/rw"};

int64_t saturatingMultiply(int64_t a, int64_t b) {
  int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<int64_t>::max();
  return product;
}

int64_t clampToSigned(uint64_t value) {
  constexpr uint64_t LIMIT = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(value > LIMIT ? LIMIT : value);
}

bool isFileSystemTop(const std::string& directory) { return directory == "/" || directory == "."; }

// The canonical name of an existing `path`, every link followed; "" when
// it cannot be resolved (a dangling link or a loop, say).
std::string resolvedPath(const std::string& path) {
  char* canonical = realpath(path.c_str(), nullptr);
  if (canonical == nullptr) return "";
  std::string text(canonical);
  std::free(canonical);
  return text;
}

bool isWithin(const std::string& path, const std::string& folder) {
  return path == folder || startsWith(path, folder == "/" ? folder : folder + "/");
}

std::string lastComponent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "";
  size_t start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

// The owned place that `path` lies below as written, or "".
std::string ownedPlaceOf(const std::string& path) {
  for (const char* place : OWNED_PLACES)
    if (startsWith(path, std::string(place) + "/")) return place;
  return "";
}

}  // namespace

int openTemporaryFile(const std::string& directory, std::string& path, unsigned permissions) {
  static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = directory + "/tmp";
    for (int index = 0; index < 6; ++index) path += LETTERS[random() % (sizeof LETTERS - 1)];
    if (!listTemporary(path)) break;
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(permissions));
    if (descriptor >= 0) return descriptor;
    if (errno != EEXIST) break;
    unlistTemporary(path);
  }
  path.clear();
  return -1;
}

std::string makeTemporaryFile(const std::string& directory, bool& created) {
  std::string path;
  int descriptor = openTemporaryFile(directory, path);
  created = descriptor >= 0;
  if (created) close(descriptor);
  return path;
}

namespace {

// Closes a descriptor without letting close() overwrite the errno of an
// earlier failure.
void closeKeepingErrno(int descriptor) {
  int saved = errno;
  close(descriptor);
  errno = saved;
}

bool writeAll(int descriptor, const char* data, ssize_t length) {
  ssize_t written;
  do {
    written = write(descriptor, data, static_cast<size_t>(length));
  } while (written < 0 && errno == EINTR);
  if (written < 0) return false;
  if (written != length) {
    // A regular file only takes part of a block when the device is full.
    errno = ENOSPC;
    return false;
  }
  return true;
}

// Copies the open source to the open target block by block.
bool copyContents(int input, int output, const CopyProgress& progress) {
  std::vector<char> buffer(COPY_BLOCK_SIZE);
  for (;;) {
    ssize_t count = read(input, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    if (!writeAll(output, buffer.data(), count)) return false;
    if (progress) progress();
  }
}

// Erases the paths that are `path` or lie below it. Those below follow one
// another in byte-wise order, but names such as `path` + "-x" sort between
// `path` and them.
template <class Value>
void eraseAtOrBelow(CompactPaths<Value>& paths, const std::string& path) {
  paths.erase(path);
  const std::string below = path + "/";
  for (auto first = paths.lowerBound(below); first != paths.end() && startsWith(*first, below);
       first = paths.lowerBound(below))
    paths.erase(*first);
}

// The resolved name of an owned place, or the place as written when it
// cannot be resolved.
std::string resolvedHome(const std::string& place) {
  std::string home = resolvedPath(place);
  return home.empty() ? place : home;
}

// What leavesOwnedPlace finds about the folder that holds `path`, below
// the place that resolves to `home`.
struct FolderJudgement {
  bool leaves = false;
  // The folder itself is missing (ENOENT or ENOTDIR), so is `path`.
  bool missing = false;
};

FolderJudgement judgeFolder(const std::string& path, const std::string& home) {
  FolderJudgement judgement;
  // The deepest folder that exists stands for the path; the missing ones
  // below it will be created inside it, unless one of them is "..".
  std::string folder = parentOf(path);
  struct stat status {};
  while (lstat(folder.c_str(), &status) != 0) {
    if ((errno != ENOENT && errno != ENOTDIR) || lastComponent(folder) == "..") return {true, false};
    judgement.missing = true;
    folder = parentOf(folder);
  }
  const std::string real = resolvedPath(folder);
  judgement.leaves = real.empty() || !isWithin(real, home);
  return judgement;
}

// The folder for a temporary file once `directory` was measured: it, when
// short enough and with room for the hint, else "/ram".
std::string usableOrFallback(const std::string& directory, uint64_t sizeHint,
                             const FileSystemSpace& space) {
  bool usable = directory.size() <= MAX_TEMPORARY_DIRECTORY_LENGTH &&
                hintFits(sizeHint, space.blockSize, space.freeBlocks);
  return usable ? directory : FALLBACK_TEMPORARY_DIRECTORY;
}

int64_t blocksOf(int64_t size, uint64_t blockSize) {
  int64_t block = clampToSigned(blockSize == 0 ? 1 : blockSize);
  return size / block + (size % block != 0 ? 1 : 0);
}

}  // namespace

std::string parentOf(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return ".";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t parentEnd = path.find_last_not_of('/', slash);
  if (parentEnd == std::string::npos) return "/";
  return path.substr(0, parentEnd + 1);
}

// makeDirectories step for step; what mkdir made or found standing is kept,
// a failure is asked again.
void ApplyFacts::makeDirectories(const std::string& path) {
  if (made_.count(path) != 0) return;
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) {
    made_.insert(path);
    return;
  }
  std::string parent = parentOf(path);
  if (parent == path) return;
  if (!isFileSystemTop(path)) makeDirectories(parent);
  if (mkdir(path.c_str(), 0777) == 0) made_.insert(path);
}

void ApplyFacts::forget(const std::string& path) {
  eraseAtOrBelow(made_, path);
  folders_.forget(path);
}

void makeDirectories(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return;
  std::string parent = parentOf(path);
  if (parent == path) return;
  if (!isFileSystemTop(path)) makeDirectories(parent);
  mkdir(path.c_str(), 0777);
}

bool existsFollowingLinks(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool leavesOwnedPlace(const std::string& path) {
  const std::string place = ownedPlaceOf(path);
  if (place.empty()) return false;
  return judgeFolder(path, resolvedHome(place)).leaves;
}

int openOwnedFile(const std::string& path, int flags, unsigned mode) {
  if (leavesOwnedPlace(path)) {
    errno = ELOOP;
    return -1;
  }
  struct stat status {};
  if ((flags & O_CREAT) != 0 && lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
    unlink(path.c_str());
  return open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
}

bool writeWhole(int descriptor, const std::string& text) {
  return writeWhole(descriptor, text.data(), text.size());
}

bool writeWhole(int descriptor, const char* data, size_t length) {
  for (size_t done = 0; done < length;) {
    ssize_t written = write(descriptor, data + done, length - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

bool readOwnedFile(const std::string& path, std::string& text) {
  text.clear();
  int descriptor = openOwnedFile(path, O_RDONLY);
  if (descriptor < 0) return false;
  char block[4096];
  for (ssize_t count; (count = read(descriptor, block, sizeof block)) != 0;) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    text.append(block, static_cast<size_t>(count));
  }
  close(descriptor);
  return true;
}

bool probeFileSystem(const std::string& path, FileSystemSpace& space) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return false;
  space.blockSize = static_cast<uint64_t>(info.f_bsize);
  space.freeBlocks = static_cast<uint64_t>(info.f_bfree);
  return true;
}

bool hintFits(uint64_t sizeHint, uint64_t blockSize, uint64_t freeBlocks) {
  int64_t hint = clampToSigned(sizeHint);
  int64_t needed = hint > std::numeric_limits<int64_t>::max() - hint / 10
                       ? std::numeric_limits<int64_t>::max()
                       : hint + hint / 10;
  int64_t room = saturatingMultiply(clampToSigned(blockSize), clampToSigned(freeBlocks));
  return needed < room;
}

std::string chooseTemporaryDirectory(const std::string& target, uint64_t sizeHint,
                                     const FileSystemProbe& probe) {
  if (sizeHint == 0) return FALLBACK_TEMPORARY_DIRECTORY;
  std::string directory = parentOf(target);
  for (;;) {
    FileSystemSpace space;
    if (probe(directory, space)) return usableOrFallback(directory, sizeHint, space);
    if (isFileSystemTop(directory)) return FALLBACK_TEMPORARY_DIRECTORY;
    directory = parentOf(directory);
  }
}

std::ofstream createTemporary(FileJournal& journal, const std::string& target, uint64_t sizeHint,
                              uint32_t mode) {
  // A folder that a link leads elsewhere gets no file of the installer's,
  // temporary or not.
  if (leavesOwnedPlace(target)) {
    errno = ELOOP;
    return std::ofstream();
  }
  bool created = false;
  std::string temporary = makeTemporaryFile(chooseTemporaryDirectory(target, sizeHint), created);
  if (!created) return std::ofstream();
  if (mode != 0) chmod(temporary.c_str(), static_cast<mode_t>(mode));
  journal.put(target, JOURNAL_TEMPORARY_MOVE, temporary);
  return std::ofstream(temporary, std::ios::binary | std::ios::trunc);
}

bool FolderFacts::leavesOwnedPlace(const std::string& path) {
  if (ownedPlaceOf(path).empty()) return false;
  return folderOf(path).leaves;
}

bool FolderFacts::folderMissing(const std::string& path) {
  if (ownedPlaceOf(path).empty()) return false;
  const Folder folder = folderOf(path);
  return !folder.leaves && folder.missing;
}

FolderFacts::Folder FolderFacts::folderOf(const std::string& path) {
  const std::string folder = parentOf(path);
  if (const auto* known = folders_.find(folder)) return *known;
  const std::string place = ownedPlaceOf(path);
  auto home = homes_.find(place);
  if (home == homes_.end()) home = homes_.emplace(place, resolvedHome(place)).first;
  FolderJudgement judgement = judgeFolder(path, home->second);
  const Folder found{judgement.leaves, judgement.missing};
  folders_.insert(folder, found);
  return found;
}

std::string FolderFacts::temporaryDirectory(const std::string& target, uint64_t sizeHint) {
  if (sizeHint == 0) return FALLBACK_TEMPORARY_DIRECTORY;
  const std::string start = parentOf(target);
  FileSystemSpace space;
  if (const auto* known = measured_.find(start)) {
    const std::string directory = start.substr(0, known->length);
    if (probeFileSystem(directory, space)) return usableOrFallback(directory, sizeHint, space);
  }
  for (std::string directory = start;; directory = parentOf(directory)) {
    if (probeFileSystem(directory, space)) {
      // A folder that does not begin the start's path ("." for a bare
      // name) is measured again next time.
      if (startsWith(start, directory))
        measured_.assign(start, Measured{static_cast<uint32_t>(directory.size())});
      return usableOrFallback(directory, sizeHint, space);
    }
    if (isFileSystemTop(directory)) return FALLBACK_TEMPORARY_DIRECTORY;
  }
}

void FolderFacts::forget(const std::string& path) {
  eraseAtOrBelow(folders_, path);
  eraseAtOrBelow(measured_, path);
}

void FolderFacts::clear() {
  folders_.clear();
  homes_.clear();
  measured_.clear();
}

int createTemporaryFile(FileJournal& journal, FolderFacts& facts, const std::string& target,
                        uint64_t sizeHint, uint32_t mode) {
  if (facts.leavesOwnedPlace(target)) {
    errno = ELOOP;
    return -1;
  }
  // The file is made with the entry's permissions when the umask leaves
  // them whole and no set-id or sticky bit is among them; else they are set
  // on it exactly.
  static const mode_t mask = [] {
    mode_t current = umask(0);
    umask(current);
    return current;
  }();
  const mode_t permissions = static_cast<mode_t>(mode) & PERMISSION_BITS;
  const bool exact = mode != 0 && (permissions & (mask | 07000)) == 0;
  std::string temporary;
  int descriptor = openTemporaryFile(facts.temporaryDirectory(target, sizeHint), temporary,
                                     exact ? permissions : 0600);
  if (descriptor < 0) return -1;
  if (mode != 0 && !exact) fchmod(descriptor, static_cast<mode_t>(mode));
  journal.put(target, JOURNAL_TEMPORARY_MOVE, temporary);
  return descriptor;
}

bool copyFile(const std::string& source, const std::string& target, const CopyProgress& progress) {
  struct stat status {};
  if (stat(source.c_str(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return false;
  }
  int output = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, status.st_mode & PERMISSION_BITS);
  if (output < 0) return false;
  int input = open(source.c_str(), O_RDONLY);
  if (input < 0) {
    closeKeepingErrno(output);
    return false;
  }
  bool copied = copyContents(input, output, progress);
  closeKeepingErrno(input);
  if (close(output) != 0) copied = false;
  return copied;
}

bool copyOver(const std::string& source, const std::string& target, const CopyProgress& progress) {
  bool created = false;
  std::string temporary = makeTemporaryFile(parentOf(target), created);
  bool copied = created && copyFile(source, temporary, progress);
  struct stat status {};
  if (copied && stat(source.c_str(), &status) == 0)
    chmod(temporary.c_str(), status.st_mode & PERMISSION_BITS);
  if (copied && rename(temporary.c_str(), target.c_str()) == 0) return true;
  int saved = errno;
  if (created) unlink(temporary.c_str());
  errno = saved;
  std::perror("copy");
  return false;
}

SpaceAccount makeSpaceAccount(const std::string& mountPath, const FileSystemProbe& probe) {
  SpaceAccount account;
  account.mountPath = mountPath;
  FileSystemSpace space;
  if (probe(mountPath, space)) {
    account.blockSize = space.blockSize == 0 ? 1 : space.blockSize;
    account.freeBlocks = clampToSigned(space.freeBlocks);
  }
  return account;
}

void chargeOperation(SpaceAccount& account, const std::string& target,
                     const JournalOperation& operation) {
  if (!startsWith(target, account.mountPath)) return;
  struct stat targetStatus {};
  bool targetExists = stat(target.c_str(), &targetStatus) == 0;
  if (operation.kind == JOURNAL_REMOVE) {
    if (targetExists) account.freeBlocks += blocksOf(targetStatus.st_size, account.blockSize);
    return;
  }
  if (operation.kind != JOURNAL_MOVE && operation.kind != JOURNAL_TEMPORARY_MOVE) return;
  struct stat sourceStatus {};
  if (stat(operation.argument.c_str(), &sourceStatus) != 0) return;
  // A rename within one device moves blocks that are already counted.
  if (targetExists && targetStatus.st_dev == sourceStatus.st_dev) return;
  account.freeBlocks -= blocksOf(sourceStatus.st_size, account.blockSize);
  if (targetExists) account.freeBlocks += blocksOf(targetStatus.st_size, account.blockSize);
}

bool accountsFit(const FileJournal& journal, std::vector<SpaceAccount> accounts) {
  journal.forEachOperation([&accounts](const std::string& target, const JournalOperation& operation) {
    for (SpaceAccount& account : accounts) chargeOperation(account, target, operation);
  });
  for (const SpaceAccount& account : accounts)
    if (account.freeBlocks <= MIN_FREE_BLOCKS) return false;
  return true;
}

bool hasEnoughSpace(const FileJournal& journal, const FileSystemProbe& probe) {
  return accountsFit(journal, {makeSpaceAccount("/flash/boot", probe), makeSpaceAccount("/flash", probe)});
}
