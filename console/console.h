// The console: one-line messages, the overwritable status line, the
// progress bar, the copy spinner and the message log, all on standard output.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

/// What the console remembers between calls.
struct ConsoleState {
  std::string statusLine;               ///< the status line now on screen
  std::vector<std::string> messageLog;  ///< every message printed, in order
  bool quiet = false;                   ///< print and log nothing
};
/// The process-wide console state; tests reset it by assigning a new one.
ConsoleState& consoleState();

/// The stream that every user-visible line goes to; standard output unless
/// a test replaced it.
std::ostream& consoleOut();
/// Replaces the console stream (nullptr restores standard output).
void setConsoleOutput(std::ostream* stream);

/// Shows `text` as the status line; an empty text erases it.
void setStatus(const std::string& text);
/// Draws a progress bar of `position` out of `total` after `label`.
void showProgress(uint64_t position, uint64_t total, const std::string& label);
/// Formats, prints and logs one message with an optional prefix.
void emit(const char* prefix, const char* format, va_list arguments);
/// Erases the status line and prints "ERROR: " and the message.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Prints "WARNING: " and the message above the status line.
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Erases the status line and prints the message.
void info(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Ticks that must pass before the spinner turns again.
constexpr int64_t SPINNER_TICK_INTERVAL = 20;
/// Hundredths of a second since boot, plus 30000 (the negated errno plus
/// 30000 when the clock cannot be read).
int64_t ticksSinceBoot();

/// The turning character shown while a copy is in progress.
struct SpinnerState {
  int64_t lastTick = 0;  ///< 0 until the spinner is first shown
  unsigned index = 0;    ///< next character of "|/-\"

  /// Advances the spinner to tick `now`; returns what to print (may be empty).
  std::string step(int64_t now);
};
/// The process-wide spinner, never reset.
SpinnerState& processSpinner();
/// Steps the process-wide spinner on the console and flushes it.
void stepSpinner();
