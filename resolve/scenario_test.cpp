// Golden scenarios for candidate selection, candidate evaluation and the
// schedule planner: each file under tests/scenarios/ describes one case; the
// runner builds its records, makes the call in a child process rooted in a
// temporary device root, and compares a transcript of what happened with the
// transcript after "expect". Statements, one a line ("#" comments):
//
//   arch NAME                       machine architecture (default "i386")
//   device [min=VERSION] [largeblock]   minimum system version, 256 KiB blocks
//   installed NAME VERSION [OPTION...]  a record of the context's packages,
//                                   with a database entry in the root
//   candidate NAME VERSION [OPTION...]  a candidate record
//   member NAME VERSION [OPTION...]     a member of the candidate above
//   run select [reversed] [verbose] | run evaluate FLAGS | run schedule LEVEL
//     | run plan LEVEL                FLAGS: "none" or a comma-separated list
//                                   of upgrade, downgrade, ignore, conflict,
//                                   reinstall
//
// VERSION is a version text ("6.41beta3") or a number ("0x03146302").
// Options: build=N, bundle, inert, arch=NAME, dep=REF, conflicts=REF,
// provides=REF@PRIORITY with REF = NAME[:MIN[:MAX]] (an empty bound is
// open); installed only: disabled, forced (the user set the state),
// do=uninstall|enable|disable, in=BUNDLE.
//
// Transcript: every console line, status lines as "[status] TEXT" (wipes
// left out); then "selected NAME-VERSION ..." (select), or "needed
// NAME-VERSION: FLAG..." after each candidate's lines (evaluate), or
// "result true|false", for plan "removals ..." and "enables ..." in list
// order, "package NAME-VERSION enabled|disabled [do=ACTION]" per record,
// and for schedule "journal U TARGET" and "journal W TARGET CONTENT" in
// target order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "device/flash_probe.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"
#include "resolve/candidates.h"
#include "resolve/schedule.h"
#include "test_root.h"

namespace {

const char* const SCENARIO_DIRECTORY = INSTALLER_SOURCE_DIR "/tests/scenarios";

using Words = std::vector<std::string>;

Words splitAt(const std::string& text, char separator) {
  Words parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  if (text.empty() || text.back() == separator) parts.push_back("");
  return parts;
}

/// A version text or a decimal/hexadecimal number; empty text is 0.
PackageVersion versionFrom(const std::string& text) {
  PackageVersion version = 0;
  if (text.empty() || parseVersion(text, version)) return version;
  size_t used = 0;
  unsigned long number = std::stoul(text, &used, 0);
  if (used != text.size()) ADD_FAILURE() << "bad version " << text;
  return static_cast<PackageVersion>(number);
}

PackageRef refFrom(const std::string& text) {
  PackageRef ref;
  size_t at = text.find('@');
  if (at != std::string::npos) ref.priority = std::stoi(text.substr(at + 1));
  Words parts = splitAt(text.substr(0, at), ':');
  ref.name = parts[0];
  if (parts.size() > 1) ref.minVersion = versionFrom(parts[1]);
  if (parts.size() > 2) ref.maxVersion = versionFrom(parts[2]);
  return ref;
}

uint32_t actionFrom(const std::string& name) {
  for (uint32_t action : {ACTION_UNINSTALL, ACTION_ENABLE, ACTION_DISABLE})
    if (name == scheduleActionName(action)) return action;
  ADD_FAILURE() << "unknown action " << name;
  return ACTION_NONE;
}

/// Fills `record` from "VERB NAME VERSION OPTION..."; `installed` is the
/// same record when it is an installed one, which alone takes the
/// installed-only options.
void fillRecord(PackageRecord& record, InstalledPackage* installed, const Words& words) {
  record.name = words[1];
  record.version = versionFrom(words[2]);
  for (size_t i = 3; i < words.size(); ++i) {
    size_t equals = words[i].find('=');
    std::string key = words[i].substr(0, equals);
    std::string value = equals == std::string::npos ? "" : words[i].substr(equals + 1);
    if (key == "build") record.buildTime = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    else if (key == "bundle") record.isBundle = true;
    else if (key == "inert") record.version = record.buildTime = INERT_VALUE;
    else if (key == "arch") record.architecture = value;
    else if (key == "dep") record.deps.push_back(refFrom(value));
    else if (key == "conflicts") record.conflicts.push_back(refFrom(value));
    else if (key == "provides") record.provides.push_back(refFrom(value));
    else if (installed && key == "disabled") installed->disabled = true;
    else if (installed && key == "forced") installed->stateChosenByUser = true;
    else if (installed && key == "in") installed->bundle.name = value;
    else if (installed && key == "do") installed->scheduledAction = actionFrom(value);
    else ADD_FAILURE() << "unknown option " << key;
  }
}

template <typename Record>
std::unique_ptr<Record> makeRecord(const Words& words) {
  auto record = std::make_unique<Record>();
  fillRecord(*record, dynamic_cast<InstalledPackage*>(record.get()), words);
  return record;
}

struct Scenario {
  std::string architecture = "i386";
  PackageVersion minimumVersion = 0;
  bool largeBlocks = false;
  std::vector<std::unique_ptr<InstalledPackage>> installed;
  std::vector<std::unique_ptr<PackageRecord>> candidates;
  Words call;
  std::string expected;
};

void parseStatement(Scenario& scenario, const Words& words) {
  const std::string& verb = words[0];
  if (verb == "device") {
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i].rfind("min=", 0) == 0) scenario.minimumVersion = versionFrom(words[i].substr(4));
      else if (words[i] == "largeblock") scenario.largeBlocks = true;
      else ADD_FAILURE() << "unknown device option " << words[i];
    }
  } else if (verb == "arch") {
    scenario.architecture = words.size() > 1 ? words[1] : "";
  } else if (verb == "run") {
    scenario.call.assign(words.begin() + 1, words.end());
  } else if (words.size() < 3) {
    ADD_FAILURE() << "unknown statement or record without name and version: " << verb;
  } else if (verb == "installed") {
    scenario.installed.push_back(makeRecord<InstalledPackage>(words));
  } else if (verb == "candidate") {
    scenario.candidates.push_back(makeRecord<PackageRecord>(words));
  } else if (verb == "member" && !scenario.candidates.empty()) {
    scenario.candidates.back()->members.push_back(makeRecord<PackageRecord>(words));
  } else {
    ADD_FAILURE() << "unknown statement " << verb;
  }
}

