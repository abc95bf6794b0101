// The entries that installs and the schedule write are also checked by the
// golden scenarios (tests/scenarios/install_*.txt and schedule_*.txt).
#include "pkg/package_database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"

namespace {

const std::string ENTRY = "/flash/var/pdb/tessel/";

// Each row changes a sound entry ("version" and an empty "files"; a name
// without "/" lies in the entry, nullptr removes the file) and gives the
// record read: version, build time, lists, files, bundle and state. The
// last row's header came from an image, with the version set beforehand.
TEST(PackageDatabase, LoadEntry) {
  const std::string schedule = "/ram/pdb/tessel/schedule";
  const std::pair<std::map<std::string, const char*>, const char*> cases[] = {
      {{{"version", "101188869 1600000000\n"}, {"deps", "system 101187584 0\nlibc 0 0\n"}, {"provides", "shell 1 2 -5\n"},
        {"conflicts", "wardle 0 101188864\n"}, {"files", "bin/tessel\n\n/lib/libtessel.so\nbin/a b\n"}},
       "101188869 1600000000 system:101187584:0:0 libc:0:0:0 shell:1:2:-5 wardle:0:101188864:0 /bin/a b /bin/tessel "
       "/lib/libtessel.so"},
      {{}, "1 2"},
      {{{"version", nullptr}}, "0 0 uninstall"},
      {{{"provides", "shell 1 2\n"}}, "1 2 uninstall"},
      {{{"deps", "system 1 2 3\n"}}, "1 2 system:1:2:0 uninstall"},
      {{{"bundle", "quorilan\n"}}, "1 2 in=quorilan uninstall"},
      {{{"version", nullptr}, {"files", nullptr}, {"disabled", "auto\n"}}, "0 0 bundle disabled uninstall"},
      {{{"disabled", "auto"}, {"enabled", "user\n"}}, "1 2 disabled"},
      {{{"disabled", "user\n"}}, "1 2 disabled forced"},
      {{{"enabled", "user\n"}}, "1 2 forced"},
      {{{"disabled", "auto\n"}, {schedule, "uninstall\n"}}, "1 2 disabled uninstall"},
      {{{"disabled", "auto\n"}, {schedule, "enable\n"}}, "1 2 disabled forced enable"},
      {{{"disabled", "auto\n"}, {schedule, "  disable now\n"}}, "1 2 disabled forced disable"},
      {{{"disabled", "auto\n"}, {schedule, "Enable\n"}}, "1 2 disabled"},
      {{{"version", "4294967295 4294967295\n"}, {schedule, "enable\n"}}, "4294967295 4294967295"},
      {{{"files", "flash/bin/tessel\n"}, {"version", "garbage\n"}, {"disabled", "user\n"}, {schedule, "enable"}},
       "7 0 /flash/bin/tessel disabled forced enable"},
  };
  for (const auto& [changes, read] : cases) {
    TestRoot root;
    std::map<std::string, const char*> files = {{"version", "1 2\n"}, {"files", ""}};
    for (const auto& [name, content] : changes) files[name] = content;
    for (const auto& [name, content] : files)
      if (content != nullptr) root.write(name[0] == '/' ? name : ENTRY + name, content);
    EXPECT_TRUE(passesInRoot(root, [&read = read, fromImage = &read == &cases[std::size(cases) - 1].second] {
      InstalledPackage p("tessel");
      p.version = fromImage ? 7 : 0;
      EXPECT_TRUE(loadEntry(p));
      std::ostringstream out;
      out << p.version << " " << p.buildTime;
      for (const auto* list : {&p.deps, &p.provides, &p.conflicts})
        for (const PackageRef& r : *list) out << " " << r.name << ":" << r.minVersion << ":" << r.maxVersion << ":" << r.priority;
      for (const std::string& file : p.files) out << " " << file;
      out << (p.bundle.name.empty() ? "" : " in=" + p.bundle.name) << (p.isBundle ? " bundle" : "")
          << (p.disabled ? " disabled" : "") << (p.userForced ? " forced" : "")
          << (p.scheduledAction != ACTION_NONE ? " " : "") << scheduleActionName(p.scheduledAction);
      EXPECT_EQ(out.str(), read);
    }));
  }
}

// The journal in one line: "NAME=CONTENT" for a write and "-NAME" for a
// removal, NAME relative to the entry when it lies there.
std::string journaled(const FileJournal& journal) {
  std::string text;
  for (const auto& [target, operation] : journal.operations()) {
    std::string name = target.rfind(ENTRY, 0) == 0 ? target.substr(ENTRY.size()) : target;
    text += operation.kind == JOURNAL_REMOVE ? "-" + name + " " : name + "=" + readFile(operation.argument) + " ";
  }
  return text;
}

// Each row changes the package "tessel-6.40.5" and writes or removes its
// entry, in a root whose entry holds every file; the boot image has one
// link, then two.
TEST(PackageDatabase, JournalsExactlyTheEntrysFiles) {
  using P = InstalledPackage;
  const std::string version = "version=103310853 1600000000\n ", gone = "-/flash/var/pdb/tessel -image ";
  const std::pair<std::function<bool(P&, FileJournal&)>, std::string> cases[] = {
      {[](P& p, FileJournal& j) {
         p.deps = {{"system", 103310848, 0, 0}, {"libc", 0, 7, 0}};
         p.provides = {{"shell", 1, 2, -3}, {"editor", 0, 0, 10}};
         p.conflicts = {{"wardle", 0, 5, 0}};
         p.bundle.name = "quorilan";
         p.files = {"/a", "", "etc/plain"};
         return p.disabled = p.userForced = true, writeEntry(p, j);
       },
       "bundle=quorilan\n conflicts=wardle 0 5\n deps=system 103310848 0\nlibc 0 7\n disabled=user\n -enabled "
       "files=a\netc/plain\n provides=shell 1 2 -3\neditor 0 0 10\n " + version},
      {[](P& p, FileJournal& j) { return p.isBundle = p.disabled = true, writeEntry(p, j); }, "-bundle deps= disabled=auto\n -enabled " + version},
      {[](P& p, FileJournal& j) { return p.storedAsImage = p.userForced = true, writeEntry(p, j); }, "-disabled enabled=user\n "},
      {[](P& p, FileJournal& j) { return p.flags = PACKAGE_FLAG_NO_META, writeEntry(p, j); }, "-disabled -enabled "},
      {[](P& p, FileJournal& j) {
         p.files = {"/flash/bin/tessel", "/flash/bin/gone"};
         return p.flags = PACKAGE_FLAG_BOOT, removeEntry(p, j), p.files.empty();
       },
       "-/flash/bin/tessel -/flash/bootimage " + gone},
      {[](P& p, FileJournal& j) { return p.flags = PACKAGE_FLAG_BOOT, link("/flash/bootimage", "/flash/boot2") == 0 && (removeEntry(p, j), true); },
       gone},
  };
  TestRoot root;
  for (const char* name : {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled", "image"})
    root.write(ENTRY + name, "old\n");
  root.write("/flash/bin/tessel", "x");
  root.write("/flash/bootimage", "boot");
  EXPECT_TRUE(passesInRoot(root, [&cases] {
    for (const auto& [act, expected] : cases) {
      FileJournal journal;
      InstalledPackage package("tessel");
      package.version = makeVersion(6, 40, 'f', 5);
      package.buildTime = 1600000000;
      EXPECT_TRUE(act(package, journal)) << expected;
      EXPECT_EQ(journaled(journal), expected);
      journal.cancel();
    }
  }));
}

// With a plain file where the entry directory belongs, nothing is journaled
// after the first failure, which names the bundle of a member.
TEST(PackageDatabase, FailedWritesAreReportedAndStop) {
  TestRoot root;
  root.write("/flash/var/pdb/tessel", "");
  EXPECT_TRUE(passesInRoot(root, [] {
    std::ostringstream output;
    setConsoleOutput(&output);
    FileJournal journal;
    InstalledPackage package("tessel");
    EXPECT_FALSE(registerEntry(package, journal) || !journal.empty());
    package.bundle = {"quorilan", makeVersion(6, 40, 'f', 0), 0, 0};
    EXPECT_FALSE(writeEntry(package, journal));
    EXPECT_EQ(journaled(journal), "version= ");
    EXPECT_EQ(output.str(), "ERROR: installation of quorilan-6.40 failed: could not create meta/version: Not a directory\n");
    journal.cancel();
  }));
}

}  // namespace
