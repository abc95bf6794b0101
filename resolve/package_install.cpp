#include "resolve/package_install.h"

#include <memory>
#include <set>

#include "console/console.h"
#include "journal/file_journal.h"
#include "pkg/content_install.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "pkgfile/package_format.h"
#include "pkgfile/package_header.h"
#include "pkgfile/package_reader.h"
#include "resolve/candidates.h"
#include "resolve/schedule.h"

namespace {

constexpr InstallFlags ALL_FLAGS = 0xFFFFFFFF;

// How a single install or a bundle member ended.
enum class Outcome { INSTALLED, KEPT, OMITTED, FAILED, UNREADABLE };

struct InstallResult {
  Outcome outcome;
  InstalledPackage* record;
};

PackageRepository& packages() {
  return InstallerContext::instance().packages;
}

// True while `record` is one of the packages; compares addresses only, so
// it may be asked about a record that was destroyed.
bool isListed(const InstalledPackage* record) {
  for (const auto& listed : packages())
    if (listed.get() == record) return true;
  return false;
}

// Takes the record at `index` out of the packages and destroys it.
void eraseRecord(size_t index) { packages().erase(packages().begin() + static_cast<long>(index)); }

void applyUserState(InstalledPackage& package, const UserStateMap& userStates) {
  auto found = userStates.find(package.name);
  if (found != userStates.end()) {
    package.disabled = found->second;
    package.stateChosenByUser = true;
  } else {
    package.disabled = false;
  }
}

void skipToNextMember(PackageReader& reader) {
  while (reader.good() && reader.currentType != PART_HEADER) reader.nextPart();
}

// What becomes of a package that the decision does not install.
InstallResult notInstalled(const InstalledPackage& package, PackageReader& reader,
                           InstallFlags granted, InstallFlags needed, bool member, bool* boot) {
  InstallerContext& context = InstallerContext::instance();
  if (member) {
    skipToNextMember(reader);
    InstalledPackage* kept = context.packageByName(package.name);
    return {kept ? Outcome::KEPT : Outcome::OMITTED, kept};
  }
  if ((needed & INSTALL_REINSTALL) && (granted & INSTALL_REINSTALL)) {
    setStatus(std::string(78, ' '));
    reportInstalled(package);
    InstalledPackage* installed = context.packageByName(package.name);
    if (boot != nullptr && installed != nullptr) *boot = installed->hasBootFlag();
    return {Outcome::KEPT, installed};
  }
  if (needed & INSTALL_REINSTALL) return {Outcome::KEPT, context.packageByName(package.name)};
  return {Outcome::OMITTED, nullptr};
}

InstallResult installPackage(FileJournal& journal, PackageReader& reader, InstallFlags granted,
                             const UserStateMap& userStates, const PackageRef* bundle,
                             std::string* imageDirectory, bool* boot) {
  auto package = std::make_unique<InstalledPackage>();
  const bool headerFound = reader.currentType == PART_HEADER;
  if (!readPackageHeader(*package, reader)) {
    // A bundle reports its broken member under its own name; a header cut
    // before its name has none to show.
    if (headerFound && bundle == nullptr && package->name.empty()) error("broken package");
    if (headerFound && bundle == nullptr && !package->name.empty()) reportBroken(*package);
    return {Outcome::UNREADABLE, nullptr};
  }
  if (package->storedAsImage && imageDirectory != nullptr) *imageDirectory = entryPath(*package);
  // A copy of the stream serves only as the image of a package with an
  // image part or the boot flag: for any other it would be written whole
  // only to be deleted.
  if (bundle == nullptr && !package->storedAsImage && !package->hasBootFlag()) reader.stopCopying();

  InstallFlags evaluated = bundle != nullptr ? ALL_FLAGS : granted | INSTALL_ALLOW_CONFLICT;
  InstallFlags needed = evaluateCandidate(*package, evaluated);
  applyUserState(*package, userStates);
  if (needed & INSTALL_ALLOW_CONFLICT) {
    needed &= ~INSTALL_ALLOW_CONFLICT;
    package->disabled = true;
  }
  if ((needed & ~granted) != 0 || (needed & INSTALL_REINSTALL) != 0)
    return notInstalled(*package, reader, granted, needed, bundle != nullptr, boot);

  if (bundle != nullptr) package->bundle = *bundle;
  if (!reader.isUnregistered()) removeInstalledByName(journal, package->name);
  if (!installContents(*package, journal, reader)) return {Outcome::FAILED, nullptr};
  InstalledPackage* installed = package.get();
  packages().push_back(std::move(package));
  runSchedule(journal, false);
  // The schedule may uninstall the new package at once, destroying its
  // record (for instance when it needs a name that only the version it
  // replaced provided); it then counts as not installed.
  if (!isListed(installed)) return {Outcome::OMITTED, nullptr};
  if (boot != nullptr) *boot = bootImageStaysPacked(*installed);
  return {Outcome::INSTALLED, installed};
}

void appendBlocker(const std::string& memberName) {
  auto blocker = std::make_unique<InstalledPackage>();
  blocker->conflicts.push_back(PackageRef{memberName, 0, 0, 0});
  packages().push_back(std::move(blocker));
}

// Reads the optional-members list and blocks each member that the user
// gave no state, so that it is installed disabled.
void blockOptionalMembers(PackageReader& reader, const UserStateMap& userStates) {
  if (reader.currentType != PART_BUNDLE_MEMBERS) return;
  std::vector<PackageRef> optional;
  readRefList(reader, optional);
  for (const PackageRef& member : optional)
    if (userStates.find(member.name) == userStates.end()) appendBlocker(member.name);
  reader.nextPart();
}

std::set<std::string> previousMembers(const std::string& bundleName) {
  std::set<std::string> names;
  for (const auto& record : packages())
    if (record->bundle.name == bundleName) names.insert(record->name);
  return names;
}

void scheduleLeftoverMembers(const std::set<std::string>& leftovers) {
  for (const std::string& name : leftovers) {
    InstalledPackage* record = InstallerContext::instance().packageByName(name);
    if (record != nullptr) record->scheduledAction = ACTION_UNINSTALL;
  }
}

// Installs the members that follow; BUNDLE_INSTALLED when at least one was
// installed or kept and none failed.
unsigned installMembers(FileJournal& journal, PackageReader& reader, InstallFlags granted,
                        const UserStateMap& userStates, const PackageRef& bundleRef,
                        std::set<std::string>& leftovers, bool* boot) {
  unsigned count = 0;
  while (reader.currentType == PART_HEADER) {
    bool memberBoot = false;
    InstallResult result =
        installPackage(journal, reader, granted, userStates, &bundleRef, nullptr, &memberBoot);
    if (result.outcome == Outcome::UNREADABLE) {
      error("installation of %s failed: broken package", refText(bundleRef).c_str());
      return BUNDLE_BROKEN;
    }
    // The member's unverified files are in the journal: the whole bundle
    // fails so that the caller discards them.
    if (result.outcome == Outcome::FAILED) return BUNDLE_BROKEN;
    if (result.record == nullptr) continue;
    leftovers.erase(result.record->name);
    ++count;
    if (boot != nullptr && memberBoot) *boot = true;
  }
  // The members end the file; a bundle cut short or with parts after them
  // is broken even when the last member was only passed over.
  if (reader.currentType != -1 || !reader.readWhole()) {
    error("installation of %s failed: broken package", refText(bundleRef).c_str());
    return BUNDLE_BROKEN;
  }
  return count == 0 ? BUNDLE_EMPTY : BUNDLE_INSTALLED;
}

}  // namespace

