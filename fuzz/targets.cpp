#include "fuzz/targets.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <memory>
#include <set>
#include <sstream>

#include "console/console.h"
#include "device/flash_probe.h"
#include "driver/command_line.h"
#include "driver/stream_install.h"
#include "fuzz/fuzz_root.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "pkg/repository.h"
#include "pkgfile/package_format.h"
#include "pkgfile/package_header.h"

const std::vector<std::string> DATABASE_ENTRY_FILES = {
    "version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled", "schedule"};

namespace {

const char* const UPLOAD_PATH = "/flash/rw/pckg/fuzz.qbx";
const char* const MANIFEST_COPY_PATH = "/ram/MANIFEST.copy";
/// Name of the database entry that the package-file and entry targets use.
const char* const ENTRY_NAME = "fuzz";
/// What the driver grants a stream install with "-down"; "--reinstall" is
/// added for inputs of odd length (see fuzzStreamInstall).
const InstallFlags STREAM_FLAGS = INSTALL_UPGRADE | INSTALL_DOWNGRADE;
/// A processor version register that reads as variant 2.
constexpr uint32_t VARIANT_2_PVR = 0x00200000;
constexpr size_t SCHEDULE_FILE_INDEX = 8;
constexpr size_t DISABLED_FILE_INDEX = 6;

// ---- shared helpers --------------------------------------------------------

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

void check(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

/// `text` with bytes outside printable ASCII as \xNN, for messages.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::ostream& nullStream() {
  static std::ostream stream(nullptr);
  return stream;
}

/// What the fuzz root holds between inputs.
std::vector<std::string>& baseline() {
  static std::vector<std::string> paths;
  return paths;
}

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  check(!out.fail(), "cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
  writeBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

/// Creates `path` and its missing ancestors.
void makeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) return;
  }
}

void checkNothingLeft(const char* after) {
  std::vector<std::string> now = listDeviceTree();
  if (now == baseline()) return;
  std::string report = std::string("the fuzz root changed after ") + after + ":";
  for (const std::string& path : now)
    if (std::find(baseline().begin(), baseline().end(), path) == baseline().end())
      report += "\n  new: " + printable(path);
  for (const std::string& path : baseline())
    if (std::find(now.begin(), now.end(), path) == now.end()) report += "\n  gone: " + printable(path);
  fail(report);
}

// ---- package file ----------------------------------------------------------

bool readAsUpload(const uint8_t* data, size_t size) {
  writeBytes(UPLOAD_PATH, data, size);
  PackageFileRecord record;
  bool read = readPackageFile(record, UPLOAD_PATH);
  if (read && record.isBundle) check(!record.members.empty(), "a bundle read without members");
  unlink(UPLOAD_PATH);
  return read;
}

/// The bytes with the file header's length field set to their true length.
std::vector<uint8_t> withTrueLength(const uint8_t* data, size_t size) {
  std::vector<uint8_t> fixed(data, data + size);
  uint64_t rest = size - FILE_HEADER_LENGTH;
  for (int i = 0; i < 4; ++i) fixed[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(rest >> (8 * i));
  return fixed;
}

/// The bytes as the stored image of a database entry: read without hashing,
/// so parts are passed over by seeking the file.
void readAsStoredImage(const uint8_t* data, size_t size) {
  const std::string entry = std::string(DATABASE_DIRECTORY) + ENTRY_NAME;
  makeDirectories(entry);
  writeBytes(entry + "/image", data, size);
  InstallerContext::reset();
  consoleState() = ConsoleState();
  loadImages(DATABASE_DIRECTORY, false);
  InstallerContext::reset();
  consoleState() = ConsoleState();
  unlink((entry + "/image").c_str());
  rmdir(entry.c_str());
}

// ---- stream install --------------------------------------------------------

/// A read-only source over memory that cannot seek, like a pipe on
/// standard input. Bytes put back must be the same bytes, so the data is
/// never written.
class MemorySource : public std::streambuf {
 public:
  MemorySource(const uint8_t* data, size_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(begin, begin, begin + size);
  }
  /// Bytes delivered so far, minus those put back.
  size_t position() const { return static_cast<size_t>(gptr() - eback()); }
};

std::unique_ptr<InstalledPackage> installed(const char* name, PackageVersion version,
                                            std::set<std::string> files) {
  auto package = std::make_unique<InstalledPackage>(name);
  package->version = version;
  package->buildTime = 1000;
  package->architecture = "i386";
  package->files = std::move(files);
  return package;
}

/// tessel and a disabled wardle that needs it, and the bundle quorilan
/// with its member media-kit: enough for upgrades, replaced members and
/// conflicts to happen.
void seedRepository() {
  InstallerContext::reset();
  consoleState() = ConsoleState();
  InstallerContext& context = InstallerContext::instance();
  context.architecture = "i386";
  auto tessel = installed("tessel", makeVersion(3, 20, 'f', 0), {"/flash/bin/tessel"});
  tessel->provides.push_back(PackageRef{"routing", 0, 0, 10});
  auto wardle = installed("wardle", makeVersion(1, 0, 'f', 0), {"/flash/x/wardle/lib/wardle"});
  wardle->deps.push_back(PackageRef{"tessel", makeVersion(3, 0, 'f', 0), 0, 0});
  wardle->disabled = true;
  wardle->stateChosenByUser = true;
  PackageVersion bundleVersion = makeVersion(2, 1, 'f', 0);
  auto member = installed("media-kit", makeVersion(2, 1, 'f', 0), {"/flash/lib/media"});
  member->bundle = PackageRef{"quorilan", bundleVersion, bundleVersion, 0};
  auto bundle = installed("quorilan", bundleVersion, {});
  bundle->isBundle = true;
  context.packages.push_back(std::move(tessel));
  context.packages.push_back(std::move(wardle));
  context.packages.push_back(std::move(member));
  context.packages.push_back(std::move(bundle));
}

/// The files of the seeded repository, so that replacing a package
/// journals real removals.
void layOutInstalledFiles() {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"/flash/bin/tessel", "tessel\n"},
      {"/flash/var/pdb/tessel/version", "51642112 1000\n"},
      {"/flash/var/pdb/tessel/files", "flash/bin/tessel\n"},
      {"/flash/x/wardle/lib/wardle", "wardle\n"},
      {"/flash/var/pdb/wardle/disabled", "user\n"},
      {"/flash/lib/media", "media\n"},
      {"/flash/var/pdb/media-kit/bundle", "quorilan\n"},
      {"/flash/var/pdb/quorilan/version", "33619968 1000\n"}};
  for (const auto& [path, content] : files) {
    makeDirectories(path.substr(0, path.rfind('/')));
    writeText(path, content);
  }
}

