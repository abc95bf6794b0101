// Running test assertions inside a temporary device root, so that code with
// the installer's absolute paths ("/flash/...", "/ram/...") works on it.
#pragma once

#include <functional>

#include "test_root.h"

/// Runs `body` in a forked child whose root directory is `root` (working
/// directory "/"). True when the child finished `body` without a failed
/// assertion; the child's output, failure messages included, is printed.
bool passesInRoot(const TestRoot& root, const std::function<void()>& body);
