// A library preloaded into the installer binary by the fault-injection tests.
// It stands between the program and a few libc calls and, as the
// environment of the run asks, kills the process at a chosen call, makes
// calls fail with an error number, or deletes a file just before it is
// opened. Without any of its variables set it only passes the calls on.
//
//   FAULT_KILL_AT=CALL:N[:PATTERN]
//       SIGKILL just before the N-th call of CALL (whose path matches
//       PATTERN, when given).
//   FAULT_FAIL=CALL:PATTERN:ERRNO[:N[:COUNT]]
//       calls of CALL whose path matches PATTERN fail with ERRNO (a name
//       such as ENOSPC, or a number), from the N-th such call on (default
//       1): COUNT of them (default all, as a full or broken disk stays so).
//   FAULT_UNLINK_BEFORE_OPEN=PATTERN:N
//       the file is deleted just before the N-th open of a path that
//       matches PATTERN.
//
// CALL is one of open (open, openat, fopen and their 64-bit names), read,
// write (write, writev), rename (the new path), unlink, mkstemp (the
// template) and sync (no path). For read and write the path is the one the
// descriptor was opened with. PATTERN is an fnmatch() pattern in which "*"
// also matches "/". The program is single-threaded, so the counters need
// no locking.
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int MAX_DESCRIPTORS = 1024;
constexpr size_t MAX_PATH_TEXT = 512;
constexpr size_t MAX_FIELD = 64;

struct KillRule {
  bool active = false;
  char call[MAX_FIELD] = {};
  long at = 0;
  char pattern[MAX_PATH_TEXT] = {};
  long seen = 0;
};

struct FailRule {
  bool active = false;
  char call[MAX_FIELD] = {};
  char pattern[MAX_PATH_TEXT] = {};
  int errorNumber = 0;
  long from = 1;
  long count = -1;
  long seen = 0;
};

struct UnlinkRule {
  bool active = false;
  char pattern[MAX_PATH_TEXT] = {};
  long at = 0;
  long seen = 0;
};

bool configured = false;
KillRule killRule;
FailRule failRule;
UnlinkRule unlinkRule;
// The path each open descriptor was opened with ("" when unknown).
char descriptorPaths[MAX_DESCRIPTORS][MAX_PATH_TEXT];

// Copies the next ':'-separated field of `text` into `field`; moves `text`
// past it. False when there is no field left.
bool nextField(const char*& text, char* field, size_t size) {
  if (text == nullptr) return false;
  const char* end = strchr(text, ':');
  size_t length = end != nullptr ? static_cast<size_t>(end - text) : strlen(text);
  if (length >= size) length = size - 1;
  memcpy(field, text, length);
  field[length] = '\0';
  text = end != nullptr ? end + 1 : nullptr;
  return true;
}

int errorNumberOf(const char* name) {
  static const struct {
    const char* name;
    int number;
  } KNOWN[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EROFS", EROFS}, {"ENOENT", ENOENT},
               {"EACCES", EACCES}, {"EDQUOT", EDQUOT}, {"EXDEV", EXDEV}, {"EINTR", EINTR}};
  for (const auto& known : KNOWN)
    if (strcmp(known.name, name) == 0) return known.number;
  return atoi(name);
}

void readKillRule() {
  const char* text = getenv("FAULT_KILL_AT");
  char number[MAX_FIELD];
  if (!nextField(text, killRule.call, sizeof killRule.call) || !nextField(text, number, sizeof number))
    return;
  killRule.at = atol(number);
  nextField(text, killRule.pattern, sizeof killRule.pattern);
  killRule.active = killRule.at > 0;
}

void readFailRule() {
  const char* text = getenv("FAULT_FAIL");
  char name[MAX_FIELD];
  if (!nextField(text, failRule.call, sizeof failRule.call) ||
      !nextField(text, failRule.pattern, sizeof failRule.pattern) || !nextField(text, name, sizeof name))
    return;
  failRule.errorNumber = errorNumberOf(name);
  char number[MAX_FIELD];
  if (nextField(text, number, sizeof number)) failRule.from = atol(number);
  if (nextField(text, number, sizeof number)) failRule.count = atol(number);
  failRule.active = failRule.errorNumber > 0;
}

void readUnlinkRule() {
  const char* text = getenv("FAULT_UNLINK_BEFORE_OPEN");
  char number[MAX_FIELD];
  if (!nextField(text, unlinkRule.pattern, sizeof unlinkRule.pattern) ||
      !nextField(text, number, sizeof number))
    return;
  unlinkRule.at = atol(number);
  unlinkRule.active = unlinkRule.at > 0;
}

void configure() {
  if (configured) return;
  configured = true;
  readKillRule();
  readFailRule();
  readUnlinkRule();
}

bool matches(const char* pattern, const char* path) {
  if (pattern[0] == '\0') return true;
  return path != nullptr && fnmatch(pattern, path, 0) == 0;
}

const char* pathOf(int descriptor) {
  if (descriptor < 0 || descriptor >= MAX_DESCRIPTORS) return "";
  return descriptorPaths[descriptor];
}

