#include "console/package_listing.h"

#include <ctime>
#include <iomanip>
#include <ostream>

#include "model/installer_context.h"

namespace {

constexpr int NAME_WIDTH = 16;
constexpr int VERSION_WIDTH = 13;
constexpr int BUILT_WIDTH = 20;
constexpr int NOTE_WIDTH = 40;
constexpr size_t SEPARATOR_LENGTH = 94;

// Every column is padded on the stream's default side; the listing sets no
// adjustment of its own.
void printHeader(std::ostream& out) {
  out << std::setw(NAME_WIDTH) << "Name" << "    ";
  out << std::setw(VERSION_WIDTH) << "Version" << " ";
  out << std::setw(BUILT_WIDTH) << "Built";
  out << std::setw(NOTE_WIDTH) << "Note" << '\n';
  out << std::string(SEPARATOR_LENGTH, '-') << '\n';
}

void printRow(std::ostream& out, const InstalledPackage& package) {
  out << std::setw(NAME_WIDTH) << package.name << " ";
  out << std::setw(1) << (package.disabled ? "X" : " ");
  out << std::setw(2) << (package.bundle.name.empty() ? "  " : "B ");
  out << std::setw(VERSION_WIDTH) << versionText(package.version) << " ";
  out << std::setw(BUILT_WIDTH) << buildTimeText(package.buildTime) << " ";
  out << std::setw(NOTE_WIDTH) << package.note << '\n';
}

}  // namespace

std::tm buildTimeParts(uint32_t seconds) {
  static const int DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  std::tm parts{};
  const uint32_t days = seconds / 86400, time = seconds % 86400;
  parts.tm_hour = static_cast<int>(time / 3600);
  parts.tm_min = static_cast<int>(time / 60 % 60);
  parts.tm_sec = static_cast<int>(time % 60);
  parts.tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  // The civil date of a day count, in years that start on March 1st so that
  // the leap day ends them (H. Hinnant's civil_from_days).
  const int64_t shifted = static_cast<int64_t>(days) + 719468;
  const int64_t era = shifted / 146097, dayOfEra = shifted % 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  const int64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  parts.tm_year = static_cast<int>(year - 1900);
  parts.tm_mon = month - 1;
  parts.tm_mday = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  parts.tm_yday = DAYS_BEFORE_MONTH[month - 1] + parts.tm_mday - 1 + (leap && month > 2 ? 1 : 0);
  return parts;
}

std::string buildTimeText(uint32_t buildTime) {
  std::tm parts = buildTimeParts(buildTime);
  char text[128];
  size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &parts);
  return std::string(text, length);
}

void printPackageListing(std::ostream& out) {
  printHeader(out);
  for (const auto& package : InstallerContext::instance().packages) printRow(out, *package);
  out.flush();
}
