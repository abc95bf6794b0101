#include "driver/postlog.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "console/console.h"

namespace {

const char* const POSTLOG_PATH = "/flash/postlog";
constexpr size_t RESET_SIZE = 4096;

// Set once beginPostlog has carried the old lines into the message log.
bool postlogReset = false;

void carryOverOldLines() {
  std::ifstream in(POSTLOG_PATH, std::ios::binary);
  if (!in) return;
  auto& log = consoleState().messageLog;
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // the last line had no "\n": it is dropped
    log.push_back(line);
  }
}

}  // namespace

void beginPostlog() {
  carryOverOldLines();
  std::ofstream out(POSTLOG_PATH, std::ios::binary | std::ios::trunc);
  const std::string zeros(RESET_SIZE, '\0');
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  postlogReset = true;
}

void writePostlog() {
  const auto& log = consoleState().messageLog;
  if (!postlogReset && log.empty()) return;
  std::ofstream out(POSTLOG_PATH, std::ios::binary | (postlogReset ? std::ios::trunc : std::ios::app));
  sync();
  for (const std::string& line : log) out << line << '\n';
}
