// The option scan: fills the settings of one call, runs "--commit" and
// "--cancel" on the spot (inside the root of a "-r" before them), and hands
// everything else to runMode.
#pragma once

#include <cstdint>
#include <optional>
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
  std::optional<std::string> root;
  InstallFlags flags = 0;
};

/// Exit status when the root named by "-r" cannot be entered: nothing ran.
constexpr int STATUS_ROOT_UNUSABLE = 4;

/// Exit status when another installer works on the same device: nothing ran.
/// Like 5 and 28, the error number of the cause (EBUSY).
constexpr int STATUS_BUSY = 16;

/// Enters the root named by "-r", if any, and its "/"; false (with the
/// error shown) when it cannot be entered.
bool enterRoot(const Settings& settings);
/// Takes the device for this process: shared when `readOnly` (waiting for
/// a running install to end), else exclusive and at once. False, with the
/// error shown, when another installer holds it.
bool lockDevice(bool readOnly);

/// Scans the arguments and runs the chosen mode; returns the exit status.
int runInstaller(int argc, char** argv);

/// Prepares the process (root, working directory, architecture, repository)
/// and runs the mode that the settings ask for; returns the exit status.
int runMode(const Settings& settings);
