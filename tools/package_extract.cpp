#include "package_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "console/console.h"
#include "model/machine.h"
#include "package_layout.h"

namespace {

constexpr mode_t FOLDER_MODE = 0755;
constexpr mode_t PERMISSION_BITS = 07777;
/// The length of "/flash/", before an entry's name on the device.
constexpr size_t FLASH_PREFIX_LENGTH = 7;
/// Bytes of a name shown in a message.
constexpr size_t SHOWN_LENGTH = 64;

// A name as printed: in double quotes, unprintable bytes as \xNN, and no
// more than its first SHOWN_LENGTH bytes.
std::string shown(const std::string& name) {
  std::string text = "\"";
  for (unsigned char c : name.substr(0, SHOWN_LENGTH)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    text += c < 0x20 || c >= 0x7F || c == '"' || c == '\\' ? hex : std::string(1, static_cast<char>(c));
  }
  return text + (name.size() > SHOWN_LENGTH ? "\"..." : "\"");
}

// One file to write: its path below the folder and the entry it comes from.
struct Placement {
  const FileDraft* entry = nullptr;
  std::string member;
};

class ExtractPlan {
 public:
  ExtractPlan(const std::string& label, const ExtractOptions& options) : label_(label), options_(options) {}

  /// Adds the entries of one package, placed below `prefix` ("" or "NAME/").
  bool addMember(const MemberLayout& member, const std::vector<FileDraft>& entries, const std::string& prefix) {
    for (const FileDraft& entry : entries) {
      if (!isRegularFileMode(entry.mode) || entry.variant > MAX_PROCESSOR_VARIANT) {
        warning("%s: package %s: entry %s is %s; the installer does not install it", label_.c_str(),
                member.label().c_str(), shown(entry.name).c_str(),
                isRegularFileMode(entry.mode) ? "for no processor variant" : "not a regular file");
        continue;
      }
      if (options_.variant != ALL_VARIANTS && entry.variant != 0 &&
          entry.variant != static_cast<unsigned>(options_.variant))
        continue;
      std::string name = entry.name.substr(!entry.name.empty() && entry.name[0] == '/' ? 1 : 0);
      // The installer also refuses a target "/flash/NAME" too long for a path.
      if (!isSafeEntryName(entry.name) || FLASH_PREFIX_LENGTH + name.size() >= PATH_MAX)
        return fail("package " + member.label() + ": the installer refuses the entry name " + shown(entry.name));
      std::string path = prefix + name;
      if (options_.variant == ALL_VARIANTS && entry.variant != 0)
        path += ".variant-" + std::to_string(entry.variant);
      auto found = placements_.find(path);
      // A later entry of the same place replaces an earlier one, as on
      // flash; with every variant extracted, none may replace another
      // variant's file.
      if (found != placements_.end() && options_.variant == ALL_VARIANTS &&
          found->second.entry->variant != entry.variant)
        return fail("package " + member.label() + ": entries " + shown(found->second.entry->name) + " and " +
                    shown(entry.name) + " would both be extracted to " + shown(path));
      placements_[path] = Placement{&entry, member.label()};
    }
    return true;
  }

  /// Refuses a path that another one needs as a folder.
  bool checkFolders() {
    for (const auto& [path, placement] : placements_) {
      auto below = placements_.lower_bound(path + "/");
      if (below != placements_.end() && below->first.compare(0, path.size() + 1, path + "/") == 0)
        return fail("package " + placement.member + ": " + shown(path) + " would be a file and the folder of " +
                    shown(below->first));
    }
    return true;
  }

  const std::map<std::string, Placement>& placements() const { return placements_; }

  bool fail(const std::string& problem) const {
    error("%s: %s; nothing extracted", label_.c_str(), problem.c_str());
    return false;
  }

 private:
  const std::string& label_;
  const ExtractOptions& options_;
  std::map<std::string, Placement> placements_;
};

// Writes files below one folder through descriptors opened without
// following links, so that no name, and no link standing in the folder,
// leads a write outside it.
class TreeWriter {
 public:
  TreeWriter(int root, const std::string& directory) : root_(root), directory_(directory) {}

