// The files that package authors hand to the tools: a directory tree read
// into file entries, and whole files read and written.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "package_writer.h"

/// Collects every regular file below `root` as a file entry named by its
/// path relative to `root` ("bin/tool"), with the file's mode and content,
/// sorted byte-wise by name. Directories are walked, not written. Symbolic
/// links and special files are refused, since the installer could not
/// install them. Prints an error and returns false on any problem.
bool readSourceTree(const std::string& root, std::vector<FileDraft>& entries);

/// Reads a whole file into `bytes`; prints an error and returns false when
/// it cannot be read.
bool readWholeFile(const std::string& path, ByteVector& bytes);

/// Writes `bytes` as the whole content of `path` with the permission bits
/// `mode`: first into a new file beside it, which then replaces `path`
/// (`replace`) or takes its name only when none exists (else the error is
/// "File exists"). On failure prints an error naming `path`, removes the new
/// file and returns false; `path` is then as it was.
bool writeFileBeside(const std::string& path, const uint8_t* bytes, size_t length, mode_t mode, bool replace);

/// writeFileBeside with the permission bits 0666 less the umask, replacing
/// an existing file.
bool writeWholeFile(const std::string& path, const ByteVector& bytes);
