// Shared set-up of the end-to-end install tests: a temporary device root,
// package files made with the package writer, and runs of the installer
// binary with "-r ROOT".
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

/// Every path below the root's "/flash" (but the postlog and the upload
/// directories) with its content or link text; see InstallTest::liveTree.
std::map<std::string, std::string> liveTreeOf(const TestRoot& root, bool withTemporaries = true);

class InstallTest : public ::testing::Test {
 protected:
  /// Puts a package file into "/flash/rw/pckg/".
  void upload(const std::string& fileName, const ByteVector& bytes) const;
  void upload(const std::string& fileName, const PackageDraft& draft) const;
  /// Removes everything from the upload directories.
  void clearUploads() const;
  /// Runs `installer -r ROOT` with the arguments.
  ProcessResult run(const std::vector<std::string>& arguments = {}, const std::string& input = "") const;
  /// Every path below "/flash" (but the postlog and the upload directories)
  /// with its content or link text: what a failed run must leave as it was.
  /// Without `withTemporaries`, the journal's temporary files are left out.
  std::map<std::string, std::string> liveTree(bool withTemporaries = true) const;
  /// The database file `file` of package `name`.
  std::string dbFile(const std::string& name, const std::string& file) const {
    return root.read("/flash/var/pdb/" + name + "/" + file);
  }

  TestRoot root;
};
