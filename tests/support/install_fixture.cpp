#include "install_fixture.h"

PackageVersion version(const char* text) {
  PackageVersion parsed = 0;
  EXPECT_TRUE(parseVersion(text, parsed)) << text;
  return parsed;
}

PackageDraft package(const std::string& name, const char* versionText,
                    const std::map<std::string, std::string>& files) {
  PackageDraft draft;
  draft.name = name;
  draft.version = version(versionText);
  draft.buildTime = 1000;
  for (const auto& file : files) {
    FileDraft entry;
    entry.name = file.first;
    entry.data = file.second;
    draft.files.push_back(entry);
  }
  return draft;
}

PackageRef ref(const std::string& name, const char* minText, const char* maxText, int32_t priority) {
  PackageRef result{name, 0, 0, priority};
  if (*minText) result.minVersion = version(minText);
  if (*maxText) result.maxVersion = version(maxText);
  return result;
}

std::string bytesText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }
