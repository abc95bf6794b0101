// The libFuzzer entry points of one fuzz target. The build compiles this
// file once per target with FUZZ_BODY naming the target's function in
// fuzz/targets.h.
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_root.h"
#include "fuzz/targets.h"

#ifndef FUZZ_BODY
#error "FUZZ_BODY must name the target function"
#endif

namespace {

/// Rewrites the absolute paths among the arguments (corpus directories and
/// flag values such as -artifact_prefix=/x/), which would otherwise name
/// paths inside the fuzz root. argv[0] stays as libFuzzer requires.
void rewriteAbsolutePaths(int argc, char*** argv) {
  char directory[PATH_MAX];
  if (getcwd(directory, sizeof directory) == nullptr) return;
  static std::vector<std::string> storage;
  static std::vector<char*> arguments;
  storage.reserve(static_cast<size_t>(argc));  // no reallocation: pointers stay valid
  arguments.assign(*argv, *argv + argc);
  arguments.push_back(nullptr);
  for (int i = 1; i < argc; ++i) {
    std::string argument = (*argv)[i];
    std::string rewritten = argumentFromWorkingDirectory(argument, directory);
    if (rewritten == argument) continue;
    storage.push_back(rewritten);
    arguments[static_cast<size_t>(i)] = storage.back().data();
  }
  *argv = arguments.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  rewriteAbsolutePaths(*argc, argv);
  // Every input runs inside a private device root; without one the install
  // targets would write below the host's own "/flash" and "/ram".
  if (!enterTemporaryFuzzRoot()) std::abort();
  prepareFuzzProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FUZZ_BODY(data, size);
  return 0;
}
