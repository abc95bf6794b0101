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

/// `path` (absolute) as seen from the working directory, which stays on
/// the host after the root changes: one ".." per directory level climbs to
/// the host's root, since ".." stops only at the process's own root.
std::string fromWorkingDirectory(const std::string& path, const std::string& workingDirectory) {
  std::string climb;
  for (size_t i = 1; i < workingDirectory.size(); ++i)
    if (workingDirectory[i - 1] == '/') climb += climb.empty() ? ".." : "/..";
  return (climb.empty() ? "." : climb) + path;
}

/// Where the absolute path in `argument` starts: 0 for a path, after the
/// "=" of a flag whose value is one; npos otherwise.
size_t absolutePathStart(const std::string& argument) {
  if (argument.compare(0, 1, "/") == 0) return 0;
  size_t equals = argument.find('=');
  if (argument.compare(0, 1, "-") != 0 || equals == std::string::npos) return std::string::npos;
  return argument.compare(equals + 1, 1, "/") == 0 ? equals + 1 : std::string::npos;
}

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
    size_t start = absolutePathStart(argument);
    if (start == std::string::npos) continue;
    storage.push_back(argument.substr(0, start) +
                      fromWorkingDirectory(argument.substr(start), directory));
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
