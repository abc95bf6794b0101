#include "journal/durable_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <set>
#include <sstream>
#include <streambuf>
#include <vector>

#include "journal/file_journal.h"

namespace {

const char* const RECORD_HEADER = "installer record 1";
const char* const RECORD_BEING_WRITTEN = "/flash/var/pdb/.journal.new";
// The record goes to its file in blocks of this size.
constexpr size_t RECORD_BLOCK_SIZE = 65536;

// The open temporary list of this run, or -1 while none is kept.
int temporaryList = -1;
bool listing = false;

// A flash without a package database folder has nothing installed to
// keep whole, and gets no folder of the installer's just for the record.
bool hasRecordDirectory() {
  struct stat status {};
  return stat(RECORD_DIRECTORY, &status) == 0 && S_ISDIR(status.st_mode);
}

bool appendToList(const std::string& line) {
  if (!listing) return true;
  if (temporaryList < 0) {
    if (!hasRecordDirectory()) return true;
    temporaryList = openOwnedFile(TEMPORARY_LIST_PATH, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (temporaryList < 0) return false;
  }
  return writeWhole(temporaryList, line);
}

// Makes the rename of a file inside `directory` durable.
void syncDirectory(const char* directory) {
  int descriptor = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

enum class RecordState { ABSENT, WHOLE, DAMAGED };

// Reads the record into `journal`; `manifest` gets the stored manifest that
// it carries out, if any.
RecordState readRecord(FileJournal& journal, std::string& manifest) {
  std::string text;
  if (!readOwnedFile(RECORD_PATH, text)) return RecordState::ABSENT;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != RECORD_HEADER) return RecordState::DAMAGED;
  std::string operations;
  size_t count = 0;
  bool ended = false;
  while (std::getline(in, line)) {
    if (ended || in.eof()) return RecordState::DAMAGED;
    if (line.rfind("C /ram/", 0) == 0 && line.find('/', 7) == std::string::npos && count == 0 &&
        manifest.empty()) {
      manifest = line.substr(2);
    } else if (line.rfind("end ", 0) == 0) {
      ended = line.substr(4) == std::to_string(count);
      if (!ended) return RecordState::DAMAGED;
    } else {
      operations += line + '\n';
      ++count;
    }
  }
  std::istringstream lines(operations);
  if (!ended || !journal.readOperations(lines).empty()) return RecordState::DAMAGED;
  return RecordState::WHOLE;
}

// The files that the temporary list names and that are the run's own: a
// whole "T" line, not taken back by a "K" line, naming a temporary file in
// one of the installer's places (or the stream's copy).
std::set<std::string> listedTemporaries() {
  std::string text;
  readOwnedFile(TEMPORARY_LIST_PATH, text);
  std::set<std::string> files;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    std::string path = line.size() > 2 ? line.substr(2) : "";
    bool owned = (startsWith(path, "/flash/") || startsWith(path, "/ram/")) &&
                 path.find("/../") == std::string::npos &&
                 (isTemporaryFileName(path.substr(path.rfind('/') + 1)) || path == STREAM_IMAGE_FILE);
    if (!owned) continue;
    if (startsWith(line, "T ")) files.insert(path);
    if (startsWith(line, "K ")) files.erase(path);
  }
  return files;
}

// Deletes the listed files, but for those that a stored manifest still
// moves into place, and only regular files inside the installer's places.
void deleteListedTemporaries(const std::string& manifest) {
  std::set<std::string> kept;
  FileJournal stored;
  if (!manifest.empty() && stored.readManifest(manifest).empty())
    stored.forEachOperation(
        [&kept](const std::string&, const JournalOperation& operation) { kept.insert(operation.argument); });
  for (const std::string& path : listedTemporaries()) {
    struct stat status {};
    if (kept.count(path) != 0 || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        leavesOwnedPlace(path))
      continue;
    unlink(path.c_str());
  }
}

// An output buffer that hands what it holds to a descriptor whenever it is
// full, so that a record of any length costs one block of memory. The first
// failed write ends the writing; errno keeps its cause.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int descriptor) : descriptor_(descriptor), block_(RECORD_BLOCK_SIZE) {
    setp(block_.data(), block_.data() + block_.size());
  }
  /// Writes what is left in the block; false when any write failed.
  bool finish() { return flushBlock(); }

 protected:
  int_type overflow(int_type character) override {
    if (!flushBlock()) return traits_type::eof();
    if (!traits_type::eq_int_type(character, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(character);
      pbump(1);
    }
    return traits_type::not_eof(character);
  }

 private:
  bool flushBlock() {
    if (failed_) return false;
    const size_t length = static_cast<size_t>(pptr() - pbase());
    setp(block_.data(), block_.data() + block_.size());
    if (!writeWhole(descriptor_, block_.data(), length)) failed_ = true;
    return !failed_;
  }

  int descriptor_;
  bool failed_ = false;
  std::vector<char> block_;
};

