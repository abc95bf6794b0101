// Replays the saved fuzz findings under fuzz/regressions/<target>/ through
// the same target bodies that the fuzzers run, and runs the seeds through
// them to show that each target reaches what it is meant to exercise.
// Every replay runs in a forked child inside its own fuzz root.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_root.h"
#include "fuzz/seeds.h"
#include "fuzz/targets.h"
#include "model/package_record.h"
#include "test_root.h"

// Present when the sanitizers are linked in: finds leaks without waiting
// for an exit, which the child never makes (it ends with _exit).
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

using Body = std::function<int(const uint8_t*, size_t)>;

/// Processor time that one saved input may take to replay.
constexpr double MAX_REPLAY_SECONDS = 0.5;

const std::map<std::string, Body>& targets() {
  static const std::map<std::string, Body> bodies = {
      {"fuzz_package_file", fuzzPackageFile},
      {"fuzz_stream_install", [](const uint8_t* d, size_t n) { return int(fuzzStreamInstall(d, n)); }},
      {"fuzz_manifest", fuzzManifest},
      {"fuzz_database_entry", fuzzDatabaseEntry}};
  return bodies;
}

/// Runs `work` in a child inside a fresh fuzz root; a leak found at the end
/// makes the child's status 124.
ProcessResult runInFuzzRoot(const std::function<int()>& work) {
  std::string root = makeTemporaryDirectory("installer-fuzz");
  ProcessResult result = runInChild([&] {
    if (!enterFuzzRoot(root)) return 125;
    prepareFuzzProcess();
    int status = work();
    if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
      return 124;
    return status;
  });
  // The child's mounts lived in its own namespace; here the root is plain.
  removeTree(root);
  return result;
}

/// Runs every input through `body` in one child and returns the body's
/// result per input name.
std::map<std::string, int> resultsOf(const std::vector<Seed>& inputs, const Body& body) {
  ProcessResult run = runInFuzzRoot([&] {
    for (const Seed& input : inputs)
      std::printf("%s %d\n", input.name.c_str(), body(input.bytes.data(), input.bytes.size()));
    return 0;
  });
  EXPECT_EQ(run.status, 0) << run.err;
  std::map<std::string, int> results;
  std::istringstream lines(run.out);
  std::string name;
  int value = 0;
  while (lines >> name >> value) results[name] = value;
  EXPECT_EQ(results.size(), inputs.size()) << run.out;
  return results;
}

std::vector<std::string> filesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* listing = opendir(directory.c_str());
  while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr)
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  if (listing != nullptr) closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

Seed named(const std::vector<Seed>& seeds, const std::string& name) {
  for (const Seed& seed : seeds)
    if (seed.name == name) return seed;
  ADD_FAILURE() << "no seed " << name;
  return Seed{};
}

