#include "fuzz/targets.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "console/console.h"
#include "device/flash_probe.h"
#include "driver/stream_install.h"
#include "driver/upgrade_run.h"
#include "journal/file_journal.h"
#include "package_writer.h"
#include "model/installer_context.h"
#include "model/machine.h"
#include "pkg/package_database.h"
#include "pkg/repository.h"
#include "pkgfile/package_header.h"

namespace fs = std::filesystem;

namespace {

const char* const UPLOAD = "/flash/rw/pckg/fuzz.qbx";
const char* const ENTRY = "/flash/var/pdb/fuzz/";
const PackageVersion V1 = makeVersion(1, 0, 'f', 0), KIT = makeVersion(2, 1, 'f', 0);
std::vector<std::string> baseline;  // the device tree between inputs

void check(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

void writeBytes(const std::string& path, const void* data, size_t size) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  check(out.write(static_cast<const char*>(data), std::streamsize(size)).flush().good(), "cannot write " + path);
}

std::string text(const char* path) {
  std::ostringstream content;
  content << std::ifstream(path).rdbuf();
  return content.str();
}

// Takes the device tree as it must stay (`after` null), or checks it stayed.
void checkNothingLeft(const char* after) {
  std::vector<std::string> now;
  for (const char* top : {"/flash", "/ram", "/rw"})
    for (const auto& entry : fs::recursive_directory_iterator(top)) now.push_back(entry.path());
  std::sort(now.begin(), now.end());
  if (after == nullptr) {
    baseline = now;
    return;
  }
  std::string report;
  for (const std::string& path : now)
    if (!std::binary_search(baseline.begin(), baseline.end(), path)) report += "\n  new: " + path;
  for (const std::string& path : baseline)
    if (!std::binary_search(now.begin(), now.end(), path)) report += "\n  gone: " + path;
  check(report.empty(), std::string("the device tree changed after ") + after + ":" + report);
}

PackageDraft package(const std::string& name, PackageVersion version, std::vector<PackageRef> deps = {}) {
  PackageDraft draft;
  draft.name = name;
  draft.version = version;
  draft.buildTime = 1000;
  draft.deps = std::move(deps);
  draft.files = {{"bin/" + name, 0100755, 0, "#!/bin/sh\necho " + name + "\n"}};
  return draft;
}

ByteVector bundle(const std::string& name, PackageVersion version, const std::vector<PackageDraft>& members,
                  const std::vector<PackageRef>& optional = {}, bool image = true) {
  BundleDraft draft;
  draft.name = name;
  draft.version = version;
  draft.optionalMembers = optional;
  draft.omitImage = !image;
  for (const PackageDraft& member : members) draft.members.push_back(buildPackageParts(member));
  return buildBundle(draft);
}

// The bytes as an upload, again with the true length in the file header (which
// mutations rarely keep), and as the stored image of a database entry.
void fuzzPackageFile(const uint8_t* data, size_t size) {
  std::vector<uint8_t> fixed(data, data + size);
  for (size_t i = 0; i < 4 && size >= FILE_HEADER_LENGTH; ++i)
    fixed[4 + i] = uint8_t((size - FILE_HEADER_LENGTH) >> (8 * i));
  for (const uint8_t* bytes : {data, static_cast<const uint8_t*>(fixed.data())}) {
    if (bytes != data && std::equal(fixed.begin(), fixed.end(), data)) break;
    writeBytes(UPLOAD, bytes, size);
    PackageFileRecord record;
    readPackageFile(record, UPLOAD);
  }
  writeBytes(std::string(ENTRY) + "image", data, size);
  loadImages(DATABASE_DIRECTORY, false);
  InstallerContext::reset();
  consoleState() = ConsoleState();
  for (const char* path : {UPLOAD, ENTRY}) fs::remove_all(path);
  checkNothingLeft("a package read");
}

// Installs as the driver does with "-down" ("--reinstall" too for odd lengths), then cancels.
void fuzzStreamInstall(const uint8_t* data, size_t size) {
  loadRepository(false, DEFAULT_ARCHITECTURE);
  std::stringbuf source(std::string(reinterpret_cast<const char*>(data), size), std::ios::in);
  std::istream input(&source);
  std::stringbuf copy(std::ios::out);
  FileJournal journal;
  std::string directory;
  bool boot = false;
  installFromStream(journal, input, INSTALL_UPGRADE | INSTALL_DOWNGRADE | (size % 2 ? INSTALL_REINSTALL : 0),
                    {{"wardle", true}}, &copy, &directory, &boot);
  journal.forEachOperation([](const std::string& target, const JournalOperation&) {
    check(target.rfind("/flash/", 0) == 0 && ("/" + target + "/").find("/../") == std::string::npos,
          "journaled outside /flash: " + target);
  });
  journal.cancel();
  InstallerContext::reset();
  consoleState() = ConsoleState();
  checkNothingLeft("a cancelled stream install");
}

// A byte that chooses links standing on flash, then entry names, one a line: the names go into a
// signed package that is installed from a stream onto a fresh flash and applied. Whatever the
// names and links, nothing outside "/flash" changes, and no operation targets a path outside it.
void fuzzEntryLayout(const uint8_t* data, size_t size) {
  static const char* const LINKS[] = {"bin", "etc", "var/pdb/fuzz", "var/pdb/image", "postlog", "lib/a", "x", "a/b"};
  writeBytes("/outside/kept", "kept", 4);
  check(mount("flash", "/flash", "tmpfs", 0, nullptr) == 0, "cannot mount a fresh /flash");
  for (const char* directory : {"/flash/boot", "/flash/var/pdb", "/flash/lib", "/flash/a"}) fs::create_directories(directory);
  for (size_t i = 0; size > 0 && i < std::size(LINKS); ++i)
    if (data[0] >> i & 1) fs::create_symlink(i % 2 ? "/outside" : "/outside/kept", std::string("/flash/") + LINKS[i]);
  PackageDraft draft = package("fuzz", V1);
  draft.files.clear();
  std::istringstream names(std::string(reinterpret_cast<const char*>(data), size).substr(std::min<size_t>(size, 1)));
  for (std::string name; draft.files.size() < 16 && std::getline(names, name);) draft.files.push_back({name, 0100644, 0, name});
  const ByteVector bytes = buildPackage(draft);
  std::stringbuf source(std::string(bytes.begin(), bytes.end()), std::ios::in), copy(std::ios::out);
  std::istream input(&source);
  FileJournal journal;
  std::string directory;
  bool boot = false;
  loadRepository(false, DEFAULT_ARCHITECTURE);
  if (installFromStream(journal, input, INSTALL_UPGRADE, {}, &copy, &directory, &boot) == 0) {
    journal.forEachOperation([](const std::string& target, const JournalOperation&) {
      check(target.rfind("/flash/", 0) == 0, "journaled outside /flash: " + target);
    });
    journal.apply();
  }
  journal.cancel();
  std::vector<std::string> outside;
  for (const auto& entry : fs::recursive_directory_iterator("/outside")) outside.push_back(entry.path());
  check(outside == std::vector<std::string>{"/outside/kept"} && text("/outside/kept") == "kept",
        "an install wrote outside /flash");
  check(umount2("/flash", MNT_DETACH) == 0, "cannot unmount the fresh /flash");
  InstallerContext::reset();
  consoleState() = ConsoleState();
  checkNothingLeft("an install onto links");
}

// The bytes as a stored journal: written, read back and written again it comes out the same,
// and cancelling deletes nothing.
void fuzzManifest(const uint8_t* data, size_t size) {
  writeBytes(MANIFEST_PATH, data, size);
  FileJournal journal, again;
  journal.readManifest(MANIFEST_PATH);
  check(journal.empty() || (journal.writeManifest("/ram/a") && again.readManifest("/ram/a").empty() &&
                            again.writeManifest("/ram/b") && text("/ram/a") == text("/ram/b")),
        "a written manifest does not read back as the journal that wrote it");
  again.cancel();
  journal.cancel();
  for (const char* path : {MANIFEST_PATH, "/ram/a", "/ram/b"}) fs::remove(path);
  checkNothingLeft("a cancelled manifest");
}

// A flags byte, then the entry's files separated by 0xFF (an empty one is left out). Flag 1 gives
// the record a header as if it came from an image (its meta files are then not read), 2 makes it inert.
void fuzzDatabaseEntry(const uint8_t* data, size_t size) {
  const uint8_t *end = data + size, *piece = data + std::min<size_t>(size, 1);
  for (const char* file : {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled",
                           "enabled", "/ram/pdb/fuzz/schedule"}) {
    const uint8_t* stop = std::find(piece, end, 0xFF);
    if (stop != piece) writeBytes(fs::path(ENTRY) / file, piece, size_t(stop - piece));
    piece = stop == end ? end : stop + 1;
  }
  InstalledPackage package("fuzz");
  package.version = size == 0 || data[0] % 4 == 0 ? 0 : data[0] % 4 == 1 ? V1 : INERT_VALUE;
  package.buildTime = package.version == INERT_VALUE ? INERT_VALUE : 1000;
  loadEntry(package);
  for (const char* path : {ENTRY, "/ram/pdb"}) fs::remove_all(path);
  checkNothingLeft("a database entry load");
}

}  // namespace

