#include "pkg/package_database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"
#include "model/installer_context.h"

namespace {

const std::string ENTRY = "/flash/var/pdb/tessel/";
const char* const SCHEDULE = "/ram/pdb/tessel/schedule";

// Files of an entry: a name without "/" lives in ENTRY; nullptr: no file.
using Files = std::map<std::string, const char*>;

// Loads the record "tessel" (with `version` preset) from a root holding
// `files`, and hands it to `check`.
void loadFrom(const Files& files, const std::function<void(InstalledPackage&)>& check,
              PackageVersion version = 0) {
  TestRoot root;
  for (const auto& [name, content] : files)
    if (content != nullptr) root.write(name[0] == '/' ? name : ENTRY + name, content);
  EXPECT_TRUE(passesInRoot(root, [&] {
    InstalledPackage package("tessel");
    package.version = version;
    loadEntry(package);
    check(package);
  }));
}

TEST(PackageDatabaseRead, FullEntryFillsEveryField) {
  loadFrom({{"version", "101188869 1600000000\n"},
            {"deps", "system 101187584 0\nlibc 0 0\n"},
            {"provides", "shell 1 2 -5\n"},
            {"conflicts", "wardle 0 101188864\n"},
            {"files", "bin/tessel\n\n/lib/libtessel.so\nbin/a b\n"}},
           [](InstalledPackage& package) {
             EXPECT_EQ(package.version, 101188869u);
             EXPECT_EQ(package.buildTime, 1600000000u);
             ASSERT_EQ(package.deps.size(), 2u);
             EXPECT_EQ(package.deps[0].name, "system");
             EXPECT_EQ(package.deps[0].minVersion, 101187584u);
             EXPECT_EQ(package.deps[1].name, "libc");
             ASSERT_EQ(package.provides.size(), 1u);
             EXPECT_EQ(package.provides[0].maxVersion, 2u);
             EXPECT_EQ(package.provides[0].priority, -5);
             ASSERT_EQ(package.conflicts.size(), 1u);
             EXPECT_EQ(package.conflicts[0].maxVersion, 101188864u);
             EXPECT_EQ(package.files,
                       (std::set<std::string>{"/bin/a b", "/bin/tessel", "/lib/libtessel.so"}));
             EXPECT_EQ(package.scheduledAction, ACTION_NONE);
           });
}

// Each row changes a sound entry ("version" and an empty "files"); the
// schedule rows start from an entry disabled by the automatic rules.
TEST(PackageDatabaseRead, StateScheduleAndBrokenEntries) {
  struct Case {
    const char* what;
    Files changes;
    uint32_t action;
    bool disabled;
    bool userForced;
    bool bundle = false;
    const char* bundleName = "";
  };
  const Files autoDisabled = {{"disabled", "auto\n"}};
  auto scheduled = [&autoDisabled](const char* word) {
    Files files = autoDisabled;
    files[SCHEDULE] = word;
    return files;
  };
  const Case cases[] = {
      {"sound, no deps and no state file", {}, ACTION_NONE, false, false},
      {"empty deps", {{"deps", ""}}, ACTION_NONE, false, false},
      {"no version file", {{"version", nullptr}}, ACTION_UNINSTALL, false, false},
      {"version with one number", {{"version", "17\n"}}, ACTION_UNINSTALL, false, false},
      {"deps line with one number", {{"deps", "system 5\n"}}, ACTION_UNINSTALL, false, false},
      {"provides without priority", {{"provides", "shell 1 2\n"}}, ACTION_UNINSTALL, false, false},
      {"deps with a fourth number", {{"deps", "system 1 2 3\n"}}, ACTION_UNINSTALL, false, false},
      {"conflicts with a word", {{"conflicts", "wardle x 0\n"}}, ACTION_UNINSTALL, false, false},
      {"orphaned bundle member", {{"bundle", "quorilan\n"}}, ACTION_UNINSTALL, false, false,
       false, "quorilan"},
      {"only disabled: a bundle to uninstall",
       {{"version", nullptr}, {"files", nullptr}, {"disabled", "auto\n"}}, ACTION_UNINSTALL, true,
       false, true},
      {"disabled auto", autoDisabled, ACTION_NONE, true, false},
      {"disabled auto without newline", {{"disabled", "auto"}}, ACTION_NONE, true, false},
      {"disabled user", {{"disabled", "user\n"}}, ACTION_NONE, true, true},
      {"disabled empty", {{"disabled", ""}}, ACTION_NONE, true, true},
      {"enabled beside disabled is ignored", {{"disabled", "auto\n"}, {"enabled", "user\n"}},
       ACTION_NONE, true, false},
      {"enabled alone", {{"enabled", "user\n"}}, ACTION_NONE, false, true},
      {"schedule uninstall", scheduled("uninstall\n"), ACTION_UNINSTALL, true, false},
      {"schedule enable", scheduled("enable\n"), ACTION_ENABLE, true, true},
      {"schedule disable, more words", scheduled("  disable now\n"), ACTION_DISABLE, true, true},
      {"schedule Enable", scheduled("Enable\n"), ACTION_NONE, true, false},
      {"schedule DISABLE", scheduled("DISABLE\n"), ACTION_NONE, true, false},
      {"empty schedule", scheduled(""), ACTION_NONE, true, false},
      {"inert record gets no schedule",
       {{"version", "4294967295 4294967295\n"}, {SCHEDULE, "enable\n"}}, ACTION_NONE, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Files files = {{"version", "1 2\n"}, {"files", ""}};
    for (const auto& [name, content] : c.changes) files[name] = content;
    loadFrom(files, [&c](InstalledPackage& package) {
      EXPECT_EQ(package.scheduledAction, c.action);
      EXPECT_EQ(package.disabled, c.disabled);
      EXPECT_EQ(package.stateChosenByUser, c.userForced);
      EXPECT_EQ(package.isBundle, c.bundle);
      EXPECT_EQ(package.bundle.name, c.bundleName);
    });
  }
}

// A record whose header came from an image (version already set) reads
// only its file list, its state and its schedule.
TEST(PackageDatabaseRead, RecordFromImageReadsFilesStateAndSchedule) {
  loadFrom({{"files", "flash/bin/tessel\nflash/etc/tessel.conf\n"},
            {"version", "garbage\n"},
            {"disabled", "user\n"},
            {SCHEDULE, "enable"}},
           [](InstalledPackage& package) {
             EXPECT_EQ(package.files,
                       (std::set<std::string>{"/flash/bin/tessel", "/flash/etc/tessel.conf"}));
             EXPECT_EQ(package.version, 7u);
             EXPECT_FALSE(package.isBundle);
             EXPECT_TRUE(package.disabled);
             EXPECT_EQ(package.scheduledAction, ACTION_ENABLE);
           },
           7);
}

std::unique_ptr<InstalledPackage> samplePackage() {
  auto package = std::make_unique<InstalledPackage>("tessel");
  package->version = makeVersion(6, 40, 'f', 5);
  package->buildTime = 1600000000;
  package->deps.push_back({"system", makeVersion(6, 40, 'f', 0), 0, 0});
  package->deps.push_back({"libc", 0, 7, 0});
  package->files = {"/bin/tessel", "/lib/libtessel.so", "", "etc/plain"};
  return package;
}

using Writes = std::map<std::string, std::string>;
using Removals = std::set<std::string>;
using Action = std::function<void(InstalledPackage&, FileJournal&)>;

// writeEntry of the sample package after `change`.
Action writing(const std::function<void(InstalledPackage&)>& change) {
  return [change](InstalledPackage& package, FileJournal& journal) {
    change(package);
    EXPECT_TRUE(writeEntry(package, journal));
  };
}

Action enabling(bool userForced) {
  return [userForced](InstalledPackage& package, FileJournal& journal) {
    package.disabled = true;
    package.stateChosenByUser = userForced;
    package.scheduledAction = ACTION_ENABLE;
    markEnabled(package, journal);
    EXPECT_FALSE(package.disabled);
    EXPECT_EQ(package.scheduledAction, ACTION_NONE);
  };
}

const std::string VERSION_LINE = "103310853 1600000000\n";
const Writes PLAIN_WRITES = {{ENTRY + "version", VERSION_LINE},
                             {ENTRY + "deps", "system 103310848 0\nlibc 0 7\n"},
                             {ENTRY + "files", "bin/tessel\nlib/libtessel.so\netc/plain\n"}};

// Each case acts on the sample package, then the journaled files are
// compared byte for byte and the journaled removals against an entry that
// holds every file (and a boot image with one link).
TEST(PackageDatabaseWrite, JournalsExactlyTheEntrysFiles) {
  struct Case {
    const char* what;
    Action act;
    Writes writes;
    Removals removals;
  };
  auto removing = [](uint32_t flags, bool secondLink) -> Action {
    return [flags, secondLink](InstalledPackage& package, FileJournal& journal) {
      if (secondLink) {
        ASSERT_EQ(link("/flash/bootimage", "/flash/boot2"), 0);
      }
      package.flags = flags;
      package.files = {"/flash/bin/tessel", "/flash/bin/gone"};
      package.scheduledAction = ACTION_UNINSTALL;
      removeEntry(package, journal);
      EXPECT_TRUE(package.files.empty());
      EXPECT_EQ(package.scheduledAction, ACTION_NONE);
    };
  };
  // Without the boot flag the boot image stays; a missing file records nothing.
  const Removals removed = {"/flash/bin/tessel", "/flash/var/pdb/tessel", ENTRY + "image"};
  Removals removedWithBootImage = removed;
  removedWithBootImage.insert("/flash/bootimage");
  const Case cases[] = {
      {"plain package, enabled automatically", writing([](InstalledPackage&) {}), PLAIN_WRITES,
       {ENTRY + "bundle", ENTRY + "disabled", ENTRY + "enabled"}},
      {"lists and bundle, disabled by the user",
       writing([](InstalledPackage& package) {
         package.deps.clear();
         package.provides = {{"shell", 1, 2, -3}, {"editor", 0, 0, 10}};
         package.conflicts = {{"wardle", 0, 5, 0}};
         package.bundle = {"quorilan", 9, 9, 0};
         package.files = {"/a"};
         package.disabled = true;
         package.stateChosenByUser = true;
       }),
       {{ENTRY + "version", VERSION_LINE},
        {ENTRY + "deps", ""},
        {ENTRY + "provides", "shell 1 2 -3\neditor 0 0 10\n"},
        {ENTRY + "conflicts", "wardle 0 5\n"},
        {ENTRY + "bundle", "quorilan\n"},
        {ENTRY + "files", "a\n"},
        {ENTRY + "disabled", "user\n"}},
       {ENTRY + "enabled"}},
      {"bundle, disabled automatically",
       writing([](InstalledPackage& package) {
         package.isBundle = true;
         package.disabled = true;
       }),
       {{ENTRY + "version", VERSION_LINE},
        {ENTRY + "deps", "system 103310848 0\nlibc 0 7\n"},
        {ENTRY + "disabled", "auto\n"}},
       {ENTRY + "bundle", ENTRY + "enabled"}},
      {"stored as image, enabled by the user",
       writing([](InstalledPackage& package) {
         package.storedAsImage = true;
         package.provides = {{"shell", 1, 2, 3}};
         package.bundle.name = "quorilan";
         package.stateChosenByUser = true;
       }),
       {{ENTRY + "enabled", "user\n"}},
       {ENTRY + "disabled"}},
      {"no-meta flag, disabled automatically",
       writing([](InstalledPackage& package) {
         package.flags = PACKAGE_FLAG_NO_META;
         package.disabled = true;
       }),
       {{ENTRY + "disabled", "auto\n"}},
       {ENTRY + "enabled"}},
      {"marked disabled",
       [](InstalledPackage& package, FileJournal& journal) {
         package.scheduledAction = ACTION_DISABLE;
         markDisabled(package, journal);
         EXPECT_TRUE(package.disabled);
         EXPECT_EQ(package.scheduledAction, ACTION_NONE);
       },
       {{ENTRY + "disabled", "auto\n"}},
       {ENTRY + "enabled"}},
      {"marked enabled by the user", enabling(true), {{ENTRY + "enabled", "user\n"}},
       {ENTRY + "disabled"}},
      {"marked enabled automatically", enabling(false), {},
       {ENTRY + "disabled", ENTRY + "enabled"}},
      {"registered again after its removal",
       [](InstalledPackage& package, FileJournal& journal) {
         InstalledPackage old("tessel");
         removeEntry(old, journal);
         EXPECT_TRUE(registerEntry(package, journal));
       },
       PLAIN_WRITES,
       {ENTRY + "image", ENTRY + "bundle", ENTRY + "disabled", ENTRY + "enabled"}},
      {"removed", removing(0, false), {}, removed},
      {"boot package removed", removing(PACKAGE_FLAG_BOOT, false), {}, removedWithBootImage},
      {"boot package removed, boot image with two links", removing(PACKAGE_FLAG_BOOT, true), {},
       removed},
  };
  TestRoot root;
  for (const char* name : {"version", "deps", "provides", "conflicts", "bundle", "files",
                           "disabled", "enabled", "image"})
    root.write(ENTRY + name, "old\n");
  root.write("/flash/bin/tessel", "x");
  root.write("/flash/bootimage", "boot");
  EXPECT_TRUE(passesInRoot(root, [&cases] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      FileJournal journal;
      c.act(*samplePackage(), journal);
      Writes writes;
      Removals removals;
      for (const auto& [target, operation] : journal.operations()) {
        if (operation.kind == JOURNAL_TEMPORARY_MOVE)
          writes[target] = readFile(operation.argument);
        else if (operation.kind == JOURNAL_REMOVE)
          removals.insert(target);
        else
          ADD_FAILURE() << "journaled neither a write nor a removal: " << target;
      }
      EXPECT_EQ(writes, c.writes);
      EXPECT_EQ(removals, c.removals);
      journal.cancel();
    }
  }));
}

