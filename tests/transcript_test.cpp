// The end-to-end tests: each file in tests/transcripts/ is the story of one
// device, told as the commands typed at a shell and what they print:
//
//   # A comment.
//   $ mkdir -p tree/bin && echo hi > tree/bin/hello
//   $ qbxtool build -o $ROOT/flash/rw/pckg/hello.qbx --name hello --version 1.0 tree
//   $ lines installer -r $ROOT
//   installing hello-1.0 [..]
//   installed hello-1.0
//   $ false
//   [1]
//
// "$ command" (continued by lines "> more") is run by /bin/sh; the lines up
// to the next command, comment or directive are all it wrote to standard
// output and error, then "[N]" for an exit status N other than 0. Blank lines
// at the end of a block only separate steps. An output line that is not
// plain text or would read as markup has C escapes and " (esc)" at its end;
// output without a final newline ends in " (no-eol)".
//
// All commands of a file run in one shell, in a fresh work folder, with ROOT
// a fresh device root ("/ram", "/rw", "/flash/boot", "/flash/var/pdb",
// "/flash/rw/pckg", "/flash/var/pckg"), PATH starting with the build folder,
// SHIM the fault library (tests/support/fault_shim.cpp), KEYS the keys
// folder and STORIES the folder of the transcripts, whose shell files they
// may source. The shell has a mount table of its own in which the host's system
// folders and the build folder are bound read-only into ROOT: "chroot $ROOT
// installer --commit" works, and a story may mount file systems over ROOT's.
// "lines CMD..." runs CMD and prints its output as the lines of a terminal
// (a carriage return starts a line; cursor escapes, blank lines and repeats
// go; a progress bar reads " [..]"), returning CMD's status. "state" lists
// what is below ROOT/flash but the postlog and the upload folders: "path/",
// "path -> target", "path MD5PREFIX".
//
// Where the tests are cross-built (TEST_EMULATOR, from CMake's
// CMAKE_CROSSCOMPILING_EMULATOR), the shell and its commands stay the
// host's: "installer" and "qbxtool" on the path are the scripts of the build
// folder's emulated/ that start the binaries under the emulator, whose own
// folders (its sysroot) are bound into ROOT as well; SHIM names the fault
// library as "$LIB" leads each loader to its own (cmake/emulated_tests.cmake).
// A transcript whose first line is "# emulated" runs only there (its
// commands pick the emulated processor, say).
//
// A directive "% FILE key=value..." writes a package file that qbxtool would
// refuse to make into the work folder before the first command runs. Keys,
// whose values take "\xNN" escapes and "\{N:TEXT}" for TEXT N times: name=,
// version=, entry=MODE:VARIANT:NAME:DATA (octal mode; repeatable), depends=,
// provides= and conflicts= (a name without bounds; repeatable),
// part=TYPE:BEFORE:DATA (an extra part put where part BEFORE stands),
// unsigned, cut=N (the files part holds the entries cut to N bytes),
// files=DATA (the files part data as given), and "bundle" for a bundle
// without members.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "package_writer.h"
#include "test_root.h"

