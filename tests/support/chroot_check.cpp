#include "chroot_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>

bool passesInRoot(const TestRoot& root, const std::function<void()>& body) {
  ProcessResult result = runInChild([&] {
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 2;
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result.status != 0) std::cout << result.out << result.err;
  return result.status == 0;
}