Scenario readScenario(const std::string& path) {
  Scenario scenario;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::istringstream in(line);
    Words words{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "expect") break;
    parseStatement(scenario, words);
  }
  std::ostringstream rest;
  rest << file.rdbuf();
  scenario.expected = rest.str();
  return scenario;
}

const std::string HIDE_CURSOR_CR = "\x1b[?25l\r";
const std::string CR_SHOW_CURSOR = "\r\x1b[?25h";

/// The console's bytes as readable lines: messages as printed, status lines
/// as "[status] TEXT"; wipes and redraws of the shown status line left out.
std::string readableConsole(const std::string& bytes) {
  std::string out, status;
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.compare(pos, HIDE_CURSOR_CR.size(), HIDE_CURSOR_CR) == 0) {
      size_t start = pos + HIDE_CURSOR_CR.size();
      size_t end = bytes.find(CR_SHOW_CURSOR, start);
      if (end == std::string::npos) return out + "[broken status] " + bytes.substr(pos) + "\n";
      status = bytes.substr(start, end - start);
      status.erase(status.find_last_not_of(' ') + 1);
      if (!status.empty()) out += "[status] " + status + "\n";
      pos = end + CR_SHOW_CURSOR.size();
    } else if (bytes[pos] == '\r') {
      size_t end = bytes.find('\r', pos + 1);
      if (end == std::string::npos || bytes.find_first_not_of(' ', pos + 1) != end)
        return out + "[broken wipe] " + bytes.substr(pos) + "\n";
      pos = end + 1;
    } else {
      size_t end = std::min(bytes.find_first_of("\n\r\x1b", pos), bytes.size());
      std::string text = bytes.substr(pos, end - pos);
      if (end < bytes.size() && bytes[end] == '\n') {
        out += text + "\n";
        ++end;
      } else if (text != status) {
        out += "[redraw] " + text + "\n";
      }
      pos = end;
    }
  }
  return out;
}

const std::pair<InstallFlags, const char*> FLAG_NAMES[] = {
    {INSTALL_UPGRADE, "upgrade"},   {INSTALL_DOWNGRADE, "downgrade"}, {INSTALL_IGNORE_REQUIREMENTS, "ignore"},
    {INSTALL_ALLOW_CONFLICT, "conflict"}, {INSTALL_REINSTALL, "reinstall"}};

std::string flagNames(InstallFlags flags) {
  std::string text;
  for (const auto& [flag, name] : FLAG_NAMES)
    if (flags & flag) text += std::string(" ") + name;
  return text.empty() ? " none" : text;
}

InstallFlags flagsFrom(const std::string& text) {
  InstallFlags flags = 0;
  for (const std::string& word : splitAt(text, ',')) {
    auto named = std::find_if(std::begin(FLAG_NAMES), std::end(FLAG_NAMES),
                              [&word](const auto& entry) { return word == entry.second; });
    if (named != std::end(FLAG_NAMES)) flags |= named->first;
    else if (word != "none") ADD_FAILURE() << "unknown flag " << word;
  }
  return flags;
}

std::string listText(const char* label, const std::vector<InstalledPackage*>& list) {
  std::string text = label;
  for (const InstalledPackage* record : list) text += " " + nameVersionText(*record);
  return text + "\n";
}

