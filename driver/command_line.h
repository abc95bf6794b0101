// The option scan: fills the settings of one call, runs "--commit" and
// "--cancel" on the spot, and hands everything else to runMode.
#pragma once

#include <cstdint>
#include <string>

#include "model/install_flags.h"

/// Where a stored journal waits for "--commit" or "--cancel".
extern const char* const MANIFEST_PATH;

struct Settings {
  bool cleanupRequested = false;
  bool readStandardInput = false;
  bool quiet = false;
  bool listingRequested = false;
  bool applyAtOnce = true;
  std::string root;
  InstallFlags flags = 0;
};

/// Scans the arguments and runs the chosen mode; returns the exit status.
int runInstaller(int argc, char** argv);

/// Prepares the process (root, working directory, architecture, repository)
/// and runs the mode that the settings ask for; returns the exit status.
int runMode(const Settings& settings);
