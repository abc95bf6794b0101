#include "console/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "console/package_listing.h"
#include "pkg/installer_context.h"

namespace {

const std::string HIDE = "\x1b[?25l", SHOW = "\x1b[?25h";

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallerContext::reset();
    setConsoleOutput(&out);
  }
  void TearDown() override { setConsoleOutput(nullptr); }
  std::string take() {
    std::string written = out.str();
    out.str("");
    return written;
  }

  std::ostringstream out;
  InstallerContext& context = InstallerContext::instance();
};

// A status line is padded over a longer one and not redrawn unchanged. A
// warning goes above it, wiped over 79 columns or its whole length, and it
// stays; an error or info erases it first. Messages are cut at 255
// characters and logged.
TEST_F(ConsoleTest, StatusLineAndMessages) {
  setStatus("enabling tessel-6.40...");
  setStatus("enabling tessel-6.40...");
  setStatus("done");
  warning("omitting package %s", "tessel-6.40");
  EXPECT_EQ(take(), HIDE + "\renabling tessel-6.40...\r" + SHOW + HIDE + "\rdone" + std::string(19, ' ') + "\r" + SHOW +
                        "\r" + std::string(79, ' ') + "\rWARNING: omitting package tessel-6.40\ndone");
  const std::string wide(90, 'w');
  setStatus(wide);
  take();
  warning("w");
  EXPECT_EQ(take(), "\r" + std::string(90, ' ') + "\rWARNING: w\n" + wide);
  error("can not install %s", "a-1.0");
  EXPECT_EQ(take(), HIDE + "\r" + std::string(90, ' ') + "\r" + SHOW + "ERROR: can not install a-1.0\n");
  setStatus("busy");
  take();
  info("%s", std::string(300, 'a').c_str());
  EXPECT_EQ(take(), HIDE + "\r    \r" + SHOW + std::string(255, 'a') + "\n");
  EXPECT_EQ(context.messageLog,
            (std::vector<std::string>{"WARNING: omitting package tessel-6.40", "WARNING: w", "ERROR: can not install a-1.0",
                                      std::string(255, 'a')}));
  context.quiet = true;
  setStatus("quiet");
  showProgress(5, 10, "x");
  warning("w");
  error("e");
  info("i");
  EXPECT_EQ(take(), "");
  EXPECT_EQ(context.statusLine + std::to_string(context.messageLog.size()), "4");
}

// A 22-character label leaves 52 cells; the bar never divides by zero nor
// overfills, and a label too long for the line leaves no cell.
TEST_F(ConsoleTest, ProgressBar) {
  const std::string label = "installing tessel-6.40";
  std::string filled;
  for (const auto& [position, total] : std::vector<std::pair<uint64_t, uint64_t>>{
           {0, 100}, {50, 100}, {3000000000u, 4000000000u}, {100, 100}, {0, 0}, {250, 100}, {UINT64_MAX - 1, UINT64_MAX}}) {
    showProgress(position, total, label);
    EXPECT_EQ(context.statusLine.size(), 77u);
    filled += std::to_string(std::count(context.statusLine.begin(), context.statusLine.end(), '#')) + " ";
  }
  EXPECT_EQ(filled, "0 26 39 52 0 52 51 ");
  EXPECT_EQ(context.statusLine, label + " [" + std::string(51, '#') + " ]");
  showProgress(5, 10, std::string(80, 'x'));
  EXPECT_EQ(context.statusLine, std::string(80, 'x') + " []");
}

// Columns are padded on the default side; "X" marks a disabled package,
// "B" a bundle member, and a long name pushes the rest of its row along.
TEST_F(ConsoleTest, PackageListing) {
  for (const char* name : {"tessel", "a-very-long-package-name"})
    context.packages.push_back(std::make_unique<InstalledPackage>(name));
  InstalledPackage& member = *context.packages[0];
  member.version = makeVersion(6, 40, 'f', 5);
  member.disabled = true;
  member.bundle.name = "quorilan";
  InstalledPackage& forced = *context.packages[1];
  forced.version = makeVersion(6, 41, 'b', 3);
  forced.buildTime = 4294967295u;
  forced.userForced = true;
  forced.note = std::string(41, 'n');
  std::ostringstream listing;
  printPackageListing(listing);
  EXPECT_EQ(listing.str(), std::string(12, ' ') + "Name    " + std::string(6, ' ') + "Version " + std::string(15, ' ') +
                               "Built" + std::string(36, ' ') + "Note\n" + std::string(94, '-') + "\n" +
                               std::string(10, ' ') + "tessel XB " + std::string(7, ' ') + "6.40.5 Jan/01/1970 00:00:00 " +
                               std::string(40, ' ') + "\na-very-long-package-name        6.41beta3 Feb/07/2106 06:28:15 " +
                               std::string(41, 'n') + "\n");
}

}  // namespace
