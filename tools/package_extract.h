// Taking a package or bundle file apart into a folder: the regular files of
// each package with their modes, where the installer would place them below
// "/flash", with the entry names that the installer refuses refused here too.
#pragma once

#include <cstdint>
#include <string>

#include "package_writer.h"

/// Every variant's files: those of a processor variant get ".variant-N"
/// after their name.
constexpr int ALL_VARIANTS = -1;

struct ExtractOptions {
  /// ALL_VARIANTS, or the processor variant (0 to 4) whose machine is
  /// meant: files of variant 0 and of this one, under their own names.
  int variant = ALL_VARIANTS;
  /// Check every package's signature with `key` first.
  bool verify = true;
  uint8_t key[32] = {};
  /// Put the members of a bundle together into the folder, as the
  /// installer places them; else each into a folder of its name.
  bool merge = false;
};

/// Writes the files of `file` (read from `label`, which every message
/// names) below `directory`, created when missing. Everything is checked
/// before the first file is written: a broken file, a signature that does
/// not verify, an entry name the installer refuses, and two entries that
/// would need one path as a file and as a folder or (for every variant)
/// would land on one path write nothing. Files are written beside their
/// place and renamed into it, and no path leaves `directory`, also where
/// links stand in it. Prints one error line and returns false on failure.
bool extractPackageFile(const ByteVector& file, const std::string& label, const std::string& directory,
                        const ExtractOptions& options);
