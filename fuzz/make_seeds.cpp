// Writes the starting corpora of the fuzz targets: make_seeds DIRECTORY
// creates DIRECTORY/<target>/<seed> for every target and seed.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds.h"

namespace {

bool writeSeeds(const std::string& directory, const std::vector<Seed>& seeds) {
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(directory.c_str());
    return false;
  }
  for (const Seed& seed : seeds) {
    std::ofstream out(directory + "/" + seed.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    out.close();
    if (out.fail()) {
      std::fprintf(stderr, "cannot write %s/%s\n", directory.c_str(), seed.name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
    return 2;
  }
  std::string root = argv[1];
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(root.c_str());
    return 1;
  }
  std::vector<Seed> packages = packageSeeds();
  bool written = writeSeeds(root + "/fuzz_package_file", packages) &&
                 writeSeeds(root + "/fuzz_stream_install", packages) &&
                 writeSeeds(root + "/fuzz_manifest", manifestSeeds()) &&
                 writeSeeds(root + "/fuzz_database_entry", databaseEntrySeeds());
  return written ? 0 : 1;
}