FuzzTarget fuzzTarget(const std::string& name) {
  return name == "fuzz_package_file" ? fuzzPackageFile : name == "fuzz_stream_install" ? fuzzStreamInstall
         : name == "fuzz_manifest" ? fuzzManifest : name == "fuzz_database_entry" ? fuzzDatabaseEntry
         : name == "fuzz_entry_layout" ? fuzzEntryLayout : nullptr;
}

bool enterFuzzRoot(const std::string& root) {
  // Nothing of the host is shown inside; /proc is there for the sanitizers.
  if (unshare(CLONE_NEWNS) != 0 || mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("fuzz", root.c_str(), "tmpfs", 0, nullptr) != 0 || mkdir((root + "/proc").c_str(), 0755) != 0 ||
      mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0 || chroot(root.c_str()) != 0) {
    std::perror(("fuzz root at " + root).c_str());
    return false;
  }
  static std::ostream silent(nullptr);
  if (std::getenv("INSTALLER_FUZZ_VERBOSE") == nullptr) setConsoleOutput(&silent);
  // A variant 2 processor, no flash device limits.
  deviceProbes() = {[] { return uint32_t(0x00200000); }, [] { return false; }, [] { return false; },
                    [] { return 0u; }};
  for (const char* directory : {"/flash/boot", "/flash/var/pdb", "/flash/var/pckg", "/ram", "/rw"})
    fs::create_directories(directory);
  // Installed by an upgrade run: tessel providing routing, wardle needing it
  // (then disabled by the user), the bundle quorilan with its member media-kit.
  PackageDraft tessel = package("tessel", makeVersion(3, 20, 'f', 0));
  tessel.provides = {{"routing", 0, 0, 10}};
  const PackageDraft wardle = package("wardle", V1, {{"tessel", makeVersion(3, 0, 'f', 0), 0, 0}});
  for (const auto& [name, bytes] : std::map<std::string, ByteVector>{
           {"tessel.qbx", buildPackage(tessel)}, {"wardle.qbx", buildPackage(wardle)},
           {"quorilan.qbd", bundle("quorilan", KIT, {package("media-kit", KIT)})}})
    writeBytes("/flash/rw/pckg/" + name, bytes.data(), bytes.size());
  FileJournal journal;
  loadRepository(false, DEFAULT_ARCHITECTURE);
  runUpgrade(journal, INSTALL_UPGRADE);
  journal.apply();
  InstallerContext::reset();
  consoleState() = ConsoleState();
  writeBytes("/flash/var/pdb/wardle/disabled", "user\n", 5);
  checkNothingLeft(nullptr);
  return true;
}

