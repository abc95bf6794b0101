#include "resolve/schedule.h"

#include <algorithm>
#include <memory>
#include <set>

#include "console/console.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "resolve/candidates.h"
#include "resolve/relations.h"

namespace {

PackageRepository& packages() { return InstallerContext::instance().packages; }

bool isEnabledWithoutAction(const InstalledPackage& package) {
  return !package.disabled && package.scheduledAction == ACTION_NONE;
}

bool isDisabledWithEnable(const InstalledPackage& package) {
  return package.disabled && package.scheduledAction == ACTION_ENABLE;
}

/// The provider that a dependant keeps: the best of the providers, the
/// last one after selection. When the selection keeps none (identical
/// twins drop each other), the last provider in list order stands in.
InstalledPackage& chooseProvider(const PackageList& providers) {
  PackageList selected = providers;
  selectCandidates(selected, false, false);
  return selected.empty() ? *providers.back() : *selected.back();
}

/// The records whose dependencies are being pulled in right now, innermost
/// last.
std::vector<const InstalledPackage*> pullStack;

/// Marks a record as being visited for as long as the object lives.
class PullVisit {
 public:
  explicit PullVisit(const InstalledPackage& record) { pullStack.push_back(&record); }
  ~PullVisit() { pullStack.pop_back(); }
  PullVisit(const PullVisit&) = delete;
  PullVisit& operator=(const PullVisit&) = delete;
};

bool isBeingVisited(const InstalledPackage& record) {
  return std::find(pullStack.begin(), pullStack.end(), &record) != pullStack.end();
}

/// Schedules the disable of an active record that a package being enabled
/// keeps out, unless an action is already pending on it.
void disableExcluded(InstalledPackage& excluded) {
  if (excluded.scheduledAction == ACTION_NONE) excluded.scheduledAction = ACTION_DISABLE;
}

/// Schedules the record's uninstall when a dependency will have no provider
/// left at all, or its disable when only disabled providers will remain;
/// true when its action changed.
bool dropIfDependencyLost(InstalledPackage& record, const PackageIndex& index) {
  for (const PackageRef& dependency : record.deps) {
    ProviderOutlook outlook = providerOutlook(index.providersOf(dependency));
    uint32_t action = record.scheduledAction;
    if (outlook == OUTLOOK_GONE && action != ACTION_UNINSTALL) {
      record.scheduledAction = ACTION_UNINSTALL;
      return true;
    }
    if (outlook == OUTLOOK_DISABLED && action != ACTION_UNINSTALL && action != ACTION_DISABLE &&
        (!record.disabled || action != ACTION_NONE)) {
      record.scheduledAction = ACTION_DISABLE;
      return true;
    }
  }
  return false;
}

/// Whether a bundle keeps an active member, and whether any member remains.
struct MemberCensus {
  bool anyActive = false;
  bool anyRemaining = false;
};

MemberCensus countMembers(const InstalledPackage& bundle, const PackageIndex& index) {
  MemberCensus census;
  for (size_t position : index.membersOf(bundle.name)) {
    const InstalledPackage* member = &index.at(position);
    if (member->isInert()) continue;
    if (isEnabledWithoutAction(*member) || isDisabledWithEnable(*member)) {
      census.anyActive = true;
      return census;
    }
    bool leaving = member->scheduledAction == ACTION_UNINSTALL ||
                   (!member->disabled && member->scheduledAction == ACTION_ENABLE);
    if (!leaving) census.anyRemaining = true;
  }
  return census;
}

void clearAllActions() {
  for (const auto& record : packages()) record->scheduledAction = ACTION_NONE;
}

/// Fills the plan from the settled actions: the removals go to the front of
/// their list one by one (so the last in list order comes first), the
/// enables in dependency order to the end of theirs.
void collectPlan(PackageList& removals, PackageList& enables) {
  PackageList toRemove;
  PackageList toEnable;
  for (const auto& record : packages()) {
    uint32_t action = record->scheduledAction;
    if (action == ACTION_UNINSTALL || action == ACTION_DISABLE) toRemove.push_back(record.get());
    if (action == ACTION_ENABLE) toEnable.push_back(record.get());
  }
  selectCandidates(toEnable, false, false);
  removals.insert(removals.begin(), toRemove.rbegin(), toRemove.rend());
  enables.insert(enables.end(), toEnable.begin(), toEnable.end());
}

/// Takes the record out of the context's packages and destroys it.
void destroyRecord(const InstalledPackage* record) {
  auto& list = packages();
  auto owns = [record](const std::unique_ptr<InstalledPackage>& owner) { return owner.get() == record; };
  auto found = std::find_if(list.begin(), list.end(), owns);
  if (found != list.end()) list.erase(found);
}

void disableRecord(FileJournal& journal, InstalledPackage& record, bool verbose) {
  std::string name = nameVersionText(record);
  if (verbose) setStatus("disabling " + name + "...");
  markDisabled(record, journal);
  if (verbose) info("disabled %s", name.c_str());
}

}  // namespace

