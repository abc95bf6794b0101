// Relations between packages and the queries over the installed packages:
// the only place where packages are compared.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
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
/// A needs B. Never true unless one of A's dependency names is among B's
/// provided names.
bool dependsOn(const PackageRecord& a, const PackageRecord& b);
/// Appends the names of the record's dependencies and of its members'.
void appendDependencyNames(const PackageRecord& record, std::vector<std::string_view>& names);
/// Appends the record's name, the names it provides, and those of its
/// members.
void appendProvidedNames(const PackageRecord& record, std::vector<std::string_view>& names);
/// A, once present, keeps B from being present (not symmetric). Never true
/// when A and B have no exclusion name in common.
bool excludes(const PackageRecord& a, const PackageRecord& b);
/// Appends the names that excludes compares: the record's own name, the
/// names of its provides and conflicts, and those of its members.
void appendExclusionNames(const PackageRecord& record, std::vector<std::string_view>& names);
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

/// The installed packages at their positions in the context's list, with
/// what the planner asks of them again and again: a package by name, the
/// providers of a reference, the dependants of a package, the packages it
/// may exclude or be excluded by, and the members of a bundle, without a
/// scan of every package each time. Only the scheduled actions may change
/// while an index is in use: it holds views of the records' names, and its
/// answers depend on the list and on everything in the records but their
/// scheduled actions.
class PackageIndex {
 public:
  /// Indexes InstallerContext::instance().packages as it is now.
  PackageIndex();

  size_t size() const { return records_.size(); }
  InstalledPackage& at(size_t position) const { return *records_[position]; }
  /// The first package named exactly `name`, or nullptr (as
  /// InstallerContext::packageByName).
  InstalledPackage* packageByName(const std::string& name) const;
  /// Positions, ascending, of the packages whose bundle reference has the
  /// name `bundleName`.
  const std::vector<size_t>& membersOf(const std::string& bundleName) const;
  /// The same records as providersOf(ref, true), in the same order.
  std::vector<InstalledPackage*> providersOf(const PackageRef& ref) const;
  /// Positions, ascending, of the packages with a dependency for which the
  /// package at `position` is one of the providers.
  const std::vector<size_t>& dependantsOf(size_t position) const { return dependants_[position]; }
  /// Positions, ascending, of the packages that have an exclusion name in
  /// common with `record`: the only ones that can exclude it or that it can
  /// exclude.
  std::vector<size_t> exclusionPartiesOf(const PackageRecord& record) const;

 private:
  using Positions = std::unordered_map<std::string_view, std::vector<size_t>>;
  static void add(Positions& positions, std::string_view name, size_t position);
  /// Positions of the providers of `ref`, ascending.
  std::vector<size_t> providerPositions(const PackageRef& ref) const;

  std::vector<InstalledPackage*> records_;
  std::unordered_map<std::string_view, size_t> firstByName_;
  /// Positions, ascending, of the packages by the name of their bundle
  /// reference.
  Positions byBundleName_;
  /// Positions, ascending, of the non-inert packages that have or provide
  /// each name.
  Positions byName_;
  /// Positions, ascending, of the packages with each exclusion name.
  Positions byExclusionName_;
  std::vector<std::vector<size_t>> dependants_;
};
