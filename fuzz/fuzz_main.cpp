// The libFuzzer entry points of one fuzz target. The build compiles this
// file once per target with FUZZ_BODY naming the target's function in
// fuzz/targets.h.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_root.h"
#include "fuzz/targets.h"

#ifndef FUZZ_BODY
#error "FUZZ_BODY must name the target function"
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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
