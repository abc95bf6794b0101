// Golden scenarios for candidate selection, candidate evaluation and the
// schedule planner. Each file under tests/scenarios/ describes one case; the
// runner builds the records it describes, makes the call, writes a transcript
// of what happened and compares it with the expected transcript at the end
// of the file.
//
// Scenario format, one statement per line; blank lines and lines starting
// with "#" are ignored until "expect":
//
//   arch NAME                      machine architecture (default "i386")
//   device [min=VERSION] [largeblock]
//                                  the flash device: minimum system version
//                                  and 256 KiB erase blocks (default: no
//                                  minimum, small blocks)
//   installed NAME VERSION [OPTION...]   a record of the context's packages
//   candidate NAME VERSION [OPTION...]   a candidate record
//   member NAME VERSION [OPTION...]      a member of the candidate above
//   run select [reversed] [verbose]      selectCandidates on the candidates
//   run evaluate FLAGS             evaluateCandidate for each candidate;
//                                  FLAGS is "none" or a comma-separated list
//                                  of upgrade, downgrade, ignore, conflict,
//                                  reinstall
//   run schedule LEVEL             runSchedule with the message level
//   run plan LEVEL                 planSchedule alone
//   expect                         the rest of the file is the transcript
//
// VERSION is a version text ("6.40", "6.41beta3", "3.20rc2") or a number
// ("0x03146302", "0"). Record options:
//
//   build=N          build time                 disabled     not enabled
//   forced           user set the state         bundle       is a bundle
//   inert            version and build all ones arch=NAME    architecture
//   do=ACTION        scheduled action (uninstall, enable, disable)
//   in=NAME          member of the installed bundle NAME
//   dep=REF  conflicts=REF  provides=REF@PRIORITY
//                    REF is NAME, NAME:MIN or NAME:MIN:MAX (an empty bound
//                    is open, as in "web::6.41")
//
// Transcript: every console line in order; a status line shows as
// "[status] TEXT" (status lines that only wipe are left out). Then, by call:
//   select    "selected NAME-VERSION ..." in the resulting order
//   evaluate  after each candidate's own console lines,
//             "needed NAME-VERSION: FLAG..." or ": none"
//   schedule  "result true|false", then "package NAME-VERSION enabled|disabled
//             [do=ACTION]" for each remaining record in list order, then
//             "journal U TARGET" for removals, "journal W TARGET CONTENT" for
//             written files, in target order
//   plan      "result", "removals ..." and "enables ..." in list order, then
//             the packages as for schedule
//
// The calls run in a child process whose root is a temporary directory with
// an entry directory under "/flash/var/pdb/" for each installed record
// (holding "disabled" or "enabled" as its state asks), so that the journal
// sees the database as the device would.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "device/flash_probe.h"
#include "journal/file_journal.h"
#include "pkg/installer_context.h"
#include "pkg/package_record.h"
#include "resolve/candidates.h"
#include "resolve/schedule.h"
#include "chroot_check.h"
#include "test_root.h"

