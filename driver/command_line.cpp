#include "driver/command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ostream>

#include "console/console.h"
#include "journal/file_journal.h"

const char* const MANIFEST_PATH = "/ram/MANIFEST";

namespace {

enum class ScanResult { CONTINUE, STOP_SCAN, EXIT };

int commitManifest() {
  FileJournal journal;
  journal.readManifest(MANIFEST_PATH);
  std::ostream& out = consoleOut();
  out << "finishing install... " << std::flush;
  journal.apply(stepSpinner);
  out << "\b \n" << std::flush;
  return 0;
}

int cancelManifest() {
  FileJournal journal;
  journal.readManifest(MANIFEST_PATH);
  journal.cancel();
  std::remove(MANIFEST_PATH);
  return 0;
}

void printUsage() { consoleOut() << "usage: installer [-q] [-r <root>] [-]\n" << std::flush; }

// Applies one argument (and the one after it for "-r"); `index` is moved
// past what was consumed. "--commit" and "--cancel" run at once, inside the
// root that a "-r" before them named, and set `exitStatus`.
ScanResult scanArgument(int argc, char** argv, int& index, Settings& settings, int& exitStatus) {
  const char* argument = argv[index];
  auto is = [argument](const char* option) { return std::strcmp(argument, option) == 0; };
  if (is("--cleanup")) {
    settings.cleanupRequested = true;
    return ScanResult::STOP_SCAN;
  }
  if (is("--safe")) {
    settings.applyAtOnce = false;
  } else if (is("-r") && index + 1 < argc) {
    settings.root = argv[++index];
  } else if (is("-")) {
    settings.readStandardInput = true;
    return ScanResult::STOP_SCAN;
  } else if (is("-q")) {
    settings.quiet = true;
  } else if (is("-down")) {
    settings.flags |= INSTALL_DOWNGRADE;
  } else if (is("--reinstall")) {
    consoleOut() << "\nResuming upgrade...\n" << std::flush;
    settings.flags |= INSTALL_REINSTALL;
  } else if (is("-b") || is("--force") || is("--noupgrade") || is("-i")) {
    // Accepted for compatibility with older callers; no effect.
  } else if (is("--commit") || is("--cancel")) {
    if (!enterRoot(settings))
      exitStatus = STATUS_ROOT_UNUSABLE;
    else
      exitStatus = is("--commit") ? commitManifest() : cancelManifest();
    return ScanResult::EXIT;
  } else if (is("--show")) {
    settings.listingRequested = true;
  } else {
    printUsage();
    return ScanResult::EXIT;
  }
  return ScanResult::CONTINUE;
}

}  // namespace

int runInstaller(int argc, char** argv) {
  Settings settings;
  for (int index = 1; index < argc; ++index) {
    int exitStatus = 0;
    ScanResult result = scanArgument(argc, argv, index, settings, exitStatus);
    if (result == ScanResult::EXIT) return exitStatus;
    if (result == ScanResult::STOP_SCAN) break;
  }
  return runMode(settings);
}
