// Install candidates: reading the upload directories, choosing the best of
// each group of related packages in a workable order, and judging one
// candidate against the installed packages and the device.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "model/install_flags.h"
#include "model/package_record.h"

/// Package files read from the upload directories; owns the records.
using PackageFileList = std::vector<std::unique_ptr<PackageFileRecord>>;

/// Appends a record for every readable ".qbx" or ".qbd" file of `directory`
/// (ending in "/"); an unreadable or non-regular one is reported as broken.
void scanUploadDirectory(const std::string& directory, PackageFileList& records);

/// The selection proper on a list of record pointers: returns the indices
/// of the surviving candidates in their new order. Reports omissions as
/// warnings when `verbose`.
std::vector<size_t> selectCandidateOrder(const std::vector<const PackageRecord*>& candidates,
                                         bool reversed, bool verbose);

/// Keeps the best candidate of each related group (the oldest when
/// `reversed`) and orders the survivors so that each comes after what it
/// needs. Works on any list of non-owning pointers to records; never
/// destroys a record.
template <class Record>
void selectCandidates(std::vector<Record*>& candidates, bool reversed, bool verbose) {
  static_assert(std::is_base_of<PackageRecord, Record>::value, "candidates are package records");
  std::vector<const PackageRecord*> view(candidates.begin(), candidates.end());
  std::vector<Record*> selected;
  for (size_t index : selectCandidateOrder(view, reversed, verbose))
    selected.push_back(candidates[index]);
  candidates.swap(selected);
}

/// Checks the candidate against the installed packages and the device,
/// prints at most one reason (silenced for what `granted` allows) and
/// returns every permission that installing it would need.
InstallFlags evaluateCandidate(const PackageRecord& candidate, InstallFlags granted);

/// True when the device accepts the candidate's version (minimum system
/// version, flash file system); prints why not when `report`.
bool checkDeviceLimits(const PackageRecord& candidate, bool report);

/// True for the packages that the device limits apply to: "tessel" and
/// every name that begins with "quorilan".
bool isSubjectToDeviceLimits(const std::string& name);
