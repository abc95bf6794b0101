// Golden scenarios: the statements of each file under tests/scenarios/ are carried out in a child rooted in a
// fresh device root, and what the calls print must be the text after "expect". Statements, in order:
//   device [arch=NAME] [min=VERSION] [largeblock] [pvr=NUMBER]     file PATH [TEXT] ("|" breaks a line)
//   installed|candidate|member NAME VERSION OPTION...    image PATH (the last candidate as a package file)
//   run select [reversed] [verbose] | evaluate FLAG,... | schedule LEVEL | plan LEVEL | install FLAG,... | list
//     | relate [excludes] [needs] | resolve NAME... | load NAME[=VERSION]... | repository [quiet] | scan DIR/...
// Options: build=N bundle inert arch=NAME note=TEXT dep=REF conflicts=REF provides=REF@PRIORITY (REF being
// NAME[:MIN[:MAX]]) file=/flash/PATH[@VARIANT] disabled forced do=ACTION in=BUNDLE. An installed record gets a
// database entry and its files; members join the last candidate; a package file's files hold their own name.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "console/package_listing.h"
#include "device/flash_probe.h"
#include "install_fixture.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"
#include "pkg/package_database.h"
#include "pkg/repository.h"
#include "pkgfile/package_reader.h"
#include "resolve/candidates.h"
#include "resolve/relations.h"
#include "resolve/schedule.h"
#include "resolve/package_install.h"

namespace {

using Words = std::vector<std::string>;
using Records = std::vector<std::unique_ptr<InstalledPackage>>;

std::pair<std::string, std::string> keyValue(const std::string& word) {
  size_t equals = word.find('=');
  return {word.substr(0, equals), equals == std::string::npos ? "" : word.substr(equals + 1)};
}

PackageVersion versionFrom(const std::string& text) {
  PackageVersion version = 0;
  if (!text.empty() && !parseVersion(text, version)) version = static_cast<uint32_t>(std::stoul(text, nullptr, 0));
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
    if (key == "build") record->buildTime = versionFrom(value);
    else if (key == "file") record->files.insert(value);
    else if (key == "bundle") record->isBundle = true;
    else if (key == "inert") record->version = record->buildTime = INERT_VALUE;
    else if (key == "arch") record->architecture = value;
    else if (key == "note") record->note = value;
    else if (key == "dep") record->deps.push_back(refFrom(value));
    else if (key == "conflicts") record->conflicts.push_back(refFrom(value));
    else if (key == "provides") record->provides.push_back(refFrom(value));
    else if (key == "disabled") record->disabled = true;
    else if (key == "forced") record->stateChosenByUser = true;
    else if (key == "in") record->bundle.name = value;
    else if (key == "do") record->scheduledAction = value == "uninstall" ? ACTION_UNINSTALL
                                                   : value == "enable"    ? ACTION_ENABLE : ACTION_DISABLE;
    else ADD_FAILURE() << "unknown option " << words[i];
  }
  return record;
}

const std::pair<InstallFlags, std::string> FLAGS[] = {
    {INSTALL_UPGRADE, "upgrade"}, {INSTALL_DOWNGRADE, "downgrade"}, {INSTALL_IGNORE_REQUIREMENTS, "ignore"},
    {INSTALL_ALLOW_CONFLICT, "conflict"}, {INSTALL_REINSTALL, "reinstall"}};

InstallFlags flagsFrom(const std::string& text) {
  InstallFlags flags = 0;
  for (const auto& [flag, name] : FLAGS) flags |= text.find(name) != std::string::npos ? flag : 0;
  return flags;
}

PackageDraft draftOf(const InstalledPackage& record) {
  PackageDraft draft;
  draft.name = record.name;
  draft.version = record.version;
  draft.buildTime = record.buildTime;
  if (!record.architecture.empty()) draft.architecture = record.architecture;
  if (!record.note.empty()) draft.note = record.note;
  std::tie(draft.deps, draft.provides, draft.conflicts) = std::tie(record.deps, record.provides, record.conflicts);
  for (const std::string& file : record.files) {
    size_t at = file.find('@');
    uint8_t variant = at == std::string::npos ? 0 : static_cast<uint8_t>(std::stoi(file.substr(at + 1)));
    draft.files.push_back({file.substr(7, at - 7), 0100644, variant, file});  // below "/flash/"
  }
  return draft;
}

// A package file of the record: a bundle when it has members.
std::string imageOf(const InstalledPackage& record) {
  if (record.members.empty()) return bytesText(buildPackage(draftOf(record)));
  BundleDraft bundle;
  static_cast<HeaderDraft&>(bundle) = draftOf(record);
  for (const auto& member : record.members)
    bundle.members.push_back(buildPackageParts(draftOf(static_cast<const InstalledPackage&>(*member))));
  return bytesText(buildBundle(bundle));
}

