#include "source_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "console/console.h"

namespace {

bool readContent(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error("cannot open %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  // Read through iterators: streaming the buffer into a string stream
  // would count an empty file as a failure.
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error("cannot read %s", path.c_str());
    return false;
  }
  return true;
}

bool listDirectory(const std::string& path, std::vector<std::string>& names) {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) {
    error("cannot open directory %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  return true;
}

// Adds the files below `root` + "/" + `relative` (empty for the root).
bool collect(const std::string& root, const std::string& relative, std::vector<FileDraft>& entries) {
  std::string directory = relative.empty() ? root : root + "/" + relative;
  std::vector<std::string> names;
  if (!listDirectory(directory, names)) return false;
  for (const std::string& name : names) {
    std::string entryName = relative.empty() ? name : relative + "/" + name;
    std::string path = root + "/" + entryName;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      error("cannot stat %s: %s", path.c_str(), std::strerror(errno));
      return false;
    }
    if (S_ISDIR(status.st_mode)) {
      if (!collect(root, entryName, entries)) return false;
    } else if (S_ISREG(status.st_mode)) {
      if (status.st_size > static_cast<off_t>(UINT32_MAX)) {
        error("%s is too large for a package", path.c_str());
        return false;
      }
      FileDraft entry;
      entry.name = entryName;
      entry.mode = static_cast<uint16_t>(status.st_mode & 0xFFFF);
      if (!readContent(path, entry.data)) return false;
      entries.push_back(std::move(entry));
    } else {
      error("%s is neither a regular file nor a directory", path.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool readSourceTree(const std::string& root, std::vector<FileDraft>& entries) {
  std::vector<FileDraft> collected;
  if (!collect(root, std::string(), collected)) return false;
  for (const FileDraft& entry : collected) {
    if (entry.name.size() > UINT16_MAX) {
      error("the name of %s is too long for a package", entry.name.c_str());
      return false;
    }
  }
  std::sort(collected.begin(), collected.end(),
            [](const FileDraft& a, const FileDraft& b) { return a.name < b.name; });
  entries = std::move(collected);
  return true;
}

bool readWholeFile(const std::string& path, ByteVector& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error("cannot open %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error("cannot read %s", path.c_str());
    return false;
  }
  return true;
}

bool writeFileBeside(const std::string& path, const uint8_t* bytes, size_t length, mode_t mode, bool replace) {
  // The bytes go to a new file in the same folder first; only a whole file
  // takes the name, so a failed or interrupted run leaves no part of one.
  std::string temporary = path + ".XXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) {
    error("cannot create %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  int failure = fchmod(fd, mode) == 0 ? 0 : errno;
  for (size_t done = 0; failure == 0 && done < length;) {
    ssize_t written = write(fd, bytes + done, length - done);
    if (written < 0 && errno != EINTR) failure = errno;
    if (written > 0) done += static_cast<size_t>(written);
  }
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0) {
    if (replace ? rename(temporary.c_str(), path.c_str()) != 0 : link(temporary.c_str(), path.c_str()) != 0)
      failure = errno;
    else if (!replace)
      unlink(temporary.c_str());
  }
  if (failure == 0) return true;
  unlink(temporary.c_str());
  error("cannot %s %s: %s", failure == EEXIST ? "create" : "write", path.c_str(), std::strerror(failure));
  return false;
}

bool writeWholeFile(const std::string& path, const ByteVector& bytes) {
  mode_t mask = umask(0);
  umask(mask);
  return writeFileBeside(path, bytes.data(), bytes.size(), 0666 & ~mask, true);
}
