// The "--show" table of the installed packages.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

/// Writes the table of the context's packages, in load order, to `out`.
void printPackageListing(std::ostream& out);

/// A build time as "Jan/05/2021 13:07:42" (UTC); empty when it cannot be
/// converted.
std::string buildTimeText(uint32_t buildTime);
