#include "driver/postlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "console/console.h"
#include "journal/safe_write.h"

namespace {

// The postlog is opened without following a link at its name: a link
// standing there is replaced, never written or read through.
const char* const POSTLOG_PATH = "/flash/postlog";
constexpr size_t RESET_SIZE = 4096;

// Set once beginPostlog has carried the old lines into the message log.
bool postlogReset = false;

void carryOverOldLines() {
  std::string text;
  if (!readOwnedFile(POSTLOG_PATH, text)) return;
  // Only whole lines count: a last line without "\n" is dropped.
  auto& log = consoleState().messageLog;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    log.push_back(text.substr(start, end - start));
}

// Replaces or extends the postlog with `text`; a failure goes unreported,
// as the postlog is only a record.
void writeToPostlog(int truncateOrAppend, bool syncFirst, const std::string& text) {
  int descriptor = openOwnedFile(POSTLOG_PATH, O_WRONLY | O_CREAT | truncateOrAppend);
  if (descriptor < 0) return;
  if (syncFirst) sync();
  writeWhole(descriptor, text);
  close(descriptor);
}

// The new postlog is written beside the old one, into a temporary file
// that holds its room from the start of the run, and renamed over it at
// the end: a run cut short leaves the old lines where they were.
std::string reservation;

}  // namespace

void beginPostlog() {
  carryOverOldLines();
  postlogReset = true;
  bool created = false;
  std::string path = makeTemporaryFile(parentOf(POSTLOG_PATH), created);
  int descriptor = created ? openOwnedFile(path, O_WRONLY) : -1;
  if (descriptor < 0) return;
  // Made for the run's own use (mode 0600), it becomes the postlog.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(descriptor, 0666 & ~mask);
  writeWhole(descriptor, std::string(RESET_SIZE, '\0'));
  close(descriptor);
  reservation = path;
}

void writePostlog() {
  const auto& log = consoleState().messageLog;
  if (!postlogReset && log.empty()) return;
  std::string text;
  for (const std::string& line : log) text += line + '\n';
  if (reservation.empty()) {
    writeToPostlog(postlogReset ? O_TRUNC : O_APPEND, true, text);
    return;
  }
  int descriptor = openOwnedFile(reservation, O_WRONLY | O_TRUNC);
  if (descriptor < 0) return;
  sync();
  writeWhole(descriptor, text);
  close(descriptor);
  if (rename(reservation.c_str(), POSTLOG_PATH) != 0) unlink(reservation.c_str());
  reservation.clear();
}