bool willBeEnabled(const InstalledPackage& package) {
  return package.scheduledAction == ACTION_ENABLE || isEnabledWithoutAction(package);
}

bool willChangeToOrStayEnabled(const InstalledPackage& package) {
  return isDisabledWithEnable(package) || isEnabledWithoutAction(package);
}

bool runSchedule(FileJournal& journal, bool verbose) {
  PackageList removals;
  PackageList enables;
  if (!planSchedule(removals, enables, verbose)) return false;
  bool carriedOut = !removals.empty() || !enables.empty();
  performRemovals(journal, removals, verbose);
  performEnables(journal, enables, verbose);
  return carriedOut;
}

bool planSchedule(PackageList& removals, PackageList& enables, bool verbose) {
  // The list and the records stay as they are while planning, but for
  // their scheduled actions: one index serves every step. Each record's
  // state is read at the moment the scan reaches it.
  const PackageIndex index;
  membersFollowBundle(index);
  for (size_t i = 0; i < index.size(); ++i)
    if (willBeEnabled(index.at(i))) pullInDependencies(index.at(i), index, verbose);
  for (size_t i = 0; i < index.size(); ++i)
    if (willBeEnabled(index.at(i))) resolveEnableConflicts(index.at(i), index, verbose);
  dropLostDependents(index);
  bundleFollowsMembers(index);
  if (!packages().empty() && !anyRemainsActive()) {
    clearAllActions();
    if (verbose) error("can not uninstall or disable all packages");
    return false;
  }
  collectPlan(removals, enables);
  return true;
}

void membersFollowBundle(const PackageIndex& index) {
  for (size_t position = 0; position < index.size(); ++position) {
    InstalledPackage* member = &index.at(position);
    if (member->bundle.name.empty()) continue;
    const InstalledPackage* bundle = index.packageByName(member->bundle.name);
    if (bundle == nullptr) continue;
    switch (bundle->scheduledAction) {
      case ACTION_UNINSTALL:
        member->scheduledAction = ACTION_UNINSTALL;
        break;
      case ACTION_DISABLE:
        if (member->scheduledAction != ACTION_UNINSTALL) member->scheduledAction = ACTION_DISABLE;
        break;
      case ACTION_ENABLE:
        if (member->disabled) member->scheduledAction = ACTION_ENABLE;
        break;
      default:
        break;
    }
  }
}

void pullInDependencies(InstalledPackage& dependant, const PackageIndex& index, bool verbose,
                        bool throughBundle) {
  // A dependency cycle ends by itself: each visit moves a record one step
  // towards a state that counts as active. A bundle reference is kept
  // without asking whether the bundle is active already, so a bundle that
  // names itself, or two that name each other, would come back for ever:
  // such a visit through a bundle reference is made once.
  if (throughBundle && isBeingVisited(dependant)) return;
  PullVisit visit(dependant);
  if (!dependant.bundle.name.empty()) {
    InstalledPackage* bundle = index.packageByName(dependant.bundle.name);
    if (bundle != nullptr) keepDependency(*bundle, dependant, index, verbose, true);
  }
  for (const PackageRef& dependency : dependant.deps) {
    PackageList providers = index.providersOf(dependency);
    if (providerOutlook(providers) == OUTLOOK_ACTIVE) continue;
    if (providers.empty()) break;
    keepDependency(chooseProvider(providers), dependant, index, verbose);
  }
}

