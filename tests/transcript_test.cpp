// The end-to-end tests: each file in tests/transcripts/ is the story of one
// device, told as the commands typed at a shell and what they print:
//
//   # A comment.
//   $ mkdir -p tree/bin && echo hi > tree/bin/hello
//   $ qbxtool build -o $ROOT/flash/rw/pckg/hello.qbx --name hello --version 1.0 tree
//   $ lines installer -r $ROOT
//   installing hello-1.0 [..]
//   installed hello-1.0
//   $ cat $ROOT/flash/bin/nothing
//   cat: /.../flash/bin/nothing: No such file or directory
//   [1]
//
// "$ command" (continued by lines "> more") is run by /bin/sh. The lines
// below it, up to the next command, comment or directive, are everything it
// writes to standard output and standard error, and "[N]" its exit status
// when that is not 0; blank lines at the end of such a block only separate
// steps. An output line that is not plain text is written with C escapes and
// " (esc)" at its end, as is one that would read as a command, comment,
// directive or status; output without a final newline ends in " (no-eol)".
//
// All commands of a file run in one shell, in a fresh work folder, with
//   ROOT  a fresh device root ("/ram", "/rw", "/flash/boot", "/flash/var/pdb",
//         "/flash/rw/pckg", "/flash/var/pckg")
//   PATH  the build folder (installer, qbxtool) first
//   SHIM  the fault library to preload (tests/support/fault_shim.cpp)
//   KEYS  the folder of the signing keys
// The shell has a mount table of its own, in which the host's system folders
// and the build folder are bound read-only into ROOT: "chroot $ROOT installer
// --commit" works, and a story may mount file systems over ROOT's folders.
// Two shell functions are defined:
//   lines CMD...  runs CMD and prints what it wrote as a terminal's lines: a
//                 carriage return starts a line, cursor escapes, blank lines
//                 and repeats go, a progress bar reads " [..]"; returns CMD's
//                 status
//   state         lists everything below ROOT/flash but the postlog and the
//                 upload folders: "path/", "path -> target", "path MD5PREFIX"
//
// A directive "% FILE key=value..." writes a package file that qbxtool would
// refuse to make into the work folder, before the first command runs. Keys
// (values take C escapes): name=, version=, entry=MODE:VARIANT:NAME:DATA
// (octal mode, repeatable), part=TYPE:BEFORE:DATA (an extra part put where
// part BEFORE stands), unsigned, cut=N (the files part holds the entries cut
// to N bytes), files=HEX (the files part data as given); "bundle" makes a
// bundle without members instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "package_writer.h"
#include "test_root.h"

namespace {

const char* const TRANSCRIPT_DIRECTORY = INSTALLER_SOURCE_DIR "/tests/transcripts";
const char* const STATUS_MARK = "@@transcript-status@@";
// What a shell in the root needs from the host.
const char* const SYSTEM_ENTRIES[] = {"/usr", "/etc", "/proc", "/lib", "/lib64", "/bin", "/sbin"};

const char* const PRELUDE =
    "lines() { \"$@\" >.lines 2>&1; set -- $?; tr '\\r' '\\n' <.lines | sed -e 's/\\x1b\\[?25[hl]//g'"
    " -e 's/ \\[[# ]*]$/ [..]/' | grep -v '^ *$' | uniq; rm -f .lines; return $1; }\n"
    "state() ( cd \"$ROOT\" && find flash \\( -path flash/postlog -o -path 'flash/*/pckg' \\) -prune -o"
    " -type f -exec md5sum {} + -o -type l -printf '%p -> %l\\n' -o -printf '%p/\\n'"
    " | sed -E 's/^([0-9a-f]{8})[0-9a-f]{24}  (.*)/\\2 \\1/' | sort )\n";

std::string binaryDirectory() { return std::filesystem::path(INSTALLER_BINARY).parent_path(); }

// One step of a transcript: a command with its expected block, or any other
// line kept as it is.
struct Step {
  std::vector<std::string> source;  // the command with its continuation lines, or the line
  std::vector<std::string> expected;
  bool command = false;
};

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isStatusLine(const std::string& line) {
  return line.size() > 2 && line.front() == '[' && line.back() == ']' &&
         line.find_first_not_of("0123456789", 1) == line.size() - 1;
}

bool endsBlock(const std::string& line) { return startsWith(line, "$ ") || startsWith(line, "#") || startsWith(line, "% "); }

std::vector<Step> parse(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<Step> steps;
  for (size_t index = 0; index < lines.size();) {
    Step step;
    step.source.push_back(lines[index++]);
    if (startsWith(step.source[0], "$ ")) {
      step.command = true;
      while (index < lines.size() && startsWith(lines[index], "> ")) step.source.push_back(lines[index++]);
      while (index < lines.size() && !endsBlock(lines[index])) step.expected.push_back(lines[index++]);
      // Trailing blank lines separate steps; they stay as lines of their own.
      size_t blanks = 0;
      while (blanks < step.expected.size() && step.expected[step.expected.size() - 1 - blanks].empty()) ++blanks;
      index -= blanks;
      step.expected.resize(step.expected.size() - blanks);
    }
    steps.push_back(step);
  }
  return steps;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t index = 0; index < text.size(); ++index) {
    if (text[index] != '\\' || index + 1 == text.size()) {
      out += text[index];
      continue;
    }
    char code = text[++index];
    if (code == 'x' && index + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(index + 1, 2), nullptr, 16));
      index += 2;
    } else {
      const std::string from = "trnb", to = "\t\r\n\b";
      size_t known = from.find(code);
      out += known != std::string::npos ? to[known] : code;
    }
  }
  return out;
}