InstalledPackage* installPackageFromStream(FileJournal& journal, PackageReader& reader,
                                           InstallFlags granted, const UserStateMap& userStates,
                                           const PackageRef* bundle, std::string* imageDirectory,
                                           bool* boot) {
  return installPackage(journal, reader, granted, userStates, bundle, imageDirectory, boot).record;
}

bool removeInstalledByName(FileJournal& journal, const std::string& name) {
  int index = InstallerContext::instance().findPackage(name);
  if (index < 0) return false;
  removeEntry(*packages()[static_cast<size_t>(index)], journal);
  eraseRecord(static_cast<size_t>(index));
  return true;
}

unsigned installBundleFromStream(FileJournal& journal, PackageReader& reader, InstallFlags granted,
                                 const UserStateMap& userStates, std::string* imageDirectory,
                                 bool* boot) {
  if (boot != nullptr) *boot = false;
  auto bundle = std::make_unique<InstalledPackage>();
  if (!readPackageHeader(*bundle, reader)) {
    reportBroken(*bundle);
    return BUNDLE_BROKEN;
  }
  if (reader.currentType == PART_IMAGE) reader.nextPart();
  if (bundle->storedAsImage && imageDirectory != nullptr) *imageDirectory = entryPath(*bundle);

  InstallFlags needed = evaluateCandidate(*bundle, granted);
  if ((needed & ~granted) != 0) return BUNDLE_REFUSED;
  removeInstalledByName(journal, bundle->name);
  if (!registerEntry(*bundle, journal)) return BUNDLE_BROKEN;

  const PackageRef bundleRef{bundle->name, bundle->version, bundle->version, 0};
  int stale = InstallerContext::instance().findPackage(bundle->name);
  if (stale >= 0) eraseRecord(static_cast<size_t>(stale));
  packages().push_back(std::move(bundle));

  std::set<std::string> leftovers = previousMembers(bundleRef.name);
  blockOptionalMembers(reader, userStates);
  unsigned result = installMembers(journal, reader, granted, userStates, bundleRef, leftovers, boot);
  if (result != BUNDLE_INSTALLED) return result;

  scheduleLeftoverMembers(leftovers);
  runSchedule(journal, false);
  setStatus("");
  info("installed %s", refText(bundleRef).c_str());
  return BUNDLE_INSTALLED;
}
