#include "install_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

void InstallTest::upload(const std::string& fileName, const ByteVector& bytes) const {
  ASSERT_FALSE(bytes.empty());
  ASSERT_TRUE(root.write("/flash/rw/pckg/" + fileName, bytesText(bytes)));
}

void InstallTest::upload(const std::string& fileName, const PackageDraft& draft) const {
  upload(fileName, buildPackage(draft));
}

void InstallTest::clearUploads() const {
  for (const char* directory : {"/flash/rw/pckg", "/flash/var/pckg"}) {
    removeTree(root.at(directory));
    mkdir(root.at(directory).c_str(), 0755);
  }
}

ProcessResult InstallTest::run(const std::vector<std::string>& arguments, const std::string& input) const {
  std::vector<std::string> all{"-r", root.path()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return runInstallerBinary(all, input);
}

namespace {

// The journal names its temporary files "tmp" and six characters.
bool isTemporaryName(const std::string& devicePath) {
  std::string name = devicePath.substr(devicePath.rfind('/') + 1);
  return name.size() == 9 && name.compare(0, 3, "tmp") == 0;
}

void collect(const std::string& hostPath, const std::string& devicePath, bool withTemporaries,
             std::map<std::string, std::string>& tree) {
  if (!withTemporaries && isTemporaryName(devicePath)) return;
  if (devicePath == "/flash/postlog" || devicePath == "/flash/rw/pckg" || devicePath == "/flash/var/pckg")
    return;
  struct stat status {};
  if (lstat(hostPath.c_str(), &status) != 0) return;
  if (S_ISLNK(status.st_mode)) {
    char text[4096];
    ssize_t length = readlink(hostPath.c_str(), text, sizeof text);
    tree[devicePath] = "-> " + std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
  } else if (S_ISDIR(status.st_mode)) {
    tree[devicePath + "/"] = "";
    DIR* directory = opendir(hostPath.c_str());
    if (directory == nullptr) return;
    while (dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") collect(hostPath + "/" + name, devicePath + "/" + name, withTemporaries, tree);
    }
    closedir(directory);
  } else {
    tree[devicePath] = readFile(hostPath);
  }
}

}  // namespace

std::map<std::string, std::string> liveTreeOf(const TestRoot& root, bool withTemporaries) {
  std::map<std::string, std::string> tree;
  collect(root.at("/flash"), "/flash", withTemporaries, tree);
  return tree;
}

std::map<std::string, std::string> InstallTest::liveTree(bool withTemporaries) const {
  return liveTreeOf(root, withTemporaries);
}
