// The bodies of the fuzz targets as plain functions: the libFuzzer programs
// call them from LLVMFuzzerTestOneInput, and the regression test replays
// saved inputs through them without libFuzzer.
//
// Every function expects a process that has entered a fuzz root
// (fuzz_root.h) and called prepareFuzzProcess(). Besides the sanitizers,
// each target checks a few properties that must hold for any input and
// aborts with a message on stderr when one is broken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Silences the console (unless INSTALLER_FUZZ_VERBOSE is set), fixes the device probes (variant 2 processor, no
/// flash device limits) and lays out the installed files that the stream
/// install target finds in its root. Call once, inside the fuzz root.
void prepareFuzzProcess();

/// Bytes → a package file in the upload directory → readPackageFile; a
/// second read with the file header's length field corrected, so that the
/// parts are reached even when the length is wrong; and the same bytes as
/// a stored image read by loadImages. Returns 1 when the bytes as given
/// read as a package file, else 0.
int fuzzPackageFile(const uint8_t* data, size_t size);

/// Bytes → installFromStream into a journal that is then cancelled, over a
/// small repository, with the permissions that the driver grants: upgrade
/// and downgrade, and reinstall when the input's length is odd. Checks that the copy target got exactly the bytes
/// consumed, that nothing is journaled outside "/flash" and that the cancel
/// leaves no file behind. Returns installFromStream's result.
unsigned fuzzStreamInstall(const uint8_t* data, size_t size);

/// Bytes → "/ram/MANIFEST" → FileJournal::readManifest, then cancel (never
/// apply). Checks that a manifest read back from writeManifest gives the
/// same operations and that the cancel deletes nothing. Returns 1 when
/// readManifest succeeded, else 0.
int fuzzManifest(const uint8_t* data, size_t size);

/// The files of one database entry, framed as below, in
/// "/flash/var/pdb/fuzz/" and "/ram/pdb/fuzz/schedule", then loadEntry.
/// Returns the record's scheduledAction.
///
/// Framing: a u16 mask (little-endian), then the contents of the files
/// present, in the order of DATABASE_ENTRY_FILES, separated by 0xFF bytes
/// (a missing piece is an empty file). Mask bits 0..8 say which of the
/// files exist; bit 9 pre-fills the record as if its header came from an
/// image (so the meta files are not read); bit 10 makes that record inert.
int fuzzDatabaseEntry(const uint8_t* data, size_t size);

/// The files that fuzzDatabaseEntry's mask bits 0..8 stand for, in order.
extern const std::vector<std::string> DATABASE_ENTRY_FILES;
/// Mask bits of fuzzDatabaseEntry beyond the files.
constexpr uint16_t ENTRY_FROM_IMAGE = 1u << 9;
constexpr uint16_t ENTRY_INERT = 1u << 10;
/// Separates the file contents in fuzzDatabaseEntry's input.
constexpr uint8_t ENTRY_SEPARATOR = 0xFF;

/// The input of fuzzDatabaseEntry for the given mask and file contents
/// (one per set file bit, in order).
std::vector<uint8_t> frameDatabaseEntry(uint16_t mask, const std::vector<std::string>& contents);