const UserStateMap& userStates() {
  static const UserStateMap states = {{"wardle", true}};
  return states;
}

/// True when `path` begins with `top` and has no ".." component.
bool staysBelow(const std::string& path, const std::string& top) {
  if (path.compare(0, top.size(), top) != 0) return false;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

void checkJournalStaysOnFlash(const FileJournal& journal) {
  for (const auto& [target, operation] : journal.operations()) {
    check(staysBelow(target, "/flash/"), "journaled outside /flash: " + printable(target));
    if (operation.kind == JOURNAL_TEMPORARY_MOVE)
      check(staysBelow(operation.argument, "/flash/") || staysBelow(operation.argument, "/ram/"),
            "temporary file outside /flash and /ram: " + printable(operation.argument));
  }
}

/// The copy target holds exactly the bytes taken from the source: a prefix
/// of the input at least as long as what the source has delivered.
void checkCopy(const std::string& copy, const MemorySource& source, const uint8_t* data,
               size_t size) {
  check(copy.size() >= source.position(), "the copy target missed bytes that were read");
  check(copy.size() <= size && std::memcmp(copy.data(), data, copy.size()) == 0,
        "the copy target got bytes that the input does not hold there");
}

// ---- manifest --------------------------------------------------------------

bool sameOperations(const FileJournal& a, const FileJournal& b) {
  if (a.operations().size() != b.operations().size()) return false;
  for (auto x = a.operations().begin(), y = b.operations().begin(); x != a.operations().end();
       ++x, ++y) {
    if (x->first != y->first || x->second.kind != y->second.kind ||
        x->second.argument != y->second.argument)
      return false;
  }
  return true;
}

/// What a journal writes as its manifest reads back as the same journal.
void checkManifestRoundTrip(const FileJournal& journal) {
  check(journal.writeManifest(MANIFEST_COPY_PATH), "writeManifest failed");
  FileJournal again;
  check(again.readManifest(MANIFEST_COPY_PATH), "a written manifest does not read back");
  check(sameOperations(journal, again), "a manifest read back differs from the journal that wrote it");
  again.cancel();
  unlink(MANIFEST_COPY_PATH);
}

// ---- database entry --------------------------------------------------------

std::string entryFilePath(size_t index) {
  if (index == SCHEDULE_FILE_INDEX) return std::string("/ram/pdb/") + ENTRY_NAME + "/schedule";
  return std::string(DATABASE_DIRECTORY) + ENTRY_NAME + "/" + DATABASE_ENTRY_FILES[index];
}

std::vector<std::string> splitPieces(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == ENTRY_SEPARATOR)
      pieces.emplace_back();
    else
      pieces.back() += static_cast<char>(data[i]);
  }
  return pieces;
}

