// The upgrade run: installs the best package files of the upload
// directories, one after another, and enables again what was active.
#pragma once

#include "driver/command_line.h"

class FileJournal;

/// Runs the upgrade from "/flash/rw/pckg/" (or, when that offers nothing,
/// "/flash/var/pckg/") into the journal. A failed install cancels the
/// whole journal and ends the run.
void runUpgrade(FileJournal& journal, InstallFlags flags);