std::string escapeLine(const std::string& line) {
  bool plain = true;
  for (char c : line) plain = plain && c >= ' ' && c < 0x7f;
  if (plain && !endsBlock(line) && !startsWith(line, "> ") && !isStatusLine(line) && !endsWith(line, " (esc)") &&
      !endsWith(line, " (no-eol)"))
    return line;
  std::string out;
  for (size_t index = 0; index < line.size(); ++index) {
    unsigned char c = static_cast<unsigned char>(line[index]);
    const std::string from = "\t\r\b\\", to = "trb\\";
    size_t known = from.find(static_cast<char>(c));
    char hex[8];
    if (known != std::string::npos) {
      out += std::string("\\") + to[known];
    } else if (c < ' ' || c >= 0x7f || (index == 0 && std::string("$#%>[").find(static_cast<char>(c)) != std::string::npos)) {
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + " (esc)";
}

// The block that shows `output` and `status` as a transcript writes them.
std::vector<std::string> render(const std::string& output, int status) {
  std::vector<std::string> block;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    bool complete = end != std::string::npos;
    block.push_back(escapeLine(output.substr(start, complete ? end - start : std::string::npos)) +
                    (complete ? "" : " (no-eol)"));
    start = complete ? end + 1 : output.size();
  }
  // Blank lines at the end would read as separators.
  for (size_t index = block.size(); status == 0 && index > 0 && block[index - 1].empty(); --index)
    block[index - 1] = " (esc)";
  if (status != 0) block.push_back("[" + std::to_string(status) + "]");
  return block;
}

// ---- directives -----------------------------------------------------------

ByteVector hexBytes(const std::string& hex) {
  ByteVector bytes;
  for (size_t index = 0; index + 1 < hex.size(); index += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(index, 2), nullptr, 16)));
  return bytes;
}

std::vector<std::string> fields(const std::string& text, size_t count) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t index = 1; index < count; ++index) {
    size_t colon = text.find(':', start);
    out.push_back(text.substr(start, colon - start));
    start = colon == std::string::npos ? text.size() : colon + 1;
  }
  out.push_back(text.substr(start));
  return out;
}

// Writes the package file that the directive "% FILE key=value..." describes.
::testing::AssertionResult writeDraft(const std::string& directive, const std::string& folder) {
  std::istringstream words(directive.substr(2));
  std::string file, word;
  words >> file;
  PackageDraft draft;
  bool bundle = false;
  size_t cut = 0;
  while (words >> word) {
    size_t equals = word.find('=');
    std::string key = word.substr(0, equals), value = equals == std::string::npos ? "" : unescape(word.substr(equals + 1));
    if (key == "name") {
      draft.name = value;
    } else if (key == "version") {
      if (!parseVersion(value, draft.version)) return ::testing::AssertionFailure() << "bad version: " << directive;
    } else if (key == "entry") {
      std::vector<std::string> parts = fields(value, 4);
      draft.files.push_back({parts[2], static_cast<uint16_t>(std::stoul(parts[0], nullptr, 8)),
                             static_cast<uint8_t>(std::stoul(parts[1])), parts[3]});
    } else if (key == "part") {
      std::vector<std::string> parts = fields(value, 3);
      draft.extraParts.push_back({static_cast<uint16_t>(std::stoul(parts[0])),
                                  ByteVector(parts[2].begin(), parts[2].end()),
                                  static_cast<uint16_t>(std::stoul(parts[1]))});
    } else if (key == "unsigned") {
      draft.writeSignature = false;
    } else if (key == "cut") {
      cut = std::stoul(value);
    } else if (key == "files") {
      draft.rawFilesData = hexBytes(value);
    } else if (key == "bundle") {
      bundle = true;
    } else {
      return ::testing::AssertionFailure() << "unknown key " << key << ": " << directive;
    }
  }
  if (cut != 0) {
    ByteVector entries;
    for (const FileDraft& entry : draft.files) {
      ByteVector encoded = encodeFileEntry(entry);
      entries.insert(entries.end(), encoded.begin(), encoded.end());
    }
    entries.resize(std::min(cut, entries.size()));
    draft.rawFilesData.emplace();
    if (!compressData(entries, *draft.rawFilesData)) return ::testing::AssertionFailure() << directive;
  }
  BundleDraft empty;
  static_cast<HeaderDraft&>(empty) = draft;
  ByteVector bytes = bundle ? buildBundle(empty) : buildPackage(draft);
  if (bytes.empty() || !writeFile(folder + "/" + file, std::string(bytes.begin(), bytes.end())))
    return ::testing::AssertionFailure() << "could not write " << directive;
  return ::testing::AssertionSuccess();
}

