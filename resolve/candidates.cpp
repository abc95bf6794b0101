#include "resolve/candidates.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "console/console.h"
#include "device/flash_probe.h"
#include "model/installer_context.h"
#include "pkgfile/package_header.h"
#include "resolve/relations.h"

namespace {

/// The first version that supports the current flash file system.
constexpr PackageVersion FIRST_CURRENT_FILE_SYSTEM_VERSION = makeVersion(3, 20, 'c', 2);

bool endsWith(const std::string& text, const char* suffix) {
  std::string tail(suffix);
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isPackageFileName(const std::string& path) {
  return endsWith(path, ".qbx") || endsWith(path, ".qbd");
}

/// Reads one package file; anything but a readable regular file (a FIFO,
/// a device, a directory) fails without being opened, so it cannot block.
bool readUploadedFile(PackageFileRecord& record, const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return readPackageFile(record, path);
}

void scanEntry(const std::string& directory, const std::string& entryName, PackageFileList& records) {
  if (entryName.empty() || entryName[0] == '.') return;
  std::string path = directory + entryName;
  if (!isPackageFileName(path)) return;
  auto record = std::make_unique<PackageFileRecord>();
  if (!readUploadedFile(*record, path)) {
    error("broken package %s", entryName.c_str());
    return;
  }
  records.push_back(std::move(record));
}

/// The candidates by the names that relate them: their own names and those
/// of their members, which make up the groups (one carries the other's
/// name), and the names that dependsOn and excludes compare. The candidates
/// that one can meet are found in it without comparing every pair.
class CandidateIndex {
 public:
  explicit CandidateIndex(const std::vector<const PackageRecord*>& candidates) : candidates_(candidates) {
    std::vector<std::string_view> names;
    for (size_t index = 0; index < candidates.size(); ++index) {
      const PackageRecord& record = *candidates[index];
      add(byName_, record.name, index);
      for (const auto& member : record.members) add(byMemberName_, member->name, index);
      names.clear();
      appendProvidedNames(record, names);
      for (std::string_view name : names) add(byProvidedName_, name, index);
      names.clear();
      appendExclusionNames(record, names);
      for (std::string_view name : names) add(byExclusionName_, name, index);
    }
  }

  /// Positions, ascending, of the candidates that carry the name of the one
  /// at `index` or whose name it carries, itself left out.
  std::vector<size_t> relatedTo(size_t index) const {
    const PackageRecord& x = *candidates_[index];
    std::vector<size_t> related;
    append(related, byName_, x.name);
    for (const auto& member : x.members) append(related, byName_, member->name);
    append(related, byMemberName_, x.name);
    std::sort(related.begin(), related.end());
    related.erase(std::unique(related.begin(), related.end()), related.end());
    related.erase(std::remove(related.begin(), related.end(), index), related.end());
    return related;
  }

  /// Positions, in no particular order and possibly repeated, of the
  /// candidates that the one at `index` may need or that may exclude it:
  /// every other one shares no name that dependsOn or excludes compares.
  std::vector<size_t> mayNeedOrExclude(size_t index) const {
    const PackageRecord& x = *candidates_[index];
    std::vector<std::string_view> names;
    std::vector<size_t> found;
    appendDependencyNames(x, names);
    for (std::string_view name : names) append(found, byProvidedName_, name);
    names.clear();
    appendExclusionNames(x, names);
    for (std::string_view name : names) append(found, byExclusionName_, name);
    return found;
  }

 private:
  using Positions = std::unordered_map<std::string_view, std::vector<size_t>>;

  static void add(Positions& positions, std::string_view name, size_t index) {
    std::vector<size_t>& list = positions[name];
    if (list.empty() || list.back() != index) list.push_back(index);
  }

  static void append(std::vector<size_t>& out, const Positions& positions, std::string_view name) {
    auto found = positions.find(name);
    if (found != positions.end()) out.insert(out.end(), found->second.begin(), found->second.end());
  }

  const std::vector<const PackageRecord*>& candidates_;
  Positions byName_;
  Positions byMemberName_;
  Positions byProvidedName_;
  Positions byExclusionName_;
};

/// Whether one candidate stays in the selection: false when another
/// candidate of its group (one carries the other's name) is better, or is
/// its exact equal while this one is not a bundle facing a non-bundle. The
/// others are met in list order.
bool survivesComparison(const std::vector<const PackageRecord*>& candidates, const CandidateIndex& names,
                        size_t index, bool reversed, bool verbose) {
  const PackageRecord& x = *candidates[index];
  for (size_t other : names.relatedTo(index)) {
    const PackageRecord& y = *candidates[other];
    if (!carries(x, y.name) && !carries(y, x.name)) continue;
    int better = compareVersionsDirected(y, x, reversed);
    if (better > 0) {
      if (verbose)
        warning(reversed ? "omitting package %s: older package is already provided"
                         : "omitting package %s: newer package is already provided",
                nameVersionText(x).c_str());
      return false;
    }
    if (better == 0 && !(x.isBundle && !y.isBundle)) return false;
  }
  return true;
}

/// Orders the surviving candidates: each goes directly after the last one
/// placed so far that it needs or that excludes it, else to the front. The
/// placed ones are looked at from the last backwards; after the last one,
/// only those that share a name with the candidate are.
std::vector<size_t> orderByNeeds(const std::vector<const PackageRecord*>& candidates,
                                 const CandidateIndex& names, const std::vector<size_t>& survivors) {
  constexpr size_t UNPLACED = static_cast<size_t>(-1);
  std::vector<size_t> result;
  std::vector<size_t> placedAt(candidates.size(), UNPLACED);  // index in `result` of each candidate
  for (size_t index : survivors) {
    const PackageRecord& x = *candidates[index];
    auto goesAfter = [&x](const PackageRecord& z) { return dependsOn(x, z) || excludes(z, x); };
    size_t position = 0;
    if (!result.empty() && goesAfter(*candidates[result.back()])) {
      position = result.size();
    } else {
      std::vector<size_t> latestFirst;
      for (size_t other : names.mayNeedOrExclude(index))
        if (placedAt[other] != UNPLACED) latestFirst.push_back(placedAt[other]);
      std::sort(latestFirst.rbegin(), latestFirst.rend());
      latestFirst.erase(std::unique(latestFirst.begin(), latestFirst.end()), latestFirst.end());
      for (size_t at : latestFirst) {
        if (goesAfter(*candidates[result[at]])) {
          position = at + 1;
          break;
        }
      }
    }
    result.insert(result.begin() + static_cast<std::ptrdiff_t>(position), index);
    for (size_t at = position; at < result.size(); ++at) placedAt[result[at]] = at;
  }
  return result;
}

/// True when the reason for needing `flag` is to be printed: none was printed
/// yet and `flag` is not granted. Counts it as printed.
bool takeReport(bool& reported, InstallFlags granted, InstallFlags flag) {
  if (reported || (granted & flag)) return false;
  reported = true;
  return true;
}

/// The permission that the candidate's version needs against the installed
/// package of its name (upgrade, downgrade or reinstall); none without one.
InstallFlags checkInstalledVersion(const PackageRecord& candidate, InstallFlags granted, bool& reported) {
  const InstalledPackage* installed = InstallerContext::instance().packageByName(candidate.name);
  if (installed == nullptr) return 0;
  int order = compareVersions(candidate, *installed);
  if (order < 0) {
    if (takeReport(reported, granted, INSTALL_DOWNGRADE))
      warning("omitting package %s: newer package %s is already installed",
              nameVersionText(candidate).c_str(), nameVersionText(*installed).c_str());
    return INSTALL_DOWNGRADE;
  }
  if (order == 0) {
    if (takeReport(reported, granted, INSTALL_REINSTALL))
      warning("omitting package %s: it is already installed", nameVersionText(candidate).c_str());
    return INSTALL_REINSTALL;
  }
  // Every caller grants upgrades; without that grant a newer candidate is
  // omitted with the same message whether or not downgrades are allowed.
  if (takeReport(reported, granted, INSTALL_UPGRADE))
    warning("omitting package %s: older package is already installed", nameVersionText(candidate).c_str());
  return INSTALL_UPGRADE;
}

/// The device limits (minimum system version, flash file system), for the
/// base package and the bundles only.
InstallFlags checkDevice(const PackageRecord& candidate, InstallFlags granted, bool& reported) {
  if (!isSubjectToDeviceLimits(candidate.name)) return 0;
  bool report = !reported && !(granted & INSTALL_IGNORE_REQUIREMENTS);
  if (checkDeviceLimits(candidate, report)) return 0;
  reported = reported || report;
  return INSTALL_IGNORE_REQUIREMENTS;
}

/// The architecture: the machine's suits, and so does an empty one.
InstallFlags checkArchitecture(const PackageRecord& candidate, InstallFlags granted, bool& reported) {
  const std::string& machine = InstallerContext::instance().architecture;
  if (candidate.architecture.empty() || candidate.architecture == machine) return 0;
  if (takeReport(reported, granted, INSTALL_IGNORE_REQUIREMENTS))
    error("can not install %s: it is not made for %s, but for %s", nameVersionText(candidate).c_str(),
          machine.c_str(), candidate.architecture.c_str());
  return INSTALL_IGNORE_REQUIREMENTS;
}

/// The dependencies: each needs an enabled provider; the first missing one
/// is named.
InstallFlags checkDependencies(const PackageRecord& candidate, InstallFlags granted, bool& reported) {
  for (const PackageRef& dependency : candidate.deps) {
    if (!providersOf(dependency, false).empty()) continue;
    if (takeReport(reported, granted, INSTALL_IGNORE_REQUIREMENTS))
      error("can not install %s: %s is not installed, but is required", nameVersionText(candidate).c_str(),
            refText(dependency).c_str());
    return INSTALL_IGNORE_REQUIREMENTS;
  }
  return 0;
}

/// Conflicts: an enabled installed package that keeps the candidate out.
InstallFlags checkConflict(const PackageRecord& candidate, InstallFlags granted, bool& reported) {
  const InstalledPackage* excluder = firstExcluder(candidate);
  if (excluder == nullptr) return 0;
  if (takeReport(reported, granted, INSTALL_ALLOW_CONFLICT))
    error("can not install %s: it conflicts with %s", nameVersionText(candidate).c_str(),
          nameVersionText(*excluder).c_str());
  return INSTALL_ALLOW_CONFLICT;
}

}  // namespace

void scanUploadDirectory(const std::string& directory, PackageFileList& records) {
  DIR* handle = opendir(directory.c_str());
  if (handle == nullptr) return;
  while (const dirent* entry = readdir(handle)) scanEntry(directory, entry->d_name, records);
  closedir(handle);
}

std::vector<size_t> selectCandidateOrder(const std::vector<const PackageRecord*>& candidates,
                                         bool reversed, bool verbose) {
  // A lone candidate has none to lose against and none to go after.
  if (candidates.size() == 1) return {0};
  std::vector<size_t> survivors;
  const CandidateIndex names(candidates);
  for (size_t index = 0; index < candidates.size(); ++index)
    if (survivesComparison(candidates, names, index, reversed, verbose)) survivors.push_back(index);
  return orderByNeeds(candidates, names, survivors);
}

InstallFlags evaluateCandidate(const PackageRecord& candidate, InstallFlags granted) {
  bool reported = false;
  InstallFlags needed = checkInstalledVersion(candidate, granted, reported);
  needed |= checkDevice(candidate, granted, reported);
  needed |= checkArchitecture(candidate, granted, reported);
  needed |= checkDependencies(candidate, granted, reported);
  needed |= checkConflict(candidate, granted, reported);
  return needed;
}

bool checkDeviceLimits(const PackageRecord& candidate, bool report) {
  PackageVersion minimum = minimumSystemVersion();
  if (candidate.version < minimum) {
    if (report)
      error("omitting package %s: min Quorilan version is %s", nameVersionText(candidate).c_str(),
            versionText(minimum).c_str());
    return false;
  }
  if (candidate.version < FIRST_CURRENT_FILE_SYSTEM_VERSION && isLargeBlockFlash()) {
    if (report)
      warning("omitting package %s: it does not support current file system",
              nameVersionText(candidate).c_str());
    return false;
  }
  return true;
}

bool isSubjectToDeviceLimits(const std::string& name) {
  return name == "tessel" || name.compare(0, 8, "quorilan") == 0;
}
