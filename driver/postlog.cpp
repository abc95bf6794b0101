#include "driver/postlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  int descriptor = openOwnedFile(POSTLOG_PATH, O_RDONLY);
  if (descriptor < 0) return;
  std::string text;
  char block[4096];
  for (ssize_t count; (count = read(descriptor, block, sizeof block)) != 0;) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    text.append(block, static_cast<size_t>(count));
  }
  close(descriptor);
  // Only whole lines count: a last line without "\n" is dropped.
  auto& log = consoleState().messageLog;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    log.push_back(text.substr(start, end - start));
}

void writeAll(int descriptor, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t written = write(descriptor, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
}

// Replaces or extends the postlog with `text`; a failure goes unreported,
// as the postlog is only a record.
void writeToPostlog(int truncateOrAppend, bool syncFirst, const std::string& text) {
  int descriptor = openOwnedFile(POSTLOG_PATH, O_WRONLY | O_CREAT | truncateOrAppend);
  if (descriptor < 0) return;
  if (syncFirst) sync();
  writeAll(descriptor, text);
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
  writeAll(descriptor, std::string(RESET_SIZE, '\0'));
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
  writeAll(descriptor, text);
  close(descriptor);
  if (rename(reservation.c_str(), POSTLOG_PATH) != 0) unlink(reservation.c_str());
  reservation.clear();
}
