#include "console/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>


namespace {

const std::string HIDE = "\x1b[?25l";
const std::string SHOW = "\x1b[?25h";
const std::string LABEL = "installing tessel-6.40";  // 22 characters: 52 cells

// What setStatus writes to replace a status line of `oldLength` characters.
std::string statusBytes(const std::string& text, size_t oldLength) {
  std::string padding(oldLength > text.size() ? oldLength - text.size() : 0, ' ');
  return HIDE + "\r" + text + padding + "\r" + SHOW;
}

std::string progressBar(size_t filled, size_t width = 52) {
  return LABEL + " [" + std::string(filled, '#') + std::string(width - filled, ' ') + "]";
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    consoleState() = ConsoleState();
    setConsoleOutput(&out);
  }
  void TearDown() override { setConsoleOutput(nullptr); }

  // Everything written since the last call.
  std::string take() {
    std::string written = out.str();
    out.str("");
    return written;
  }

  std::ostringstream out;
  ConsoleState& context = consoleState();
};

TEST_F(ConsoleTest, StatusLineIsPaddedOverALongerOneAndNotRedrawnWhenUnchanged) {
  setStatus("enabling tessel-6.40...");
  EXPECT_EQ(take(), statusBytes("enabling tessel-6.40...", 0));
  setStatus("enabling tessel-6.40...");
  EXPECT_EQ(take(), "");
  setStatus("done");
  EXPECT_EQ(take(), HIDE + "\rdone" + std::string(19, ' ') + "\r" + SHOW);
  setStatus("");
  EXPECT_EQ(take(), HIDE + "\r    \r" + SHOW);
  setStatus("");
  EXPECT_EQ(take(), "");
}

// A warning goes above a status line that stays; an error or info erases
// it first. Every message is logged.
TEST_F(ConsoleTest, MessagesAroundTheStatusLine) {
  setStatus("busy");
  take();
  warning("omitting package %s: it is already installed", "tessel-6.40");
  EXPECT_EQ(take(), "\r" + std::string(79, ' ') + "\r" +
                        "WARNING: omitting package tessel-6.40: it is already installed\nbusy");
  EXPECT_EQ(context.statusLine, "busy");
  error("can not install %s: it conflicts with %s", "a-1.0", "b-2.0");
  EXPECT_EQ(take(), statusBytes("", 4) + "ERROR: can not install a-1.0: it conflicts with b-2.0\n");
  EXPECT_EQ(context.statusLine, "");
  setStatus("enabling x-1.0...");
  take();
  info("enabled %s", "x-1.0");
  EXPECT_EQ(take(), statusBytes("", 17) + "enabled x-1.0\n");
  info("installed %s%s", "(disabled) ", "y-2.0");
  EXPECT_EQ(take(), "installed (disabled) y-2.0\n");
  EXPECT_EQ(context.messageLog,
            (std::vector<std::string>{
                "WARNING: omitting package tessel-6.40: it is already installed",
                "ERROR: can not install a-1.0: it conflicts with b-2.0", "enabled x-1.0",
                "installed (disabled) y-2.0"}));
}

TEST_F(ConsoleTest, FormattedTextIsCutAt255Characters) {
  std::string text(300, 'a');
  info("%s", text.c_str());
  EXPECT_EQ(take(), std::string(255, 'a') + "\n");
  error("%s", text.c_str());
  EXPECT_EQ(take(), "ERROR: " + std::string(255, 'a') + "\n");
  EXPECT_EQ(context.messageLog.back(), "ERROR: " + std::string(255, 'a'));
}

TEST_F(ConsoleTest, QuietPrintsAndLogsNothing) {
  context.quiet = true;
  context.messageLog.push_back("kept from the last run");
  setStatus("busy");
  showProgress(5, 10, LABEL);
  warning("w %d", 1);
  error("e %d", 2);
  info("i %d", 3);
  EXPECT_EQ(take(), "");
  EXPECT_EQ(context.statusLine, "");
  EXPECT_EQ(context.messageLog, std::vector<std::string>{"kept from the last run"});
}

// The bar never divides by zero and never draws more than its width.
TEST_F(ConsoleTest, ProgressBar) {
  showProgress(0, 100, LABEL);
  EXPECT_EQ(take(), statusBytes(progressBar(0), 0));
  EXPECT_EQ(context.statusLine.size(), 77u);
  showProgress(1, 100, LABEL);  // still no cell filled: nothing redrawn
  EXPECT_EQ(take(), "");
  auto barAt = [this](uint64_t position, uint64_t total) {
    showProgress(position, total, LABEL);
    return context.statusLine;
  };
  EXPECT_EQ(barAt(50, 100), progressBar(26));
  EXPECT_EQ(barAt(3000000000u, 4000000000u), progressBar(39));  // product beyond 32 bits
  EXPECT_EQ(barAt(100, 100), progressBar(52));
  EXPECT_EQ(barAt(0, 0), progressBar(0));
  EXPECT_EQ(barAt(250, 100), progressBar(52));
  EXPECT_EQ(barAt(UINT64_MAX - 1, UINT64_MAX), progressBar(51));
  std::string longLabel(80, 'x');
  showProgress(5, 10, longLabel);
  EXPECT_EQ(context.statusLine, longLabel + " []");
}

TEST(SpinnerTest, TurnsEveryTwentyTicksAndWraps) {
  SpinnerState spinner;
  EXPECT_EQ(spinner.step(30100), "|");
  EXPECT_EQ(spinner.step(30120), "");  // exactly 20 ticks: not yet
  EXPECT_EQ(spinner.step(30121), "\b/");
  EXPECT_EQ(spinner.lastTick, 30120);
  EXPECT_EQ(spinner.step(30121), "");
  EXPECT_EQ(spinner.step(30200), "\b-");  // a long pause catches up one step at a time
  EXPECT_EQ(spinner.step(30200), "\b\\");
  EXPECT_EQ(spinner.step(30200), "\b|");
  EXPECT_EQ(spinner.lastTick, 30180);
  EXPECT_EQ(spinner.step(30200), "");

  int64_t first = ticksSinceBoot();
  usleep(120 * 1000);
  EXPECT_GT(first, 30000);  // ticks start from an offset
  EXPECT_GT(ticksSinceBoot(), first);
}

}  // namespace
