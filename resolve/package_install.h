// Installing a package or a bundle read from a package stream: evaluating
// it, replacing or keeping the installed package, and settling the
// schedule after it.
#pragma once

#include <map>
#include <string>

#include "model/install_flags.h"
#include "model/package_record.h"

class FileJournal;
class PackageReader;

/// Package name to the disabled state that the user set for it.
using UserStateMap = std::map<std::string, bool>;

/// Results of installBundleFromStream.
enum BundleResult : unsigned {
  BUNDLE_INSTALLED = 0,
  BUNDLE_BROKEN = 1,   ///< header unreadable, entry not registered, or a member failed
  BUNDLE_REFUSED = 2,  ///< the selection rules refused the bundle
  BUNDLE_EMPTY = 3,    ///< no member was installed or kept
};

/// Installs the single package (or bundle member, when `bundle` is given)
/// on whose header part the reader stands. Returns the record that now
/// stands for it in the context's packages, or nullptr when it was omitted
/// or failed. `imageDirectory` receives the entry directory of a package
/// stored as an image; `boot` whether it becomes the boot image.
InstalledPackage* installPackageFromStream(FileJournal& journal, PackageReader& reader,
                                           InstallFlags granted, const UserStateMap& userStates,
                                           const PackageRef* bundle, std::string* imageDirectory,
                                           bool* boot);

/// Installs the bundle on whose header part the reader stands, with its
/// members, and retires the previous bundle's members it no longer carries.
unsigned installBundleFromStream(FileJournal& journal, PackageReader& reader, InstallFlags granted,
                                 const UserStateMap& userStates, std::string* imageDirectory,
                                 bool* boot);

/// Journals the removal of the first installed package named `name` and
/// destroys its record; false when there is none.
bool removeInstalledByName(FileJournal& journal, const std::string& name);