namespace {

const char* const SCENARIO_DIRECTORY = INSTALLER_SOURCE_DIR "/tests/scenarios";
const char* const TRANSCRIPT_PATH = "/transcript";

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

/// A version text or a decimal/hexadecimal number; empty text is 0.
PackageVersion versionFrom(const std::string& text) {
  if (text.empty()) return 0;
  PackageVersion version = 0;
  if (parseVersion(text, version)) return version;
  size_t used = 0;
  unsigned long number = std::stoul(text, &used, 0);
  if (used != text.size()) ADD_FAILURE() << "bad version " << text;
  return static_cast<PackageVersion>(number);
}

PackageRef refFrom(const std::string& text) {
  PackageRef ref;
  std::string body = text;
  size_t at = text.find('@');
  if (at != std::string::npos) {
    ref.priority = std::stoi(text.substr(at + 1));
    body = text.substr(0, at);
  }
  std::vector<std::string> parts = splitAt(body, ':');
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

/// A record as the scenario describes it, with the installed-only fields.
struct RecordSpec {
  std::string name;
  PackageVersion version = 0;
  std::vector<std::string> options;
  std::vector<RecordSpec> members;
};

void applyCommonOption(PackageRecord& record, const std::string& key, const std::string& value) {
  if (key == "build") record.buildTime = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
  else if (key == "bundle") record.isBundle = true;
  else if (key == "inert") record.version = record.buildTime = INERT_VALUE;
  else if (key == "arch") record.architecture = value;
  else if (key == "dep") record.deps.push_back(refFrom(value));
  else if (key == "conflicts") record.conflicts.push_back(refFrom(value));
  else if (key == "provides") record.provides.push_back(refFrom(value));
  else ADD_FAILURE() << "unknown option " << key;
}

void splitOption(const std::string& option, std::string& key, std::string& value) {
  size_t equals = option.find('=');
  key = option.substr(0, equals);
  value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
}

std::unique_ptr<InstalledPackage> makeInstalled(const RecordSpec& spec) {
  auto record = std::make_unique<InstalledPackage>(spec.name);
  record->version = spec.version;
  for (const std::string& option : spec.options) {
    std::string key, value;
    splitOption(option, key, value);
    if (key == "disabled") record->disabled = true;
    else if (key == "forced") record->userForced = true;
    else if (key == "do") record->scheduledAction = actionFrom(value);
    else if (key == "in") record->bundle.name = value;
    else applyCommonOption(*record, key, value);
  }
  return record;
}

std::unique_ptr<PackageRecord> makeCandidate(const RecordSpec& spec) {
  auto record = std::make_unique<PackageRecord>(spec.name);
  record->version = spec.version;
  for (const std::string& option : spec.options) {
    std::string key, value;
    splitOption(option, key, value);
    applyCommonOption(*record, key, value);
  }
  for (const RecordSpec& member : spec.members) record->members.push_back(makeCandidate(member));
  return record;
}

struct Scenario {
  std::string architecture = "i386";
  PackageVersion minimumVersion = 0;
  bool largeBlocks = false;
  std::vector<RecordSpec> installed;
  std::vector<RecordSpec> candidates;
  std::vector<std::string> call;
  std::string expected;
};

RecordSpec recordFrom(const std::vector<std::string>& words) {
  RecordSpec spec;
  if (words.size() < 3) {
    ADD_FAILURE() << "record needs a name and a version: " << words[0];
    return spec;
  }
  spec.name = words[1];
  spec.version = versionFrom(words[2]);
  spec.options.assign(words.begin() + 3, words.end());
  return spec;
}

void parseDevice(Scenario& scenario, const std::vector<std::string>& words) {
  for (size_t i = 1; i < words.size(); ++i) {
    std::string key, value;
    splitOption(words[i], key, value);
    if (key == "min") scenario.minimumVersion = versionFrom(value);
    else if (key == "largeblock") scenario.largeBlocks = true;
    else ADD_FAILURE() << "unknown device option " << key;
  }
}

void parseStatement(Scenario& scenario, const std::vector<std::string>& words) {
  const std::string& verb = words[0];
  if (verb == "arch") scenario.architecture = words.size() > 1 ? words[1] : "";
  else if (verb == "device") parseDevice(scenario, words);
  else if (verb == "installed") scenario.installed.push_back(recordFrom(words));
  else if (verb == "candidate") scenario.candidates.push_back(recordFrom(words));
  else if (verb == "member" && !scenario.candidates.empty())
    scenario.candidates.back().members.push_back(recordFrom(words));
  else if (verb == "run") scenario.call.assign(words.begin() + 1, words.end());
  else ADD_FAILURE() << "unknown statement " << verb;
}

Scenario readScenario(const std::string& path) {
  Scenario scenario;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::vector<std::string> words = splitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "expect") break;
    parseStatement(scenario, words);
  }
  std::ostringstream rest;
  rest << file.rdbuf();
  scenario.expected = rest.str();
  return scenario;
}

// ---- console transcript ----

const std::string HIDE_CURSOR_CR = "\x1b[?25l\r";
const std::string CR_SHOW_CURSOR = "\r\x1b[?25h";

