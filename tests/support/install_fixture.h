// Package drafts, references and versions for the tests that make records
// or package files.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "package_writer.h"
#include "model/package_record.h"
#include "test_root.h"

/// A version from its text; fails the test on a malformed text.
PackageVersion version(const char* text);

/// A single package with the given files ("path" → content), build time 1000.
PackageDraft package(const std::string& name, const char* versionText,
                    const std::map<std::string, std::string>& files = {});

/// A reference {name, min, max, priority}; an empty text is an open bound.
PackageRef ref(const std::string& name, const char* minText = "", const char* maxText = "",
               int32_t priority = 0);

/// The bytes of a file as a string.
std::string bytesText(const ByteVector& bytes);
