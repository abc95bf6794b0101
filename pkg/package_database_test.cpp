#include "pkg/package_database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include "chroot_check.h"
#include "console/console.h"
#include "journal/file_journal.h"

namespace {

const std::string ENTRY = "/flash/var/pdb/tessel/";

// The record in one line: version, build time, lists, files, bundle and state.
std::string describe(const InstalledPackage& p) {
  std::ostringstream out;
  out << p.version << " " << p.buildTime;
  const std::pair<const char*, const std::vector<PackageRef>*> lists[] = {
      {" dep=", &p.deps}, {" prov=", &p.provides}, {" conf=", &p.conflicts}};
  for (const auto& [label, list] : lists)
    for (const PackageRef& r : *list) out << label << r.name << ":" << r.minVersion << ":" << r.maxVersion << ":" << r.priority;
  for (const std::string& file : p.files) out << " " << file;
  out << (p.bundle.name.empty() ? "" : " in=" + p.bundle.name) << (p.isBundle ? " bundle" : "")
      << (p.disabled ? " disabled" : "") << (p.userForced ? " forced" : "");
  if (p.scheduledAction != ACTION_NONE) out << " do=" << scheduleActionName(p.scheduledAction);
  return out.str();
}

// Each row changes a sound entry ("version" and an empty "files"; a name
// without "/" lies in the entry, nullptr removes the file) and gives the
// record read, "tessel" with the version preset for a header from an image.
TEST(PackageDatabase, LoadEntry) {
  const std::string schedule = "/ram/pdb/tessel/schedule";
  const struct {
    std::map<std::string, const char*> changes;
    const char* read;
    PackageVersion preset = 0;
  } cases[] = {
      {{{"version", "101188869 1600000000\n"}, {"deps", "system 101187584 0\nlibc 0 0\n"}, {"provides", "shell 1 2 -5\n"},
        {"conflicts", "wardle 0 101188864\n"}, {"files", "bin/tessel\n\n/lib/libtessel.so\nbin/a b\n"}},
       "101188869 1600000000 dep=system:101187584:0:0 dep=libc:0:0:0 prov=shell:1:2:-5 conf=wardle:0:101188864:0"
       " /bin/a b /bin/tessel /lib/libtessel.so"},
      {{}, "1 2"},
      {{{"version", nullptr}}, "0 0 do=uninstall"},
      {{{"version", "17\n"}}, "0 0 do=uninstall"},
      {{{"deps", "system 5\n"}}, "1 2 do=uninstall"},
      {{{"provides", "shell 1 2\n"}}, "1 2 do=uninstall"},
      {{{"deps", "system 1 2 3\n"}}, "1 2 dep=system:1:2:0 do=uninstall"},
      {{{"conflicts", "wardle x 0\n"}}, "1 2 do=uninstall"},
      {{{"bundle", "quorilan\n"}}, "1 2 in=quorilan do=uninstall"},
      {{{"version", nullptr}, {"files", nullptr}, {"disabled", "auto\n"}}, "0 0 bundle disabled do=uninstall"},
      {{{"disabled", "auto"}}, "1 2 disabled"},
      {{{"disabled", "user\n"}}, "1 2 disabled forced"},
      {{{"disabled", ""}}, "1 2 disabled forced"},
      {{{"disabled", "auto\n"}, {"enabled", "user\n"}}, "1 2 disabled"},
      {{{"enabled", "user\n"}}, "1 2 forced"},
      {{{"disabled", "auto\n"}, {schedule, "uninstall\n"}}, "1 2 disabled do=uninstall"},
      {{{"disabled", "auto\n"}, {schedule, "enable\n"}}, "1 2 disabled forced do=enable"},
      {{{"disabled", "auto\n"}, {schedule, "  disable now\n"}}, "1 2 disabled forced do=disable"},
      {{{"disabled", "auto\n"}, {schedule, "Enable\n"}}, "1 2 disabled"},
      {{{"disabled", "auto\n"}, {schedule, ""}}, "1 2 disabled"},
      {{{"version", "4294967295 4294967295\n"}, {schedule, "enable\n"}}, "4294967295 4294967295"},
      {{{"files", "flash/bin/tessel\nflash/etc/tessel.conf\n"}, {"version", "garbage\n"}, {"disabled", "user\n"},
        {schedule, "enable"}},
       "7 0 /flash/bin/tessel /flash/etc/tessel.conf disabled forced do=enable", 7},
  };
  for (const auto& c : cases) {
    TestRoot root;
    std::map<std::string, const char*> files = {{"version", "1 2\n"}, {"files", ""}};
    for (const auto& [name, content] : c.changes) files[name] = content;
    for (const auto& [name, content] : files)
      if (content != nullptr) root.write(name[0] == '/' ? name : ENTRY + name, content);
    EXPECT_TRUE(passesInRoot(root, [&c] {
      InstalledPackage package("tessel");
      package.version = c.preset;
      EXPECT_TRUE(loadEntry(package));
      EXPECT_EQ(describe(package), c.read);
    }));
  }
}

std::unique_ptr<InstalledPackage> samplePackage() {
  auto package = std::make_unique<InstalledPackage>("tessel");
  package->version = makeVersion(6, 40, 'f', 5);
  package->buildTime = 1600000000;
  package->deps = {{"system", makeVersion(6, 40, 'f', 0), 0, 0}, {"libc", 0, 7, 0}};
  package->files = {"/bin/tessel", "/lib/libtessel.so", "", "etc/plain"};
  return package;
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

// Each row acts on the sample package in a root whose entry holds every
// file, with a boot image of one link, then two. The state files that the
// schedule writes are checked by the golden scenarios.
TEST(PackageDatabase, JournalsExactlyTheEntrysFiles) {
  using P = InstalledPackage;
  using J = FileJournal;
  const std::string deps = "deps=system 103310848 0\nlibc 0 7\n ", version = "version=103310853 1600000000\n ",
                    files = "files=bin/tessel\nlib/libtessel.so\netc/plain\n ", gone = "-/flash/var/pdb/tessel -image ";
  const struct {
    std::function<bool(P&, J&)> act;
    std::string journal;
  } cases[] = {
      {[](P& p, J& j) { return writeEntry(p, j); }, "-bundle " + deps + "-disabled -enabled " + files + version},
      {[](P& p, J& j) {
         p.deps.clear();
         p.provides = {{"shell", 1, 2, -3}, {"editor", 0, 0, 10}};
         p.conflicts = {{"wardle", 0, 5, 0}};
         p.bundle = {"quorilan", 9, 9, 0};
         p.files = {"/a"};
         p.disabled = p.userForced = true;
         return writeEntry(p, j);
       },
       "bundle=quorilan\n conflicts=wardle 0 5\n deps= disabled=user\n -enabled files=a\n "
       "provides=shell 1 2 -3\neditor 0 0 10\n " + version},
      {[](P& p, J& j) { return p.isBundle = p.disabled = true, writeEntry(p, j); },
       "-bundle " + deps + "disabled=auto\n -enabled " + version},
      {[](P& p, J& j) { return p.storedAsImage = p.userForced = true, writeEntry(p, j); }, "-disabled enabled=user\n "},
      {[](P& p, J& j) { return p.flags = PACKAGE_FLAG_NO_META, writeEntry(p, j); }, "-disabled -enabled "},
      {[](P& p, J& j) {
         P old("tessel");
         return removeEntry(old, j), registerEntry(p, j);
       },
       "-bundle " + deps + "-disabled -enabled " + files + "-image " + version},
      {[](P& p, J& j) { return p.files = {"/flash/bin/tessel", "/flash/bin/gone"}, removeEntry(p, j), p.files.empty(); },
       "-/flash/bin/tessel " + gone},
      {[](P& p, J& j) { return p.flags = PACKAGE_FLAG_BOOT, removeEntry(p, j), true; }, "-/flash/bootimage " + gone},
      {[](P& p, J& j) { return p.flags = PACKAGE_FLAG_BOOT, link("/flash/bootimage", "/flash/boot2") == 0 && (removeEntry(p, j), true); },
       gone},
  };
  TestRoot root;
  for (const char* name : {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled", "image"})
    root.write(ENTRY + name, "old\n");
  root.write("/flash/bin/tessel", "x");
  root.write("/flash/bootimage", "boot");
  EXPECT_TRUE(passesInRoot(root, [&cases] {
    for (const auto& c : cases) {
      FileJournal journal;
      EXPECT_TRUE(c.act(*samplePackage(), journal)) << c.journal;
      EXPECT_EQ(journaled(journal), c.journal);
      journal.cancel();
    }
  }));
}

TEST(PackageDatabase, FailedWritesAreReportedAndStop) {
  TestRoot root;
  root.write("/flash/var/pdb/tessel", "a plain file where the entry directory belongs");
  EXPECT_TRUE(passesInRoot(root, [] {
    std::ostringstream output;
    setConsoleOutput(&output);
    FileJournal journal;
    auto package = samplePackage();
    EXPECT_FALSE(registerEntry(*package, journal));
    EXPECT_TRUE(journal.empty());
    package->bundle = {"quorilan", makeVersion(6, 40, 'f', 0), 0, 0};
    EXPECT_FALSE(writeEntry(*package, journal));
    EXPECT_EQ(journaled(journal), "version= ");
    journal.cancel();
    package->bundle = {};
    for (int error : {ENOSPC, EIO}) errno = error, reportWriteFailure(*package, "meta/files");
    EXPECT_EQ(output.str(),
              "ERROR: installation of quorilan-6.40 failed: could not create meta/version: Not a directory\n"
              "ERROR: installation of tessel-6.40.5 failed: disk is too small\n"
              "ERROR: installation of tessel-6.40.5 failed: disk error\n");
  }));
}

}  // namespace
