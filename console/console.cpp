#include "console/console.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <iostream>


namespace {

std::ostream* outputStream = nullptr;

const char* const HIDE_CURSOR = "\x1b[?25l";
const char* const SHOW_CURSOR = "\x1b[?25h";

// Room for the formatted text of one message, terminator included.
constexpr size_t MESSAGE_BUFFER_SIZE = 256;
// Blanks that wipe a status line before a message is printed over it.
constexpr size_t STATUS_WIPE_WIDTH = 79;
// Length of the label, " [" and the cells of a progress bar together; the
// closing "]" comes after.
constexpr uint64_t PROGRESS_LINE_WIDTH = 76;
// Added to the system tick count, so that a tick count of 0 still marks
// a shown spinner.
constexpr int64_t TICK_OFFSET = 30000;
// Ticks in a second: the unit of times(), which the tick count once came from.
constexpr int64_t TICKS_PER_SECOND = 100;
constexpr const char SPINNER_CHARACTERS[] = "|/-\\";

// Blanks the status line on screen without forgetting it. A line longer than
// the usual wipe is blanked over its whole length.
void wipeStatusLine(const std::string& statusLine) {
  size_t blanks = statusLine.size() > STATUS_WIPE_WIDTH ? statusLine.size() : STATUS_WIPE_WIDTH;
  std::ostream& out = consoleOut();
  out << '\r' << std::string(blanks, ' ') << '\r';
  out.flush();
}

std::string formatText(const char* format, va_list arguments) {
  char buffer[MESSAGE_BUFFER_SIZE];
  int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  if (length < 0) return std::string();
  return buffer;
}

// Number of filled cells out of `width` for `position` of `total`, rounded
// down. Nothing is filled when the total is unknown (0), and a position past
// the end fills the bar exactly. 32-bit machines have no 128-bit integers,
// so position * width / total is taken bit by bit of `width`, the quotient
// and the remainder (below `total`) kept apart, and no step can overflow.
uint64_t filledCells(uint64_t position, uint64_t total, uint64_t width) {
  if (total == 0) return 0;
  if (position > total) position = total;
  uint64_t quotient = 0, remainder = 0;
  for (int bit = 63; bit >= 0; --bit) {
    // Doubles the partial product: remainder + remainder, reduced once.
    quotient *= 2;
    if (remainder >= total - remainder) {
      remainder -= total - remainder;
      ++quotient;
    } else {
      remainder *= 2;
    }
    if (((width >> bit) & 1) == 0) continue;
    // Adds position (at most total) to the partial product.
    if (remainder >= total - position) {
      remainder -= total - position;
      ++quotient;
    } else {
      remainder += position;
    }
  }
  return quotient;
}

}  // namespace

std::ostream& consoleOut() {
  return outputStream != nullptr ? *outputStream : std::cout;
}

void setConsoleOutput(std::ostream* stream) {
  outputStream = stream;
}

ConsoleState& consoleState() {
  static ConsoleState state;
  return state;
}

void setStatus(const std::string& text) {
  ConsoleState& state = consoleState();
  if (state.quiet) return;
  if (text == state.statusLine) return;
  size_t padding = state.statusLine.size() > text.size() ? state.statusLine.size() - text.size() : 0;
  std::ostream& out = consoleOut();
  out << HIDE_CURSOR << '\r' << text << std::string(padding, ' ') << '\r' << SHOW_CURSOR;
  out.flush();
  state.statusLine = text;
}

void showProgress(uint64_t position, uint64_t total, const std::string& label) {
  std::string bar = label + " [";
  uint64_t width = bar.size() < PROGRESS_LINE_WIDTH ? PROGRESS_LINE_WIDTH - bar.size() : 0;
  uint64_t filled = filledCells(position, total, width);
  bar.append(filled, '#');
  bar.append(width - filled, ' ');
  bar += ']';
  setStatus(bar);
}

void emit(const char* prefix, const char* format, va_list arguments) {
  std::string message = prefix != nullptr ? prefix : "";
  message += formatText(format, arguments);
  ConsoleState& state = consoleState();
  if (state.quiet) return;
  std::ostream& out = consoleOut();
  if (!state.statusLine.empty()) wipeStatusLine(state.statusLine);
  out << message << '\n';
  out.flush();
  if (!state.statusLine.empty()) {
    out << state.statusLine;
    out.flush();
  }
  state.messageLog.push_back(message);
}

void error(const char* format, ...) {
  setStatus("");
  va_list arguments;
  va_start(arguments, format);
  emit("ERROR: ", format, arguments);
  va_end(arguments);
}

void warning(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  emit("WARNING: ", format, arguments);
  va_end(arguments);
}

void info(const char* format, ...) {
  setStatus("");
  va_list arguments;
  va_start(arguments, format);
  emit(nullptr, format, arguments);
  va_end(arguments);
}

// The monotonic clock, not times(): on the router times() counts in a 32-bit
// long that wraps after months of uptime, and a wrap during a copy would
// stop the spinner for the rest of the run.
int64_t ticksSinceBoot() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return TICK_OFFSET - errno;
  return static_cast<int64_t>(now.tv_sec) * TICKS_PER_SECOND +
         now.tv_nsec / (1000000000 / TICKS_PER_SECOND) + TICK_OFFSET;
}

std::string SpinnerState::step(int64_t now) {
  if (lastTick == 0) {
    lastTick = now;
    return std::string(1, SPINNER_CHARACTERS[index++ % 4]);
  }
  if (now - lastTick <= SPINNER_TICK_INTERVAL) return std::string();
  lastTick += SPINNER_TICK_INTERVAL;
  std::string text = {'\b', SPINNER_CHARACTERS[index % 4]};
  index = (index + 1) % 4;
  return text;
}

SpinnerState& processSpinner() {
  static SpinnerState spinner;
  return spinner;
}

void stepSpinner() {
  std::string text = processSpinner().step(ticksSinceBoot());
  if (!text.empty()) consoleOut() << text << std::flush;
}
