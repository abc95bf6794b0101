#include "test_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "driver/command_line.h"

namespace {

const char* const DEVICE_DIRECTORIES[] = {"/ram",           "/rw",           "/flash/boot",
                                          "/flash/var/pdb", "/flash/rw/pckg", "/flash/var/pckg"};
// What a chrooted installer binary needs from the host to start.
const char* const SYSTEM_ENTRIES[] = {"/usr", "/etc", "/proc", "/lib", "/lib64", "/bin", "/sbin"};
const char* const BINARY_IN_ROOT = "/.installer-binary";

bool makeDirectoryChain(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : -1;
}

void redirect(int descriptor, const std::string& path, int flags) {
  int opened = open(path.c_str(), flags, 0600);
  if (opened < 0) _exit(126);
  dup2(opened, descriptor);
  close(opened);
}

void flushEverything() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}

int decodeStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

std::vector<char*> makeArgv(const std::string& program, const std::vector<std::string>& arguments,
                            std::vector<std::string>& storage) {
  storage.assign(1, program);
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return argv;
}

// Mount points and links that let a chrooted binary find the host's
// libraries; created before the child starts and removed after it ended
// (the mounts themselves live only in the child's namespace).
class SystemView {
 public:
  explicit SystemView(const TestRoot& root) : root_(root) {
    for (const char* entry : SYSTEM_ENTRIES) addEntry(entry);
    if (!root_.exists(BINARY_IN_ROOT) && writeFile(root_.at(BINARY_IN_ROOT), "", 0755))
      created_.push_back(root_.at(BINARY_IN_ROOT));
  }
  ~SystemView() {
    for (auto entry = created_.rbegin(); entry != created_.rend(); ++entry) remove(entry->c_str());
  }

  // Runs in the child: mounts the host directories and the binary.
  bool mountAll() const {
    if (!enterPrivateMountNamespace()) return false;
    for (const std::string& entry : bound_)
      if (!bindReadOnly(entry, root_.at(entry))) return false;
    return bindReadOnly(INSTALLER_BINARY, root_.at(BINARY_IN_ROOT));
  }

 private:
  void addEntry(const std::string& entry) {
    struct stat status {};
    if (lstat(entry.c_str(), &status) != 0 || root_.exists(entry)) return;
    std::string inRoot = root_.at(entry);
    if (S_ISLNK(status.st_mode)) {
      char text[4096];
      ssize_t length = readlink(entry.c_str(), text, sizeof text);
      if (length > 0 && symlink(std::string(text, length).c_str(), inRoot.c_str()) == 0)
        created_.push_back(inRoot);
    } else if (S_ISDIR(status.st_mode) && mkdir(inRoot.c_str(), 0755) == 0) {
      created_.push_back(inRoot);
      bound_.push_back(entry);
    }
  }

  static bool bindReadOnly(const std::string& source, const std::string& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
    return mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

  const TestRoot& root_;
  std::vector<std::string> created_;
  std::vector<std::string> bound_;
};

}  // namespace

std::string makeTemporaryDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return std::string();
  return std::string(buffer.data());
}

bool removeTree(const std::string& path) {
  if (path.empty() || path == "/") return false;
  return nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

bool writeFile(const std::string& path, const std::string& content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectoryChain(path.substr(0, slash))) return false;
  remove(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return !out.fail() && chmod(path.c_str(), mode) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool pathExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

TestRoot::TestRoot() : path_(makeTemporaryDirectory("installer-root")) {
  for (const char* directory : DEVICE_DIRECTORIES) makeDirectoryChain(at(directory));
}

TestRoot::~TestRoot() { removeTree(path_); }

bool TestRoot::write(const std::string& devicePath, const std::string& content, mode_t mode) const {
  return writeFile(at(devicePath), content, mode);
}

ProcessResult runInChild(const std::function<int()>& body, const std::string& input) {
  ProcessResult result;
  std::string directory = makeTemporaryDirectory("installer-run");
  if (directory.empty()) return result;
  std::string inputPath = directory + "/in", outPath = directory + "/out", errPath = directory + "/err";
  writeFile(inputPath, input);
  flushEverything();
  pid_t child = fork();
  if (child == 0) {
    redirect(0, inputPath, O_RDONLY);
    redirect(1, outPath, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(2, errPath, O_WRONLY | O_CREAT | O_TRUNC);
    int status = body();
    flushEverything();
    _exit(status & 0xFF);
  }
  int waitStatus = 0;
  if (child > 0 && waitpid(child, &waitStatus, 0) == child) result.status = decodeStatus(waitStatus);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  removeTree(directory);
  return result;
}

ProcessResult runInstallerBinary(const std::vector<std::string>& arguments, const std::string& input) {
  return runInstallerBinaryWithEnvironment(arguments, {}, input);
}

ProcessResult runInstallerBinaryWithEnvironment(const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& environment,
                                                const std::string& input) {
  return runInChild(
      [&] {
        for (const std::string& entry : environment) {
          size_t equals = entry.find('=');
          if (equals == std::string::npos) return 126;
          setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
        if (std::find(arguments.begin(), arguments.end(), "-r") != arguments.end()) {
          // The leak checker reads /proc, which a root of its own lacks:
          // after the binary's chroot it would abort every run at exit.
          const char* options = std::getenv("ASAN_OPTIONS");
          std::string withoutLeakCheck = options != nullptr ? std::string(options) + ":" : "";
          setenv("ASAN_OPTIONS", (withoutLeakCheck + "detect_leaks=0").c_str(), 1);
        }
        std::vector<std::string> storage;
        std::vector<char*> argv = makeArgv("installer", arguments, storage);
        execv(INSTALLER_BINARY, argv.data());
        std::perror("execv");
        return 127;
      },
      input);
}

ProcessResult runInstallerBinaryIn(const TestRoot& root, const std::vector<std::string>& arguments,
                                   const std::string& input) {
  SystemView view(root);
  return runInChild(
      [&] {
        if (!view.mountAll()) {
          std::perror("mount");
          return 125;
        }
        if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 124;
        std::vector<std::string> storage;
        std::vector<char*> argv = makeArgv("installer", arguments, storage);
        execv(BINARY_IN_ROOT, argv.data());
        std::perror("execv");
        return 127;
      },
      input);
}

ProcessResult runInstallerInRoot(const TestRoot& root, const std::vector<std::string>& arguments,
                                 const std::string& input) {
  return runInChild(
      [&] {
        if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 124;
        std::vector<std::string> storage;
        std::vector<char*> argv = makeArgv("installer", arguments, storage);
        return runInstaller(static_cast<int>(argv.size() - 1), argv.data());
      },
      input);
}

bool enterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 && mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mountTmpfs(const std::string& path, size_t bytes) {
  std::string options = "size=" + std::to_string(bytes);
  return mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}
