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

/// Exit statuses when the record of an install could not be written to the
/// flash, so that nothing was applied: ENOSPC for a full flash, else EROFS.
constexpr int STATUS_NO_SPACE = 28;
constexpr int STATUS_NOT_RECORDED = 30;
/// Shows why the record could not be written (errno) and returns the status.
int recordFailure();

/// Enters the root named by "-r", if any, and its "/"; false (with the
/// error shown) when it cannot be entered.
bool enterRoot(const Settings& settings);
/// Takes the device for this process: shared when `readOnly` (waiting for
/// a running install to end), else exclusive and at once. Then finishes
/// what a run cut short left behind (not for "--cancel"), and starts the
/// list of this run's temporary files unless `readOnly`. False, with the
/// error shown, when another installer holds the device.
bool takeDevice(bool readOnly, bool finishLeftover = true);
/// Ends the list of this run's temporary files.
void releaseDevice();

/// Scans the arguments and runs the chosen mode; returns the exit status.
int runInstaller(int argc, char** argv);

/// Prepares the process (root, working directory, architecture, repository)
/// and runs the mode that the settings ask for; returns the exit status.
int runMode(const Settings& settings);
