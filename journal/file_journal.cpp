#include "journal/file_journal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "journal/safe_write.h"

namespace {

bool isMove(uint32_t kind) { return kind == JOURNAL_MOVE || kind == JOURNAL_TEMPORARY_MOVE; }

// Deletes the visible files of a directory, then the directory. Entries
// that are hidden or are directories themselves keep it alive; that is
// intended, so nothing here reports a failure.
void removeDirectory(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
    unlink((path + "/" + entry->d_name).c_str());
  }
  closedir(directory);
  rmdir(path.c_str());
}

// True, with the skip shown, when a link that appeared after the operation
// was planned would lead it out of its place; a skipped temporary move
// deletes its file.
bool skipsLeavingOperation(const std::string& target, const JournalOperation& operation) {
  if (!leavesOwnedPlace(target)) return false;
  std::fprintf(stderr, "skipped %s: a link leads out of its place\n", target.c_str());
  const bool ownsSource = operation.kind == JOURNAL_TEMPORARY_MOVE;
  if (ownsSource) unlink(operation.argument.c_str());
  return true;
}

void applyRemove(const std::string& target) {
  if (unlink(target.c_str()) != 0 && errno == EISDIR) removeDirectory(target);
}

void applySymlink(const std::string& target, const std::string& linkText) {
  makeDirectories(parentOf(target));
  unlink(target.c_str());
  if (symlink(linkText.c_str(), target.c_str()) != 0) std::perror("symlink");
}

void applyMove(const std::string& target, const JournalOperation& operation,
               const CopyProgress& progress) {
  const std::string& source = operation.argument;
  makeDirectories(parentOf(target));
  if (rename(source.c_str(), target.c_str()) == 0) return;
  if (errno == EXDEV) {
    // A temporary file that the journal owns has served its purpose once
    // copied; left in "/ram" it would hold memory until the next boot.
    if (copyOver(source, target, progress) && operation.kind == JOURNAL_TEMPORARY_MOVE)
      unlink(source.c_str());
    return;
  }
  std::perror("rename");
}

std::vector<std::string> splitAtSpaces(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space - start));
    if (space == std::string::npos) return fields;
    start = space + 1;
  }
}

// Adds the operation of one manifest line; false when the line is malformed.
bool readManifestLine(FileJournal& journal, const std::string& line) {
  std::vector<std::string> fields = splitAtSpaces(line);
  if (fields.size() < 2) return false;
  const std::string& kind = fields[0];
  if (kind == "U") {
    journal.put(fields[1], JOURNAL_REMOVE, "");
  } else if (kind == "L" || kind == "M") {
    if (fields.size() < 3) return false;
    journal.put(fields[1], kind == "L" ? JOURNAL_SYMLINK : JOURNAL_MOVE, fields[2]);
  }
  return true;
}

}  // namespace

void FileJournal::put(const std::string& target, uint32_t kind, const std::string& argument) {
  auto existing = operations_.find(target);
  if (existing != operations_.end()) {
    const JournalOperation& old = existing->second;
    if (old.kind == JOURNAL_TEMPORARY_MOVE && old.argument != argument) unlink(old.argument.c_str());
  }
  operations_[target] = JournalOperation{kind, argument};
}

void FileJournal::addMove(const std::string& source, const std::string& target) {
  put(target, JOURNAL_MOVE, source);
}

void FileJournal::addSymlink(const std::string& linkText, const std::string& linkPath) {
  put(linkPath, JOURNAL_SYMLINK, linkText);
}

void FileJournal::addRemove(const std::string& path) {
  // What a link leads to elsewhere is not the installer's to remove.
  if (existsFollowingLinks(path) && !leavesOwnedPlace(path)) {
    put(path, JOURNAL_REMOVE, "");
    return;
  }
  auto pending = operations_.find(path);
  if (pending == operations_.end()) return;
  // The journal owns the temporary file of a write that it withdraws; left
  // behind, it would take flash space for good.
  if (pending->second.kind == JOURNAL_TEMPORARY_MOVE) unlink(pending->second.argument.c_str());
  operations_.erase(pending);
}

std::ofstream FileJournal::openWrite(const std::string& target, uint64_t sizeHint, uint32_t mode) {
  return createTemporary(*this, target, sizeHint, mode);
}

void FileJournal::addEmptyFile(const std::string& target) {
  std::ofstream file = openWrite(target, 1, 0);
  file.close();
}

bool FileJournal::claimDirectory(const std::string& path) {
  auto pending = operations_.find(path);
  if (pending != operations_.end()) {
    if (pending->second.kind != JOURNAL_REMOVE) return false;
    operations_.erase(pending);
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return true;
  return S_ISDIR(status.st_mode);
}

void FileJournal::apply(const CopyProgress& progress) const {
  // Data written into temporary files reaches the flash before any of them
  // replaces a live file.
  sync();
  for (const auto& [target, operation] : operations_) {
    if (operation.kind == JOURNAL_REMOVE && !skipsLeavingOperation(target, operation)) applyRemove(target);
    if (operation.kind == JOURNAL_SYMLINK && !skipsLeavingOperation(target, operation))
      applySymlink(target, operation.argument);
  }
  for (const auto& [target, operation] : operations_)
    if (isMove(operation.kind) && !skipsLeavingOperation(target, operation)) applyMove(target, operation, progress);
}

void FileJournal::cancel() {
  for (const auto& [target, operation] : operations_)
    if (operation.kind == JOURNAL_TEMPORARY_MOVE) unlink(operation.argument.c_str());
  operations_.clear();
}

bool FileJournal::writeManifest(const std::string& path) const {
  // The manifest appears whole or not at all: a later commit must never
  // find half of it, whose removals would run without the moves that go
  // with them. Until the new one is complete, an older one stays as it was.
  const std::string partial = path + ".new";
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  for (const auto& [target, operation] : operations_) {
    if (operation.kind == JOURNAL_REMOVE) out << "U " << target << '\n';
    if (operation.kind == JOURNAL_SYMLINK) out << "L " << target << ' ' << operation.argument << '\n';
    if (isMove(operation.kind)) out << "M " << target << ' ' << operation.argument << '\n';
  }
  out.close();
  if (!out.fail() && std::rename(partial.c_str(), path.c_str()) == 0) return true;
  int saved = errno;
  std::remove(partial.c_str());
  errno = saved;
  return false;
}

bool FileJournal::readManifest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) return true;
    if (!readManifestLine(*this, line)) return false;
  }
  return !operations_.empty();
}

bool FileJournal::hasEnoughSpace() const { return ::hasEnoughSpace(*this); }
