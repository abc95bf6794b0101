// Replays every saved finding, fuzz/regressions/<target>/<input>, through its target in a child with
// a fresh fuzz root: the checks must hold, nothing may leak or take a fifth of a second of CPU.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "fuzz/targets.h"
#include "test_root.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

TEST(FuzzRegressionTest, SavedFindingsReplayCleanly) {
  for (const auto& directory : std::filesystem::directory_iterator(INSTALLER_SOURCE_DIR "/fuzz/regressions")) {
    const FuzzTarget target = fuzzTarget(directory.path().filename());
    ASSERT_NE(target, nullptr) << directory.path() << " names no fuzz target";
    for (const auto& file : std::filesystem::directory_iterator(directory)) {
      const std::string input = readFile(file.path()), root = makeTemporaryDirectory("installer-fuzz");
      ProcessResult run = runInChild([&] {
        if (!enterFuzzRoot(root)) return 125;
        const std::clock_t start = std::clock();
        target(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        if (std::clock() - start > CLOCKS_PER_SEC / 5) return 123;
        return __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0 ? 124 : 0;
      });
      removeTree(root);
      EXPECT_EQ(run.status, 0) << file.path() << " (123: too slow, 124: a leak):\n" << run.err;
    }
  }
}
