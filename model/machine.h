// What packages and the installer assume of the machine they run on when
// nothing says otherwise, and the range of its processor variants.
#pragma once

#include <cstdint>

/// The architecture of a package without an architecture part, and of the
/// machine when the "arch" environment variable is not set.
constexpr const char* DEFAULT_ARCHITECTURE = "i386";

/// Processor variants run from 1 to this. A file entry of variant 0 is for
/// every machine; one above this is for none.
constexpr uint32_t MAX_PROCESSOR_VARIANT = 4;
