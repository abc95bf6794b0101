// The one process-wide context: the device's architecture and the installed
// packages.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/package_record.h"

/// The installed packages in load order; owns the records.
using PackageRepository = std::vector<std::unique_ptr<InstalledPackage>>;

class InstallerContext {
 public:
  /// The context, created empty on the first call.
  static InstallerContext& instance();
  /// Empties every field; tests start from a clean context with it.
  static void reset();

  /// Index of the first package named exactly `name`, or -1.
  int findPackage(const std::string& name) const;
  /// The first package named exactly `name`, or nullptr.
  InstalledPackage* packageByName(const std::string& name) const;

  std::string architecture;
  PackageRepository packages;
};