/// Turns the console's bytes into readable lines: messages as printed,
/// status lines as "[status] TEXT"; wipes and redraws of the shown status
/// line are left out.
std::string readableConsole(const std::string& bytes) {
  std::string out;
  std::string status;
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
      size_t end = bytes.find_first_of("\n\r\x1b", pos);
      std::string text = bytes.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      if (end != std::string::npos && bytes[end] == '\n') {
        out += text + "\n";
        pos = end + 1;
      } else {
        if (text != status) out += "[redraw] " + text + "\n";
        pos = end == std::string::npos ? bytes.size() : end;
      }
    }
  }
  return out;
}

/// Collects the console's output between calls of take().
class ConsoleCapture {
 public:
  ConsoleCapture() { setConsoleOutput(&buffer_); }
  ~ConsoleCapture() { setConsoleOutput(nullptr); }
  std::string take() {
    std::string text = readableConsole(buffer_.str());
    buffer_.str(std::string());
    return text;
  }

 private:
  std::ostringstream buffer_;
};

// ---- the calls ----

std::string flagNames(InstallFlags flags) {
  static const struct { InstallFlags flag; const char* name; } NAMES[] = {
      {INSTALL_UPGRADE, "upgrade"},          {INSTALL_DOWNGRADE, "downgrade"},
      {INSTALL_IGNORE_REQUIREMENTS, "ignore"}, {INSTALL_ALLOW_CONFLICT, "conflict"},
      {INSTALL_REINSTALL, "reinstall"}};
  std::string text;
  for (const auto& entry : NAMES)
    if (flags & entry.flag) text += std::string(" ") + entry.name;
  return text.empty() ? " none" : text;
}

