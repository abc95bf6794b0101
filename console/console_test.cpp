#include "console/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

// What `act` prints, and the console's state afterwards, starting from a fresh one.
std::string printed(const std::function<void(ConsoleState&)>& act) {
  consoleState() = ConsoleState();
  std::ostringstream out;
  setConsoleOutput(&out);
  act(consoleState());
  setConsoleOutput(nullptr);
  consoleState() = ConsoleState();
  return out.str();
}

// A status line is padded over a longer one and not redrawn unchanged. A warning goes above it, wiped over 79 columns
// or its whole length, and it stays; an error or info erases it first. Messages are cut at 255 characters and logged;
// quiet prints and logs nothing.
TEST(Console, StatusLineAndMessages) {
  const std::string hide = "\x1b[?25l\r", show = "\r\x1b[?25h", wide(90, 'w'), blank(90, ' '), cut(255, 'a');
  const std::string shown = printed([&](ConsoleState& context) {
    for (const char* status : {"enabling tessel-6.40...", "enabling tessel-6.40...", "done"}) setStatus(status);
    warning("omitting package %s", "tessel-6.40");
    setStatus(wide);
    warning("w");
    error("can not install %s", "a-1.0");
    setStatus("busy");
    info("%s", (cut + "bcd").c_str());
    EXPECT_EQ(context.messageLog, (std::vector<std::string>{"WARNING: omitting package tessel-6.40", "WARNING: w",
                                                            "ERROR: can not install a-1.0", cut}));
    context.quiet = true;
    setStatus("quiet");
    showProgress(5, 10, "x");
    warning("w"), error("e"), info("i");
    EXPECT_EQ(context.statusLine + std::to_string(context.messageLog.size()), "4");
  });
  EXPECT_EQ(shown, hide + "enabling tessel-6.40..." + show + hide + "done" + std::string(19, ' ') + show + "\r" +
                       std::string(79, ' ') + "\rWARNING: omitting package tessel-6.40\ndone" + hide + wide + show +
                       "\r" + blank + "\rWARNING: w\n" + wide + hide + blank + show + "ERROR: can not install a-1.0\n" +
                       hide + "busy" + show + hide + "    " + show + cut + "\n");
}

// A 22-character label leaves 52 cells; the bar never divides by zero nor overfills, and a label too long for the
// line leaves no cell.
TEST(Console, ProgressBar) {
  printed([](ConsoleState& context) {
    std::string filled;
    const std::pair<uint64_t, uint64_t> steps[] = {{0, 100}, {50, 100}, {3000000000u, 4000000000u}, {100, 100},
                                                   {0, 0},   {250, 100}, {UINT64_MAX - 1, UINT64_MAX}};
    for (auto [position, total] : steps) {
      showProgress(position, total, "installing tessel-6.40");
      filled += std::to_string(context.statusLine.size()) + ":" +
                std::to_string(std::count(context.statusLine.begin(), context.statusLine.end(), '#')) + " ";
    }
    EXPECT_EQ(filled, "77:0 77:26 77:39 77:52 77:0 77:52 77:51 ");
    showProgress(5, 10, std::string(80, 'x'));
    EXPECT_EQ(context.statusLine, std::string(80, 'x') + " []");
  });
}

// A long pause catches up one step at a time; ticks count from an offset.
TEST(Console, SpinnerTurnsEveryTwentyTicksAndWraps) {
  SpinnerState spinner;
  std::string shown;
  for (int64_t tick : {30100, 30120, 30121, 30121, 30200, 30200, 30200, 30200}) shown += spinner.step(tick) + ".";
  EXPECT_EQ(shown + std::to_string(ticksSinceBoot() > 30000), "|..\b/..\b-.\b\\.\b|..1");
}

}  // namespace
