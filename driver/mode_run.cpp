#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "console/package_listing.h"
#include "driver/command_line.h"
#include "driver/install_modes.h"
#include "journal/durable_record.h"
#include "model/machine.h"
#include "pkg/package_database.h"
#include "pkg/repository.h"

namespace {

// Exit status when the package database could not be read: like 28 for a
// full disk, the error number of the failure (EIO).
constexpr int STATUS_DATABASE_UNREADABLE = 5;

// The "arch" variable wins whenever it is set, also when it is empty.
std::string runArchitecture() {
  const char* fromEnvironment = std::getenv("arch");
  return fromEnvironment != nullptr ? fromEnvironment : DEFAULT_ARCHITECTURE;
}

// False when the package database could not be read: then no mode runs,
// as a package that only looks broken would be uninstalled.
bool prepareRun(const Settings& settings) { return loadRepository(settings.quiet, runArchitecture()); }

// The listing goes straight to the output stream, so "-q" does not hide it.
int runListing() {
  printPackageListing(consoleOut());
  return 0;
}

}  // namespace

bool enterRoot(const Settings& settings) {
  // A root that cannot be entered ends the call: going on in the real root
  // would change the live system instead of the one that was named.
  if (settings.root && chroot(settings.root->c_str()) != 0) {
    std::perror("chroot");
    return false;
  }
  if (chdir("/") != 0) {
    // The working directory is "/" whatever happened; a failure changes nothing.
  }
  return true;
}

int recordFailure() {
  int cause = errno;
  error("could not record the install in %s: %s", RECORD_PATH, std::strerror(cause));
  return cause == ENOSPC ? STATUS_NO_SPACE : STATUS_NOT_RECORDED;
}

// The lock is held on the database folder itself: there is no file to
// create, so a read-only flash locks too, and the kernel drops the lock with
// the process, so a killed run never blocks the next one. Its descriptor
// stays open until the process ends. Without a database folder there is
// nothing to guard. A listing that finds an install to finish finishes it
// first, and so takes the device whole, waiting as a listing does.
bool takeDevice(bool readOnly, bool finishLeftover) {
  int folder = open(DATABASE_DIRECTORY, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0 && flock(folder, readOnly ? LOCK_SH : LOCK_EX | LOCK_NB) != 0) {
    close(folder);
    std::fputs("ERROR: another installer is working on this device\n", stderr);
    return false;
  }
  // Looked for only under the lock: a run that holds it may be busy
  // making what would look like leftovers.
  if (finishLeftover && hasLeftover()) {
    if (readOnly && folder >= 0) flock(folder, LOCK_EX);
    Leftover leftover = finishInterruptedInstall(MANIFEST_PATH, stepSpinner);
    if (leftover == Leftover::FINISHED) consoleOut() << "finished an interrupted install\n" << std::flush;
    if (leftover == Leftover::DAMAGED) error("%s was damaged: nothing of it was applied", RECORD_PATH);
  }
  if (!readOnly) beginTemporaryList();
  return true;
}

void releaseDevice() { endTemporaryList(); }

namespace {

int runChosenMode(const Settings& settings) {
  if (!prepareRun(settings)) return STATUS_DATABASE_UNREADABLE;
  if (settings.listingRequested) return runListing();
  if (settings.cleanupRequested) return runCleanupMode();
  if (settings.readStandardInput) return runStreamInstallMode(settings);
  return runUpgradeMode(settings);
}

}  // namespace

int runMode(const Settings& settings) {
  if (!enterRoot(settings)) return STATUS_ROOT_UNUSABLE;
  // A listing waits for a running install instead of showing it half done.
  if (!takeDevice(settings.listingRequested)) return STATUS_BUSY;
  int status = runChosenMode(settings);
  releaseDevice();
  return status;
}
