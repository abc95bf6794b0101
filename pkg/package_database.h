// The package database on flash: one directory of small text files per
// installed package under "/flash/var/pdb/". Entries are read straight from
// disk; every write and removal goes through the file journal.
#pragma once

#include <string>
#include <vector>

#include "model/package_record.h"

class FileJournal;

/// Directory that holds one entry per installed package.
extern const char* const DATABASE_DIRECTORY;
/// The boot image that a package with the boot flag keeps outside its entry.
extern const char* const BOOT_IMAGE_PATH;

/// The package's entry directory: "/flash/var/pdb/" + name + "/".
std::string entryPath(const PackageRecord& record);

/// The entry directory without the final "/": the one name under which the
/// journal removes or claims it (with the "/", a plain file in its place
/// would read as missing).
std::string entryDirectory(const PackageRecord& record);

/// The package's schedule file: "/ram/pdb/" + name + "/schedule".
std::string schedulePath(const PackageRecord& record);

/// Fills the record from its entry: the meta files when `version` is still
/// 0, then always the state and schedule files. A broken entry is marked
/// for uninstalling instead of being reported. False (with the error shown)
/// when a file could not be read because of a disk error: the record then
/// says nothing sure about the package.
bool loadEntry(InstalledPackage& package);

/// Appends the entries of a "deps", "provides" or "conflicts" file to
/// `refs`. A missing file is an empty list; false only for a malformed line.
bool readRefFile(const std::string& path, std::vector<PackageRef>& refs, bool withPriority);

/// Journals the package's complete entry; prints the failure and returns
/// false when a meta file cannot be written.
bool writeEntry(const InstalledPackage& package, FileJournal& journal);

/// True when the entry directory may be (re)filled: it does not exist or is
/// a directory, and nothing but a removal (withdrawn here) is pending on it.
bool prepareEntryDirectory(const InstalledPackage& package, FileJournal& journal);

/// prepareEntryDirectory, then writeEntry; false from whichever stopped.
bool registerEntry(const InstalledPackage& package, FileJournal& journal);

/// Journals the package's switch to disabled and updates the record.
void markDisabled(InstalledPackage& package, FileJournal& journal);

/// Journals the package's switch to enabled and updates the record.
void markEnabled(InstalledPackage& package, FileJournal& journal);

/// Journals the removal of the package's files, its entry and, for the
/// boot package, of an unshared "/flash/bootimage"; empties `files`.
void removeEntry(InstalledPackage& package, FileJournal& journal);

/// Prints the failure of a database write for the package, chosen by the
/// current errno; `label` names the file that could not be created.
void reportWriteFailure(const InstalledPackage& package, const std::string& label);
