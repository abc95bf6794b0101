// A library preloaded into the installer binary by the fault stories in
// tests/transcripts/. It stands between the program and a few libc calls and,
// as the environment of the run asks, kills the process at a chosen call,
// makes calls fail with an error number, or deletes a file just before it is
// opened. Without any of its variables set it only passes the calls on.
//
//   FAULT_KILL_AT=CALL:N[:PATTERN]
//       SIGKILL just before the N-th call of CALL (whose path matches
//       PATTERN, when given).
//   FAULT_FAIL=CALL:PATTERN:ERRNO[:N]
//       calls of CALL whose path matches PATTERN fail with ERRNO (ENOSPC, EIO
//       or a number) from the N-th such call on (default 1), as a full or
//       broken disk stays so.
//   FAULT_UNLINK_BEFORE_OPEN=PATTERN:N
//       the file is deleted just before the N-th open of a path that matches
//       PATTERN.
//
// CALL is one of open (open, openat, fopen and their 64-bit names), read,
// write (write, writev), close, rename (the new path), unlink, rmdir, mkdir,
// symlink (the link's path), mkstemp (and its 64-bit name; the template) and
// sync (no path). For read, write and close the path is the one the
// descriptor was opened with. PATTERN is an fnmatch() pattern in which "*"
// also matches "/". The program is single-threaded, so the counters need no
// locking.
//
// The shim defines both the plain and the 64-bit names of the calls, so the
// headers must not turn the one into the other (as _FILE_OFFSET_BITS=64 does
// on 32-bit machines, where the program calls the 64-bit names).
#undef _FILE_OFFSET_BITS
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

struct Rule {
  char call[64] = "open";
  char pattern[MAX_PATH_TEXT] = "";
  long at = 0;  // the call that is acted on, or the first that fails
  long seen = 0;
};

bool configured = false;
Rule killRule, failRule, unlinkRule;
int failError = 0;
// The path each open descriptor was opened with ("" when unknown).
char descriptorPaths[MAX_DESCRIPTORS][MAX_PATH_TEXT];

template <typename Function>
Function real(Function, const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void configure() {
  if (configured) return;
  configured = true;
  if (const char* text = getenv("FAULT_KILL_AT"))
    sscanf(text, "%63[^:]:%ld:%511[^\n]", killRule.call, &killRule.at, killRule.pattern);
  char error[64] = "";
  if (const char* text = getenv("FAULT_FAIL"))
    failRule.at = sscanf(text, "%63[^:]:%511[^:]:%63[^:]:%ld", failRule.call, failRule.pattern, error, &failRule.at) == 4 ? failRule.at : 1;
  failError = strcmp(error, "ENOSPC") == 0 ? ENOSPC : strcmp(error, "EIO") == 0 ? EIO : atoi(error);
  if (const char* text = getenv("FAULT_UNLINK_BEFORE_OPEN")) sscanf(text, "%511[^:]:%ld", unlinkRule.pattern, &unlinkRule.at);
}

// True when `rule` is set and this call is one of those it counts.
bool counts(Rule& rule, const char* call, const char* path) {
  if (rule.at <= 0 || strcmp(rule.call, call) != 0) return false;
  if (rule.pattern[0] != '\0' && (path == nullptr || fnmatch(rule.pattern, path, 0) != 0)) return false;
  ++rule.seen;
  return true;
}

// Runs before each call: kills, deletes the file, or (returning true with
// errno set) makes the call fail, as the rules ask.
bool intercept(const char* call, const char* path) {
  configure();
  if (counts(unlinkRule, call, path) && unlinkRule.seen == unlinkRule.at) {
    static auto realUnlink = real(&::unlink, "unlink");
    int saved = errno;
    realUnlink(path);
    errno = saved;
  }
  if (counts(killRule, call, path) && killRule.seen == killRule.at) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
  }
  if (failError <= 0 || !counts(failRule, call, path) || failRule.seen < failRule.at) return false;
  errno = failError;
  return true;
}

const char* pathOf(int descriptor) {
  return descriptor >= 0 && descriptor < MAX_DESCRIPTORS ? descriptorPaths[descriptor] : "";
}

