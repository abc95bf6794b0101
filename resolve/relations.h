// Relations between packages and the queries over the installed packages:
// the only place where packages are compared.
#pragma once

#include <string>
#include <vector>

#include "model/package_record.h"

/// Two names are equal byte for byte (case-sensitive).
bool sameName(const std::string& a, const std::string& b);
/// The record's own name and version meet the reference.
bool satisfies(const PackageRecord& record, const PackageRef& ref);
/// The ranges of a provides entry and a reference overlap, by name.
bool provideMatches(const PackageRef& provided, const PackageRef& ref);
/// Some provides entry of the record matches the reference.
bool providesFor(const PackageRecord& record, const PackageRef& ref);
/// A needs B.
bool dependsOn(const PackageRecord& a, const PackageRecord& b);
/// A, once present, keeps B from being present (not symmetric).
bool excludes(const PackageRecord& a, const PackageRecord& b);
/// The record has the name, or one of its members has it.
bool carries(const PackageRecord& record, const std::string& name);
/// +1 when A is newer than B, -1 when older, 0 when equal or unrelated.
int compareVersions(const PackageRecord& a, const PackageRecord& b);
/// compareVersions, negated when `reversed`.
int compareVersionsDirected(const PackageRecord& a, const PackageRecord& b, bool reversed);

/// Installed packages that satisfy or provide for the reference, in list
/// order; disabled ones only with `includeDisabled`; never inert ones.
std::vector<InstalledPackage*> providersOf(const PackageRef& ref, bool includeDisabled);
/// The first enabled installed package that excludes the candidate.
InstalledPackage* firstExcluder(const PackageRecord& candidate);
/// The first enabled package that has or provides the name; else the last
/// disabled one; else nullptr.
InstalledPackage* resolveName(const std::string& name);