namespace {

namespace fs = std::filesystem;

const char* const STATUS_MARK = "\n@@transcript-status@@ ";
const char* const PRELUDE =
    "lines() { \"$@\" >.lines 2>&1; set -- $?; tr '\\r' '\\n' <.lines | sed -e 's/\\x1b\\[?25[hl]//g'"
    " -e 's/ \\[[# ]*]$/ [..]/' | grep -v '^ *$' | uniq; rm -f .lines; return $1; }\n"
    "state() ( cd \"$ROOT\" && find flash \\( -path flash/postlog -o -path 'flash/*/pckg' \\) -prune -o"
    " -type f -exec md5sum {} + -o -type l -printf '%p -> %l\\n' -o -printf '%p/\\n'"
    " | sed -E 's/^([0-9a-f]{8})[0-9a-f]{24}  (.*)/\\2 \\1/' | sort )\n";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool endsBlock(const std::string& line) {
  return startsWith(line, "$ ") || startsWith(line, "#") || startsWith(line, "% ");
}

// An output line as it stands in a transcript: as it is when it is plain
// text that reads as nothing else, else with C escapes and " (esc)".
std::string escapeLine(const std::string& line) {
  bool plain = !endsBlock(line) && !startsWith(line, "> ") && !(startsWith(line, "[") && line.back() == ']');
  for (char c : line) plain = plain && c >= ' ' && c < 0x7f;
  if (plain) return line;
  std::string out;
  for (unsigned char c : line) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    if (c == '\\' || c == '\r' || c == '\b' || c == '\t')
      out += c == '\\' ? "\\\\" : c == '\r' ? "\\r" : c == '\b' ? "\\b" : "\\t";
    else
      out += c < ' ' || c >= 0x7f || (out.empty() && std::strchr("$#%>[", c) != nullptr) ? hex : std::string(1, c);
  }
  return out + " (esc)";
}

// What a command wrote and its status, as the lines of its block.
std::string render(const std::string& output, int status) {
  std::vector<std::string> block;
  for (size_t start = 0, end; start < output.size(); start = end == std::string::npos ? end : end + 1) {
    end = output.find('\n', start);
    block.push_back(escapeLine(output.substr(start, end - start)) + (end == std::string::npos ? " (no-eol)" : ""));
  }
  // Blank lines at the end would read as separators.
  for (size_t index = block.size(); status == 0 && index > 0 && block[index - 1].empty(); --index)
    block[index - 1] = " (esc)";
  if (status != 0) block.push_back("[" + std::to_string(status) + "]");
  std::string text;
  for (const std::string& line : block) text += line + "\n";
  return text;
}

// ---- directives ----------------------------------------------------------

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t index = 0; index < text.size(); ++index) {
    size_t colon = text.find(':', index), close = text.find('}', index);
    if (text.compare(index, 2, "\\{") == 0 && colon < close && close != std::string::npos) {
      for (size_t count = std::stoul(text.substr(index + 2, colon - index - 2)); count > 0; --count)
        out += text.substr(colon + 1, close - colon - 1);
      index = close;
      continue;
    }
    bool hex = text.compare(index, 2, "\\x") == 0 && index + 3 < text.size();
    out += hex ? static_cast<char>(std::stoi(text.substr(index + 2, 2), nullptr, 16)) : text[index];
    if (hex) index += 3;
  }
  return out;
}

// `text` split at its first `count` - 1 colons.
std::vector<std::string> fields(const std::string& text, size_t count) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t colon; out.size() + 1 < count && (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
    out.push_back(text.substr(start, colon - start));
  out.push_back(text.substr(start));
  out.resize(count);
  return out;
}

