// The console: one-line messages, the overwritable status line, the
// progress bar and the message log, all on standard output.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <string>

class PackageReader;

/// The stream that every user-visible line goes to; standard output unless
/// a test replaced it.
std::ostream& consoleOut();
/// Replaces the console stream (nullptr restores standard output).
void setConsoleOutput(std::ostream* stream);

/// Shows `text` as the status line; an empty text erases it.
void setStatus(const std::string& text);
/// Draws a progress bar of `position` out of `total` after `label`.
void showProgress(uint64_t position, uint64_t total, const std::string& label);
/// Draws a progress bar for the reader's offset in its package file.
void showProgress(PackageReader& reader, const std::string& label);
/// Formats, prints and logs one message with an optional prefix.
void emit(const char* prefix, const char* format, va_list arguments);
/// Erases the status line and prints "ERROR: " and the message.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Prints "WARNING: " and the message above the status line.
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Erases the status line and prints the message.
void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
