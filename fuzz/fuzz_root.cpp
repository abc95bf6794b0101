#include "fuzz/fuzz_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const std::vector<std::string> FUZZ_DEVICE_DIRECTORIES = {
    "/ram", "/rw", "/flash/boot", "/flash/var/pdb", "/flash/rw/pckg", "/flash/var/pckg"};

namespace {

// Host entries that the sanitizers' symbolizer needs inside the root.
const char* const SYSTEM_ENTRIES[] = {"/usr", "/lib", "/lib64", "/bin", "/etc", "/proc"};

std::string temporaryRoot;
std::string executablePath;
int hostRoot = -1;
// Set once the process's root is a fuzz root: only then may the tree
// functions below walk or clear "/".
bool insideFuzzRoot = false;
std::vector<std::string>* collected = nullptr;

// A top-level name of the root that belongs to the system view: one of the
// system entries, or the first directory of the program's own path.
bool isSystemEntry(const std::string& name) {
  for (const char* entry : SYSTEM_ENTRIES)
    if (name == entry + 1) return true;
  return !executablePath.empty() && executablePath.compare(1, name.size() + 1, name + "/") == 0;
}

bool makeDirectoryChain(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

bool makeDeviceDirectories(const std::string& root) {
  for (const std::string& directory : FUZZ_DEVICE_DIRECTORIES) {
    if (!makeDirectoryChain(root + directory)) {
      std::perror(("mkdir " + root + directory).c_str());
      return false;
    }
  }
  return true;
}

bool bindReadOnly(const std::string& source, const std::string& target) {
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
  if (mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0)
    return true;
  // A writable view of the host must not stay inside a root that is cleared.
  umount2(target.c_str(), MNT_DETACH);
  return false;
}

// Mirrors one host entry into the root: a link as the same link, a
// directory as a read-only bind mount.
void showSystemEntry(const std::string& root, const std::string& entry) {
  struct stat status {};
  if (lstat(entry.c_str(), &status) != 0) return;
  std::string inRoot = root + entry;
  if (S_ISLNK(status.st_mode)) {
    char text[4096];
    ssize_t length = readlink(entry.c_str(), text, sizeof text);
    if (length > 0) symlink(std::string(text, static_cast<size_t>(length)).c_str(), inRoot.c_str());
  } else if (S_ISDIR(status.st_mode)) {
    mkdir(inRoot.c_str(), 0755);
    bindReadOnly(entry, inRoot);
  }
}

// The symbolizer reads the running program by its path: it must exist at
// the same path inside the root.
void showExecutable(const std::string& root) {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return;
  executablePath.assign(path, static_cast<size_t>(length));
  std::string inRoot = root + executablePath;
  if (!makeDirectoryChain(inRoot.substr(0, inRoot.rfind('/')))) return;
  int created = open(inRoot.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
  if (created >= 0) close(created);
  bindReadOnly(executablePath, inRoot);
}

// Best effort: without a private mount namespace the root simply lacks the
// system directories and sanitizer reports come unsymbolized.
void showSystem(const std::string& root) {
  if (unshare(CLONE_NEWNS) != 0 || mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::fprintf(stderr, "fuzz root: no private mount namespace (%s); reports stay unsymbolized\n",
                 std::strerror(errno));
    return;
  }
  for (const char* entry : SYSTEM_ENTRIES) showSystemEntry(root, entry);
  showExecutable(root);
}

int collectEntry(const char* path, const struct stat*, int, struct FTW*) {
  collected->push_back(path);
  return 0;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void removeTree(const std::string& path) {
  // FTW_MOUNT: never descends into a mount that is still in place.
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// Runs at a normal exit: empties the root from inside, then steps back to
// the host's root to unmount the system view and remove the directory.
void removeTemporaryRoot() {
  clearDeviceTree();
  if (hostRoot < 0 || fchdir(hostRoot) != 0 || chroot(".") != 0) return;
  insideFuzzRoot = false;
  for (const char* entry : SYSTEM_ENTRIES) umount2((temporaryRoot + entry).c_str(), MNT_DETACH);
  if (!executablePath.empty()) umount2((temporaryRoot + executablePath).c_str(), MNT_DETACH);
  removeTree(temporaryRoot);
}

}  // namespace

bool enterFuzzRoot(const std::string& root) {
  if (!makeDeviceDirectories(root)) return false;
  showSystem(root);
  // Opened after the mount namespace changed, so that stepping back through
  // it later lands in the namespace that holds the system view's mounts.
  if (hostRoot < 0) hostRoot = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (chroot(root.c_str()) != 0) {
    std::perror(("chroot " + root).c_str());
    return false;
  }
  insideFuzzRoot = true;
  return true;
}

bool enterTemporaryFuzzRoot() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/installer-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror(("mkdtemp " + pattern).c_str());
    return false;
  }
  temporaryRoot = buffer.data();
  if (!enterFuzzRoot(temporaryRoot)) return false;
  std::atexit(removeTemporaryRoot);
  return true;
}

std::vector<std::string> listDeviceTree() {
  std::vector<std::string> paths;
  if (!insideFuzzRoot) return paths;
  collected = &paths;
  DIR* top = opendir("/");
  while (const dirent* entry = top != nullptr ? readdir(top) : nullptr) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || isSystemEntry(name)) continue;
    nftw(("/" + name).c_str(), collectEntry, 16, FTW_PHYS | FTW_MOUNT);
  }
  if (top != nullptr) closedir(top);
  collected = nullptr;
  std::sort(paths.begin(), paths.end());
  return paths;
}

void clearDeviceTree() {
  if (!insideFuzzRoot) return;
  DIR* top = opendir("/");
  std::vector<std::string> names;
  while (const dirent* entry = top != nullptr ? readdir(top) : nullptr) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && !isSystemEntry(name)) names.push_back(name);
  }
  if (top != nullptr) closedir(top);
  for (const std::string& name : names) removeTree("/" + name);
  makeDeviceDirectories("");
}

std::string argumentFromWorkingDirectory(const std::string& argument,
                                         const std::string& workingDirectory) {
  size_t start = std::string::npos;
  if (argument.compare(0, 1, "/") == 0) {
    start = 0;
  } else if (argument.compare(0, 1, "-") == 0) {
    size_t equals = argument.find('=');
    if (equals != std::string::npos && argument.compare(equals + 1, 1, "/") == 0) start = equals + 1;
  }
  if (start == std::string::npos) return argument;
  std::string climb;
  for (size_t i = 1; i < workingDirectory.size(); ++i)
    if (workingDirectory[i - 1] == '/') climb += climb.empty() ? ".." : "/..";
  return argument.substr(0, start) + (climb.empty() ? "." : climb) + argument.substr(start);
}
