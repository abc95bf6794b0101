// Installing one package file from a byte stream, and the cleanup mode.
#pragma once

#include <istream>
#include <streambuf>
#include <string>

#include "driver/command_line.h"
#include "resolve/package_install.h"

class FileJournal;

/// Installs the package or bundle read from `input` (from its first byte).
/// `copyTarget` receives every byte read; `directory` the entry directory of
/// a package stored as an image; `boot` whether it becomes the boot image.
/// With a copy target both stay empty unless the stream was read whole.
/// Returns 0 when installed; 1 for a single package that was not, or the
/// bundle install's result.
unsigned installFromStream(FileJournal& journal, std::istream& input, InstallFlags flags,
                           const UserStateMap& userStates, std::streambuf* copyTarget,
                           std::string* directory, bool* boot);

/// Journals the move of a package file kept whole to `target`, its entry's
/// "image"; for the boot package the file becomes "/flash/bootimage" and
/// `target` a link to it, unless `target` is empty (a boot package without
/// an image part has no entry image).
void placePackageImage(FileJournal& journal, const std::string& file, const std::string& target,
                       bool boot);

/// Marks for uninstall every package that is not kept ("wardle",
/// "media-kit", "tessel", bundles, and packages that need "tessel" 3.22 or
/// later) and carries the schedule out into the journal.
bool planCleanup(FileJournal& journal);