TEST(FuzzRegressionTest, SavedFindingsReplayCleanly) {
  const std::string regressions = std::string(INSTALLER_SOURCE_DIR) + "/fuzz/regressions/";
  size_t replayed = 0;
  for (const auto& [target, body] : targets()) {
    for (const std::string& name : filesIn(regressions + target)) {
      std::string bytes = readFile(regressions + target + "/" + name);
      ProcessResult run = runInFuzzRoot([&, body = body] {
        std::clock_t start = std::clock();
        body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::printf("%f\n", double(std::clock() - start) / CLOCKS_PER_SEC);
        return 0;
      });
      EXPECT_EQ(run.status, 0) << target << "/" << name << ":\n" << run.err;
      // Processor time, not wall time, so a busy machine does not matter;
      // the slow inputs found so far took several seconds.
      EXPECT_LT(std::atof(run.out.c_str()), MAX_REPLAY_SECONDS) << target << "/" << name;
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u) << "no saved findings under " << regressions;
}

TEST(FuzzSeedTest, StreamInstallReachesTheSignatureCheck) {
  std::map<std::string, int> results = resultsOf(packageSeeds(), targets().at("fuzz_stream_install"));
  // Installed: a signature was found and verified. A files part that is
  // not zlib data reads as ending at once, so corrupt-zlib installs too.
  for (const char* name : {"plain", "full", "second-magic", "image-part", "boot-upgrade", "no-meta",
                           "conflicts-installed", "user-disabled", "unknown-parts", "long-signature",
                           "large-file", "no-files-part", "corrupt-zlib", "same-version",
                           "bundle", "bundle-keeps-member", "bundle-without-image"})
    EXPECT_EQ(results[name], 0) << name;
  // Refused as broken: a short signature part, an entry cut inside its
  // name, a part out of order before the signature, and a bundle member
  // without a signature.
  for (const char* name :
       {"short-signature", "cut-entry-name", "odd-order", "bundle-unsigned-member"})
    EXPECT_NE(results[name], 0) << name;
}

TEST(FuzzSeedTest, StreamInstallRefusesAChangedByte) {
  Seed changed = named(packageSeeds(), "plain");
  changed.bytes[20] ^= 1;  // in the NUL padding of the header block's name field
  std::map<std::string, int> results = resultsOf({changed}, targets().at("fuzz_stream_install"));
  EXPECT_EQ(results["plain"], 1);
}

TEST(FuzzSeedTest, PackageFileReadsSeedsAndRefusesWrongLengths) {
  std::vector<Seed> inputs = packageSeeds();
  std::vector<Seed> longer = inputs;
  for (Seed& seed : longer) {
    seed.name += "+1";
    seed.bytes.push_back(0);
  }
  inputs.insert(inputs.end(), longer.begin(), longer.end());
  std::map<std::string, int> results = resultsOf(inputs, targets().at("fuzz_package_file"));
  for (const Seed& seed : inputs) {
    bool lengthWrong = seed.name.size() > 2 && seed.name.compare(seed.name.size() - 2, 2, "+1") == 0;
    EXPECT_EQ(results[seed.name], lengthWrong ? 0 : 1) << seed.name;
  }
}

TEST(FuzzSeedTest, ManifestAndDatabaseEntrySeedsGiveTheirResults) {
  std::map<std::string, int> manifests = resultsOf(manifestSeeds(), targets().at("fuzz_manifest"));
  EXPECT_EQ(manifests, (std::map<std::string, int>{{"operations", 1},
                                                   {"stops-at-empty-line", 1},
                                                   {"malformed", 0},
                                                   {"unknown-kind", 1},
                                                   {"no-final-newline", 1}}));
  std::map<std::string, int> entries =
      resultsOf(databaseEntrySeeds(), targets().at("fuzz_database_entry"));
  EXPECT_EQ(entries, (std::map<std::string, int>{{"complete", ACTION_UNINSTALL},
                                                 {"disabled-auto", ACTION_NONE},
                                                 {"enabled-user", ACTION_NONE},
                                                 {"scheduled", ACTION_DISABLE},
                                                 {"malformed-lists", ACTION_UNINSTALL},
                                                 {"bundle-only", ACTION_UNINSTALL},
                                                 {"from-image", ACTION_UNINSTALL},
                                                 {"inert", ACTION_NONE}}));
}

TEST(FuzzRootTest, TheRootHidesTheHostAndHoldsTheDeviceDirectories) {
  const std::string hostFile = std::string(INSTALLER_SOURCE_DIR) + "/CMakeLists.txt";
  ASSERT_TRUE(pathExists(hostFile));
  ProcessResult run = runInFuzzRoot([&] {
    for (const std::string& directory : FUZZ_DEVICE_DIRECTORIES)
      if (!pathExists(directory)) return 1;
    return pathExists(hostFile) ? 2 : 0;
  });
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST(FuzzRootTest, AFileLeftInTheRootFailsTheNextInput) {
  ProcessResult run = runInFuzzRoot([] {
    writeFile("/flash/var/pdb/stray", "left behind");
    const std::string manifest = "U /flash/a\n";
    fuzzManifest(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size());
    return 0;
  });
  EXPECT_EQ(run.status, 128 + SIGABRT);
  EXPECT_NE(run.err.find("new: /flash/var/pdb/stray"), std::string::npos) << run.err;
}

TEST(FuzzRootTest, AbsolutePathArgumentsAreRewrittenFromTheWorkingDirectory) {
  EXPECT_EQ(argumentFromWorkingDirectory("/tmp/corpus", "/work/build"), "../../tmp/corpus");
  EXPECT_EQ(argumentFromWorkingDirectory("-artifact_prefix=/tmp/a/", "/work"),
            "-artifact_prefix=../tmp/a/");
  EXPECT_EQ(argumentFromWorkingDirectory("/tmp/corpus", "/"), "./tmp/corpus");
  for (const char* unchanged : {"corpus/x", "-runs=10", "-dict=x=/y", "-help"})
    EXPECT_EQ(argumentFromWorkingDirectory(unchanged, "/work"), unchanged);
}

TEST(FuzzRootTest, TreeFunctionsDoNothingOutsideAFuzzRoot) {
  // A child that never entered a fuzz root: listing sees nothing, so a
  // clear would not touch the host either.
  ProcessResult run = runInChild([] { return listDeviceTree().empty() ? 0 : 1; });
  EXPECT_EQ(run.status, 0);
}

}  // namespace
