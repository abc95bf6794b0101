// The one process-wide context: architecture, installed packages and the
// console's state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pkg/package_record.h"

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
  /// The repository, in load order; owns the records.
  std::vector<std::unique_ptr<InstalledPackage>> packages;
  std::string statusLine;
  std::vector<std::string> messageLog;
  bool quiet = false;
};
