// What the driver grants an install: the permissions that the candidate
// checks and the stream installs ask for.
#pragma once

#include <cstdint>

/// Install permissions, granted by the driver and needed by candidates.
using InstallFlags = uint32_t;
constexpr InstallFlags INSTALL_UPGRADE = 1;
constexpr InstallFlags INSTALL_DOWNGRADE = 2;
constexpr InstallFlags INSTALL_IGNORE_REQUIREMENTS = 8;
constexpr InstallFlags INSTALL_ALLOW_CONFLICT = 16;
constexpr InstallFlags INSTALL_REINSTALL = 32;