  /// Writes `data` to `path` (relative, "/"-separated) with `mode`; on
  /// failure `problem` names what failed.
  bool write(const std::string& path, const std::string& data, mode_t mode, std::string& problem) {
    int folder = dup(root_);
    size_t start = 0, slash = 0;
    for (; folder >= 0 && (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
      folder = enter(folder, path.substr(start, slash - start));
    if (folder < 0) {
      problem = "cannot make the folder of " + directory_ + "/" + path + ": " +
                (errno == ELOOP ? directory_ + "/" + path.substr(0, slash) + " is a link, which is not followed"
                                : std::strerror(errno));
      return false;
    }
    bool written = writeIn(folder, path.substr(start), data, mode);
    int cause = errno;
    close(folder);
    if (!written) problem = "cannot write " + directory_ + "/" + path + ": " + std::strerror(cause);
    return written;
  }

 private:
  // Opens (making it when missing) the folder `name` below `folder`, which
  // it closes; -1 when that is not a folder of its own, with errno ELOOP
  // when a link stands there.
  static int enter(int folder, const std::string& name) {
    int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && mkdirat(folder, name.c_str(), FOLDER_MODE) == 0)
      next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    int cause = next < 0 && fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(status.st_mode)
                    ? ELOOP
                    : errno;
    close(folder);
    errno = cause;
    return next;
  }

  // A new file beside the target, renamed over it once whole: a link
  // standing at the target is replaced, not followed.
  bool writeIn(int folder, const std::string& name, const std::string& data, mode_t mode) {
    std::string temporary = ".qbxtool-" + std::to_string(getpid()) + "-" + std::to_string(++count_);
    int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    int failure = 0;
    for (size_t done = 0; failure == 0 && done < data.size();) {
      ssize_t step = ::write(fd, data.data() + done, data.size() - done);
      if (step > 0)
        done += static_cast<size_t>(step);
      else if (step == 0 || errno != EINTR)
        failure = step == 0 ? EIO : errno;
    }
    if (failure == 0 && fchmod(fd, mode & PERMISSION_BITS) != 0) failure = errno;
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) failure = errno;
    if (failure == 0) return true;
    unlinkat(folder, temporary.c_str(), 0);
    errno = failure;
    return false;
  }

  int root_;
  const std::string& directory_;
  unsigned count_ = 0;
};

int openFolder(const std::string& directory) {
  if (mkdir(directory.c_str(), FOLDER_MODE) != 0 && errno != EEXIST) return -1;
  return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool extractPackageFile(const ByteVector& file, const std::string& label, const std::string& directory,
                        const ExtractOptions& options) {
  ExtractPlan plan(label, options);
  FileLayout layout;
  std::string problem;
  if (!readLayout(file, layout, problem)) return plan.fail(problem);
  std::vector<std::vector<FileDraft>> entries(layout.members.size());
  for (size_t index = 0; index < layout.members.size(); ++index) {
    const MemberLayout& member = layout.members[index];
    if (options.verify && !memberSignatureGood(file, member, options.key))
      return plan.fail("bad signature of " + member.label());
    if (layout.bundle && !options.merge && !isSafePackageName(member.name))
      return plan.fail("the installer refuses the member name " + shown(member.name));
    if (!readFileEntries(file, member, entries[index], problem)) return plan.fail(problem);
    std::string prefix = layout.bundle && !options.merge ? member.name + "/" : "";
    if (!plan.addMember(member, entries[index], prefix)) return false;
  }
  if (!plan.checkFolders()) return false;
  int root = openFolder(directory);
  if (root < 0) {
    error("%s: cannot open the folder %s: %s", label.c_str(), directory.c_str(), std::strerror(errno));
    return false;
  }
  TreeWriter writer(root, directory);
  bool ok = true;
  for (auto it = plan.placements().begin(); ok && it != plan.placements().end(); ++it) {
    ok = writer.write(it->first, it->second.entry->data, it->second.entry->mode, problem);
    if (!ok) error("%s: %s", label.c_str(), problem.c_str());
  }
  close(root);
  return ok;
}
