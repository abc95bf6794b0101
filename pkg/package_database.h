// The package database on flash: one directory of small text files per
// installed package under "/flash/var/pdb/". Entries are read straight from
// disk; every write and removal goes through the file journal.
//
// The entry of package NAME is "/flash/var/pdb/NAME/". Its meta files
// (version, deps, provides, conflicts, bundle, files) describe the package;
// its state files (disabled, enabled) say whether it is disabled and who
// chose that; "image" is the package file itself for a package stored as an
// image (repository.h reads it). "/ram/pdb/NAME/schedule" holds an action
// requested from outside the installer, which only reads it.
//
// Notation: "x" the bytes x; a | b either; [a] optional; {a} any number of
// a; ws any run of blanks, tabs and newlines, also none; word a run of other
// bytes; u32 and i32 decimal numbers with an optional sign as std::istream's
// >> reads them (a value out of range is malformed; "-1" as u32 is
// 4294967295). Versions are packed as in package_record.h (103310848 is
// 6.40); a bound of 0 leaves its side of the range open.
//
//   version   = ws u32 ws u32 ...                  version, build time
//               "103310853 1609851662\n"
//   deps      = { ws word ws u32 ws u32 } ws       name, min, max per entry
//               "tessel 103310848 0\nbase 103245312 103376384\n"
//   conflicts = same as deps
//   provides  = { ws word ws u32 ws u32 ws i32 } ws   and the priority
//               "media 0 0 -5\n"
//   bundle    = ws word ...                        name of the owning bundle
//               "quorilan\n"
//   files     = { {byte but "\n"} "\n" } [{byte but "\n"}]   one path a line
//               "bin/tool\nlib/libq.so\n"
//   disabled  = [first line] ...                   "auto\n" or "user\n"
//   enabled   = anything                           "user\n"
//   schedule  = ws ("uninstall" | "enable" | "disable") ...   "enable\n"
//
// "..." is whatever follows, never read. The lists are read token by token:
// line ends do not matter, and a fourth field on a deps line is read as the
// next name.
//
// Reading. A record that came from a stored image (its version is already
// set) reads only "files" of the meta files, any other record all of them.
// The state files are read for every record, the schedule file for every
// record that is not inert.
//   version   missing or malformed: the package is marked for uninstalling.
//   deps, provides, conflicts: missing is an empty list; an entry cut short
//             or a number that does not parse marks the package for
//             uninstalling.
//   bundle    a name read: the package is a member whose bundle's image is
//             gone, and is marked for uninstalling; missing or empty: not a
//             member.
//   files     every non-empty line is a path, with "/" put in front when it
//             has none; one that is then not below "/flash/" or has a ".."
//             component is left out; no file: the package is a bundle (not
//             so for a record from an image).
//   disabled  present: the package is disabled, by the installer when the
//             first line is exactly "auto", else by the user's choice.
//   enabled   present and no "disabled": enabled by the user's choice; its
//             content is not read.
//   schedule  the pending action; "enable" and "disable" also count as the
//             user's choice. Another word, an empty file or none: no action.
// A read that fails (a disk error, not the end of the file) prints "could
// not read PATH" and makes loadEntry return false, whatever it marked.
//
// Writing, each file whole through the journal; in parentheses the size
// hint that chooses where its temporary file goes:
//   version   "VERSION BUILDTIME\n"                         (32)
//   deps      "NAME MIN MAX\n" per entry, also for none     (1024)
//   provides  "NAME MIN MAX PRIORITY\n" per entry; removed when none  (1024)
//   conflicts "NAME MIN MAX\n" per entry; removed when none           (1024)
//   bundle    "BUNDLE\n" for a bundle member, else removed  (16)
//   files     each path without its leading "/" and "\n",
//             in byte-wise order; not for a bundle          (4096)
//   disabled  "user\n" or "auto\n" when disabled, else removed          (8)
//   enabled   "user\n" when enabled by the user's choice, else removed  (8)
// The meta files are written only for a package that is neither stored as
// an image nor flagged no-meta, in the order above; the first that fails
// stops the write and is reported by reportWriteFailure with the label
// "meta/" and the file's name. The state files are written without a
// check: a lost one reads as the default state.
#pragma once

#include <string>
#include <vector>

#include "model/package_record.h"

class FileJournal;

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

/// Journals the removal of the package's files but those that a package of
/// another name still lists, its entry and, for the boot package, of an
/// unshared "/flash/bootimage"; empties `files`.
void removeEntry(InstalledPackage& package, FileJournal& journal);

/// Prints the failure of a database write for the package, chosen by the
/// current errno; `label` names the file that could not be created.
void reportWriteFailure(const InstalledPackage& package, const std::string& label);
