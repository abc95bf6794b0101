// Reading entries, and the entries that installs and the schedule write, are checked by the golden scenarios
// (tests/scenarios/).
#include "pkg/package_database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"

namespace {

const std::string ENTRY = "/flash/var/pdb/tessel/";

// The journal in one line: "NAME=CONTENT" for a write and "-NAME" for a removal, NAME relative to the entry when it
// lies there.
std::string journaled(const FileJournal& journal) {
  std::string text;
  journal.forEachOperation([&text](const std::string& target, const JournalOperation& operation) {
    std::string name = target.rfind(ENTRY, 0) == 0 ? target.substr(ENTRY.size()) : target;
    text += operation.kind == JOURNAL_REMOVE ? "-" + name + " " : name + "=" + readFile(operation.argument) + " ";
  });
  return text;
}

// Each row changes the package "tessel-6.40.5" and writes or removes its entry, in a root whose entry holds every
// file and whose boot image has one link, then two; "blocked" has a plain file where its entry belongs, so that
// nothing is journaled after the first failure, which is printed.
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
         return p.disabled = p.stateChosenByUser = true, writeEntry(p, j);
       },
       "bundle=quorilan\n conflicts=wardle 0 5\n deps=system 103310848 0\nlibc 0 7\n disabled=user\n -enabled "
       "files=a\netc/plain\n provides=shell 1 2 -3\neditor 0 0 10\n " + version},
      {[](P& p, FileJournal& j) { return p.isBundle = p.disabled = true, writeEntry(p, j); },
       "-bundle -conflicts deps= disabled=auto\n -enabled -provides " + version},  // empty lists leave no file
      {[](P& p, FileJournal& j) { return p.storedAsImage = p.stateChosenByUser = true, writeEntry(p, j); },
       "-disabled enabled=user\n "},
      {[](P& p, FileJournal& j) { return p.flags = PACKAGE_FLAG_NO_META, writeEntry(p, j); }, "-disabled -enabled "},
      {[](P& p, FileJournal& j) {
         p.files = {"/flash/bin/tessel", "/flash/bin/gone"};
         return p.flags = PACKAGE_FLAG_BOOT, removeEntry(p, j), p.files.empty();
       },
       "-/flash/bin/tessel -/flash/bootimage " + gone},
      {[](P& p, FileJournal& j) {
         p.flags = PACKAGE_FLAG_BOOT;
         return link("/flash/bootimage", "/flash/boot2") == 0 && (removeEntry(p, j), true);
       },
       gone},
      {[](P& p, FileJournal& j) { return p.name = "blocked", !registerEntry(p, j); }, ""},
      {[](P& p, FileJournal& j) { return p.name = "blocked", p.bundle = {"quorilan", 6, 0, 0}, !writeEntry(p, j); },
       "ERROR: installation of quorilan-0.06 failed: could not create meta/version: "
       "Not a directory\n"},
  };
  TestRoot root;
  for (const char* name : {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled",
                           "image"})
    root.write(ENTRY + name, "old\n");
  root.write("/flash/bin/tessel", "x");
  root.write("/flash/bootimage", "boot");
  root.write("/flash/var/pdb/blocked", "");
  EXPECT_TRUE(passesInRoot(root, [&cases] {
    for (const auto& [act, expected] : cases) {
      FileJournal journal;
      InstalledPackage package("tessel");
      package.version = makeVersion(6, 40, 'f', 5);
      package.buildTime = 1600000000;
      std::ostringstream output;
      setConsoleOutput(&output);
      EXPECT_TRUE(act(package, journal)) << expected;
      EXPECT_EQ(journaled(journal) + output.str(), expected);
      journal.cancel();
    }
  }));
}

}  // namespace
