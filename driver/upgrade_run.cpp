#include "driver/upgrade_run.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "console/console.h"
#include "driver/postlog.h"
#include "driver/stream_install.h"
#include "journal/file_journal.h"
#include "journal/safe_write.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "resolve/candidates.h"
#include "resolve/relations.h"
#include "resolve/schedule.h"

namespace {

const char* const DOWNGRADE_MARKER = "/rw/DOWNGRADE";
const char* const UPLOAD_DIRECTORIES[] = {"/flash/rw/pckg/", "/flash/var/pckg/"};

InstallFlags takeDowngradeMarker(InstallFlags flags) {
  if (!existsFollowingLinks(DOWNGRADE_MARKER)) return flags;
  std::remove(DOWNGRADE_MARKER);
  return flags | INSTALL_DOWNGRADE;
}

void scanUploads(PackageFileList& files) {
  for (const char* directory : UPLOAD_DIRECTORIES) {
    scanUploadDirectory(directory, files);
    if (!files.empty()) return;
  }
}

UserStateMap userStates() {
  UserStateMap states;
  for (const auto& package : InstallerContext::instance().packages)
    if (package->stateChosenByUser) states.emplace(package->name, package->disabled);
  return states;
}

std::set<std::string> activeNames() {
  std::set<std::string> names;
  for (const auto& package : InstallerContext::instance().packages) {
    if (package->disabled) continue;
    names.insert(package->name);
    for (const PackageRef& provided : package->provides) names.insert(provided.name);
  }
  return names;
}

// Installs the candidates in order; false when one failed and the journal
// was cancelled.
bool installCandidates(FileJournal& journal, const std::vector<PackageFileRecord*>& candidates,
                       InstallFlags flags, const UserStateMap& states) {
  for (PackageFileRecord* candidate : candidates) {
    std::ifstream file(candidate->path, std::ios::binary);
    if (!file.is_open()) continue;
    bool boot = false;
    unsigned result = installFromStream(journal, file, flags, states, nullptr, nullptr, &boot);
    file.close();
    if (result != 0) {
      journal.cancel();
      return false;
    }
    if (candidate->storedAsImage)
      placePackageImage(journal, candidate->path, DATABASE_DIRECTORY + candidate->name + "/image", boot);
  }
  return true;
}

void enableWhatWasActive(FileJournal& journal, const std::set<std::string>& names) {
  PackageList enables;
  for (const std::string& name : names) {
    InstalledPackage* record = resolveName(name);
    if (record != nullptr && record->disabled && firstExcluder(*record) == nullptr)
      enables.push_back(record);
  }
  performEnables(journal, enables, true);
}

}  // namespace

void runUpgrade(FileJournal& journal, InstallFlags flags) {
  flags = takeDowngradeMarker(flags);
  PackageFileList files;
  scanUploads(files);
  std::vector<PackageFileRecord*> candidates;
  for (const auto& file : files) candidates.push_back(file.get());
  selectCandidates(candidates, (flags & INSTALL_DOWNGRADE) != 0, true);

  const UserStateMap states = userStates();
  const std::set<std::string> active = activeNames();
  if (!candidates.empty()) beginPostlog();
  if (!installCandidates(journal, candidates, flags, states)) return;

  enableWhatWasActive(journal, active);
  if (InstallerContext::instance().packages.empty()) {
    error("router installation failed!!!");
    journal.cancel();
  }
}