#ifdef FUZZ_TARGET
#include <sanitizer/common_interface_defs.h>

namespace {

// The seeds of the package targets. A signed package cannot be mutated into
// another valid one, so they vary in their relations to the installed ones.
std::map<std::string, ByteVector> packageSeeds() {
  // Every optional part, a directory, and files for one processor variant.
  PackageDraft full = package("fuzzy", makeVersion(1, 2, 'b', 3), {{"tessel", V1, 0, 0}});
  full.extraText24 = full.extraText2 = full.note = "text";
  full.architecture = DEFAULT_ARCHITECTURE;
  full.provides = {{"routing", 0, 0, -5}};
  full.conflicts = {{"old-fuzzy", 0, V1, 0}};
  full.files = {{"etc", 040755, 0, ""}, {"etc/a", 0100644, 0, "a"}, {"v2", 0100644, 2, ""}, {"/v3", 0, 3, ""}};
  // A boot package with an image and no meta files, unknown parts, a longer
  // signature and a file too big for one inflate buffer.
  PackageDraft boot = package("kernel", V1);
  boot.flags = PACKAGE_FLAG_BOOT | PACKAGE_FLAG_NO_META;
  boot.unregistered = true;
  boot.image = ByteVector(3000, 0x5A);
  boot.extraParts = {{77, {1, 2, 3, 4}, PART_FILES}, {5, ByteVector(20, 0), PART_DEPENDS}};
  boot.signatureLength = 100;
  for (size_t i = 0; i < 6000; ++i) boot.files[0].data += char((i * i * 2654435761u) >> 13);
  // A downgrade of the disabled wardle: no flags field, empty lists, no files part.
  PackageDraft older = package("wardle", makeVersion(0, 9, 'f', 0));
  older.writeFlags = older.writeFilesPart = false;
  older.writeEmptyLists = true;
  // A tessel upgrade that needs what only the tessel it replaces provides; a
  // member that conflicts with wardle.
  PackageDraft needy = package("tessel", makeVersion(3, 22, 'f', 0), {{"routing", 0, 0, 0}});
  PackageDraft media = package("media-kit", makeVersion(2, 3, 'f', 0), {{"quorilan", 0, 0, 0}});
  media.conflicts = {{"wardle", 0, 0, 0}};
  // The last bundle has no image and carries the installed media-kit unchanged (kept).
  return {{"full", buildPackage(full)}, {"boot", buildPackage(boot)}, {"downgrade", buildPackage(older)},
          {"upgrade-needs-provider", buildPackage(needy)},
          {"bundle-upgrade", bundle("quorilan", makeVersion(2, 3, 'f', 0), {media, package("sound", V1), needy},
                                    {{"sound", 0, 0, 0}, {"quorilan", 0, 0, 0}})},
          {"bundle-keeps-member", bundle("carrier", V1, {package("media-kit", KIT), full}, {}, false)}};
}

}  // namespace

