// Loading the installed packages into the installer context at start: the
// headers of stored images first, then every other database entry from its
// meta files.
#pragma once

#include <string>

/// Where stored images may also be kept, one file per package name.
extern const char* const IMAGE_DIRECTORY;

/// Sets the context's quiet switch and architecture, then fills its
/// packages from the package database. A database directory that cannot
/// be opened is reported as a warning and leaves the repository empty.
/// False (with the errors shown) when an image or a file of an entry could
/// not be read because of a disk error: the packages are then not known
/// for sure, and nothing should be planned on them.
bool loadRepository(bool quiet, const std::string& architecture);

/// One pass over the database entries that reads stored images: the image
/// of each entry is `prefix` + name, or the entry's own "image" when
/// `fromImageDirectory` is false. False only when the database directory
/// cannot be opened.
bool loadImages(const std::string& prefix, bool fromImageDirectory);
