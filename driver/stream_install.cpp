#include "driver/stream_install.h"

#include "journal/file_journal.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "pkgfile/package_format.h"
#include "pkgfile/package_reader.h"
#include "resolve/schedule.h"

namespace {

// A package that needs at least this version of "tessel" belongs to the
// current generation and survives the cleanup.
constexpr PackageVersion CURRENT_GENERATION_TESSEL = makeVersion(3, 22, 'f', 0);

bool keptByCleanup(const InstalledPackage& package) {
  const std::string& name = package.name;
  if (name == "wardle" || name == "media-kit" || name == "tessel" || package.isBundle) return true;
  for (const PackageRef& dep : package.deps)
    if (dep.name == "tessel" && dep.minVersion >= CURRENT_GENERATION_TESSEL) return true;
  return false;
}

}  // namespace

unsigned installFromStream(FileJournal& journal, std::istream& input, InstallFlags flags,
                           const UserStateMap& userStates, std::streambuf* copyTarget,
                           std::string* directory, bool* boot) {
  PackageReader reader(input, true, copyTarget);
  reader.filter = INSTALL_FILTER;
  reader.nextPart();
  unsigned status = 0;
  if (reader.currentType == PART_BUNDLE_HEADER) {
    status = installBundleFromStream(journal, reader, flags, userStates, directory, boot);
  } else {
    InstalledPackage* installed =
        installPackageFromStream(journal, reader, flags, userStates, nullptr, directory, boot);
    status = installed != nullptr ? 0 : 1;
  }
  // A package kept as it is was not read to its end: the copy of what was
  // read is not the file and must not replace the stored or boot image.
  if (copyTarget != nullptr && !reader.readWhole()) {
    if (directory != nullptr) directory->clear();
    if (boot != nullptr) *boot = false;
  }
  return status;
}

void placePackageImage(FileJournal& journal, const std::string& file, const std::string& target,
                       bool boot) {
  if (boot) {
    journal.addMove(file, BOOT_IMAGE_PATH);
    if (!target.empty()) journal.addSymlink(BOOT_IMAGE_PATH, target);
  } else {
    journal.addMove(file, target);
  }
}

bool planCleanup(FileJournal& journal) {
  runSchedule(journal, false);
  for (const auto& package : InstallerContext::instance().packages)
    if (!keptByCleanup(*package)) package->scheduledAction = ACTION_UNINSTALL;
  return runSchedule(journal, true);
}
