// Golden scenarios: each file under tests/scenarios/ builds package records,
// makes its calls in a child process rooted in a temporary device root and
// compares the transcript with the text after "expect". Statements:
//   device [arch=NAME] [min=VERSION] [largeblock] [pvr=NUMBER]
//   installed|candidate|member NAME VERSION OPTION...  (a member joins the last candidate)
//   run select [reversed] [verbose] | evaluate FLAG,... | schedule LEVEL | plan LEVEL
//     | relate [excludes] [needs] [newer] | resolve NAME... | install FLAG,...
// VERSION is a version text or a number. Options: build=N flags=N bundle inert
// arch=NAME dep=REF conflicts=REF provides=REF@PRIORITY (REF: NAME[:MIN[:MAX]])
// file=/flash/PATH[@VARIANT]; disabled, forced (the user set the state),
// do=ACTION and in=BUNDLE. "install" writes each candidate as a package file,
// whose files hold their own name, and installs it from the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>

#include "chroot_check.h"
#include "install_fixture.h"
#include "console/console.h"
#include "device/flash_probe.h"
#include "journal/file_journal.h"
#include "pkgfile/package_reader.h"
#include "pkg/installer_context.h"
#include "resolve/candidates.h"
#include "resolve/relations.h"
#include "resolve/schedule.h"
#include "resolve/stream_install.h"

namespace {

const std::string DIRECTORY = INSTALLER_SOURCE_DIR "/tests/scenarios/";

using Words = std::vector<std::string>;

std::pair<std::string, std::string> keyValue(const std::string& word) {
  size_t equals = word.find('=');
  return {word.substr(0, equals), equals == std::string::npos ? "" : word.substr(equals + 1)};
}

PackageVersion versionFrom(const std::string& text) {
  PackageVersion version = 0;
  size_t used = text.size();
  if (!text.empty() && !parseVersion(text, version)) version = std::stoul(text, &used, 0);
  EXPECT_EQ(used, text.size()) << "bad version " << text;
  return version;
}

PackageRef refFrom(const std::string& text) {
  size_t at = text.find('@');
  std::istringstream in(text.substr(0, at));
  std::string name, low, high;
  std::getline(std::getline(std::getline(in, name, ':'), low, ':'), high);
  return {name, versionFrom(low), versionFrom(high), at == std::string::npos ? 0 : std::stoi(text.substr(at + 1))};
}

std::unique_ptr<InstalledPackage> recordFrom(const Words& words) {
  auto record = std::make_unique<InstalledPackage>(words.at(1));
  record->version = versionFrom(words.at(2));
  for (size_t i = 3; i < words.size(); ++i) {
    auto [key, value] = keyValue(words[i]);
    if (key == "build") record->buildTime = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    else if (key == "flags") record->flags = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    else if (key == "file") record->files.insert(value);
    else if (key == "bundle") record->isBundle = true;
    else if (key == "inert") record->version = record->buildTime = INERT_VALUE;
    else if (key == "arch") record->architecture = value;
    else if (key == "dep") record->deps.push_back(refFrom(value));
    else if (key == "conflicts") record->conflicts.push_back(refFrom(value));
    else if (key == "provides") record->provides.push_back(refFrom(value));
    else if (key == "disabled") record->disabled = true;
    else if (key == "forced") record->userForced = true;
    else if (key == "in") record->bundle.name = value;
    else if (key == "do" && value == "uninstall") record->scheduledAction = ACTION_UNINSTALL;
    else if (key == "do" && value == "enable") record->scheduledAction = ACTION_ENABLE;
    else if (key == "do" && value == "disable") record->scheduledAction = ACTION_DISABLE;
    else ADD_FAILURE() << "unknown option " << words[i];
  }
  return record;
}

struct Scenario {
  std::string architecture = "i386";
  PackageVersion minimumVersion = 0;
  bool largeBlocks = false;
  uint32_t processorVersion = 0;
  std::vector<std::unique_ptr<InstalledPackage>> installed;
  std::vector<std::unique_ptr<InstalledPackage>> candidates;
  std::vector<Words> calls;
  std::string expected;
};

Scenario readScenario(const std::string& name) {
  Scenario s;
  std::ifstream file(DIRECTORY + name);
  for (std::string line; std::getline(file, line) && line != "expect";) {
    std::istringstream in(line);
    Words words{std::istream_iterator<std::string>(in), {}};
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "run") {
      s.calls.emplace_back(words.begin() + 1, words.end());
    } else if (words[0] == "device") {
      for (size_t i = 1; i < words.size(); ++i) {
        auto [key, value] = keyValue(words[i]);
        if (key == "arch") s.architecture = value;
        else if (key == "min") s.minimumVersion = versionFrom(value);
        else if (key == "largeblock") s.largeBlocks = true;
        else if (key == "pvr") s.processorVersion = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
        else ADD_FAILURE() << "unknown device option " << key;
      }
    } else if (words[0] == "installed") {
      s.installed.push_back(recordFrom(words));
    } else if (words[0] == "candidate") {
      s.candidates.push_back(recordFrom(words));
    } else if (words[0] == "member" && !s.candidates.empty()) {
      s.candidates.back()->members.push_back(recordFrom(words));
    } else {
      ADD_FAILURE() << "unknown statement: " << line;
    }
  }
  s.expected.assign(std::istreambuf_iterator<char>(file), {});
  return s;
}

