// The enable, disable and uninstall planner: turns the scheduled actions of
// the installed packages into a consistent plan and carries it out through
// the package database and the journal.
//
// The planning steps read and change `scheduledAction` of the records of
// InstallerContext::instance().packages in place, always scanning in list
// order. With `verbose` they print the planning warnings and errors and the
// enabling and disabling progress; without it, nothing.
#pragma once

#include <vector>

#include "model/package_record.h"

class FileJournal;
class PackageIndex;

/// What will become of a set of providers (providerOutlook).
enum ProviderOutlook : int {
  OUTLOOK_ACTIVE = 0,     ///< some provider will be active
  OUTLOOK_GONE = 1,       ///< none will be active and none remains disabled
  OUTLOOK_DISABLED = 3,   ///< none will be active, a disabled one remains
};

/// Plans the pending actions and carries them out into the journal; true
/// when at least one action was carried out.
bool runSchedule(FileJournal& journal, bool verbose);

/// Settles the pending actions and fills the removal list (reverse list
/// order) and the enable list (dependency order); false when the plan
/// would leave nothing active and was refused, with every action cleared.
bool planSchedule(PackageList& removals, PackageList& enables, bool verbose);

/// Uninstalls (destroying the record) or disables each listed record.
void performRemovals(FileJournal& journal, const PackageList& removals, bool verbose);
/// Enables each listed record, in list order.
void performEnables(FileJournal& journal, const PackageList& enables, bool verbose);

// The steps below take an index of the packages, built once per plan, and
// find packages by name, providers, dependants, exclusion parties and
// bundle members in it.

/// Hands a bundle's pending uninstall, disable or enable on to its members.
void membersFollowBundle(const PackageIndex& index);
/// Makes sure that what the active package needs stays or becomes enabled.
/// `throughBundle` tells that a member's bundle reference led here.
void pullInDependencies(InstalledPackage& dependant, const PackageIndex& index, bool verbose,
                        bool throughBundle = false);
/// Keeps `dependency` for `dependant`: cancels its removal with a warning,
/// or schedules its enable when it is disabled.
void keepDependency(InstalledPackage& dependency, const InstalledPackage& dependant,
                    const PackageIndex& index, bool verbose, bool throughBundle = false);
/// Classifies what will become of the providers in `providers`.
ProviderOutlook providerOutlook(const PackageList& providers);
/// Disables the active packages that exclude `package` or that it
/// excludes, or cancels its enable when a scheduled enable collides.
void resolveEnableConflicts(InstalledPackage& package, const PackageIndex& index, bool verbose);
/// Uninstalls or disables the packages whose dependencies go away.
void dropLostDependents(const PackageIndex& index);
/// Uninstalls a bundle without active members, or drops its enable.
void bundleFollowsMembers(const PackageIndex& index);
/// True when some package will be enabled once the plan is carried out.
bool anyRemainsActive();

/// Will be enabled: scheduled for enable, or enabled with no action.
bool willBeEnabled(const InstalledPackage& package);
/// Will change to or stay enabled: disabled with a scheduled enable, or
/// enabled with no action. Unlike willBeEnabled, an enabled package with a
/// scheduled enable does not count.
bool willChangeToOrStayEnabled(const InstalledPackage& package);
