#include "pkg/repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "console/console.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "pkgfile/package_header.h"
#include "pkgfile/package_reader.h"

const char* const IMAGE_DIRECTORY = "/rw/pckg/.images/";

namespace {

// Only directories are package entries: a plain file left in the database
// directory (a stream install's "image", say) must not become a package.
bool isEntryDirectory(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  struct stat status;
  return stat((DATABASE_DIRECTORY + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names of the database entries, in byte-wise order so that the load
// order does not depend on the file system. False when the database
// directory cannot be opened.
bool listEntries(std::vector<std::string>& names) {
  DIR* directory = opendir(DATABASE_DIRECTORY);
  if (directory == nullptr) return false;
  while (const dirent* entry = readdir(directory))
    if (isEntryDirectory(entry->d_name)) names.push_back(entry->d_name);
  closedir(directory);
  std::sort(names.begin(), names.end());
  return true;
}

// Members stand before their bundle; each carries a reference to the
// bundle's name and version.
void appendBundle(std::unique_ptr<InstalledPackage> bundle, PackageReader& reader,
                  PackageRepository& packages) {
  readPackageHeader(*bundle, reader);
  PackageRef bundleRef{bundle->name, bundle->version, bundle->version, 0};
  while (reader.currentType == PART_HEADER) {
    auto member = std::make_unique<InstalledPackage>();
    // A member whose header block cannot be read leaves the reader on its
    // header part; it is kept as read, and the bundle's walk ends there.
    bool complete = readPackageHeader(*member, reader);
    member->bundle = bundleRef;
    packages.push_back(std::move(member));
    if (!complete) break;
  }
  packages.push_back(std::move(bundle));
}

// Images whose reading failed with a disk error: their records say nothing
// sure about the packages.
int failedImages = 0;

// Reads the stored image at `imagePath` into the context's packages; false
// when there is no image to read.
bool loadImage(const std::string& name, const std::string& imagePath, PackageRepository& packages) {
  struct stat status;
  if (stat(imagePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  std::ifstream image(imagePath, std::ios::binary);
  if (!image.is_open()) return false;
  PackageReader reader(image, false);
  reader.filter = IMAGE_FILTER;
  reader.nextPart();
  auto record = std::make_unique<InstalledPackage>(name);
  if (reader.currentType == PART_BUNDLE_HEADER) {
    appendBundle(std::move(record), reader, packages);
  } else {
    readPackageHeader(*record, reader);
    packages.push_back(std::move(record));
  }
  if (reader.readError() != 0) {
    ++failedImages;
    error("could not read %s: %s", imagePath.c_str(), std::strerror(reader.readError()));
  }
  return true;
}

// False when a file of an entry could not be read.
bool loadStateOfImageRecords(PackageRepository& packages) {
  bool allRead = true;
  for (auto& package : packages) allRead = loadEntry(*package) && allRead;
  return allRead;
}

// False when a file of an entry could not be read.
bool loadMetaOnlyEntries(const std::vector<std::string>& names, InstallerContext& context) {
  bool allRead = true;
  for (const std::string& name : names) {
    if (context.findPackage(name) != -1) continue;
    auto package = std::make_unique<InstalledPackage>(name);
    allRead = loadEntry(*package) && allRead;
    context.packages.push_back(std::move(package));
  }
  return allRead;
}

}  // namespace

bool loadImages(const std::string& prefix, bool fromImageDirectory) {
  std::vector<std::string> names;
  if (!listEntries(names)) return false;
  PackageRepository& packages = InstallerContext::instance().packages;
  for (const std::string& name : names) {
    std::string imagePath =
        fromImageDirectory ? prefix + name : DATABASE_DIRECTORY + name + "/image";
    loadImage(name, imagePath, packages);
  }
  return true;
}

bool loadRepository(bool quiet, const std::string& architecture) {
  InstallerContext& context = InstallerContext::instance();
  consoleState().quiet = quiet;
  context.architecture = architecture;
  const int failedBefore = failedImages;
  if (!loadImages(DATABASE_DIRECTORY, false)) {
    warning("could not open repo");
    return true;
  }
  loadImages(IMAGE_DIRECTORY, true);
  std::vector<std::string> names;
  if (!listEntries(names)) return failedImages == failedBefore;
  bool entriesRead = loadStateOfImageRecords(context.packages);
  entriesRead = loadMetaOnlyEntries(names, context) && entriesRead;
  return entriesRead && failedImages == failedBefore;
}
