// Package records: the in-memory form of a package file, a database entry or
// a bundle member, with the packed version number and its text form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/compact_paths.h"

/// Packed version: major (bits 31..24), minor (23..16), kind letter
/// ('a', 'b', 'c', 'f'; bits 15..8) and number (7..0). Orders as unsigned.
using PackageVersion = uint32_t;

constexpr PackageVersion makeVersion(uint32_t major, uint32_t minor, char kind, uint32_t number) {
  return (major & 0xFF) << 24 | (minor & 0xFF) << 16 |
         (static_cast<uint32_t>(static_cast<unsigned char>(kind)) << 8) | (number & 0xFF);
}

/// Header flag bits of a package.
constexpr uint32_t PACKAGE_FLAG_BOOT = 1;
constexpr uint32_t PACKAGE_FLAG_NO_META = 2;

/// Version and build time that mark an inert record.
constexpr uint32_t INERT_VALUE = 0xFFFFFFFF;

/// Pending action of an installed package; also indexes scheduleActionName.
enum ScheduleAction : uint32_t {
  ACTION_NONE = 0,
  ACTION_UNINSTALL = 1,
  ACTION_ENABLE = 2,
  ACTION_DISABLE = 3,
};

/// "", "uninstall", "enable" or "disable"; "" for an unknown code.
const char* scheduleActionName(uint32_t action);

/// One entry of a deps, provides or conflicts list, or a bundle reference.
/// A bound of 0 leaves the range open on that side.
struct PackageRef {
  std::string name;
  PackageVersion minVersion = 0;
  PackageVersion maxVersion = 0;
  int32_t priority = 0;
};

/// A package as described by its header parts.
class PackageRecord {
 public:
  explicit PackageRecord(std::string name = std::string());
  virtual ~PackageRecord();
  PackageRecord(const PackageRecord&) = delete;
  PackageRecord& operator=(const PackageRecord&) = delete;

  std::string name;
  PackageVersion version = 0;
  uint32_t buildTime = 0;
  uint32_t flags = 0;
  /// The texts of the optional parts 24 and 2, kept as read; nothing in the
  /// installer interprets or shows them.
  std::string extraText24;
  std::string architecture;
  std::string extraText2;
  std::string note;
  bool storedAsImage = false;
  std::vector<PackageRef> deps;
  std::vector<PackageRef> provides;
  std::vector<PackageRef> conflicts;
  bool isBundle = false;
  /// Member packages of a bundle read from a package file, in file order;
  /// owned by the bundle record.
  std::vector<std::unique_ptr<PackageRecord>> members;

  bool hasBootFlag() const { return (flags & PACKAGE_FLAG_BOOT) != 0; }
  bool hasNoMetaFlag() const { return (flags & PACKAGE_FLAG_NO_META) != 0; }
  /// Version and build time both 0xFFFFFFFF: left out of exclusion,
  /// dependency and bundle checks, and never scheduled.
  bool isInert() const { return version == INERT_VALUE && buildTime == INERT_VALUE; }
};

/// A package file found in an upload directory.
class PackageFileRecord : public PackageRecord {
 public:
  PackageFileRecord() = default;

  std::string path;
  uint32_t declaredSize = 0;
  /// The file is installed without a package database entry (its magic says so).
  bool unregistered = false;
};

/// An entry of the package database, or a package being installed.
class InstalledPackage : public PackageRecord {
 public:
  explicit InstalledPackage(std::string name = std::string()) : PackageRecord(std::move(name)) {}

  /// Absolute paths of the package's installed files, byte-wise ordered.
  PathSet files;
  PackageRef bundle;
  bool disabled = false;
  /// The user chose `disabled` (a "user" state file, a scheduled enable or
  /// disable, or the state the user gave the version it replaces), not the
  /// installer; only such a state is carried over to a new version.
  bool stateChosenByUser = false;
  uint32_t scheduledAction = ACTION_NONE;
};

/// Packages that a step works on, in order; the records belong to the
/// installer context.
using PackageList = std::vector<InstalledPackage*>;

/// True for a name that the package database stores as one word and reads
/// back unchanged: not empty, without blanks or control characters.
bool isStorableName(const std::string& name);

/// True for a name that can be a directory of the package database: a
/// storable name without "/" that does not start with "." (the database
/// passes over such directories, as it does "." and "..").
bool isSafePackageName(const std::string& name);

/// Directory that holds one entry per installed package.
extern const char* const DATABASE_DIRECTORY;

/// True for an entry name that may become a path below "/flash": not empty,
/// no NUL, blank or control character, not ending in "/", no empty, "." or
/// ".." component after an optional leading "/", no component longer than
/// NAME_MAX, and not inside the package database. The installer unpacks
/// only such names; qbxtool extracts only such names.
bool isSafeEntryName(const std::string& name);

/// Text form of a version: "6.40.5", "6.40", "6.41beta3", "7.0rc", "0.0".
std::string versionText(PackageVersion version);

/// Parses a version text in the forms that versionText writes ("6.40",
/// "6.40.5", "6.41alpha2", "6.41beta3", "7.0rc", "3.20rc2"). Returns false,
/// leaving `out` unchanged, for any other text or a field above 255.
bool parseVersion(const std::string& text, PackageVersion& out);

/// Name, "-" and version text, for example "tessel-6.40.5".
std::string nameVersionText(const PackageRecord& record);

/// The name, followed by "-" and the minimum version when that is not 0.
std::string refText(const PackageRef& ref);

/// The bundle's refText for a bundle member, else nameVersionText.
std::string displayName(const InstalledPackage& package);