/// Writes the files whose mask bits are set, removes the others.
void layOutEntry(uint16_t mask, const std::vector<std::string>& pieces) {
  makeDirectories(std::string(DATABASE_DIRECTORY) + ENTRY_NAME);
  makeDirectories(std::string("/ram/pdb/") + ENTRY_NAME);
  size_t next = 0;
  for (size_t index = 0; index < DATABASE_ENTRY_FILES.size(); ++index) {
    if ((mask & (1u << index)) == 0) continue;
    writeText(entryFilePath(index), next < pieces.size() ? pieces[next] : std::string());
    ++next;
  }
}

void removeEntryFiles() {
  for (size_t index = 0; index < DATABASE_ENTRY_FILES.size(); ++index)
    unlink(entryFilePath(index).c_str());
  rmdir((std::string(DATABASE_DIRECTORY) + ENTRY_NAME).c_str());
  rmdir((std::string("/ram/pdb/") + ENTRY_NAME).c_str());
}

void checkLoadedEntry(const InstalledPackage& package, uint16_t mask) {
  for (const std::string& path : package.files)
    check(!path.empty() && path[0] == '/', "a file path without its leading /: " + printable(path));
  bool disabledFile = (mask & (1u << DISABLED_FILE_INDEX)) != 0;
  check(package.disabled == disabledFile, "disabled does not follow the \"disabled\" file");
  check(package.scheduledAction <= ACTION_DISABLE, "an unknown scheduled action");
}

}  // namespace

void prepareFuzzProcess() {
  // INSTALLER_FUZZ_VERBOSE keeps the console on standard output, to see
  // what the installer made of a saved input.
  if (std::getenv("INSTALLER_FUZZ_VERBOSE") == nullptr) setConsoleOutput(&nullStream());
  DeviceProbes& probes = deviceProbes();
  probes.processorVersion = [] { return VARIANT_2_PVR; };
  probes.largeBlockFlash = [] { return false; };
  probes.featureBit = [] { return false; };
  probes.systemVersion = [] { return PackageVersion(0); };
  unsetenv("bootimage");
  clearDeviceTree();
  layOutInstalledFiles();
  baseline() = listDeviceTree();
}

int fuzzPackageFile(const uint8_t* data, size_t size) {
  bool read = readAsUpload(data, size);
  if (size >= FILE_HEADER_LENGTH) {
    std::vector<uint8_t> fixed = withTrueLength(data, size);
    if (std::memcmp(fixed.data() + 4, data + 4, 4) != 0) readAsUpload(fixed.data(), fixed.size());
  }
  readAsStoredImage(data, size);
  return read ? 1 : 0;
}

unsigned fuzzStreamInstall(const uint8_t* data, size_t size) {
  seedRepository();
  MemorySource source(data, size);
  std::istream input(&source);
  std::stringbuf copy(std::ios_base::out);
  FileJournal journal;
  std::string directory;
  bool boot = false;
  InstallFlags flags = STREAM_FLAGS | (size % 2 == 1 ? INSTALL_REINSTALL : 0);
  unsigned result = installFromStream(journal, input, flags, userStates(), &copy, &directory, &boot);
  checkCopy(copy.str(), source, data, size);
  checkJournalStaysOnFlash(journal);
  journal.cancel();
  checkNothingLeft("a cancelled stream install");
  InstallerContext::reset();
  consoleState() = ConsoleState();
  return result;
}

int fuzzManifest(const uint8_t* data, size_t size) {
  writeBytes(MANIFEST_PATH, data, size);
  FileJournal journal;
  bool read = journal.readManifest(MANIFEST_PATH);
  if (!journal.empty()) checkManifestRoundTrip(journal);
  journal.cancel();
  unlink(MANIFEST_PATH);
  checkNothingLeft("a cancelled manifest");
  return read ? 1 : 0;
}

int fuzzDatabaseEntry(const uint8_t* data, size_t size) {
  uint16_t mask = 0;
  if (size >= 1) mask = data[0];
  if (size >= 2) mask |= static_cast<uint16_t>(data[1] << 8);
  size_t header = size < 2 ? size : 2;
  layOutEntry(mask, splitPieces(data + header, size - header));

  InstalledPackage package(ENTRY_NAME);
  if (mask & (ENTRY_FROM_IMAGE | ENTRY_INERT)) {
    package.version = makeVersion(1, 0, 'f', 0);
    package.buildTime = 1000;
  }
  if (mask & ENTRY_INERT) package.version = package.buildTime = INERT_VALUE;
  loadEntry(package);
  checkLoadedEntry(package, mask);
  removeEntryFiles();
  return static_cast<int>(package.scheduledAction);
}

std::vector<uint8_t> frameDatabaseEntry(uint16_t mask, const std::vector<std::string>& contents) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(mask & 0xFF), static_cast<uint8_t>(mask >> 8)};
  for (size_t i = 0; i < contents.size(); ++i) {
    if (i > 0) bytes.push_back(ENTRY_SEPARATOR);
    bytes.insert(bytes.end(), contents[i].begin(), contents[i].end());
  }
  return bytes;
}