TEST(PackageDatabaseWrite, FailedWritesAreReportedAndStop) {
  TestRoot root;
  // The entry path is a plain file, so nothing can be created inside it.
  root.write("/flash/var/pdb/tessel", "not a directory");
  EXPECT_TRUE(passesInRoot(root, [] {
    std::ostringstream output;
    setConsoleOutput(&output);
    FileJournal journal;
    auto package = samplePackage();
    EXPECT_FALSE(registerEntry(*package, journal));
    EXPECT_TRUE(journal.empty());

    package->bundle = {"quorilan", makeVersion(6, 40, 'f', 0), 0, 0};
    EXPECT_FALSE(writeEntry(*package, journal));
    for (const auto& [target, operation] : journal.operations())
      EXPECT_EQ(target, ENTRY + "version") << "journaled after the failure";
    journal.cancel();

    package->bundle = {};
    errno = ENOSPC;
    reportWriteFailure(*package, "meta/files");
    errno = EIO;
    reportWriteFailure(*package, "meta/files");
    setConsoleOutput(nullptr);
    EXPECT_EQ(output.str(),
              "ERROR: installation of quorilan-6.40 failed: could not create meta/version: "
              "Not a directory\n"
              "ERROR: installation of tessel-6.40.5 failed: disk is too small\n"
              "ERROR: installation of tessel-6.40.5 failed: disk error\n");
  }));
}

}  // namespace
