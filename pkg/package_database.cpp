#include "pkg/package_database.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "console/console.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"

const char* const BOOT_IMAGE_PATH = "/flash/bootimage";

namespace {

const char* const SCHEDULE_DIRECTORY = "/ram/pdb/";

// Size hints for the free-space choice of the journal's temporary files
// (package_database.h lists the files).
constexpr uint64_t VERSION_SIZE_HINT = 32;
constexpr uint64_t LIST_SIZE_HINT = 1024;
constexpr uint64_t BUNDLE_SIZE_HINT = 16;
constexpr uint64_t FILES_SIZE_HINT = 4096;
constexpr uint64_t STATE_SIZE_HINT = 8;

// ---- reading -------------------------------------------------------------

// Files whose reading failed with a disk error since the process started.
int failedReads = 0;

// True for a read that failed because of the disk itself. A directory or a
// device standing where a database file belongs fails otherwise (EISDIR,
// say) and reads like a file that is missing or empty.
bool isDiskError(int errorNumber) {
  return errorNumber == EIO || errorNumber == ENXIO || errorNumber == ENODEV;
}

// A file whose read failed with a disk error says nothing about the entry:
// it is reported and counted, so that the loader does not take the entry
// for a broken one and have it uninstalled.
void noteReadFailure(const std::ifstream& file, const std::string& path) {
  if (!file.bad() || !isDiskError(errno)) return;
  ++failedReads;
  error("could not read %s", path.c_str());
}

void readVersionFile(InstalledPackage& package, const std::string& entry) {
  std::ifstream file(entry + "version");
  // A number that was read stays, also when the one after it fails: the
  // entry is then marked for uninstalling but still protected by what
  // depends on that version.
  file >> package.version >> package.buildTime;
  noteReadFailure(file, entry + "version");
  if (!file) package.scheduledAction = ACTION_UNINSTALL;
}

void readListFiles(InstalledPackage& package, const std::string& entry) {
  bool listsRead = readRefFile(entry + "deps", package.deps, false);
  listsRead = readRefFile(entry + "provides", package.provides, true) && listsRead;
  listsRead = readRefFile(entry + "conflicts", package.conflicts, false) && listsRead;
  if (!listsRead) package.scheduledAction = ACTION_UNINSTALL;
}

// A "bundle" file left in an entry without its bundle's image: the member
// is an orphan and goes.
void readBundleFile(InstalledPackage& package, const std::string& entry) {
  std::ifstream file(entry + "bundle");
  std::string bundleName;
  file >> bundleName;
  noteReadFailure(file, entry + "bundle");
  if (!file) return;
  package.bundle.name = bundleName;
  package.bundle.minVersion = 0;
  package.bundle.maxVersion = 0;
  package.scheduledAction = ACTION_UNINSTALL;
}

// True for a listed path that stays below "/flash" as written: no ".."
// component can take its removal elsewhere.
bool isFlashPath(const std::string& path) {
  if (!startsWith(path, "/flash/")) return false;
  for (size_t start = 0; start < path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    if (path.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

// Adds the paths of the entry's "files" list; false when there is none.
// A path that would lead out of "/flash" is not the package's and is left out.
bool readFileList(InstalledPackage& package, const std::string& entry) {
  std::ifstream file(entry + "files");
  if (!file.is_open()) return false;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    if (line[0] != '/') line.insert(0, 1, '/');
    if (isFlashPath(line)) package.files.insert(line);
  }
  noteReadFailure(file, entry + "files");
  return true;
}

void readFilesFile(InstalledPackage& package, const std::string& entry) {
  package.isBundle = !readFileList(package, entry);
}

void readMetaFiles(InstalledPackage& package, const std::string& entry) {
  readVersionFile(package, entry);
  readListFiles(package, entry);
  readBundleFile(package, entry);
  readFilesFile(package, entry);
}

void readStateFiles(InstalledPackage& package, const std::string& entry) {
  package.stateChosenByUser = false;
  std::ifstream disabledFile(entry + "disabled");
  package.disabled = disabledFile.is_open();
  if (package.disabled) {
    std::string firstLine;
    std::getline(disabledFile, firstLine);
    noteReadFailure(disabledFile, entry + "disabled");
    package.stateChosenByUser = firstLine != "auto";
    return;
  }
  std::ifstream enabledFile(entry + "enabled");
  if (enabledFile.is_open()) package.stateChosenByUser = true;
}

void readScheduleFile(InstalledPackage& package) {
  std::ifstream file(schedulePath(package));
  std::string word;
  file >> word;
  noteReadFailure(file, schedulePath(package));
  if (!file) return;
  if (word == scheduleActionName(ACTION_UNINSTALL)) {
    package.scheduledAction = ACTION_UNINSTALL;
  } else if (word == scheduleActionName(ACTION_ENABLE)) {
    package.scheduledAction = ACTION_ENABLE;
    package.stateChosenByUser = true;
  } else if (word == scheduleActionName(ACTION_DISABLE)) {
    package.scheduledAction = ACTION_DISABLE;
    package.stateChosenByUser = true;
  }
}

// ---- writing -------------------------------------------------------------

// The stream is closed before its state is judged, so that a write error
// that only shows when the buffer reaches the disk is not taken for success.
bool finishWrite(std::ofstream& stream) {
  stream.close();
  return !stream.fail();
}

bool writeFile(FileJournal& journal, const std::string& target, uint64_t sizeHint,
               const std::string& content) {
  std::ofstream stream = journal.openWrite(target, sizeHint, 0);
  stream << content;
  return finishWrite(stream);
}

// State files are written without a check: a lost state file reads as the
// default state.
void writeStateFile(FileJournal& journal, const std::string& target, const char* word) {
  std::ofstream stream = journal.openWrite(target, STATE_SIZE_HINT, 0);
  stream << word << '\n';
}

std::string refLines(const std::vector<PackageRef>& refs, bool withPriority) {
  std::string text;
  for (const PackageRef& ref : refs) {
    text += ref.name + ' ' + std::to_string(ref.minVersion) + ' ' + std::to_string(ref.maxVersion);
    if (withPriority) text += ' ' + std::to_string(ref.priority);
    text += '\n';
  }
  return text;
}

// The "files" list, one path a line without its leading "/", written
// straight to the stream: the text of a large package is never held whole.
bool writeFilesFile(FileJournal& journal, const std::string& target, const PathSet& files) {
  std::ofstream stream = journal.openWrite(target, FILES_SIZE_HINT, 0);
  for (const std::string& path : files) {
    if (path.empty()) continue;
    const size_t start = path[0] == '/' ? 1 : 0;
    stream.write(path.data() + start, static_cast<std::streamsize>(path.size() - start));
    stream.put('\n');
  }
  return finishWrite(stream);
}

// Writes the meta file `name` of the entry; a failure is reported with the
// label "meta/" + name.
bool writeMetaFile(const InstalledPackage& package, FileJournal& journal, const char* name,
                   uint64_t sizeHint, const std::string& content) {
  if (writeFile(journal, entryPath(package) + name, sizeHint, content)) return true;
  reportWriteFailure(package, std::string("meta/") + name);
  return false;
}

bool writeMetaFiles(const InstalledPackage& package, FileJournal& journal) {
  const std::string entry = entryPath(package);
  std::string versionLine =
      std::to_string(package.version) + ' ' + std::to_string(package.buildTime) + '\n';
  if (!writeMetaFile(package, journal, "version", VERSION_SIZE_HINT, versionLine) ||
      !writeMetaFile(package, journal, "deps", LIST_SIZE_HINT, refLines(package.deps, false)))
    return false;
  // An empty list is no file: one left by an older version must go, or the
  // new version would still provide or exclude what the old one did.
  if (package.provides.empty())
    journal.addRemove(entry + "provides");
  else if (!writeMetaFile(package, journal, "provides", LIST_SIZE_HINT, refLines(package.provides, true)))
    return false;
  if (package.conflicts.empty())
    journal.addRemove(entry + "conflicts");
  else if (!writeMetaFile(package, journal, "conflicts", LIST_SIZE_HINT,
                          refLines(package.conflicts, false)))
    return false;
  if (package.bundle.name.empty())
    journal.addRemove(entry + "bundle");
  else if (!writeMetaFile(package, journal, "bundle", BUNDLE_SIZE_HINT, package.bundle.name + '\n'))
    return false;
  if (package.isBundle) return true;
  if (writeFilesFile(journal, entry + "files", package.files)) return true;
  reportWriteFailure(package, "meta/files");
  return false;
}

void writeStateFiles(const InstalledPackage& package, FileJournal& journal) {
  const std::string entry = entryPath(package);
  if (package.disabled)
    writeStateFile(journal, entry + "disabled", package.stateChosenByUser ? "user" : "auto");
  else
    journal.addRemove(entry + "disabled");
  if (!package.disabled && package.stateChosenByUser)
    writeStateFile(journal, entry + "enabled", "user");
  else
    journal.addRemove(entry + "enabled");
}

// The files of `package` that a package of another name still lists: a
// file that two packages ship stays until the last of them goes. Both
// lists are sorted, so each other package costs one walk through the two.
std::set<std::string> listedByAnother(const InstalledPackage& package) {
  std::set<std::string> shared;
  for (const auto& other : InstallerContext::instance().packages)
    if (other->name != package.name)
      std::set_intersection(package.files.begin(), package.files.end(), other->files.begin(),
                            other->files.end(), std::inserter(shared, shared.end()));
  return shared;
}

// The boot image goes with its package only when no other name links to it.
bool bootImageUnshared() {
  struct stat status;
  return stat(BOOT_IMAGE_PATH, &status) == 0 && status.st_nlink == 1;
}

}  // namespace

std::string entryPath(const PackageRecord& record) {
  return DATABASE_DIRECTORY + record.name + "/";
}

std::string entryDirectory(const PackageRecord& record) { return DATABASE_DIRECTORY + record.name; }

std::string schedulePath(const PackageRecord& record) {
  return SCHEDULE_DIRECTORY + record.name + "/schedule";
}

bool loadEntry(InstalledPackage& package) {
  const int failedBefore = failedReads;
  const std::string entry = entryPath(package);
  if (package.version == 0)
    readMetaFiles(package, entry);
  else
    // A bundle member whose header came from the bundle's image still has
    // its files listed in its entry: without them an uninstall or a
    // replacement would leave the files behind on flash.
    readFileList(package, entry);
  readStateFiles(package, entry);
  if (!package.isInert()) readScheduleFile(package);
  return failedReads == failedBefore;
}

bool readRefFile(const std::string& path, std::vector<PackageRef>& refs, bool withPriority) {
  std::ifstream file(path);
  PackageRef ref;
  bool wellFormed = true;
  while (wellFormed && file >> ref.name) {
    ref.priority = 0;
    wellFormed = (file >> ref.minVersion >> ref.maxVersion) && (!withPriority || file >> ref.priority);
    if (wellFormed) refs.push_back(ref);
  }
  noteReadFailure(file, path);
  return wellFormed;
}

bool writeEntry(const InstalledPackage& package, FileJournal& journal) {
  bool writesMeta = !package.storedAsImage && !package.hasNoMetaFlag();
  if (writesMeta && !writeMetaFiles(package, journal)) return false;
  writeStateFiles(package, journal);
  return true;
}

bool prepareEntryDirectory(const InstalledPackage& package, FileJournal& journal) {
  return journal.claimDirectory(entryDirectory(package));
}

bool registerEntry(const InstalledPackage& package, FileJournal& journal) {
  return prepareEntryDirectory(package, journal) && writeEntry(package, journal);
}

void markDisabled(InstalledPackage& package, FileJournal& journal) {
  const std::string entry = entryPath(package);
  journal.addRemove(entry + "enabled");
  writeStateFile(journal, entry + "disabled", package.stateChosenByUser ? "user" : "auto");
  package.disabled = true;
  package.scheduledAction = ACTION_NONE;
}

void markEnabled(InstalledPackage& package, FileJournal& journal) {
  const std::string entry = entryPath(package);
  journal.addRemove(entry + "disabled");
  if (package.stateChosenByUser)
    writeStateFile(journal, entry + "enabled", "user");
  else
    journal.addRemove(entry + "enabled");
  package.disabled = false;
  package.scheduledAction = ACTION_NONE;
}

void removeEntry(InstalledPackage& package, FileJournal& journal) {
  const std::set<std::string> shared = listedByAnother(package);
  for (const std::string& path : package.files)
    if (shared.count(path) == 0) journal.addRemove(path);
  package.files.clear();
  journal.addRemove(entryDirectory(package));
  journal.addRemove(entryPath(package) + "image");
  if (package.hasBootFlag() && bootImageUnshared()) journal.addRemove(BOOT_IMAGE_PATH);
  package.scheduledAction = ACTION_NONE;
}

void reportWriteFailure(const InstalledPackage& package, const std::string& label) {
  int errorNumber = errno;
  std::string name = displayName(package);
  if (errorNumber == ENOSPC)
    error("installation of %s failed: disk is too small", name.c_str());
  else if (errorNumber == EIO)
    error("installation of %s failed: disk error", name.c_str());
  else
    error("installation of %s failed: could not create %s: %s", name.c_str(), label.c_str(),
          std::strerror(errorNumber));
}