// The console's bytes as lines: a drawn status line as "[status] TEXT";
// erasing it and the wipes under messages leave nothing.
std::string readable(const std::string& bytes) {
  static const std::regex draw("\x1b\\[\\?25l\r(.*?) *\r\x1b\\[\\?25h"), wipe("\r +\r"),
      erased("\\[status\\] \n");
  return std::regex_replace(std::regex_replace(std::regex_replace(bytes, draw, "[status] $1\n"), wipe, ""),
                            erased, "");
}

const std::pair<InstallFlags, std::string> FLAGS[] = {
    {INSTALL_UPGRADE, "upgrade"}, {INSTALL_DOWNGRADE, "downgrade"}, {INSTALL_IGNORE_REQUIREMENTS, "ignore"},
    {INSTALL_ALLOW_CONFLICT, "conflict"}, {INSTALL_REINSTALL, "reinstall"}};

InstallFlags flagsFrom(const std::string& text) {
  InstallFlags flags = 0;
  for (const auto& [flag, name] : FLAGS)
    if (("," + text + ",").find("," + name + ",") != std::string::npos) flags |= flag;
  return flags;
}

std::string flagNames(InstallFlags flags) {
  std::string text;
  for (const auto& [flag, name] : FLAGS)
    if (flags & flag) text += " " + name;
  return text.empty() ? " none" : text;
}

template <class List>
std::string listed(std::string text, const List& records) {
  for (const auto* record : records) text += " " + nameVersionText(*record);
  return text + "\n";
}

std::string recordsAndJournal(const FileJournal& journal) {
  std::string text;
  for (const auto& record : InstallerContext::instance().packages) {
    text += "package " + nameVersionText(*record) + (record->disabled ? " disabled" : " enabled");
    if (record->scheduledAction != ACTION_NONE) text += std::string(" do=") + scheduleActionName(record->scheduledAction);
    text += "\n";
  }
  for (const auto& [target, operation] : journal.operations()) {
    std::string content = readFile(operation.argument);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    std::replace(content.begin(), content.end(), '\n', '|');
    text += operation.kind == JOURNAL_REMOVE ? "journal U " + target + "\n" : "journal W " + target + " " + content + "\n";
  }
  return text;
}

const std::string FLASH = "/flash/";

PackageDraft draftOf(const InstalledPackage& record) {
  PackageDraft draft;
  static_cast<HeaderDraft&>(draft) = {record.name, record.version, record.buildTime, record.flags};
  if (!record.architecture.empty()) draft.architecture = record.architecture;
  std::tie(draft.deps, draft.provides, draft.conflicts) = std::tie(record.deps, record.provides, record.conflicts);
  for (const std::string& file : record.files) {
    size_t at = file.find('@');
    uint8_t variant = at == std::string::npos ? 0 : static_cast<uint8_t>(std::stoi(file.substr(at + 1)));
    draft.files.push_back({file.substr(FLASH.size(), at - FLASH.size()), 0100644, variant, file});
  }
  return draft;
}