void keepDependency(InstalledPackage& dependency, const InstalledPackage& dependant,
                    const PackageIndex& index, bool verbose, bool throughBundle) {
  uint32_t action = dependency.scheduledAction;
  if (action == ACTION_UNINSTALL || action == ACTION_DISABLE) {
    if (verbose)
      warning("can not %s %s: %s depends on it", scheduleActionName(action),
              nameVersionText(dependency).c_str(), dependant.name.c_str());
    dependency.scheduledAction = ACTION_NONE;
    pullInDependencies(dependency, index, verbose, throughBundle);
    return;
  }
  if (!dependency.disabled) return;
  dependency.scheduledAction = ACTION_ENABLE;
  pullInDependencies(dependency, index, verbose, throughBundle);
}

ProviderOutlook providerOutlook(const PackageList& providers) {
  bool remainsDisabled = false;
  for (const InstalledPackage* provider : providers) {
    uint32_t action = provider->scheduledAction;
    if (!provider->disabled) {
      if (action == ACTION_NONE) return OUTLOOK_ACTIVE;
      if (action == ACTION_DISABLE) remainsDisabled = true;
    } else {
      if (action == ACTION_ENABLE) return OUTLOOK_ACTIVE;
      remainsDisabled = true;
    }
  }
  return remainsDisabled ? OUTLOOK_DISABLED : OUTLOOK_GONE;
}

void resolveEnableConflicts(InstalledPackage& package, const PackageIndex& index, bool verbose) {
  // Only the records that share an exclusion name with the package can
  // exclude it or be excluded by it; the scan would pass over every other.
  for (size_t position : index.exclusionPartiesOf(package)) {
    InstalledPackage& record = index.at(position);
    if (&record == &package || !willChangeToOrStayEnabled(record)) continue;
    if (excludes(package, record)) {
      disableExcluded(record);
      continue;
    }
    if (package.scheduledAction != ACTION_ENABLE || !excludes(record, package)) continue;
    if (record.scheduledAction == ACTION_NONE) {
      record.scheduledAction = ACTION_DISABLE;
      continue;
    }
    // Both are to be enabled: the earlier decision for `record` stands.
    if (verbose)
      warning("can not enable %s: %s conflicts with it", package.name.c_str(),
              nameVersionText(record).c_str());
    package.scheduledAction = ACTION_NONE;
    return;
  }
}

void dropLostDependents(const PackageIndex& index) {
  // Each change goes to the first record in list order that has one to
  // make, as if every change started the scan over, so that what depends on
  // a record that was just dropped is seen again. A record's answer can
  // only change with its own action or that of a provider of one of its
  // dependencies, so after a change only that record and the dependants of
  // it are asked again; every other record would still answer no.
  std::set<size_t> pending;
  for (size_t position = 0; position < index.size(); ++position) pending.insert(pending.end(), position);
  while (!pending.empty()) {
    size_t position = *pending.begin();
    if (!dropIfDependencyLost(index.at(position), index)) {
      pending.erase(pending.begin());
      continue;
    }
    const std::vector<size_t>& dependants = index.dependantsOf(position);
    pending.insert(dependants.begin(), dependants.end());
  }
}

void bundleFollowsMembers(const PackageIndex& index) {
  for (size_t position = 0; position < index.size(); ++position) {
    InstalledPackage& bundle = index.at(position);
    if (!bundle.isBundle || bundle.scheduledAction == ACTION_UNINSTALL) continue;
    MemberCensus census = countMembers(bundle, index);
    if (census.anyActive) continue;
    if (!census.anyRemaining || !bundle.disabled)
      bundle.scheduledAction = ACTION_UNINSTALL;
    else if (bundle.scheduledAction == ACTION_ENABLE)
      bundle.scheduledAction = ACTION_NONE;
  }
}

bool anyRemainsActive() {
  for (const auto& record : packages())
    if (willBeEnabled(*record)) return true;
  return false;
}

void performRemovals(FileJournal& journal, const PackageList& removals, bool verbose) {
  for (InstalledPackage* record : removals) {
    if (record->scheduledAction == ACTION_UNINSTALL) {
      removeEntry(*record, journal);
      destroyRecord(record);
    } else {
      disableRecord(journal, *record, verbose);
    }
  }
}

void performEnables(FileJournal& journal, const PackageList& enables, bool verbose) {
  for (InstalledPackage* record : enables) {
    std::string name = nameVersionText(*record);
    if (verbose) setStatus("enabling " + name + "...");
    markEnabled(*record, journal);
    if (verbose) info("enabled %s", name.c_str());
  }
}
