#include "model/package_record.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char* const ACTION_NAMES[] = {"", "uninstall", "enable", "disable"};

const char* kindSuffix(unsigned kind) {
  switch (kind) {
    case 'a': return "alpha";
    case 'b': return "beta";
    case 'c': return "rc";
    default: return "";
  }
}

// Reads a decimal number of at most three digits and at most 255 at `pos`.
bool readField(const std::string& text, size_t& pos, uint32_t& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
    value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
    ++pos;
  }
  return pos > start && value <= 255 && (pos == text.size() || text[pos] < '0' || text[pos] > '9');
}

}  // namespace

const char* scheduleActionName(uint32_t action) {
  return action < 4 ? ACTION_NAMES[action] : "";
}

PackageRecord::PackageRecord(std::string recordName) : name(std::move(recordName)) {}

PackageRecord::~PackageRecord() = default;

std::string versionText(PackageVersion version) {
  unsigned major = version >> 24;
  unsigned minor = (version >> 16) & 0xFF;
  unsigned kind = (version >> 8) & 0xFF;
  unsigned number = version & 0xFF;
  char buffer[80];
  if (kind == 'f') {
    if (number != 0)
      std::snprintf(buffer, sizeof buffer, "%u.%u.%u", major, minor, number);
    else
      std::snprintf(buffer, sizeof buffer, "%u.%u", major, minor);
  } else if (number != 0) {
    std::snprintf(buffer, sizeof buffer, "%u.%u%s%u", major, minor, kindSuffix(kind), number);
  } else {
    std::snprintf(buffer, sizeof buffer, "%u.%u%s", major, minor, kindSuffix(kind));
  }
  return buffer;
}

bool parseVersion(const std::string& text, PackageVersion& out) {
  size_t pos = 0;
  uint32_t major = 0, minor = 0, number = 0;
  if (!readField(text, pos, major) || pos >= text.size() || text[pos] != '.') return false;
  ++pos;
  if (!readField(text, pos, minor)) return false;
  char kind = 'f';
  if (pos < text.size()) {
    if (text[pos] == '.') {
      ++pos;
      if (!readField(text, pos, number)) return false;
    } else {
      static const struct { const char* suffix; char kind; } SUFFIXES[] = {
          {"alpha", 'a'}, {"beta", 'b'}, {"rc", 'c'}};
      bool found = false;
      for (const auto& s : SUFFIXES) {
        if (text.compare(pos, std::string(s.suffix).size(), s.suffix) == 0) {
          pos += std::string(s.suffix).size();
          kind = s.kind;
          found = true;
          break;
        }
      }
      if (!found) return false;
      if (pos < text.size() && !readField(text, pos, number)) return false;
    }
  }
  if (pos != text.size()) return false;
  out = makeVersion(major, minor, kind, number);
  return true;
}

bool isStorableName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c == 0x7F) return false;
  return true;
}

bool isSafePackageName(const std::string& name) {
  return isStorableName(name) && name[0] != '.' && name.find('/') == std::string::npos;
}

const char* const DATABASE_DIRECTORY = "/flash/var/pdb/";

bool isSafeEntryName(const std::string& name) {
  if (name.empty() || name.back() == '/') return false;
  for (unsigned char c : name)
    if (c <= ' ' || c == 0x7F) return false;
  // One leading "/" is the flash root; after it every component is a name
  // that a directory can hold.
  const size_t first = name[0] == '/' ? 1 : 0;
  for (size_t start = first; start <= name.size();) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const size_t length = end - start;
    if (length == 0 || length > NAME_MAX || name.compare(start, length, ".") == 0 ||
        name.compare(start, length, "..") == 0)
      return false;
    start = end + 1;
  }
  // The package database is the installer's own: an entry there would
  // rewrite another package's record.
  const std::string enabledTarget = "/flash/" + name.substr(first) + "/";
  return enabledTarget.compare(0, std::strlen(DATABASE_DIRECTORY), DATABASE_DIRECTORY) != 0;
}

std::string nameVersionText(const PackageRecord& record) {
  return record.name + "-" + versionText(record.version);
}

std::string refText(const PackageRef& ref) {
  if (ref.minVersion == 0) return ref.name;
  return ref.name + "-" + versionText(ref.minVersion);
}

std::string displayName(const InstalledPackage& package) {
  if (!package.bundle.name.empty()) return refText(package.bundle);
  return nameVersionText(package);
}
