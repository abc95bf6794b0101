// The fuzz targets, run by the libFuzzer programs built from targets.cpp and by the replay of
// saved findings in the unit tests. Beside the sanitizers, each checks what must hold for any
// input (among others, that it leaves the device tree as it was) and aborts with "fuzz check
// failed: ..." if it does not.
#pragma once

#include <cstdint>
#include <string>

using FuzzTarget = void (*)(const uint8_t* data, size_t size);

/// fuzz_package_file, fuzz_stream_install, fuzz_manifest, fuzz_database_entry or
/// fuzz_entry_layout; else null.
FuzzTarget fuzzTarget(const std::string& name);

/// Makes a tmpfs at `mountPoint` (an empty directory) the process's root, in a mount namespace
/// of its own, with the device the targets expect. Needs root; false, with the reason shown, if not.
bool enterFuzzRoot(const std::string& mountPoint);
