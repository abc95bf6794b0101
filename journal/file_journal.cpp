#include "journal/file_journal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
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
bool skipsLeavingOperation(const std::string& target, const JournalOperation& operation, ApplyFacts& facts) {
  // Removing what is not there goes nowhere.
  struct stat status {};
  if (operation.kind == JOURNAL_REMOVE && lstat(target.c_str(), &status) != 0) return false;
  if (!facts.leavesOwnedPlace(target)) return false;
  std::fprintf(stderr, "skipped %s: a link leads out of its place\n", target.c_str());
  const bool ownsSource = operation.kind == JOURNAL_TEMPORARY_MOVE;
  if (ownsSource) unlink(operation.argument.c_str());
  return true;
}

// A path that is already gone needs no removal.
bool applyRemove(const std::string& target, ApplyFacts& facts) {
  facts.forget(target);
  if (unlink(target.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  if (errno == EISDIR) {
    removeDirectory(target);
    return true;
  }
  std::perror("unlink");
  return false;
}

bool applySymlink(const std::string& target, const std::string& linkText, ApplyFacts& facts) {
  facts.makeDirectories(parentOf(target));
  unlink(target.c_str());
  if (symlink(linkText.c_str(), target.c_str()) == 0) return true;
  std::perror("symlink");
  return false;
}

bool isPresent(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

bool applyMove(const std::string& target, const JournalOperation& operation,
               const CopyProgress& progress, ApplyFacts& facts) {
  const std::string& source = operation.argument;
  // Done by an earlier run of the same journal that was cut short.
  if (!isPresent(source) && isPresent(target)) return true;
  facts.makeDirectories(parentOf(target));
  if (rename(source.c_str(), target.c_str()) == 0) {
    facts.forget(source);
    return true;
  }
  if (errno == EXDEV) {
    if (!copyOver(source, target, progress)) return false;
    // A temporary file that the journal owns has served its purpose once
    // copied; left in "/ram" it would hold memory until the next boot.
    if (operation.kind == JOURNAL_TEMPORARY_MOVE) unlink(source.c_str());
    facts.forget(source);
    return true;
  }
  std::perror("rename");
  return false;
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

// True when `path` lies below the directory `top` and has no empty, "." or
// ".." component, so that it cannot lead out of `top`.
bool liesBelow(const std::string& path, const std::string& top) {
  if (!startsWith(path, top + "/")) return false;
  size_t start = top.size() + 1;
  for (;;) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// The names of the journal's temporary files begin with "tmp". A stored
// manifest is taken in this loose form; deleting a killed run's files asks
// for the exact one (isTemporaryFileName in durable_record.h).
bool isTemporaryName(const std::string& name) {
  return name.size() > 3 && startsWith(name, "tmp") && name.find('/') == std::string::npos;
}

// Adds the operation of one manifest line to `operations`; returns why the
// line cannot be taken, or "".
std::string readManifestLine(std::map<std::string, JournalOperation>& operations,
                             const std::string& line) {
  std::vector<std::string> fields = splitAtSpaces(line);
  const std::string& kind = fields[0];
  size_t expected = kind == "U" ? 2 : kind == "L" ? 3 : kind == "M" ? 3 : 0;
  bool temporary = kind == "M" && fields.size() == 4 && fields[3] == "T";
  if (expected == 0 || fields.size() != expected + (temporary ? 1 : 0)) return "is malformed";
  for (const std::string& field : fields)
    if (field.empty()) return "is malformed";
  const std::string& target = fields[1];
  if (!liesBelow(target, "/flash")) return "names " + target + ", outside /flash";
  JournalOperation operation{kind == "U" ? JOURNAL_REMOVE : JOURNAL_SYMLINK, expected == 3 ? fields[2] : ""};
  if (kind == "M") {
    const std::string& source = operation.argument;
    bool inRam = startsWith(source, "/ram/") && isTemporaryName(source.substr(5));
    if (!(liesBelow(source, "/flash") || inRam) ||
        (temporary && !isTemporaryName(source.substr(source.rfind('/') + 1))))
      return "moves " + source + ", which is not the installer's";
    operation.kind = temporary ? JOURNAL_TEMPORARY_MOVE : JOURNAL_MOVE;
  }
  if (!operations.emplace(target, operation).second) return "names " + target + " twice";
  return "";
}

}  // namespace

JournalOperation FileJournal::expand(const std::string& target, const Operations::Entry& entry) const {
  return JournalOperation{entry.kind, target.substr(0, entry.shared).append(
                                          operations_.attachedText(entry, entry.restLength))};
}

void FileJournal::forEachOperation(
    const std::function<void(const std::string& target, const JournalOperation& operation)>& visit) const {
  for (auto at = operations_.begin(); at != operations_.end(); ++at) {
    const std::string target = *at;
    visit(target, expand(target, at.entry()));
  }
}

std::optional<JournalOperation> FileJournal::operationOn(const std::string& target) const {
  const Operations::Entry* entry = operations_.find(target);
  if (entry == nullptr) return std::nullopt;
  return expand(target, *entry);
}

void FileJournal::put(const std::string& target, uint32_t kind, const std::string& argument) {
  const std::optional<JournalOperation> old = operationOn(target);
  if (old && old->kind == JOURNAL_TEMPORARY_MOVE && old->argument != argument) unlink(old->argument.c_str());
  // A shared beginning too long for its field is kept in the rest.
  size_t shared = static_cast<size_t>(
      std::mismatch(argument.begin(), argument.end(), target.begin(), target.end()).first - argument.begin());
  if (shared > UINT16_MAX) shared = 0;
  StoredOperation stored;
  stored.kind = static_cast<uint8_t>(kind);
  stored.newTarget = notingNewTargets_;
  stored.shared = static_cast<uint16_t>(shared);
  stored.restLength = static_cast<uint32_t>(argument.size() - shared);
  operations_.assign(target, stored, std::string_view(argument).substr(shared));
}

bool FileJournal::isNewTarget(const std::string& path) const {
  const Operations::Entry* entry = operations_.find(path);
  return entry != nullptr && entry->newTarget;
}

bool FileJournal::hasNewTargetIn(const std::string& folder) const {
  for (auto at = operations_.lowerBound(folder); at != operations_.end() && startsWith(*at, folder); ++at)
    if (at.entry().newTarget) return true;
  return false;
}

void FileJournal::takeNewTargets(PathSet& targets) {
  for (size_t index = 0; index < operations_.size(); ++index) {
    Operations::Entry& entry = operations_.entryAt(index);
    if (!entry.newTarget) continue;
    targets.insert(operations_.pathAt(index));
    entry.newTarget = false;
  }
  notingNewTargets_ = false;
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
  const std::optional<JournalOperation> pending = operationOn(path);
  if (!pending) return;
  // The journal owns the temporary file of a write that it withdraws; left
  // behind, it would take flash space for good.
  if (pending->kind == JOURNAL_TEMPORARY_MOVE) unlink(pending->argument.c_str());
  operations_.erase(path);
}

std::ofstream FileJournal::openWrite(const std::string& target, uint64_t sizeHint, uint32_t mode) {
  return createTemporary(*this, target, sizeHint, mode);
}

int FileJournal::openWriteFile(const std::string& target, uint64_t sizeHint, uint32_t mode) {
  return createTemporaryFile(*this, folders_, target, sizeHint, mode);
}

void FileJournal::addEmptyFile(const std::string& target) {
  std::ofstream file = openWrite(target, 1, 0);
  file.close();
}

bool FileJournal::claimDirectory(const std::string& path) {
  const Operations::Entry* pending = operations_.find(path);
  if (pending != nullptr) {
    if (pending->kind != JOURNAL_REMOVE) return false;
    operations_.erase(path);
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return true;
  return S_ISDIR(status.st_mode);
}

bool FileJournal::apply(const CopyProgress& progress) const {
  // Data written into temporary files reaches the flash before any of them
  // replaces a live file.
  sync();
  folders_.clear();
  ApplyFacts facts;
  bool done = true;
  forEachOperation([&](const std::string& target, const JournalOperation& operation) {
    if (operation.kind != JOURNAL_REMOVE && operation.kind != JOURNAL_SYMLINK) return;
    if (skipsLeavingOperation(target, operation, facts)) done = false;
    else if (operation.kind == JOURNAL_REMOVE) done = applyRemove(target, facts) && done;
    else done = applySymlink(target, operation.argument, facts) && done;
  });
  facts.startPass();
  forEachOperation([&](const std::string& target, const JournalOperation& operation) {
    if (!isMove(operation.kind)) return;
    if (skipsLeavingOperation(target, operation, facts)) done = false;
    else done = applyMove(target, operation, progress, facts) && done;
  });
  return done;
}

void FileJournal::cancel() {
  forEachOperation([](const std::string&, const JournalOperation& operation) {
    if (operation.kind == JOURNAL_TEMPORARY_MOVE) unlink(operation.argument.c_str());
  });
  operations_.clear();
  notingNewTargets_ = false;
}

void FileJournal::writeOperations(std::ostream& out) const {
  forEachOperation([&out](const std::string& target, const JournalOperation& operation) {
    if (operation.kind == JOURNAL_REMOVE) out << "U " << target << '\n';
    if (operation.kind == JOURNAL_SYMLINK) out << "L " << target << ' ' << operation.argument << '\n';
    if (isMove(operation.kind))
      out << "M " << target << ' ' << operation.argument
          << (operation.kind == JOURNAL_TEMPORARY_MOVE ? " T\n" : "\n");
  });
}

bool FileJournal::writeManifest(const std::string& path) const {
  // The manifest appears whole or not at all: a later commit must never
  // find half of it, whose removals would run without the moves that go
  // with them. Until the new one is complete, an older one stays as it was.
  const std::string partial = path + ".new";
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  writeOperations(out);
  out.close();
  if (!out.fail() && std::rename(partial.c_str(), path.c_str()) == 0) return true;
  int saved = errno;
  std::remove(partial.c_str());
  errno = saved;
  return false;
}

std::string FileJournal::readManifest(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (!S_ISREG(status.st_mode)) return "is not a file";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot be read: ") + std::strerror(errno);
  return readOperations(in);
}

std::string FileJournal::readOperations(std::istream& in) {
  // Checked whole before any of it is taken: a manifest is carried out
  // entirely or not at all.
  std::map<std::string, JournalOperation> read;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string reason = in.eof() ? "is cut short" : readManifestLine(read, line);
    if (!reason.empty()) return "line " + std::to_string(number) + " " + reason;
  }
  if (in.bad()) return "cannot be read";
  for (const auto& [target, operation] : read) put(target, operation.kind, operation.argument);
  return "";
}

std::string FileJournal::findMissingSource() const {
  std::string missing;
  forEachOperation([&missing](const std::string& target, const JournalOperation& operation) {
    if (missing.empty() && isMove(operation.kind) && !isPresent(operation.argument) && !isPresent(target))
      missing = operation.argument + ", the source of " + target + ", is missing";
  });
  return missing;
}

bool FileJournal::hasEnoughSpace() const { return ::hasEnoughSpace(*this); }
