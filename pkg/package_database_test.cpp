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
#include "pkg/installer_context.h"

namespace {

const std::string ENTRY = "/flash/var/pdb/tessel/";

// What a journal will do to the database: the new content of every written
// file and the set of removed paths.
struct JournalView {
  std::map<std::string, std::string> writes;
  std::set<std::string> removals;
  std::set<std::string> others;
};

JournalView viewOf(const FileJournal& journal) {
  JournalView view;
  for (const auto& [target, operation] : journal.operations()) {
    if (operation.kind == JOURNAL_TEMPORARY_MOVE)
      view.writes[target] = readFile(operation.argument);
    else if (operation.kind == JOURNAL_REMOVE)
      view.removals.insert(target);
    else
      view.others.insert(target);
  }
  return view;
}

// A root whose database holds every file an entry can have, so that each
// removal the code journals is visible.
void writeFullEntry(const TestRoot& root) {
  for (const char* name : {"version", "deps", "provides", "conflicts", "bundle", "files",
                           "disabled", "enabled", "image"})
    root.write(ENTRY + name, "old\n");
}

void loadInRoot(const TestRoot& root, const std::function<void(InstalledPackage&)>& check) {
  EXPECT_TRUE(passesInRoot(root, [&] {
    InstalledPackage package("tessel");
    loadEntry(package);
    check(package);
  }));
}

// ---- reading ---------------------------------------------------------------

TEST(PackageDatabaseRead, FullEntryFillsEveryField) {
  TestRoot root;
  root.write(ENTRY + "version", "101188869 1600000000\n");
  root.write(ENTRY + "deps", "system 101187584 0\nlibc 0 0\n");
  root.write(ENTRY + "provides", "shell 1 2 -5\n");
  root.write(ENTRY + "conflicts", "wardle 0 101188864\n");
  root.write(ENTRY + "files", "bin/tessel\n\n/lib/libtessel.so\nbin/a b\n");
  loadInRoot(root, [](InstalledPackage& package) {
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
    EXPECT_FALSE(package.isBundle);
    EXPECT_TRUE(package.bundle.name.empty());
    EXPECT_FALSE(package.disabled);
    EXPECT_FALSE(package.userForced);
    EXPECT_EQ(package.scheduledAction, ACTION_NONE);
  });
}

TEST(PackageDatabaseRead, MissingOrEmptyListsAreEmptyAndSound) {
  TestRoot root;
  root.write(ENTRY + "version", "1 2\n");
  root.write(ENTRY + "deps", "");
  root.write(ENTRY + "files", "");
  loadInRoot(root, [](InstalledPackage& package) {
    EXPECT_TRUE(package.deps.empty());
    EXPECT_TRUE(package.provides.empty());
    EXPECT_TRUE(package.files.empty());
    EXPECT_FALSE(package.isBundle);
    EXPECT_EQ(package.scheduledAction, ACTION_NONE);
  });
}

TEST(PackageDatabaseRead, MalformedMetaFilesMarkForUninstall) {
  // Each case replaces one file of a sound entry; an empty name drops "version".
  const std::map<std::string, std::pair<std::string, std::string>> broken = {
      {"no version file", {"", ""}},
      {"version with one number", {"version", "17\n"}},
      {"deps line with one number", {"deps", "system 5\n"}},
      {"provides line without priority", {"provides", "shell 1 2\n"}},
      {"deps line with a fourth number", {"deps", "system 1 2 3\n"}},
      {"conflicts line with a word for a number", {"conflicts", "wardle x 0\n"}},
  };
  for (const auto& [what, file] : broken) {
    SCOPED_TRACE(what);
    TestRoot root;
    root.write(ENTRY + "files", "bin/x\n");
    if (!file.first.empty()) {
      root.write(ENTRY + "version", "1 2\n");
      root.write(ENTRY + file.first, file.second);
    }
    loadInRoot(root, [](InstalledPackage& package) {
      EXPECT_EQ(package.scheduledAction, ACTION_UNINSTALL);
    });
  }
}

TEST(PackageDatabaseRead, OrphanedBundleMemberIsMarkedForUninstall) {
  TestRoot root;
  root.write(ENTRY + "version", "1 2\n");
  root.write(ENTRY + "bundle", "quorilan\n");
  root.write(ENTRY + "files", "bin/x\n");
  loadInRoot(root, [](InstalledPackage& package) {
    EXPECT_EQ(package.bundle.name, "quorilan");
    EXPECT_EQ(package.bundle.minVersion, 0u);
    EXPECT_EQ(package.scheduledAction, ACTION_UNINSTALL);
  });
}

TEST(PackageDatabaseRead, EntryWithOnlyDisabledIsADisabledBundleToUninstall) {
  TestRoot root;
  root.write(ENTRY + "disabled", "auto\n");
  loadInRoot(root, [](InstalledPackage& package) {
    EXPECT_TRUE(package.isBundle);
    EXPECT_TRUE(package.disabled);
    EXPECT_FALSE(package.userForced);
    EXPECT_EQ(package.scheduledAction, ACTION_UNINSTALL);
  });
}

TEST(PackageDatabaseRead, StateFiles) {
  struct Case {
    const char* what;
    const char* disabled;  // nullptr: no file
    const char* enabled;
    bool wantDisabled;
    bool wantUserForced;
  };
  const Case cases[] = {
      {"disabled auto", "auto\n", nullptr, true, false},
      {"disabled auto without newline", "auto", nullptr, true, false},
      {"disabled user", "user\n", nullptr, true, true},
      {"disabled empty", "", nullptr, true, true},
      {"enabled beside disabled is ignored", "auto\n", "user\n", true, false},
      {"enabled alone", nullptr, "user\n", false, true},
      {"no state file", nullptr, nullptr, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRoot root;
    root.write(ENTRY + "version", "1 2\n");
    root.write(ENTRY + "files", "");
    if (c.disabled != nullptr) root.write(ENTRY + "disabled", c.disabled);
    if (c.enabled != nullptr) root.write(ENTRY + "enabled", c.enabled);
    loadInRoot(root, [&c](InstalledPackage& package) {
      EXPECT_EQ(package.disabled, c.wantDisabled);
      EXPECT_EQ(package.userForced, c.wantUserForced);
    });
  }
}

TEST(PackageDatabaseRead, ScheduleWords) {
  struct Case {
    const char* word;
    uint32_t wantAction;
    bool wantUserForced;
  };
  // The entry is disabled by the automatic rules, so userForced starts false.
  const Case cases[] = {
      {"uninstall\n", ACTION_UNINSTALL, false},  {"enable\n", ACTION_ENABLE, true},
      {"  disable now\n", ACTION_DISABLE, true}, {"Enable\n", ACTION_NONE, false},
      {"DISABLE\n", ACTION_NONE, false},         {"", ACTION_NONE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    TestRoot root;
    root.write(ENTRY + "version", "1 2\n");
    root.write(ENTRY + "files", "");
    root.write(ENTRY + "disabled", "auto\n");
    root.write("/ram/pdb/tessel/schedule", c.word);
    loadInRoot(root, [&c](InstalledPackage& package) {
      EXPECT_EQ(package.scheduledAction, c.wantAction);
      EXPECT_EQ(package.userForced, c.wantUserForced);
    });
  }
}

TEST(PackageDatabaseRead, InertRecordGetsNoSchedule) {
  TestRoot root;
  root.write(ENTRY + "version", "4294967295 4294967295\n");
  root.write(ENTRY + "files", "");
  root.write("/ram/pdb/tessel/schedule", "enable\n");
  loadInRoot(root, [](InstalledPackage& package) {
    EXPECT_TRUE(package.isInert());
    EXPECT_EQ(package.scheduledAction, ACTION_NONE);
    EXPECT_FALSE(package.userForced);
  });
}

TEST(PackageDatabaseRead, RecordFromImageStillKnowsItsFiles) {
  TestRoot root;
  root.write(ENTRY + "files", "flash/bin/tessel\nflash/etc/tessel.conf\n");
  root.write(ENTRY + "version", "garbage\n");
  EXPECT_TRUE(passesInRoot(root, [] {
    InstalledPackage package("tessel");
    package.version = 7;
    loadEntry(package);
    EXPECT_EQ(package.files, (std::set<std::string>{"/flash/bin/tessel", "/flash/etc/tessel.conf"}));
    EXPECT_EQ(package.version, 7u);
    EXPECT_FALSE(package.isBundle);
    EXPECT_EQ(package.scheduledAction, ACTION_NONE);
  }));
}

TEST(PackageDatabaseRead, RecordFromImageReadsOnlyStateAndSchedule) {
  TestRoot root;
  root.write(ENTRY + "disabled", "user\n");
  root.write("/ram/pdb/tessel/schedule", "enable");
  EXPECT_TRUE(passesInRoot(root, [] {
    InstalledPackage package("tessel");
    package.version = 7;
    package.buildTime = 9;
    loadEntry(package);
    // No "version" and no "files": neither an uninstall mark nor a bundle.
    EXPECT_EQ(package.version, 7u);
    EXPECT_FALSE(package.isBundle);
    EXPECT_TRUE(package.disabled);
    EXPECT_EQ(package.scheduledAction, ACTION_ENABLE);
  }));
}

TEST(PackageDatabaseRead, ReadRefFileAppendsAndKeepsEntriesBeforeAFault) {
  TestRoot root;
  root.write("/list", "a 1 2 3\nb 4 5 -6\nc 7\n");
  std::vector<PackageRef> refs(1);
  EXPECT_FALSE(readRefFile(root.at("/list"), refs, true));
  ASSERT_EQ(refs.size(), 3u);
  EXPECT_EQ(refs[1].name, "a");
  EXPECT_EQ(refs[1].priority, 3);
  EXPECT_EQ(refs[2].name, "b");
  EXPECT_EQ(refs[2].minVersion, 4u);
  EXPECT_EQ(refs[2].priority, -6);

  std::vector<PackageRef> none;
  EXPECT_TRUE(readRefFile(root.at("/missing"), none, false));
  EXPECT_TRUE(none.empty());
}

// ---- writing ---------------------------------------------------------------

std::unique_ptr<InstalledPackage> samplePackage() {
  auto sample = std::make_unique<InstalledPackage>("tessel");
  InstalledPackage& package = *sample;
  package.version = makeVersion(6, 40, 'f', 5);
  package.buildTime = 1600000000;
  package.deps.push_back({"system", makeVersion(6, 40, 'f', 0), 0, 0});
  package.deps.push_back({"libc", 0, 7, 0});
  package.files = {"/bin/tessel", "/lib/libtessel.so", "", "etc/plain"};
  return sample;
}

void writeInRoot(const TestRoot& root, const std::function<void(FileJournal&)>& action,
                 const std::function<void(const JournalView&)>& check) {
  EXPECT_TRUE(passesInRoot(root, [&] {
    FileJournal journal;
    action(journal);
    check(viewOf(journal));
    journal.cancel();
  }));
}

using Writes = std::map<std::string, std::string>;
using Removals = std::set<std::string>;

// Each case changes the sample package, then compares the journaled files
// byte for byte and the journaled removals against an entry that holds
// every file.
struct WriteCase {
  const char* what;
  std::function<void(InstalledPackage&)> change;
  Writes writes;
  Removals removals;
};

const std::string VERSION_LINE = "103310853 1600000000\n";

TEST(PackageDatabaseWrite, JournalsExactlyTheEntrysFiles) {
  const WriteCase cases[] = {
      {"plain package, enabled automatically",
       [](InstalledPackage&) {},
       {{ENTRY + "version", VERSION_LINE},
        {ENTRY + "deps", "system 103310848 0\nlibc 0 7\n"},
        {ENTRY + "files", "bin/tessel\nlib/libtessel.so\netc/plain\n"}},
       {ENTRY + "bundle", ENTRY + "disabled", ENTRY + "enabled"}},
      {"lists and bundle, disabled by the user",
       [](InstalledPackage& package) {
         package.deps.clear();
         package.provides = {{"shell", 1, 2, -3}, {"editor", 0, 0, 10}};
         package.conflicts = {{"wardle", 0, 5, 0}};
         package.bundle = {"quorilan", 9, 9, 0};
         package.files = {"/a"};
         package.disabled = true;
         package.userForced = true;
       },
       {{ENTRY + "version", VERSION_LINE},
        {ENTRY + "deps", ""},
        {ENTRY + "provides", "shell 1 2 -3\neditor 0 0 10\n"},
        {ENTRY + "conflicts", "wardle 0 5\n"},
        {ENTRY + "bundle", "quorilan\n"},
        {ENTRY + "files", "a\n"},
        {ENTRY + "disabled", "user\n"}},
       {ENTRY + "enabled"}},
      {"bundle, disabled automatically",
       [](InstalledPackage& package) {
         package.isBundle = true;
         package.disabled = true;
       },
       {{ENTRY + "version", VERSION_LINE},
        {ENTRY + "deps", "system 103310848 0\nlibc 0 7\n"},
        {ENTRY + "disabled", "auto\n"}},
       {ENTRY + "bundle", ENTRY + "enabled"}},
      {"stored as image, enabled by the user",
       [](InstalledPackage& package) {
         package.storedAsImage = true;
         package.provides = {{"shell", 1, 2, 3}};
         package.bundle.name = "quorilan";
         package.userForced = true;
       },
       {{ENTRY + "enabled", "user\n"}},
       {ENTRY + "disabled"}},
      {"no-meta flag, disabled automatically",
       [](InstalledPackage& package) {
         package.flags = PACKAGE_FLAG_NO_META;
         package.disabled = true;
       },
       {{ENTRY + "disabled", "auto\n"}},
       {ENTRY + "enabled"}},
  };
  TestRoot root;
  writeFullEntry(root);
  EXPECT_TRUE(passesInRoot(root, [&cases] {
    for (const WriteCase& c : cases) {
      SCOPED_TRACE(c.what);
      FileJournal journal;
      auto package = samplePackage();
      c.change(*package);
      EXPECT_TRUE(writeEntry(*package, journal));
      JournalView view = viewOf(journal);
      EXPECT_EQ(view.writes, c.writes);
      EXPECT_EQ(view.removals, c.removals);
      EXPECT_TRUE(view.others.empty());
      journal.cancel();
    }
  }));
}

TEST(PackageDatabaseWrite, FailedMetaWriteIsReportedAndStops) {
  TestRoot root;
  // The entry path is a plain file, so nothing can be created inside it.
  root.write("/flash/var/pdb/tessel", "not a directory");
  EXPECT_TRUE(passesInRoot(root, [] {
    std::ostringstream output;
    setConsoleOutput(&output);
    FileJournal journal;
    auto sample = samplePackage();
    InstalledPackage& package = *sample;
    package.bundle = {"quorilan", makeVersion(6, 40, 'f', 0), 0, 0};
    EXPECT_FALSE(writeEntry(package, journal));
    EXPECT_EQ(output.str(),
              "ERROR: installation of quorilan-6.40 failed: could not create meta/version: "
              "Not a directory\n");
    for (const auto& [target, operation] : journal.operations())
      EXPECT_EQ(target, ENTRY + "version") << "journaled after the failure";
    journal.cancel();
    setConsoleOutput(nullptr);
  }));
}

TEST(PackageDatabaseWrite, ReportWriteFailureChoosesByErrno) {
  InstallerContext::reset();
  std::ostringstream output;
  setConsoleOutput(&output);
  auto sample = samplePackage();
  InstalledPackage& package = *sample;
  errno = ENOSPC;
  reportWriteFailure(package, "meta/files");
  errno = EIO;
  reportWriteFailure(package, "meta/files");
  errno = EACCES;
  reportWriteFailure(package, "meta/deps");
  setConsoleOutput(nullptr);
  EXPECT_EQ(output.str(),
            "ERROR: installation of tessel-6.40.5 failed: disk is too small\n"
            "ERROR: installation of tessel-6.40.5 failed: disk error\n"
            "ERROR: installation of tessel-6.40.5 failed: could not create meta/deps: "
            "Permission denied\n");
}

TEST(PackageDatabaseWrite, RegisterEntryRefusesAnEntryPathThatIsAFile) {
  TestRoot root;
  root.write("/flash/var/pdb/tessel", "");
  EXPECT_TRUE(passesInRoot(root, [] {
    FileJournal journal;
    EXPECT_FALSE(registerEntry(*samplePackage(), journal));
    EXPECT_TRUE(journal.empty());
  }));
}

TEST(PackageDatabaseWrite, RegisterEntryWithdrawsPendingRemovalOfTheEntry) {
  TestRoot root;
  writeFullEntry(root);
  writeInRoot(
      root,
      [](FileJournal& journal) {
        InstalledPackage old("tessel");
        removeEntry(old, journal);
        EXPECT_TRUE(registerEntry(*samplePackage(), journal));
      },
      [](const JournalView& view) {
        EXPECT_EQ(view.removals.count("/flash/var/pdb/tessel"), 0u);
        EXPECT_EQ(view.removals.count(ENTRY + "image"), 1u);
        EXPECT_EQ(view.writes.count(ENTRY + "files"), 1u);
      });
}

TEST(PackageDatabaseState, MarkDisabledAndEnabled) {
  TestRoot root;
  writeFullEntry(root);
  writeInRoot(
      root,
      [](FileJournal& journal) {
        auto sample = samplePackage();
        InstalledPackage& package = *sample;
        package.scheduledAction = ACTION_DISABLE;
        markDisabled(package, journal);
        EXPECT_TRUE(package.disabled);
        EXPECT_EQ(package.scheduledAction, ACTION_NONE);
      },
      [](const JournalView& view) {
        EXPECT_EQ(view.writes,
                  (std::map<std::string, std::string>{{ENTRY + "disabled", "auto\n"}}));
        EXPECT_EQ(view.removals, (std::set<std::string>{ENTRY + "enabled"}));
      });
  for (bool userForced : {true, false}) {
    SCOPED_TRACE(userForced ? "user-forced" : "automatic");
    writeInRoot(
        root,
        [userForced](FileJournal& journal) {
          auto sample = samplePackage();
          InstalledPackage& package = *sample;
          package.disabled = true;
          package.userForced = userForced;
          package.scheduledAction = ACTION_ENABLE;
          markEnabled(package, journal);
          EXPECT_FALSE(package.disabled);
          EXPECT_EQ(package.scheduledAction, ACTION_NONE);
        },
        [userForced](const JournalView& view) {
          if (userForced) {
            EXPECT_EQ(view.writes,
                      (std::map<std::string, std::string>{{ENTRY + "enabled", "user\n"}}));
            EXPECT_EQ(view.removals, (std::set<std::string>{ENTRY + "disabled"}));
          } else {
            EXPECT_TRUE(view.writes.empty());
            EXPECT_EQ(view.removals,
                      (std::set<std::string>{ENTRY + "disabled", ENTRY + "enabled"}));
          }
        });
  }
}

// ---- removing --------------------------------------------------------------

TEST(PackageDatabaseRemove, RemovesFilesEntryAndImage) {
  TestRoot root;
  writeFullEntry(root);
  root.write("/flash/bin/tessel", "x");
  root.write("/flash/bootimage", "boot");
  writeInRoot(
      root,
      [](FileJournal& journal) {
        InstalledPackage package("tessel");
        package.files = {"/flash/bin/tessel", "/flash/bin/gone"};
        package.scheduledAction = ACTION_UNINSTALL;
        removeEntry(package, journal);
        EXPECT_TRUE(package.files.empty());
        EXPECT_EQ(package.scheduledAction, ACTION_NONE);
      },
      [](const JournalView& view) {
        EXPECT_TRUE(view.writes.empty());
        // No boot flag: the boot image stays; a missing file records nothing.
        EXPECT_EQ(view.removals, (std::set<std::string>{"/flash/bin/tessel",
                                                        "/flash/var/pdb/tessel", ENTRY + "image"}));
      });
}

TEST(PackageDatabaseRemove, BootImageGoesOnlyWithItsLastLink) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "two links" : "one link");
    TestRoot root;
    writeFullEntry(root);
    root.write("/flash/bootimage", "boot");
    if (shared) {
      ASSERT_EQ(link(root.at("/flash/bootimage").c_str(), root.at("/flash/boot2").c_str()), 0);
    }
    writeInRoot(
        root,
        [](FileJournal& journal) {
          InstalledPackage package("tessel");
          package.flags = PACKAGE_FLAG_BOOT;
          removeEntry(package, journal);
        },
        [shared](const JournalView& view) {
          EXPECT_EQ(view.removals.count("/flash/bootimage"), shared ? 0u : 1u);
        });
  }
}

TEST(PackageDatabaseRemove, AppliedRemovalDeletesTheEntry) {
  TestRoot root;
  writeFullEntry(root);
  root.write("/flash/bin/tessel", "x");
  EXPECT_TRUE(passesInRoot(root, [] {
    FileJournal journal;
    InstalledPackage package("tessel");
    package.files = {"/flash/bin/tessel"};
    removeEntry(package, journal);
    journal.apply(false);
  }));
  EXPECT_FALSE(root.exists("/flash/var/pdb/tessel"));
  EXPECT_FALSE(root.exists("/flash/bin/tessel"));
  EXPECT_TRUE(root.exists("/flash/var/pdb"));
}

}  // namespace