// A record read from the database: header fields, lists, files, bundle and state.
std::string described(const InstalledPackage& r) {
  std::string text =
      nameVersionText(r) + " build=" + std::to_string(r.buildTime) + " arch=" + r.architecture + " note=" + r.note;
  for (auto [label, list] : {std::pair{" dep=", &r.deps}, {" provides=", &r.provides}, {" conflicts=", &r.conflicts}})
    for (const PackageRef& ref : *list)
      text += label + ref.name + ":" + versionText(ref.minVersion) + ":" + versionText(ref.maxVersion) + "@" +
              std::to_string(ref.priority);
  for (const std::string& file : r.files) text += " file=" + file;
  text += (r.bundle.name.empty() ? "" : " in=" + refText(r.bundle) + ":" + versionText(r.bundle.maxVersion)) +
          (r.isBundle ? " bundle" : "") + (r.disabled ? " disabled" : "") + (r.stateChosenByUser ? " forced" : "");
  return text + (r.scheduledAction ? " do=" : "") + scheduleActionName(r.scheduledAction) + "\n";
}

std::ostringstream console;

// The console's lines since the last call: a drawn status line as "[status] TEXT"; erasing it and the wipes under
// messages leave nothing.
std::string printed() {
  static const std::regex draw("\x1b\\[\\?25l\r(.*?) *\r\x1b\\[\\?25h"), wipe("\r +\r"), erased("\\[status\\] \n");
  std::string lines = std::regex_replace(std::regex_replace(console.str(), draw, "[status] $1\n"), wipe, "");
  console.str("");
  return std::regex_replace(lines, erased, "");
}

// The installed records with their state, then the journal with what it writes ("|" for a line break).
std::string recordsAndJournal(FileJournal& journal) {
  std::string text;
  for (const auto& record : InstallerContext::instance().packages)
    text += "package " + nameVersionText(*record) + (record->disabled ? " disabled" : " enabled") +
            (record->scheduledAction ? " do=" : "") + std::string(scheduleActionName(record->scheduledAction)) + "\n";
  journal.forEachOperation([&text](const std::string& target, const JournalOperation& operation) {
    std::string content = readFile(operation.argument);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    std::replace(content.begin(), content.end(), '\n', '|');
    text += (operation.kind == JOURNAL_REMOVE ? "journal U " + target : "journal W " + target + " " + content) + "\n";
  });
  journal.cancel();
  return text;
}

std::string runCall(const Words& call, const Records& candidates) {
  auto has = [&call](const char* word) { return std::find(call.begin(), call.end(), word) != call.end(); };
  auto listed = [](std::string text, const auto& records) {
    for (const auto* record : records) text += " " + nameVersionText(*record);
    return text + "\n";
  };
  std::string text;
  FileJournal journal;
  if (call[0] == "select") {
    std::vector<PackageRecord*> list;
    for (const auto& candidate : candidates) list.push_back(candidate.get());
    selectCandidates(list, has("reversed"), has("verbose"));
    return printed() + listed("selected", list);
  }
  for (size_t i = 0; (call[0] == "evaluate" || call[0] == "install") && i < candidates.size(); ++i) {
    const InstalledPackage& candidate = *candidates[i];
    InstallFlags flags = flagsFrom(call.at(1));
    if (call[0] == "evaluate") {
      InstallFlags needed = evaluateCandidate(candidate, flags);
      text += printed() + "needed " + nameVersionText(candidate) + ":";
      for (const auto& [flag, name] : FLAGS) text += needed & flag ? " " + name : "";
      text += needed ? "\n" : " none\n";
      continue;
    }
    std::istringstream file(bytesText(buildPackage(draftOf(candidate))));
    PackageReader reader(file, true);
    reader.filter = INSTALL_FILTER;
    reader.nextPart();
    const InstalledPackage* stands = installPackageFromStream(journal, reader, flags, {}, nullptr, nullptr, nullptr);
    text += printed() + "install " + nameVersionText(candidate) + ": " +
            (stands ? nameVersionText(*stands) : "nothing") + " stands for it\n" + recordsAndJournal(journal);
  }
  for (const auto& a : candidates)
    for (const auto& b : candidates) {
      std::string pair = " " + nameVersionText(*a) + " " + nameVersionText(*b) + "\n";
      if (a == b || call[0] != "relate") continue;
      if (has("excludes") && excludes(*a, *b)) text += "excludes" + pair;
      if (has("needs") && dependsOn(*a, *b)) text += "needs" + pair;
    }
  for (size_t i = 1; call[0] == "resolve" && i < call.size(); ++i) {
    const InstalledPackage* found = resolveName(call[i]);
    text += "resolve " + call[i] + " " + (found ? nameVersionText(*found) : "none") + "\n";
  }
  for (size_t i = 1; call[0] == "load" && i < call.size(); ++i) {
    auto [name, preset] = keyValue(call[i]);  // a version set before: a header read from an image
    InstalledPackage record(name);
    record.version = versionFrom(preset);
    bool read = loadEntry(record);
    text += (read ? "" : "read error: ") + printed() + described(record);
  }
  if (call[0] == "repository") {
    bool read = loadRepository(has("quiet"), InstallerContext::instance().architecture);
    text = (read ? "" : "read error: ") + printed();
    for (const auto& record : InstallerContext::instance().packages) text += described(*record);
  }
  if (call[0] == "list") printPackageListing(console);
  PackageFileList scanned;
  for (size_t i = 1; call[0] == "scan" && i < call.size(); ++i) scanUploadDirectory(call[i], scanned);
  std::sort(scanned.begin(), scanned.end(), [](const auto& a, const auto& b) { return a->path < b->path; });
  for (const auto& record : scanned) text += "scanned " + nameVersionText(*record) + " " + record->path + "\n";
  if (call[0] != "plan" && call[0] != "schedule") return text + printed();
  PackageList removals, enables;
  int level = std::stoi(call.at(1));
  bool result = call[0] == "plan" ? planSchedule(removals, enables, level) : runSchedule(journal, level);
  text = printed() + "result " + (result ? "true" : "false") + "\n";
  if (call[0] == "plan") text += listed("removals", removals) + listed("enables", enables);
  return text + recordsAndJournal(journal);
}

