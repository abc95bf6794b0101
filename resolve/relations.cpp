#include "resolve/relations.h"

#include <algorithm>

#include "model/installer_context.h"

namespace {

// The version of `a` against that of `b`, with the build time breaking a tie:
// +1 newer, -1 older, 0 identical.
int compareOwnVersions(const PackageRecord& a, const PackageRecord& b) {
  if (a.version != b.version) return a.version > b.version ? 1 : -1;
  if (a.buildTime != b.buildTime) return a.buildTime > b.buildTime ? 1 : -1;
  return 0;
}

// The first member of `bundle` named `name`, or nullptr.
const PackageRecord* memberNamed(const PackageRecord& bundle, const std::string& name) {
  for (const auto& member : bundle.members)
    if (sameName(member->name, name)) return member.get();
  return nullptr;
}

// Whether B's provides list settles the exclusion by naming A itself; the
// first entry that names A decides.
bool providedNameDecides(const PackageRecord& a, const PackageRecord& b, bool& excluded) {
  for (const PackageRef& entry : b.provides) {
    if (sameName(entry.name, a.name)) {
      excluded = entry.priority < 0;
      return true;
    }
  }
  return false;
}

// Whether A's provides list settles the exclusion: an entry naming B replaces
// B unless its priority is negative, and a name that both provide goes to
// the higher priority.
bool providesPriorityDecides(const PackageRecord& a, const PackageRecord& b, bool& excluded) {
  for (const PackageRef& ours : a.provides) {
    if (sameName(ours.name, b.name)) {
      excluded = ours.priority >= 0;
      return true;
    }
    for (const PackageRef& theirs : b.provides) {
      if (sameName(ours.name, theirs.name)) {
        excluded = ours.priority > theirs.priority;
        return true;
      }
    }
  }
  return false;
}

bool conflictsWithProvided(const PackageRecord& a, const PackageRecord& b) {
  for (const PackageRef& conflict : a.conflicts)
    if (providesFor(b, conflict)) return true;
  return false;
}

bool conflictsWithOwn(const PackageRecord& a, const PackageRecord& b) {
  for (const PackageRef& conflict : a.conflicts)
    if (satisfies(b, conflict)) return true;
  return false;
}

bool hasOrProvidesName(const PackageRecord& record, const PackageRef& ref) {
  return sameName(record.name, ref.name) || providesFor(record, ref);
}

}  // namespace

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && a.compare(b) == 0;
}

bool satisfies(const PackageRecord& record, const PackageRef& ref) {
  return sameName(record.name, ref.name) && record.version >= ref.minVersion &&
         (ref.maxVersion == 0 || record.version <= ref.maxVersion);
}

bool provideMatches(const PackageRef& provided, const PackageRef& ref) {
  if (!sameName(provided.name, ref.name)) return false;
  bool startsAfterWanted = provided.minVersion != 0 && ref.maxVersion != 0 &&
                           provided.minVersion > ref.maxVersion;
  bool endsBeforeWanted = provided.maxVersion != 0 && ref.minVersion != 0 &&
                          provided.maxVersion < ref.minVersion;
  return !startsAfterWanted && !endsBeforeWanted;
}

bool providesFor(const PackageRecord& record, const PackageRef& ref) {
  for (const PackageRef& entry : record.provides)
    if (provideMatches(entry, ref)) return true;
  return false;
}

bool dependsOn(const PackageRecord& a, const PackageRecord& b) {
  for (const PackageRef& dep : a.deps)
    if (satisfies(b, dep) || providesFor(b, dep)) return true;
  for (const auto& member : b.members)
    if (dependsOn(a, *member)) return true;
  for (const auto& member : a.members)
    if (dependsOn(*member, b)) return true;
  return false;
}

bool excludes(const PackageRecord& a, const PackageRecord& b) {
  if (a.isInert() || b.isInert()) return false;
  if (conflictsWithOwn(a, b)) return true;
  bool excluded = false;
  if (providedNameDecides(a, b, excluded)) return excluded;
  if (providesPriorityDecides(a, b, excluded)) return excluded;
  if (conflictsWithProvided(a, b)) return true;
  if (memberNamed(b, a.name) != nullptr) return true;
  for (const auto& member : a.members)
    if (excludes(*member, b)) return true;
  return false;
}

void appendDependencyNames(const PackageRecord& record, std::vector<std::string_view>& names) {
  for (const PackageRef& dependency : record.deps) names.push_back(dependency.name);
  for (const auto& member : record.members) appendDependencyNames(*member, names);
}

void appendProvidedNames(const PackageRecord& record, std::vector<std::string_view>& names) {
  names.push_back(record.name);
  for (const PackageRef& entry : record.provides) names.push_back(entry.name);
  for (const auto& member : record.members) appendProvidedNames(*member, names);
}

void appendExclusionNames(const PackageRecord& record, std::vector<std::string_view>& names) {
  names.push_back(record.name);
  for (const PackageRef& entry : record.provides) names.push_back(entry.name);
  for (const PackageRef& entry : record.conflicts) names.push_back(entry.name);
  for (const auto& member : record.members) appendExclusionNames(*member, names);
}