::testing::AssertionResult writeDraft(const std::string& directive, const std::string& folder) {
  std::istringstream words(directive.substr(2));
  std::string file, word;
  words >> file;
  PackageDraft draft;
  bool bundle = false;
  size_t cut = 0;
  while (words >> word) {
    std::string key = word.substr(0, word.find('=')), value = unescape(word.substr(key.size() + (key != word)));
    std::vector<std::string> parts = fields(value, key == "entry" ? 4 : 3);
    if (key == "name") {
      draft.name = value;
    } else if (key == "version") {
      if (!parseVersion(value, draft.version)) return ::testing::AssertionFailure() << "bad version in " << directive;
    } else if (key == "entry") {
      draft.files.push_back({parts[2], static_cast<uint16_t>(std::stoul(parts[0], nullptr, 8)),
                             static_cast<uint8_t>(std::stoul(parts[1])), parts[3]});
    } else if (key == "depends" || key == "provides" || key == "conflicts") {
      (key == "depends" ? draft.deps : key == "provides" ? draft.provides : draft.conflicts).push_back({value, 0, 0, 0});
    } else if (key == "part") {
      draft.extraParts.push_back({static_cast<uint16_t>(std::stoul(parts[0])), ByteVector(parts[2].begin(), parts[2].end()),
                                  static_cast<uint16_t>(std::stoul(parts[1]))});
    } else if (key == "unsigned") {
      draft.writeSignature = false;
    } else if (key == "bundle") {
      bundle = true;
    } else if (key == "cut") {
      cut = std::stoul(value);
    } else if (key == "files") {
      draft.rawFilesData = ByteVector(value.begin(), value.end());
    } else {
      return ::testing::AssertionFailure() << "cannot read " << word << " in: " << directive;
    }
  }
  if (cut != 0) {
    ByteVector entries;
    for (const FileDraft& entry : draft.files) {
      ByteVector encoded = encodeFileEntry(entry);
      entries.insert(entries.end(), encoded.begin(), encoded.end());
    }
    entries.resize(std::min(cut, entries.size()));
    if (!compressData(entries, draft.rawFilesData.emplace())) return ::testing::AssertionFailure() << directive;
  }
  BundleDraft empty;
  static_cast<HeaderDraft&>(empty) = draft;
  ByteVector bytes = bundle ? buildBundle(empty) : buildPackage(draft);
  if (bytes.empty() || !writeFile(folder + "/" + file, std::string(bytes.begin(), bytes.end())))
    return ::testing::AssertionFailure() << "could not write " << directive;
  return ::testing::AssertionSuccess();
}

// ---- running ---------------------------------------------------------------

// The emulator's command where the tests are cross-built, and the fault
// library as SHIM names it.
#ifdef TEST_EMULATOR
const char* const EMULATOR = TEST_EMULATOR;
const std::string SHIM_PATH = TEST_PRELOAD_DIRECTORY "/$LIB/" + fs::path(FAULT_SHIM_LIBRARY).filename().string();
#else
const char* const EMULATOR = "";
const std::string SHIM_PATH = FAULT_SHIM_LIBRARY;
#endif

// The absolute folders named in the emulator's command (its sysroot).
std::vector<std::string> emulatorFolders() {
  std::vector<std::string> folders;
  std::istringstream words(EMULATOR);
  for (std::string word; words >> word;)
    if (word[0] == '/' && fs::is_directory(word)) folders.push_back(word);
  return folders;
}