// ---- running --------------------------------------------------------------

// Creates in `root` the mount points (or links) of the host's system folders
// and of the build folder.
std::vector<std::string> prepareMountPoints(const TestRoot& root) {
  std::vector<std::string> bound;
  for (std::string entry : SYSTEM_ENTRIES) {
    struct stat status {};
    if (lstat(entry.c_str(), &status) != 0) continue;
    if (S_ISLNK(status.st_mode)) {
      std::filesystem::create_symlink(std::filesystem::read_symlink(entry), root.at(entry));
    } else {
      std::filesystem::create_directory(root.at(entry));
      bound.push_back(entry);
    }
  }
  std::filesystem::create_directories(root.at(binaryDirectory()));
  bound.push_back(binaryDirectory());
  return bound;
}

bool bindReadOnly(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
         mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Runs `script` with /bin/sh in a child with its own mount table; what it
// wrote goes to `outputPath`. Returns the shell's exit status.
int runShell(const TestRoot& root, const std::string& work, const std::string& script, const std::string& outputPath) {
  std::vector<std::string> bound = prepareMountPoints(root);
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> environment = {
      "PATH=" + binaryDirectory() + ":/usr/sbin:/usr/bin:/sbin:/bin", "ROOT=" + root.path(),
      "SHIM=" FAULT_SHIM_LIBRARY, "KEYS=" KEYS_DIR, "HOME=" + work, "LC_ALL=C", "TZ=UTC",
      // The shim stands before the sanitizer runtime when it is preloaded.
      "ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") + ":verify_asan_link_order=0"};
  if (const char* options = std::getenv("UBSAN_OPTIONS")) environment.push_back(std::string("UBSAN_OPTIONS=") + options);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string scriptPath = work + "/.script";
  writeFile(scriptPath, script);
  pid_t child = fork();
  if (child == 0) {
    if (!enterPrivateMountNamespace()) _exit(125);
    for (const std::string& entry : bound)
      if (!bindReadOnly(entry, root.at(entry))) _exit(125);
    int input = open("/dev/null", O_RDONLY), output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        chdir(work.c_str()) != 0)
      _exit(126);
    execle("/bin/sh", "sh", scriptPath.c_str(), nullptr, envp.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string unifiedDiff(const std::string& name, const std::string& expected, const std::string& actual,
                        const std::string& work) {
  writeFile(work + "/.expected", expected);
  writeFile(work + "/.actual", actual);
  std::string command = "cd '" + work + "' && diff -u --label '" + name + "' --label actual .expected .actual";
  std::string diff;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) diff.append(buffer, got);
    pclose(pipe);
  }
  return diff;
}

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, Matches) {
  const std::string path = std::string(TRANSCRIPT_DIRECTORY) + "/" + GetParam();
  const std::string text = readFile(path);
  std::vector<Step> steps = parse(text);
  TestRoot root;
  const std::string work = makeTemporaryDirectory("transcript");
  ASSERT_FALSE(work.empty());
  std::shared_ptr<void> cleanup(nullptr, [&work](void*) { removeTree(work); });

  std::string script = PRELUDE;
  for (const Step& step : steps) {
    if (startsWith(step.source[0], "% ")) {
      ASSERT_TRUE(writeDraft(step.source[0], work));
    }
    if (!step.command) continue;
    script += step.source[0].substr(2) + "\n";
    for (size_t index = 1; index < step.source.size(); ++index) script += step.source[index].substr(2) + "\n";
    script += std::string("printf '\\n") + STATUS_MARK + " %d\\n' $?\n";
  }
  const std::string outputPath = work + "/.output";
  int shellStatus = runShell(root, work, script, outputPath);
  std::string output = readFile(outputPath);

  std::string actual;
  size_t position = 0;
  for (const Step& step : steps) {
    for (const std::string& line : step.source) actual += line + "\n";
    if (!step.command) continue;
    size_t mark = output.find(std::string("\n") + STATUS_MARK + " ", position);
    if (mark == std::string::npos) {
      actual += "[shell ended with status " + std::to_string(shellStatus) + "]\n";
      break;
    }
    size_t statusStart = mark + 2 + std::strlen(STATUS_MARK), lineEnd = output.find('\n', statusStart);
    for (const std::string& line : render(output.substr(position, mark - position), std::atoi(output.c_str() + statusStart)))
      actual += line + "\n";
    position = lineEnd + 1;
  }
  // The expected text as the runner reads it: the source without a missing
  // final newline.
  std::string expected;
  for (const Step& step : steps) {
    for (const std::string& line : step.source) expected += line + "\n";
    for (const std::string& line : step.expected) expected += line + "\n";
  }
  // TRANSCRIPT_ACTUAL names a folder that receives what the runner saw, for
  // review of a changed output.
  if (const char* folder = std::getenv("TRANSCRIPT_ACTUAL")) writeFile(std::string(folder) + "/" + GetParam(), actual);
  if (expected != actual) ADD_FAILURE() << unifiedDiff(GetParam(), expected, actual, work);
}

std::vector<std::string> transcriptFiles() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(TRANSCRIPT_DIRECTORY))
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
