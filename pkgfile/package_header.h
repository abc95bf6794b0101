// Turning the header parts of a package file into package records. The
// header block and the reference lists are laid out as package_format.h
// describes; text parts (24, 16, 2, 23) are their data byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/package_record.h"
#include "pkgfile/package_reader.h"

/// The bytes of a name field before the first NUL, all 16 when there is none.
std::string nameField(const uint8_t* bytes);

/// The reference entry of REF_ENTRY_LENGTH bytes at `bytes`.
PackageRef decodeRefEntry(const uint8_t* bytes);

/// Appends the entries of the reference list in the reader's current part;
/// false when the part ends inside the list.
bool readRefList(PackageReader& reader, std::vector<PackageRef>& refs);

/// Fills `record` from the header part on which the reader stands (type 1 or
/// 18) and the optional parts after it, in their fixed order. Leaves the
/// reader on the first part it did not consume; false for a wrong first part,
/// a short header block, an unsafe package name, a short reference list or,
/// with the record complete, a list name the database cannot store.
bool readPackageHeader(PackageRecord& record, PackageReader& reader);

/// Reads the package file at `path` with its bundle members into `record`;
/// false for a broken file (unreadable, wrong magic, size on disk differing
/// from the declared total, bad header parts, a bundle without members).
bool readPackageFile(PackageFileRecord& record, const std::string& path);
