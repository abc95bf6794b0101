#include "test_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

const char* const DEVICE_DIRECTORIES[] = {"/ram",           "/rw",           "/flash/boot",
                                          "/flash/var/pdb", "/flash/rw/pckg", "/flash/var/pckg"};

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

bool enterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 && mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mountTmpfs(const std::string& path, size_t bytes) {
  std::string options = "size=" + std::to_string(bytes);
  return mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}