std::string packagesText() {
  std::string text;
  for (const auto& record : InstallerContext::instance().packages) {
    text += "package " + nameVersionText(*record) + (record->disabled ? " disabled" : " enabled");
    if (record->scheduledAction != ACTION_NONE)
      text += std::string(" do=") + scheduleActionName(record->scheduledAction);
    text += "\n";
  }
  return text;
}

std::string journalText(const FileJournal& journal) {
  std::string text;
  for (const auto& [target, operation] : journal.operations()) {
    if (operation.kind == JOURNAL_REMOVE) {
      text += "journal U " + target + "\n";
    } else if (operation.kind == JOURNAL_TEMPORARY_MOVE) {
      std::ifstream written(operation.argument);
      std::string content;
      std::getline(written, content);
      text += "journal W " + target + " " + content + "\n";
    } else {
      text += "journal " + std::to_string(operation.kind) + " " + target + " " + operation.argument + "\n";
    }
  }
  return text;
}

/// Makes the scenario's call and returns its transcript; `take` returns
/// the console's lines since it was last called.
std::string runCall(const Scenario& scenario, const std::function<std::string()>& take) {
  const Words& call = scenario.call;
  int level = call[0] == "schedule" || call[0] == "plan" ? std::stoi(call.size() > 1 ? call[1] : "0") : 0;
  if (call[0] == "select") {
    std::vector<PackageRecord*> list;
    for (const auto& candidate : scenario.candidates) list.push_back(candidate.get());
    selectCandidates(list, std::count(call.begin(), call.end(), "reversed") > 0,
                     std::count(call.begin(), call.end(), "verbose") > 0);
    std::string text = take() + "selected";
    for (const PackageRecord* record : list) text += " " + nameVersionText(*record);
    return text + "\n";
  }
  if (call[0] == "evaluate") {
    InstallFlags granted = flagsFrom(call.size() > 1 ? call[1] : "none");
    std::string text;
    for (const auto& candidate : scenario.candidates) {
      InstallFlags needed = evaluateCandidate(*candidate, granted);
      text += take() + "needed " + nameVersionText(*candidate) + ":" + flagNames(needed) + "\n";
    }
    return text;
  }
  if (call[0] == "schedule") {
    FileJournal journal;
    bool result = runSchedule(journal, level);
    std::string text = take() + "result " + (result ? "true" : "false") + "\n";
    text += packagesText() + journalText(journal);
    journal.cancel();
    return text;
  }
  if (call[0] == "plan") {
    PackageList removals, enables;
    bool result = planSchedule(removals, enables, level);
    std::string text = take() + "result " + (result ? "true" : "false") + "\n";
    return text + listText("removals", removals) + listText("enables", enables) + packagesText();
  }
  ADD_FAILURE() << "unknown call " << call[0];
  return std::string();
}

std::string runScenario(Scenario& scenario) {
  TestRoot root;
  // The database entries of the installed records, with their state files.
  for (const auto& record : scenario.installed) {
    std::string entry = "/flash/var/pdb/" + record->name + "/";
    root.write(entry + "version", std::to_string(record->version) + " " + std::to_string(record->buildTime) + "\n");
    if (record->disabled) root.write(entry + "disabled", record->stateChosenByUser ? "user\n" : "auto\n");
    else if (record->stateChosenByUser) root.write(entry + "enabled", "user\n");
  }
  bool finished = passesInRoot(root, [&scenario] {
    InstallerContext::reset();
    InstallerContext& context = InstallerContext::instance();
    context.architecture = scenario.architecture;
    context.packages = std::move(scenario.installed);
    deviceProbes().systemVersion = [&scenario] { return scenario.minimumVersion; };
    deviceProbes().largeBlockFlash = [&scenario] { return scenario.largeBlocks; };
    std::ostringstream console;
    setConsoleOutput(&console);
    std::string transcript = runCall(scenario, [&console] {
      std::string lines = readableConsole(console.str());
      console.str(std::string());
      return lines;
    });
    setConsoleOutput(nullptr);
    std::ofstream("/transcript") << transcript;
    InstallerContext::reset();
  });
  EXPECT_TRUE(finished) << "the scenario's child process failed";
  return root.read("/transcript");
}

std::vector<std::string> scenarioNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIRECTORY))
    if (entry.path().extension() == ".txt") names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class Scenarios : public testing::TestWithParam<std::string> {};

TEST_P(Scenarios, TranscriptMatches) {
  Scenario scenario = readScenario(std::string(SCENARIO_DIRECTORY) + "/" + GetParam());
  ASSERT_FALSE(scenario.call.empty()) << "the scenario has no run statement";
  ASSERT_FALSE(scenario.expected.empty()) << "the scenario has no expected transcript";
  EXPECT_EQ(scenario.expected, runScenario(scenario)) << "scenario " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Golden, Scenarios, testing::ValuesIn(scenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 4);
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// A missing directory would otherwise pass by running no scenario at all.
TEST(ScenarioRunner, FindsTheScenarioFiles) { EXPECT_GE(scenarioNames().size(), 20u); }

}  // namespace