InstallFlags flagsFrom(const std::string& text) {
  InstallFlags flags = 0;
  if (text == "none") return flags;
  for (const std::string& name : splitAt(text, ',')) {
    if (name == "upgrade") flags |= INSTALL_UPGRADE;
    else if (name == "downgrade") flags |= INSTALL_DOWNGRADE;
    else if (name == "ignore") flags |= INSTALL_IGNORE_REQUIREMENTS;
    else if (name == "conflict") flags |= INSTALL_ALLOW_CONFLICT;
    else if (name == "reinstall") flags |= INSTALL_REINSTALL;
    else ADD_FAILURE() << "unknown flag " << name;
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

int levelFrom(const std::vector<std::string>& call) {
  return call.size() > 1 ? std::stoi(call[1]) : 0;
}

std::string runSelect(const Scenario& scenario, ConsoleCapture& console) {
  bool reversed = std::count(scenario.call.begin(), scenario.call.end(), "reversed") > 0;
  bool verbose = std::count(scenario.call.begin(), scenario.call.end(), "verbose") > 0;
  std::vector<std::unique_ptr<PackageRecord>> owned;
  std::vector<PackageRecord*> list;
  for (const RecordSpec& spec : scenario.candidates) {
    owned.push_back(makeCandidate(spec));
    list.push_back(owned.back().get());
  }
  selectCandidates(list, reversed, verbose);
  std::string text = console.take() + "selected";
  for (const PackageRecord* record : list) text += " " + nameVersionText(*record);
  return text + "\n";
}

std::string runEvaluate(const Scenario& scenario, ConsoleCapture& console) {
  InstallFlags granted = flagsFrom(scenario.call.size() > 1 ? scenario.call[1] : "none");
  std::string text;
  for (const RecordSpec& spec : scenario.candidates) {
    std::unique_ptr<PackageRecord> candidate = makeCandidate(spec);
    InstallFlags needed = evaluateCandidate(*candidate, granted);
    text += console.take() + "needed " + nameVersionText(*candidate) + ":" + flagNames(needed) + "\n";
  }
  return text;
}

std::string runScheduleCall(const Scenario& scenario, ConsoleCapture& console) {
  FileJournal journal;
  bool result = runSchedule(journal, levelFrom(scenario.call));
  std::string text = console.take() + "result " + (result ? "true" : "false") + "\n";
  text += packagesText() + journalText(journal);
  journal.cancel();
  return text;
}

std::string runPlan(const Scenario& scenario, ConsoleCapture& console) {
  PackageList removals;
  PackageList enables;
  bool result = planSchedule(removals, enables, levelFrom(scenario.call));
  std::string text = console.take() + "result " + (result ? "true" : "false") + "\n";
  return text + listText("removals", removals) + listText("enables", enables) + packagesText();
}

std::string runCall(const Scenario& scenario) {
  ConsoleCapture console;
  const std::string& verb = scenario.call.empty() ? std::string() : scenario.call[0];
  if (verb == "select") return runSelect(scenario, console);
  if (verb == "evaluate") return runEvaluate(scenario, console);
  if (verb == "schedule") return runScheduleCall(scenario, console);
  if (verb == "plan") return runPlan(scenario, console);
  ADD_FAILURE() << "unknown call " << verb;
  return std::string();
}

// ---- setting up ----

void prepareContext(const Scenario& scenario) {
  InstallerContext::reset();
  InstallerContext& context = InstallerContext::instance();
  context.architecture = scenario.architecture;
  for (const RecordSpec& spec : scenario.installed) context.packages.push_back(makeInstalled(spec));
  PackageVersion minimum = scenario.minimumVersion;
  bool largeBlocks = scenario.largeBlocks;
  deviceProbes().systemVersion = [minimum] { return minimum; };
  deviceProbes().largeBlockFlash = [largeBlocks] { return largeBlocks; };
}

/// The database entries of the installed records, with their state files.
void prepareRoot(const TestRoot& root, const Scenario& scenario) {
  for (const RecordSpec& spec : scenario.installed) {
    std::unique_ptr<InstalledPackage> record = makeInstalled(spec);
    std::string entry = "/flash/var/pdb/" + record->name + "/";
    std::string version = std::to_string(record->version) + " " + std::to_string(record->buildTime);
    root.write(entry + "version", version + "\n");
    if (record->disabled) root.write(entry + "disabled", record->userForced ? "user\n" : "auto\n");
    else if (record->userForced) root.write(entry + "enabled", "user\n");
  }
}

std::string runScenario(const Scenario& scenario) {
  TestRoot root;
  prepareRoot(root, scenario);
  bool finished = passesInRoot(root, [&scenario] {
    prepareContext(scenario);
    std::string transcript = runCall(scenario);
    std::ofstream(TRANSCRIPT_PATH) << transcript;
    InstallerContext::reset();
  });
  EXPECT_TRUE(finished) << "the scenario's child process failed";
  return root.read(TRANSCRIPT_PATH);
}

std::vector<std::string> scenarioNames() {
  std::vector<std::string> names;
  if (DIR* directory = opendir(SCENARIO_DIRECTORY)) {
    while (const dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) names.push_back(name);
    }
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string testNameOf(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(0, info.param.size() - 4);
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

class Scenarios : public testing::TestWithParam<std::string> {};

TEST_P(Scenarios, TranscriptMatches) {
  Scenario scenario = readScenario(std::string(SCENARIO_DIRECTORY) + "/" + GetParam());
  ASSERT_FALSE(scenario.call.empty()) << "the scenario has no run statement";
  ASSERT_FALSE(scenario.expected.empty()) << "the scenario has no expected transcript";
  EXPECT_EQ(scenario.expected, runScenario(scenario)) << "scenario " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Golden, Scenarios, testing::ValuesIn(scenarioNames()), testNameOf);

TEST(ScenarioRunner, FindsTheScenarioFiles) {
  EXPECT_GE(scenarioNames().size(), 20u);
}

TEST(ScenarioRunner, ConsoleTranscriptShowsStatusLinesAndMessages) {
  InstallerContext::reset();
  std::string text;
  {
    ConsoleCapture console;
    setStatus("enabling a-1.0...");
    warning("careful");
    info("enabled %s", "a-1.0");
    text = console.take();
  }
  EXPECT_EQ("[status] enabling a-1.0...\nWARNING: careful\nenabled a-1.0\n", text);
  InstallerContext::reset();
}

}  // namespace