// The text of a "file" statement: the rest of the line after the path.
std::string fileText(const std::string& line, const Words& words) {
  size_t start = line.find(words.at(1)) + words[1].size() + 1;
  std::string text = start < line.size() ? line.substr(start) : "";
  std::replace(text.begin(), text.end(), '|', '\n');
  return text;
}

// Carries out the statements in a child process rooted in a fresh device root; returns what the calls printed.
std::string transcriptOf(const std::string& statements) {
  TestRoot root;
  EXPECT_TRUE(passesInRoot(root, [&statements] {
    InstallerContext& context = InstallerContext::instance();
    consoleState() = ConsoleState();
    context.architecture = "i386";  // the one a package file names by default
    setConsoleOutput(&console);
    Records candidates;
    std::string transcript;
    std::istringstream lines(statements);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream in(line);
      Words words{std::istream_iterator<std::string>(in), {}};
      if (words.empty() || words[0][0] == '#') continue;
      if (words[0] == "run") transcript += runCall(Words(words.begin() + 1, words.end()), candidates);
      else if (words[0] == "candidate") candidates.push_back(recordFrom(words));
      else if (words[0] == "member") candidates.back()->members.push_back(recordFrom(words));
      else if (words[0] == "installed") context.packages.push_back(recordFrom(words));
      else if (words[0] == "image") writeFile(words.at(1), imageOf(*candidates.back()));
      else if (words[0] == "file") writeFile(words.at(1), fileText(line, words));
      else if (words[0] != "device") ADD_FAILURE() << "unknown statement: " << line;
      for (size_t i = 1; words[0] == "device" && i < words.size(); ++i) {
        auto [key, value] = keyValue(words[i]);
        PackageVersion number = key == "min" || key == "pvr" ? versionFrom(value) : 0;
        if (key == "arch") context.architecture = value;
        else if (key == "min") deviceProbes().systemVersion = [number] { return number; };
        else if (key == "pvr") deviceProbes().processorVersion = [number] { return number; };
        else if (key == "largeblock") deviceProbes().largeBlockFlash = [] { return true; };
        else ADD_FAILURE() << "unknown device option " << key;
      }
      if (words[0] != "installed") continue;
      // The database entry, with the state files that the journal may remove.
      const InstalledPackage& record = *context.packages.back();
      const std::string entry = "/flash/var/pdb/" + record.name + "/";
      writeFile(entry + "version", "");
      for (const std::string& file : record.files) writeFile(file, file);
      if (record.disabled) writeFile(entry + "disabled", record.stateChosenByUser ? "user\n" : "auto\n");
      else if (record.stateChosenByUser) writeFile(entry + "enabled", "user\n");
    }
    writeFile("/transcript", transcript);
  })) << "the scenario's child process failed";
  return root.read("/transcript");
}

TEST(Scenarios, TranscriptsMatch) {
  size_t count = 0;
  for (const auto& file : std::filesystem::directory_iterator(INSTALLER_SOURCE_DIR "/tests/scenarios")) {
    const std::string text = readFile(file.path());
    const size_t expect = text.find("\nexpect\n");
    ASSERT_NE(expect, std::string::npos) << file.path();
    EXPECT_EQ(text.substr(expect + 8), transcriptOf(text.substr(0, expect))) << file.path().filename();
    ++count;
  }
  EXPECT_GE(count, 20u);  // a missing directory would pass by running nothing
}

}  // namespace
