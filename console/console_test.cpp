#include "console/console.h"

#include <gtest/gtest.h>

#include <sstream>

#include "pkg/installer_context.h"

namespace {

const std::string HIDE = "\x1b[?25l";
const std::string SHOW = "\x1b[?25h";
const std::string WIPE = "\r" + std::string(79, ' ') + "\r";
const std::string LABEL = "installing tessel-6.40";  // 22 characters: 52 cells

// What setStatus writes to replace a status line of `oldLength` characters.
std::string statusBytes(const std::string& text, size_t oldLength) {
  std::string padding(oldLength > text.size() ? oldLength - text.size() : 0, ' ');
  return HIDE + "\r" + text + padding + "\r" + SHOW;
}

std::string progressBar(size_t filled, size_t width) {
  return LABEL + " [" + std::string(filled, '#') + std::string(width - filled, ' ') + "]";
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallerContext::reset();
    setConsoleOutput(&out);
  }
  void TearDown() override {
    setConsoleOutput(nullptr);
    InstallerContext::reset();
  }

  // Everything written since the last call.
  std::string take() {
    std::string written = out.str();
    out.str("");
    return written;
  }

  std::ostringstream out;
  InstallerContext& context = InstallerContext::instance();
};

TEST_F(ConsoleTest, StatusLineIsPaddedOverALongerOneAndNotRedrawnWhenUnchanged) {
  setStatus("enabling tessel-6.40...");
  EXPECT_EQ(take(), statusBytes("enabling tessel-6.40...", 0));

  setStatus("enabling tessel-6.40...");
  EXPECT_EQ(take(), "");

  setStatus("done");
  EXPECT_EQ(take(), HIDE + "\rdone" + std::string(19, ' ') + "\r" + SHOW);
  EXPECT_EQ(context.statusLine, "done");

  setStatus("");
  EXPECT_EQ(take(), HIDE + "\r    \r" + SHOW);
  EXPECT_EQ(context.statusLine, "");
  setStatus("");
  EXPECT_EQ(take(), "");
}

TEST_F(ConsoleTest, WarningIsPrintedAboveAStatusLineThatStays) {
  setStatus("busy");
  take();
  warning("omitting package %s: it is already installed", "tessel-6.40");
  EXPECT_EQ(take(), WIPE + "WARNING: omitting package tessel-6.40: it is already installed\nbusy");
  EXPECT_EQ(context.statusLine, "busy");
  EXPECT_EQ(context.messageLog,
            std::vector<std::string>{"WARNING: omitting package tessel-6.40: it is already installed"});
}

TEST_F(ConsoleTest, ErrorAndInfoEraseTheStatusLineFirst) {
  setStatus("busy");
  take();
  error("can not install %s: it conflicts with %s", "a-1.0", "b-2.0");
  EXPECT_EQ(take(), statusBytes("", 4) + "ERROR: can not install a-1.0: it conflicts with b-2.0\n");
  EXPECT_EQ(context.statusLine, "");

  setStatus("enabling x-1.0...");
  take();
  info("enabled %s", "x-1.0");
  EXPECT_EQ(take(), statusBytes("", 17) + "enabled x-1.0\n");
  EXPECT_EQ(context.statusLine, "");

  info("installed %s%s", "(disabled) ", "y-2.0");
  EXPECT_EQ(take(), "installed (disabled) y-2.0\n");
  EXPECT_EQ(context.messageLog,
            (std::vector<std::string>{"ERROR: can not install a-1.0: it conflicts with b-2.0",
                                      "enabled x-1.0", "installed (disabled) y-2.0"}));
}

TEST_F(ConsoleTest, FormattedTextIsCutAt255Characters) {
  std::string text(300, 'a');
  info("%s", text.c_str());
  EXPECT_EQ(take(), std::string(255, 'a') + "\n");
  error("%s", text.c_str());
  EXPECT_EQ(take(), "ERROR: " + std::string(255, 'a') + "\n");
  ASSERT_EQ(context.messageLog.size(), 2u);
  EXPECT_EQ(context.messageLog[1], "ERROR: " + std::string(255, 'a'));
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

TEST_F(ConsoleTest, ProgressBarFillsFromEmptyToFull) {
  showProgress(0, 100, LABEL);
  EXPECT_EQ(take(), statusBytes(progressBar(0, 52), 0));
  EXPECT_EQ(context.statusLine.size(), 77u);

  showProgress(1, 100, LABEL);  // still no cell filled: nothing redrawn
  EXPECT_EQ(take(), "");

  showProgress(50, 100, LABEL);
  EXPECT_EQ(context.statusLine, progressBar(26, 52));
  showProgress(3000000000u, 4000000000u, LABEL);  // product beyond 32 bits
  EXPECT_EQ(context.statusLine, progressBar(39, 52));
  showProgress(100, 100, LABEL);
  EXPECT_EQ(context.statusLine, progressBar(52, 52));
}

TEST_F(ConsoleTest, ProgressBarStaysWithinItsWidthForOddInput) {
  showProgress(0, 0, LABEL);
  EXPECT_EQ(context.statusLine, progressBar(0, 52));
  showProgress(250, 100, LABEL);
  EXPECT_EQ(context.statusLine, progressBar(52, 52));
  showProgress(UINT64_MAX - 1, UINT64_MAX, LABEL);
  EXPECT_EQ(context.statusLine, progressBar(51, 52));

  std::string longLabel(80, 'x');
  showProgress(5, 10, longLabel);
  EXPECT_EQ(context.statusLine, longLabel + " []");
}

}  // namespace