bool carries(const PackageRecord& record, const std::string& name) {
  return sameName(record.name, name) || memberNamed(record, name) != nullptr;
}

int compareVersions(const PackageRecord& a, const PackageRecord& b) {
  if (sameName(a.name, b.name)) return compareOwnVersions(a, b);
  if (const PackageRecord* member = memberNamed(a, b.name)) return compareOwnVersions(*member, b);
  // B's member stands in for B; comparing it against A and negating keeps
  // the answer in the order the arguments were given.
  if (const PackageRecord* member = memberNamed(b, a.name)) return -compareOwnVersions(*member, a);
  return 0;
}

int compareVersionsDirected(const PackageRecord& a, const PackageRecord& b, bool reversed) {
  int order = compareVersions(a, b);
  return reversed ? -order : order;
}

std::vector<InstalledPackage*> providersOf(const PackageRef& ref, bool includeDisabled) {
  std::vector<InstalledPackage*> found;
  for (const auto& package : InstallerContext::instance().packages) {
    if (package->isInert()) continue;
    if (package->disabled && !includeDisabled) continue;
    if (satisfies(*package, ref) || providesFor(*package, ref)) found.push_back(package.get());
  }
  return found;
}

InstalledPackage* firstExcluder(const PackageRecord& candidate) {
  for (const auto& package : InstallerContext::instance().packages)
    if (!package->disabled && excludes(*package, candidate)) return package.get();
  return nullptr;
}

InstalledPackage* resolveName(const std::string& name) {
  const PackageRef wanted{name, 0, 0, 0};
  InstalledPackage* lastDisabled = nullptr;
  for (const auto& package : InstallerContext::instance().packages) {
    if (!hasOrProvidesName(*package, wanted)) continue;
    if (!package->disabled) return package.get();
    lastDisabled = package.get();
  }
  return lastDisabled;
}

PackageIndex::PackageIndex() {
  for (const auto& package : InstallerContext::instance().packages) records_.push_back(package.get());
  std::vector<std::string_view> names;
  for (size_t position = 0; position < records_.size(); ++position) {
    const InstalledPackage& record = *records_[position];
    firstByName_.emplace(record.name, position);
    add(byBundleName_, record.bundle.name, position);
    names.clear();
    appendExclusionNames(record, names);
    for (std::string_view name : names) add(byExclusionName_, name, position);
    if (record.isInert()) continue;
    add(byName_, record.name, position);
    for (const PackageRef& entry : record.provides) add(byName_, entry.name, position);
  }
  dependants_.resize(records_.size());
  for (size_t position = 0; position < records_.size(); ++position) {
    for (const PackageRef& dependency : records_[position]->deps) {
      for (size_t provider : providerPositions(dependency)) {
        std::vector<size_t>& dependants = dependants_[provider];
        if (dependants.empty() || dependants.back() != position) dependants.push_back(position);
      }
    }
  }
}

InstalledPackage* PackageIndex::packageByName(const std::string& name) const {
  auto found = firstByName_.find(name);
  return found == firstByName_.end() ? nullptr : records_[found->second];
}

const std::vector<size_t>& PackageIndex::membersOf(const std::string& bundleName) const {
  static const std::vector<size_t> none;
  auto found = byBundleName_.find(bundleName);
  return found == byBundleName_.end() ? none : found->second;
}

void PackageIndex::add(Positions& positions, std::string_view name, size_t position) {
  std::vector<size_t>& list = positions[name];
  if (list.empty() || list.back() != position) list.push_back(position);
}

std::vector<size_t> PackageIndex::exclusionPartiesOf(const PackageRecord& record) const {
  std::vector<std::string_view> names;
  appendExclusionNames(record, names);
  std::vector<size_t> parties;
  for (std::string_view name : names) {
    auto found = byExclusionName_.find(name);
    if (found != byExclusionName_.end()) parties.insert(parties.end(), found->second.begin(), found->second.end());
  }
  if (names.size() > 1) {
    std::sort(parties.begin(), parties.end());
    parties.erase(std::unique(parties.begin(), parties.end()), parties.end());
  }
  return parties;
}

std::vector<size_t> PackageIndex::providerPositions(const PackageRef& ref) const {
  // A record satisfies a reference or provides for it only under the
  // reference's name, so the records under that name are all that can.
  std::vector<size_t> found;
  auto named = byName_.find(ref.name);
  if (named == byName_.end()) return found;
  for (size_t position : named->second) {
    const InstalledPackage& record = *records_[position];
    if (satisfies(record, ref) || providesFor(record, ref)) found.push_back(position);
  }
  return found;
}

std::vector<InstalledPackage*> PackageIndex::providersOf(const PackageRef& ref) const {
  std::vector<InstalledPackage*> found;
  auto named = byName_.find(ref.name);
  if (named == byName_.end()) return found;
  for (size_t position : named->second) {
    InstalledPackage* record = records_[position];
    if (satisfies(*record, ref) || providesFor(*record, ref)) found.push_back(record);
  }
  return found;
}
