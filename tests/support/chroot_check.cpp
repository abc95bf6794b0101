#include "chroot_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>

namespace {

// Failed assertions of the running test so far; a child inherits those of
// the parent, so only the ones it adds are its own.
int failedAssertions() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) failed += result->GetTestPartResult(i).failed() ? 1 : 0;
  return failed;
}

}  // namespace

bool passesInRoot(const TestRoot& root, const std::function<void()>& body) {
  ProcessResult result = runInChild([&] {
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 2;
    const int before = failedAssertions();
    body();
    return failedAssertions() > before ? 1 : 0;
  });
  if (result.status != 0) std::cout << result.out << result.err;
  return result.status == 0;
}
