// The modes that change packages: cleanup, the stream install from standard
// input and the upgrade run. Each owns the one journal of the call.
#pragma once

#include "driver/command_line.h"

/// "--cleanup": uninstalls what is no longer wanted; status 0.
int runCleanupMode();
/// "-": installs one package file from standard input; the install's status,
/// or 28 when it does not fit on flash.
int runStreamInstallMode(const Settings& settings);
/// The default mode: the upgrade run from the upload directories; 0 or 28.
int runUpgradeMode(const Settings& settings);
