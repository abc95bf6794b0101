// Installing a package's contents: the payload part passed over with
// progress, the file entries unpacked through the journal, the signature
// checked and the database entry journaled.
//
// The files part is a zlib stream of file entries, back to back: each a file
// entry header (package_format.h), the name (a path below the flash root)
// and the data.
#pragma once

#include <string>

#include "model/package_record.h"

class FileJournal;
class PackageReader;

/// Consumes the parts after the package's header (the reader stands where
/// readPackageHeader left it) and installs the package into the journal.
/// On false a message has been printed, except when the entry directory
/// could not be claimed.
bool installContents(InstalledPackage& package, FileJournal& journal, PackageReader& reader);

/// Unpacks the files part on which the reader stands into the journal.
bool extractFiles(InstalledPackage& package, FileJournal& journal, PackageReader& reader);

/// The progress bar "installing [ (disabled) ]NAME-VERSION" for the reader.
void showInstallProgress(const InstalledPackage& package, PackageReader& reader);

/// Erases the status line and prints "installed [(disabled) ]NAME-VERSION".
void reportInstalled(const InstalledPackage& package);

/// Prints "installation of %s failed: broken package" for the package.
void reportBroken(const InstalledPackage& package);

/// True when the package file itself becomes the boot image instead of
/// having its files unpacked: the package has the boot flag and the
/// "bootimage" environment variable is set.
bool bootImageStaysPacked(const InstalledPackage& package);

/// Where an entry of the package lands: "/flash", then "/x/" and the
/// package name when it is disabled, then the entry name (with a "/"
/// in front when it has none).
std::string entryTarget(const InstalledPackage& package, const std::string& entryName);