// Runs `script` with /bin/sh in `work`, in a child with its own mount table
// in which the host's system folders and the build folder are bound into
// `root`; what it writes goes to `outputPath`.
void runShell(const TestRoot& root, const std::string& work, const std::string& script, const std::string& outputPath) {
  const std::string binaries = fs::path(INSTALLER_BINARY).parent_path();
  const bool emulated = EMULATOR[0] != '\0';
  std::vector<std::string> bound = {binaries};
  for (const std::string& folder : emulatorFolders()) bound.push_back(folder);
  for (const std::string& folder : bound) fs::create_directories(root.at(folder));
  for (std::string entry : {"/usr", "/etc", "/proc", "/lib", "/lib64", "/bin", "/sbin"}) {
    // Under an emulator with a sysroot, "/lib" may read as the host's link
    // and as the sysroot's folder by turns; such a link is bound as a folder.
    std::error_code error;
    const fs::path link = fs::read_symlink(entry, error);
    if (fs::is_symlink(entry) && !error) {
      fs::create_symlink(link, root.at(entry));
    } else if (fs::is_directory(entry) && fs::create_directory(root.at(entry))) {
      bound.push_back(entry);
    }
  }
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> environment = {
      "PATH=" + (emulated ? binaries + "/emulated:" : "") + binaries + ":/usr/sbin:/usr/bin:/sbin:/bin",
      "ROOT=" + root.path(), "SHIM=" + SHIM_PATH,
      "KEYS=" KEYS_DIR, "STORIES=" INSTALLER_SOURCE_DIR "/tests/transcripts", "HOME=" + work, "LC_ALL=C", "TZ=UTC",
      // A preloaded shim stands before the sanitizer runtime.
      "ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") + ":verify_asan_link_order=0"};
  if (const char* options = std::getenv("UBSAN_OPTIONS")) environment.push_back(std::string("UBSAN_OPTIONS=") + options);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  writeFile(work + "/.script", script);
  pid_t child = fork();
  if (child == 0) {
    if (!enterPrivateMountNamespace()) _exit(125);
    for (const std::string& entry : bound) {
      const std::string target = root.at(entry);
      if (mount(entry.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
          mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        _exit(125);
    }
    int input = open("/dev/null", O_RDONLY), output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        chdir(work.c_str()) != 0)
      _exit(126);
    execle("/bin/sh", "sh", ".script", nullptr, envp.data());
    _exit(127);
  }
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
}

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, Matches) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(INSTALLER_SOURCE_DIR "/tests/transcripts/" + GetParam()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!lines.empty() && lines[0] == "# emulated" && EMULATOR[0] == '\0') GTEST_SKIP() << "runs only under an emulator";
  TestRoot root;
  const std::string work = makeTemporaryDirectory("transcript");
  ASSERT_FALSE(work.empty());
  std::shared_ptr<void> cleanup(nullptr, [&work](void*) { removeTree(work); });

  // Each command's block: the lines from `first` up to `end`, less the
  // blank lines at its end.
  struct Block {
    size_t first, end;
  };
  std::vector<Block> blocks;
  std::string script = PRELUDE;
  for (size_t index = 0; index < lines.size();) {
    const std::string& line = lines[index++];
    if (startsWith(line, "% ")) {
      ASSERT_TRUE(writeDraft(line, work));
    }
    if (!startsWith(line, "$ ")) continue;
    script += line.substr(2) + "\n";
    for (; index < lines.size() && startsWith(lines[index], "> "); ++index) script += lines[index].substr(2) + "\n";
    script += "printf '\\n" + std::string(STATUS_MARK + 1) + "%d\\n' $?\n";
    Block block{index, index};
    while (index < lines.size() && !endsBlock(lines[index])) ++index;
    for (block.end = index; block.end > block.first && lines[block.end - 1].empty(); --block.end) {
    }
    blocks.push_back(block);
  }
  runShell(root, work, script, work + "/.output");
  const std::string output = readFile(work + "/.output");

  // The transcript as it reads and as it would read with what the commands
  // printed.
  std::string expected, actual;
  size_t index = 0, position = 0;
  for (const Block& block : blocks) {
    for (; index < block.first; ++index) expected += lines[index] + "\n", actual += lines[index] + "\n";
    for (; index < block.end; ++index) expected += lines[index] + "\n";
    size_t mark = output.find(STATUS_MARK, position);
    if (mark == std::string::npos) {
      actual += "[no status: the shell had ended]\n";
      position = output.size();
      continue;
    }
    actual += render(output.substr(position, mark - position), std::atoi(output.c_str() + mark + std::strlen(STATUS_MARK)));
    position = output.find('\n', mark + 1) + 1;
  }
  for (; index < lines.size(); ++index) expected += lines[index] + "\n", actual += lines[index] + "\n";
  // TRANSCRIPT_ACTUAL names a folder that receives what the runner saw, for
  // review of a changed output.
  if (const char* folder = std::getenv("TRANSCRIPT_ACTUAL")) writeFile(std::string(folder) + "/" + GetParam(), actual);
  if (expected == actual) return;
  writeFile(work + "/.expected", expected);
  writeFile(work + "/.actual", actual);
  std::system(("cd " + work + " && diff -u --label " + GetParam() + " --label actual .expected .actual > .diff").c_str());
  ADD_FAILURE() << readFile(work + "/.diff");
}

std::vector<std::string> transcriptFiles() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(INSTALLER_SOURCE_DIR "/tests/transcripts"))
    if (entry.path().extension() == ".t") names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Transcript, ::testing::ValuesIn(transcriptFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 2);
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

}  // namespace
