// Temporary device roots and child processes for tests: make a root with the
// device's directories and capture what a child prints.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

/// Creates a fresh empty directory under /tmp; empty string on failure.
std::string makeTemporaryDirectory(const std::string& prefix = "installer-test");
/// Deletes `path` and everything below it, without following links.
bool removeTree(const std::string& path);
/// Creates or replaces the file at `path` (and its missing directories).
bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
/// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string& path);
/// True when something (also a dangling link) exists at `path`.
bool pathExists(const std::string& path);

/// A temporary device root with "/ram", "/rw", "/flash/boot",
/// "/flash/var/pdb", "/flash/rw/pckg" and "/flash/var/pckg"; deleted with
/// everything in it when the object goes away.
class TestRoot {
 public:
  TestRoot();
  ~TestRoot();
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  /// The root's absolute path on the host.
  const std::string& path() const { return path_; }
  /// The host path of `devicePath` (an absolute path as the device sees it).
  std::string at(const std::string& devicePath) const { return path_ + devicePath; }
  /// Writes a file at `devicePath`, creating its directories.
  bool write(const std::string& devicePath, const std::string& content, mode_t mode = 0644) const;
  /// The content of the file at `devicePath`.
  std::string read(const std::string& devicePath) const { return readFile(at(devicePath)); }
  /// True when something exists at `devicePath`.
  bool exists(const std::string& devicePath) const { return pathExists(at(devicePath)); }

 private:
  std::string path_;
};

/// What a child process left behind.
struct ProcessResult {
  int status = -1;  ///< exit status, or 128 + signal number
  std::string out;  ///< everything written to standard output
  std::string err;  ///< everything written to standard error
};

/// Runs `body` in a forked child with `input` on standard input and its
/// standard output and error captured; the child exits with body's result.
ProcessResult runInChild(const std::function<int()>& body, const std::string& input = "");
/// Gives the calling process its own mount table (call in a child only).
bool enterPrivateMountNamespace();
/// Mounts a tmpfs of `bytes` bytes at the existing directory `path`.
bool mountTmpfs(const std::string& path, size_t bytes);
