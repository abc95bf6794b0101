// Describing a package file for its author: every part, the header fields,
// reference lists and file entries, and the signature of every package in
// it checked with the installer's verifier.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "package_writer.h"

/// Prints a description of the package or bundle file `file` to `out` and
/// checks its structure and the signature of each package in it against
/// `key` (a public key, 32 little-endian bytes). Each problem is printed as
/// an error through the console, after `label` (the file's path); returns
/// true when there is none.
bool inspectPackageFile(const ByteVector& file, const std::string& label, const uint8_t key[32],
                        std::ostream& out);