// One call's transcript; `take` returns the console's lines since its last call.
std::string runCall(const Scenario& s, const Words& call, const std::function<std::string()>& take) {
  auto has = [&call](const char* word) { return std::find(call.begin(), call.end(), word) != call.end(); };
  std::string text;
  if (call[0] == "select") {
    std::vector<PackageRecord*> list;
    for (const auto& candidate : s.candidates) list.push_back(candidate.get());
    selectCandidates(list, has("reversed"), has("verbose"));
    return take() + listed("selected", list);
  }
  if (call[0] == "evaluate") {
    for (const auto& candidate : s.candidates) {
      InstallFlags needed = evaluateCandidate(*candidate, flagsFrom(call.at(1)));
      text += take() + "needed " + nameVersionText(*candidate) + ":" + flagNames(needed) + "\n";
    }
    return text;
  }
  if (call[0] == "relate") {
    for (const auto& a : s.candidates) {
      for (const auto& b : s.candidates) {
        if (a == b) continue;
        std::string pair = " " + nameVersionText(*a) + " " + nameVersionText(*b) + "\n";
        if (has("excludes") && excludes(*a, *b)) text += "excludes" + pair;
        if (has("needs") && dependsOn(*a, *b)) text += "needs" + pair;
        if (has("newer") && compareVersions(*a, *b) > 0) text += "newer" + pair;
      }
    }
    return text;
  }
  if (call[0] == "install") {
    for (const auto& candidate : s.candidates) {
      std::istringstream file(bytesText(buildPackage(draftOf(*candidate))));
      PackageReader reader(file, true);
      reader.filter = INSTALL_FILTER;
      reader.nextPart();
      FileJournal journal;
      const InstalledPackage* stands =
          installPackageFromStream(journal, reader, flagsFrom(call.at(1)), {}, nullptr, nullptr, nullptr);
      text += take() + "install " + nameVersionText(*candidate) + ": " + (stands ? nameVersionText(*stands) : "nothing") +
              " stands for it\n" + recordsAndJournal(journal);
      journal.cancel();
    }
    return text;
  }
  if (call[0] == "resolve") {
    for (size_t i = 1; i < call.size(); ++i) {
      const InstalledPackage* found = resolveName(call[i]);
      text += "resolve " + call[i] + " " + (found ? nameVersionText(*found) : "none") + "\n";
    }
    return text;
  }
  EXPECT_TRUE(call[0] == "plan" || call[0] == "schedule") << "unknown call " << call[0];
  PackageList removals, enables;
  FileJournal journal;
  int level = std::stoi(call.at(1));
  bool result = call[0] == "plan" ? planSchedule(removals, enables, level) : runSchedule(journal, level);
  text = take() + "result " + (result ? "true" : "false") + "\n";
  if (call[0] == "plan") text += listed("removals", removals) + listed("enables", enables);
  text += recordsAndJournal(journal);
  journal.cancel();
  return text;
}

std::string runScenario(Scenario& s) {
  TestRoot root;
  // Database entries with the state files that the journal may remove.
  for (const auto& record : s.installed) {
    std::string entry = "/flash/var/pdb/" + record->name + "/";
    root.write(entry + "version", "");
    for (const std::string& file : record->files) root.write(file, file);
    if (record->disabled) root.write(entry + "disabled", record->userForced ? "user\n" : "auto\n");
    else if (record->userForced) root.write(entry + "enabled", "user\n");
  }
  EXPECT_TRUE(passesInRoot(root, [&s] {
    InstallerContext::reset();
    InstallerContext::instance().architecture = s.architecture;
    InstallerContext::instance().packages = std::move(s.installed);
    deviceProbes().systemVersion = [&s] { return s.minimumVersion; };
    deviceProbes().largeBlockFlash = [&s] { return s.largeBlocks; };
    deviceProbes().processorVersion = [&s] { return s.processorVersion; };
    std::ostringstream console;
    setConsoleOutput(&console);
    auto take = [&console] {
      std::string lines = readable(console.str());
      console.str("");
      return lines;
    };
    std::string transcript;
    for (const Words& call : s.calls) transcript += runCall(s, call, take);
    std::ofstream("/transcript") << transcript;
  })) << "the scenario's child process failed";
  return root.read("/transcript");
}

std::vector<std::string> scenarioNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(DIRECTORY))
    if (entry.path().extension() == ".txt") names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class Scenarios : public testing::TestWithParam<std::string> {};

TEST_P(Scenarios, TranscriptMatches) {
  Scenario s = readScenario(GetParam());
  ASSERT_FALSE(s.calls.empty() || s.expected.empty()) << "no run statement or no expected transcript";
  EXPECT_EQ(s.expected, runScenario(s));
}

INSTANTIATE_TEST_SUITE_P(Golden, Scenarios, testing::ValuesIn(scenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 4);
                           std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                           return name;
                         });

// A missing directory would otherwise pass by running no scenario at all.
TEST(ScenarioRunner, FindsTheScenarioFiles) { EXPECT_GE(scenarioNames().size(), 20u); }

}  // namespace