void rememberPath(int descriptor, const char* path) {
  if (descriptor < 0 || descriptor >= MAX_DESCRIPTORS) return;
  snprintf(descriptorPaths[descriptor], MAX_PATH_TEXT, "%s", path != nullptr ? path : "");
}

// Dies here when this is the call that the kill rule names.
void maybeKill(const char* call, const char* path) {
  configure();
  if (!killRule.active || strcmp(killRule.call, call) != 0 || !matches(killRule.pattern, path)) return;
  if (++killRule.seen == killRule.at) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
  }
}

// True (with errno set) when the call is to fail.
bool shouldFail(const char* call, const char* path) {
  configure();
  if (!failRule.active || strcmp(failRule.call, call) != 0 || !matches(failRule.pattern, path))
    return false;
  if (++failRule.seen < failRule.from) return false;
  if (failRule.count >= 0 && failRule.seen >= failRule.from + failRule.count) return false;
  errno = failRule.errorNumber;
  return true;
}

// Runs the checks that come before a call: kill, then failure.
bool intercept(const char* call, const char* path) {
  maybeKill(call, path);
  return shouldFail(call, path);
}

void maybeUnlinkBeforeOpen(const char* path);

// Checks of every kind of open.
bool interceptOpen(const char* path) {
  maybeUnlinkBeforeOpen(path);
  return intercept("open", path);
}

template <typename Function>
Function next(Function, const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void maybeUnlinkBeforeOpen(const char* path) {
  configure();
  if (!unlinkRule.active || !matches(unlinkRule.pattern, path)) return;
  if (++unlinkRule.seen != unlinkRule.at) return;
  static auto realUnlink = next(&::unlink, "unlink");
  int saved = errno;
  realUnlink(path);
  errno = saved;
}

mode_t modeArgument(int flags, va_list arguments) {
  if ((flags & O_CREAT) == 0 && (flags & O_TMPFILE) != O_TMPFILE) return 0;
  return static_cast<mode_t>(va_arg(arguments, int));
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  if (interceptOpen(path)) return -1;
  static auto real = next(&::open, "open");
  int descriptor = real(path, flags, mode);
  rememberPath(descriptor, path);
  return descriptor;
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  if (interceptOpen(path)) return -1;
  static auto real = next(&::open64, "open64");
  int descriptor = real(path, flags, mode);
  rememberPath(descriptor, path);
  return descriptor;
}

int openat(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  if (interceptOpen(path)) return -1;
  static auto real = next(&::openat, "openat");
  int descriptor = real(directory, path, flags, mode);
  rememberPath(descriptor, path);
  return descriptor;
}

int openat64(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  if (interceptOpen(path)) return -1;
  static auto real = next(&::openat64, "openat64");
  int descriptor = real(directory, path, flags, mode);
  rememberPath(descriptor, path);
  return descriptor;
}

FILE* fopen(const char* path, const char* mode) {
  if (interceptOpen(path)) return nullptr;
  static auto real = next(&::fopen, "fopen");
  FILE* file = real(path, mode);
  if (file != nullptr) rememberPath(fileno(file), path);
  return file;
}

FILE* fopen64(const char* path, const char* mode) {
  if (interceptOpen(path)) return nullptr;
  static auto real = next(&::fopen64, "fopen64");
  FILE* file = real(path, mode);
  if (file != nullptr) rememberPath(fileno(file), path);
  return file;
}

ssize_t read(int descriptor, void* buffer, size_t count) {
  if (intercept("read", pathOf(descriptor))) return -1;
  static auto real = next(&::read, "read");
  return real(descriptor, buffer, count);
}

ssize_t write(int descriptor, const void* buffer, size_t count) {
  if (intercept("write", pathOf(descriptor))) return -1;
  static auto real = next(&::write, "write");
  return real(descriptor, buffer, count);
}

ssize_t writev(int descriptor, const struct iovec* vector, int count) {
  if (intercept("write", pathOf(descriptor))) return -1;
  static auto real = next(&::writev, "writev");
  return real(descriptor, vector, count);
}

int fclose(FILE* file) {
  if (file != nullptr) rememberPath(fileno(file), "");
  static auto real = next(&::fclose, "fclose");
  return real(file);
}

int close(int descriptor) {
  rememberPath(descriptor, "");
  static auto real = next(&::close, "close");
  return real(descriptor);
}

int rename(const char* from, const char* to) {
  if (intercept("rename", to)) return -1;
  static auto real = next(&::rename, "rename");
  return real(from, to);
}

int unlink(const char* path) {
  if (intercept("unlink", path)) return -1;
  static auto real = next(&::unlink, "unlink");
  return real(path);
}

int mkstemp(char* pattern) {
  if (intercept("mkstemp", pattern)) return -1;
  static auto real = next(&::mkstemp, "mkstemp");
  int descriptor = real(pattern);
  rememberPath(descriptor, pattern);
  return descriptor;
}

int mkstemp64(char* pattern) {
  if (intercept("mkstemp", pattern)) return -1;
  static auto real = next(&::mkstemp64, "mkstemp64");
  int descriptor = real(pattern);
  rememberPath(descriptor, pattern);
  return descriptor;
}

void sync() {
  maybeKill("sync", nullptr);
  static auto real = next(&::sync, "sync");
  real();
}

}  // extern "C"