int remember(int descriptor, const char* path) {
  if (descriptor >= 0 && descriptor < MAX_DESCRIPTORS)
    snprintf(descriptorPaths[descriptor], MAX_PATH_TEXT, "%s", path != nullptr ? path : "");
  return descriptor;
}

FILE* rememberFile(FILE* file, const char* path) {
  if (file != nullptr) remember(fileno(file), path);
  return file;
}

}  // namespace

// The mode argument of an open is there only when a file may be created.
#define MODE_ARGUMENT(flags)                                         \
  mode_t mode = 0;                                                   \
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {  \
    va_list arguments;                                               \
    va_start(arguments, flags);                                      \
    mode = static_cast<mode_t>(va_arg(arguments, int));              \
    va_end(arguments);                                               \
  }

extern "C" {

int open(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  static auto next = real(&::open, "open");
  return intercept("open", path) ? -1 : remember(next(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  static auto next = real(&::open64, "open64");
  return intercept("open", path) ? -1 : remember(next(path, flags, mode), path);
}

int openat(int directory, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  static auto next = real(&::openat, "openat");
  return intercept("open", path) ? -1 : remember(next(directory, path, flags, mode), path);
}

int openat64(int directory, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  static auto next = real(&::openat64, "openat64");
  return intercept("open", path) ? -1 : remember(next(directory, path, flags, mode), path);
}

FILE* fopen(const char* path, const char* mode) {
  static auto next = real(&::fopen, "fopen");
  return intercept("open", path) ? nullptr : rememberFile(next(path, mode), path);
}

FILE* fopen64(const char* path, const char* mode) {
  static auto next = real(&::fopen64, "fopen64");
  return intercept("open", path) ? nullptr : rememberFile(next(path, mode), path);
}

ssize_t read(int descriptor, void* buffer, size_t count) {
  static auto next = real(&::read, "read");
  return intercept("read", pathOf(descriptor)) ? -1 : next(descriptor, buffer, count);
}

ssize_t write(int descriptor, const void* buffer, size_t count) {
  static auto next = real(&::write, "write");
  return intercept("write", pathOf(descriptor)) ? -1 : next(descriptor, buffer, count);
}

ssize_t writev(int descriptor, const struct iovec* vector, int count) {
  static auto next = real(&::writev, "writev");
  return intercept("write", pathOf(descriptor)) ? -1 : next(descriptor, vector, count);
}

int fclose(FILE* file) {
  static auto next = real(&::fclose, "fclose");
  if (file != nullptr) remember(fileno(file), "");
  return next(file);
}

// A failing close still releases the descriptor, as the kernel does when
// it reports a late write error there.
int close(int descriptor) {
  static auto next = real(&::close, "close");
  bool fails = intercept("close", pathOf(descriptor));
  int result = next(remember(descriptor, ""));
  if (fails) errno = failError;
  return fails ? -1 : result;
}

int rename(const char* from, const char* to) {
  static auto next = real(&::rename, "rename");
  return intercept("rename", to) ? -1 : next(from, to);
}

int unlink(const char* path) {
  static auto next = real(&::unlink, "unlink");
  return intercept("unlink", path) ? -1 : next(path);
}

int rmdir(const char* path) {
  static auto next = real(&::rmdir, "rmdir");
  return intercept("rmdir", path) ? -1 : next(path);
}

int mkdir(const char* path, mode_t mode) {
  static auto next = real(&::mkdir, "mkdir");
  return intercept("mkdir", path) ? -1 : next(path, mode);
}

int symlink(const char* text, const char* path) {
  static auto next = real(&::symlink, "symlink");
  return intercept("symlink", path) ? -1 : next(text, path);
}

int mkstemp(char* pattern) {
  static auto next = real(&::mkstemp, "mkstemp");
  return intercept("mkstemp", pattern) ? -1 : remember(next(pattern), pattern);
}

int mkstemp64(char* pattern) {
  static auto next = real(&::mkstemp64, "mkstemp64");
  return intercept("mkstemp", pattern) ? -1 : remember(next(pattern), pattern);
}

void sync() {
  static auto next = real(&::sync, "sync");
  intercept("sync", nullptr);
  next();
}

}  // extern "C"