bool writeRecord(const FileJournal& journal, const std::string& manifest) {
  int descriptor = openOwnedFile(RECORD_BEING_WRITTEN, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool written = descriptor >= 0;
  if (written) {
    DescriptorBuffer buffer(descriptor);
    std::ostream text(&buffer);
    text << RECORD_HEADER << '\n';
    if (!manifest.empty()) text << "C " << manifest << '\n';
    journal.writeOperations(text);
    text << "end " << journal.size() << '\n';
    written = buffer.finish();
  }
  if (descriptor >= 0 && close(descriptor) != 0) written = false;
  // The temporary files, their list and the record reach the flash before
  // the record takes its name, and the name before any live file changes.
  if (written) sync();
  if (written && rename(RECORD_BEING_WRITTEN, RECORD_PATH) == 0) {
    syncDirectory(RECORD_DIRECTORY);
    return true;
  }
  int saved = errno;
  unlink(RECORD_BEING_WRITTEN);
  errno = saved;
  return false;
}

// Once what the record says is on the flash, the record can go; the
// stored manifest that it carried out goes first, so that a cut between
// the two leaves a record to finish rather than a manifest to apply again.
void retireRecord(const std::string& manifest, bool done) {
  sync();
  if (done && !manifest.empty()) unlink(manifest.c_str());
  unlink(RECORD_PATH);
}

}  // namespace

void beginTemporaryList() { listing = true; }

bool listTemporary(const std::string& path) { return appendToList("T " + path + "\n"); }

void unlistTemporary(const std::string& path) { appendToList("K " + path + "\n"); }

void endTemporaryList() {
  if (temporaryList >= 0) close(temporaryList);
  temporaryList = -1;
  if (listing) unlink(TEMPORARY_LIST_PATH);
  listing = false;
}

bool isTemporaryFileName(const std::string& name) {
  if (name.size() != 9 || !startsWith(name, "tmp")) return false;
  for (size_t index = 3; index < name.size(); ++index)
    if (!std::isalnum(static_cast<unsigned char>(name[index]))) return false;
  return true;
}

RecordedApply applyWithRecord(const FileJournal& journal, const std::string& manifest,
                              const CopyProgress& progress) {
  bool recorded = hasRecordDirectory();
  if (recorded && !writeRecord(journal, manifest)) return RecordedApply::NOT_RECORDED;
  bool done = journal.apply(progress);
  if (recorded) retireRecord(manifest, done);
  else if (done && !manifest.empty()) unlink(manifest.c_str());
  return done ? RecordedApply::APPLIED : RecordedApply::PARTLY_APPLIED;
}

Leftover finishInterruptedInstall(const std::string& manifest, const CopyProgress& progress) {
  struct stat status {};
  bool listed = lstat(TEMPORARY_LIST_PATH, &status) == 0;
  // Copies that finishing makes are listed too, in case it is cut short.
  beginTemporaryList();
  // A record still being written when its run was cut short never began.
  unlink(RECORD_BEING_WRITTEN);
  FileJournal journal;
  std::string carried;
  RecordState state = readRecord(journal, carried);
  if (state == RecordState::WHOLE) retireRecord(carried, journal.apply(progress));
  deleteListedTemporaries(manifest);
  unlink(RECORD_PATH);
  endTemporaryList();
  if (state == RecordState::WHOLE) return Leftover::FINISHED;
  if (state == RecordState::DAMAGED) return Leftover::DAMAGED;
  return listed ? Leftover::DISCARDED : Leftover::NONE;
}

bool hasLeftover() {
  struct stat status {};
  return lstat(RECORD_PATH, &status) == 0 || lstat(TEMPORARY_LIST_PATH, &status) == 0 ||
         lstat(RECORD_BEING_WRITTEN, &status) == 0;
}

bool readPendingRecord(FileJournal& journal) {
  std::string manifest;
  return readRecord(journal, manifest) == RecordState::WHOLE;
}
