// A private device root for the fuzz targets: the installer's device
// directories under a temporary directory, made the process's root, so that
// the "/flash/..." and "/ram/..." paths an install touches are the root's own.
#pragma once

#include <string>
#include <vector>

/// The directories of a device root that every target may touch.
extern const std::vector<std::string> FUZZ_DEVICE_DIRECTORIES;

/// Creates the device directories below `root` (an existing host directory),
/// makes the host's system directories visible in it read-only where the
/// process may mount (so sanitizer reports stay symbolized), and changes the
/// process's root to it. The working directory is left where it was, so a
/// relative path still names a host file: libFuzzer's corpus and crash files
/// keep working. Prints the reason and returns false on failure.
bool enterFuzzRoot(const std::string& root);

/// Creates a fresh directory below $TMPDIR (or /tmp) and enters it as with
/// enterFuzzRoot; the directory is removed again when the process exits
/// normally. False (with the reason printed) on failure.
bool enterTemporaryFuzzRoot();

/// Every path in the fuzz root but the system view (files, links and
/// directories), sorted; used to see what an input left behind. Empty when
/// the process has not entered a fuzz root.
std::vector<std::string> listDeviceTree();

/// Deletes everything in the fuzz root but the system view and recreates
/// the device directories. Does nothing when the process has not entered a
/// fuzz root.
void clearDeviceTree();

/// A command-line argument with its absolute path (the argument itself, or
/// the value of a flag "-name=/...") rewritten relative to
/// `workingDirectory`: after the root changes, the working directory is the
/// only way back to host paths, and ".." from it climbs to the host's root.
/// Other arguments come back unchanged.
std::string argumentFromWorkingDirectory(const std::string& argument,
                                         const std::string& workingDirectory);
