// Turning the header parts of a package file into package records.
//
// Header block (parts 1 and 18): 16-byte NUL-padded name, u32 version,
// u32 build time, 8 bytes not interpreted, then u32 flags when the part has
// at least 36 bytes. Text parts (24, 16, 2, 23) are their data byte for byte.
// Reference lists (3, 19, 17, 20): u16 count, then per entry a 16-byte name,
// u32 minVersion, 4 bytes not interpreted, u32 maxVersion, i32 priority.
#pragma once

#include <string>
#include <vector>

#include "model/package_record.h"
#include "pkgfile/package_reader.h"

/// Appends the entries of the reference list in the reader's current part;
/// false when the part ends inside the list.
bool readRefList(PackageReader& reader, std::vector<PackageRef>& refs);

/// Fills `record` from the header part on which the reader stands (type 1 or
/// 18) and the optional parts after it, in their fixed order. Leaves the
/// reader on the first part it did not consume; false for a wrong first part,
/// a short header block or a short reference list.
bool readPackageHeader(PackageRecord& record, PackageReader& reader);

/// Reads the package file at `path` with its bundle members into `record`;
/// false for a broken file (unreadable, wrong magic, size on disk differing
/// from the declared total, bad header parts, a bundle without members).
bool readPackageFile(PackageFileRecord& record, const std::string& path);
