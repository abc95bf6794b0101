#include "driver/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "console/console.h"
#include "journal/durable_record.h"
#include "journal/file_journal.h"

const char* const MANIFEST_PATH = "/ram/MANIFEST";

namespace {

enum class ScanResult { CONTINUE, STOP_SCAN, EXIT };

// Exit statuses of "--commit" and "--cancel": the manifest was refused as a
// whole (nothing changed), or a commit failed part-way (the manifest stays
// for another try).
constexpr int STATUS_MANIFEST_REFUSED = 6;
constexpr int STATUS_COMMIT_FAILED = 7;

// Reads and checks the stored manifest whole; false, with the reason shown,
// when it is refused. No manifest reads as an empty journal.
bool readStoredManifest(FileJournal& journal, bool forCommit) {
  struct stat status {};
  if (lstat(MANIFEST_PATH, &status) != 0 && errno == ENOENT) return true;
  std::string reason = journal.readManifest(MANIFEST_PATH);
  if (reason.empty() && forCommit) reason = journal.findMissingSource();
  if (reason.empty()) return true;
  error("%s %s", MANIFEST_PATH, reason.c_str());
  return false;
}

int commitManifest() {
  FileJournal journal;
  if (!readStoredManifest(journal, true)) return STATUS_MANIFEST_REFUSED;
  std::ostream& out = consoleOut();
  out << "finishing install... " << std::flush;
  // Applied again, the manifest would undo what later runs put in place:
  // it goes once every operation is done.
  RecordedApply result = applyWithRecord(journal, MANIFEST_PATH, stepSpinner);
  out << "\b \n" << std::flush;
  if (result == RecordedApply::NOT_RECORDED) return recordFailure();
  if (result == RecordedApply::APPLIED) return 0;
  error("%s was applied only in part", MANIFEST_PATH);
  return STATUS_COMMIT_FAILED;
}

int cancelManifest() {
  FileJournal journal;
  if (!readStoredManifest(journal, false)) return STATUS_MANIFEST_REFUSED;
  // What an interrupted commit still has to move stays for the call that
  // finishes it.
  FileJournal pending;
  if (readPendingRecord(pending))
    pending.forEachOperation([&journal](const std::string& target, const JournalOperation& operation) {
      const std::optional<JournalOperation> stored = journal.operationOn(target);
      if (stored && stored->argument == operation.argument) journal.forget(target);
    });
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
    else if (!takeDevice(false, is("--commit")))
      exitStatus = STATUS_BUSY;
    else
      exitStatus = is("--commit") ? commitManifest() : cancelManifest();
    releaseDevice();
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
