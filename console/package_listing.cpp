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

std::string buildTimeText(uint32_t buildTime) {
  std::time_t seconds = static_cast<std::time_t>(buildTime);
  std::tm parts;
  if (gmtime_r(&seconds, &parts) == nullptr) return std::string();
  char text[128];
  size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &parts);
  return std::string(text, length);
}

void printPackageListing(std::ostream& out) {
  printHeader(out);
  for (const auto& package : InstallerContext::instance().packages) printRow(out, *package);
  out.flush();
}