// The libFuzzer program of FUZZ_TARGET: it adds the seeds to the first corpus
// directory and starts the symbolizer while the host is in view, then enters a
// fuzz root below $TMPDIR (paths given to it must be relative).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const FuzzTarget target = fuzzTarget(FUZZ_TARGET);
  char** end = *argv + *argc;
  char** corpus = std::find_if(*argv + 1, end, [](const char* argument) { return fs::is_directory(argument); });
  if (corpus != end && (target == fuzzPackageFile || target == fuzzStreamInstall))
    for (const auto& [name, bytes] : packageSeeds()) writeBytes(*corpus + ("/" + name), &bytes[0], bytes.size());
  if (corpus != end && target == fuzzEntryLayout)
    for (const std::string seed : {"\x07" "bin/tool\nlib/a/x\netc/conf\n", "\xff" "x/y\na/b/c\nvar/pdb/fuzz/files\n"})
      writeBytes(*corpus + ("/layout-" + std::to_string(uint8_t(seed[0]))), seed.data(), seed.size());
  char frame[256];
  __sanitizer_symbolize_pc(__builtin_return_address(0), "%L", frame, sizeof frame);
  const char* base = std::getenv("TMPDIR");
  std::string root = std::string(base != nullptr ? base : "/tmp") + "/installer-fuzz-XXXXXX";
  if (target == nullptr || mkdtemp(root.data()) == nullptr || !enterFuzzRoot(root)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FuzzTarget target = fuzzTarget(FUZZ_TARGET);
  target(data, size);
  return 0;
}
#endif
