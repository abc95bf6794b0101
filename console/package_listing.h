// The "--show" table of the installed packages.
#pragma once

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>

/// Writes the table of the context's packages, in load order, to `out`.
void printPackageListing(std::ostream& out);

/// A build time as "Jan/05/2021 13:07:42" (UTC).
std::string buildTimeText(uint32_t buildTime);

/// The UTC calendar fields of a build time (seconds since 1970 as package
/// files keep them, up to 2106), reckoned without time_t: that is 32 bits
/// and signed on 32-bit machines, where gmtime() puts the times past January
/// 2038 before 1970.
std::tm buildTimeParts(uint32_t seconds);
