// Starting inputs of the fuzz targets: valid signed packages and bundles in
// their variants, manifests and database entries. make_seeds writes them
// into corpus directories; the regression test runs them through the
// targets to show that each target reaches the depth it is meant to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// One named input.
struct Seed {
  std::string name;
  std::vector<uint8_t> bytes;
};

/// Package files and bundles for fuzz_package_file and fuzz_stream_install.
std::vector<Seed> packageSeeds();
/// Manifests for fuzz_manifest.
std::vector<Seed> manifestSeeds();
/// Framed database entries for fuzz_database_entry.
std::vector<Seed> databaseEntrySeeds();
