// qbxtool: builds, bundles, describes, verifies, takes apart and signs
// package files for package authors. info describes a file with its own
// decoder, checks signatures with the installer's verifier and also runs the
// installer's own scan of upload files on it; verify says only whether each
// file is good. Messages and errors go to standard error, descriptions to
// standard output. Exit status 0 on success, 1 for a failure or a broken
// file, 2 for a usage error.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "console/console.h"
#include "model/machine.h"
#include "model/package_record.h"
#include "package_extract.h"
#include "package_inspector.h"
#include "package_layout.h"
#include "package_writer.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/package_header.h"
#include "pkgfile/sha1.h"
#include "signing.h"
#include "source_tree.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const USAGE =
    "usage:\n"
    "  qbxtool build -o OUT --name NAME --version VERSION [options] [DIR]\n"
    "  qbxtool bundle -o OUT --name NAME --version VERSION [options] MEMBER...\n"
    "  qbxtool info [--key KEYFILE] FILE\n"
    "  qbxtool verify [--key KEYFILE] FILE...\n"
    "  qbxtool extract [--variant N] [--merge] [--no-verify] [--key KEYFILE] FILE DIR\n"
    "  qbxtool sign --key KEYFILE -o OUT FILE\n"
    "  qbxtool keygen -o KEYFILE\n"
    "\n"
    "build makes a signed package of the regular files below DIR (none without\n"
    "DIR); bundle makes a bundle of the member package files; info describes a\n"
    "package file and checks its signatures; verify prints \"FILE: good\" for\n"
    "each file whose every package verifies, else \"FILE: bad signature of\n"
    "NAME-VERSION\" or \"FILE: broken\"; extract writes the files of a package\n"
    "(of each bundle member into DIR/MEMBER/) with their modes into DIR; sign\n"
    "replaces the signature of each package with one made with KEYFILE; keygen\n"
    "makes a new signing key and writes its public half to KEYFILE.pub.\n"
    "VERSION is written like 6.41, 6.41.2, 6.41alpha1, 6.41beta3 or 6.41rc2.\n"
    "\n"
    "options of build and bundle:\n"
    "  --build-time SECONDS  build time; default $SOURCE_DATE_EPOCH, else 0\n"
    "  --boot                set the boot flag\n"
    "  --no-meta             set the no-meta flag\n"
    "  --arch TEXT           architecture (the installer assumes i386 without it)\n"
    "  --note TEXT           note shown in the package listing\n"
    "  --text24 TEXT         text of the optional part 24\n"
    "  --text2 TEXT          text of the optional part 2\n"
    "  --depends NAME[:MIN[:MAX]]               a dependency (repeatable)\n"
    "  --provides NAME[:MIN[:MAX[:PRIORITY]]]   a provided name (repeatable)\n"
    "  --conflicts NAME[:MIN[:MAX]]             a conflict (repeatable)\n"
    "                        an empty or missing MIN or MAX leaves the range open\n"
    "  --image FILE          payload of the image part\n"
    "options of build:\n"
    "  --second-magic        install without a package database entry\n"
    "  --variant PATH=N      install PATH only on processor variant N (1..4)\n"
    "  --key KEYFILE         signing key (default: the development key)\n"
    "options of bundle:\n"
    "  --optional NAME       member installed disabled unless the user enabled it\n"
    "  --no-image            leave out the bundle's image part (for tests only)\n"
    "options of info, verify and extract:\n"
    "  --key KEYFILE         check signatures with this key (a key file or the\n"
    "                        public half alone), not the built-in one\n"
    "options of extract:\n"
    "  --variant N           the files that a machine of processor variant N (0..4)\n"
    "                        gets; default: every file, those of variant N named\n"
    "                        PATH.variant-N\n"
    "  --merge               all members of a bundle into DIR itself\n"
    "  --no-verify           extract without checking the signatures\n";

int usageError(const std::string& message) {
  std::cerr << "qbxtool: " << message << "\nrun \"qbxtool help\" for the usage\n";
  return EXIT_USAGE;
}

// Walks the arguments of a command. Options take their value as the next
// argument or after "=".
class ArgumentCursor {
 public:
  /// The arguments after the command word argv[1].
  ArgumentCursor(int argc, char** argv) : arguments_(argv + (argc > 2 ? 2 : argc), argv + argc) {}

  bool done() const { return index_ >= arguments_.size(); }
  const std::string& current() const { return arguments_[index_]; }
  void skip() { ++index_; }
  bool missingValue() const { return missingValue_; }

  /// True (and moves on) when the current argument is the flag `name`.
  bool flag(const char* name) {
    if (current() != name) return false;
    ++index_;
    return true;
  }

  /// True (and moves on) when the current argument is the option `name`;
  /// `value` receives its value.
  bool option(const char* name, std::string& value) {
    const std::string& argument = current();
    std::string prefix = std::string(name) + "=";
    if (argument.compare(0, prefix.size(), prefix) == 0) {
      value = argument.substr(prefix.size());
      ++index_;
      return true;
    }
    if (argument != name) return false;
    if (index_ + 1 >= arguments_.size()) {
      missingValue_ = true;
      return true;
    }
    value = arguments_[index_ + 1];
    index_ += 2;
    return true;
  }

 private:
  std::vector<std::string> arguments_;
  size_t index_ = 0;
  bool missingValue_ = false;
};

// The options that packages and bundles share.
struct HeaderOptions {
  std::string output;
  std::string name;
  std::string version;
  std::string buildTime;
  bool hasBuildTime = false;
  std::string imagePath;
  bool hasImage = false;
  std::vector<std::string> depends, provides, conflicts;
  HeaderDraft header;
};

enum class OptionResult { NOT_MINE, TAKEN };

OptionResult parseTextOption(ArgumentCursor& args, HeaderDraft& header) {
  std::string value;
  if (args.option("--arch", value)) {
    header.architecture = value;
  } else if (args.option("--note", value)) {
    header.note = value;
  } else if (args.option("--text24", value)) {
    header.extraText24 = value;
  } else if (args.option("--text2", value)) {
    header.extraText2 = value;
  } else {
    return OptionResult::NOT_MINE;
  }
  return OptionResult::TAKEN;
}

OptionResult parseHeaderOption(ArgumentCursor& args, HeaderOptions& options) {
  std::string value;
  if (args.option("-o", options.output) || args.option("--name", options.name) ||
      args.option("--version", options.version))
    return OptionResult::TAKEN;
  if (args.option("--build-time", options.buildTime)) {
    options.hasBuildTime = true;
  } else if (args.option("--image", options.imagePath)) {
    options.hasImage = true;
  } else if (args.option("--depends", value)) {
    options.depends.push_back(value);
  } else if (args.option("--provides", value)) {
    options.provides.push_back(value);
  } else if (args.option("--conflicts", value)) {
    options.conflicts.push_back(value);
  } else if (args.flag("--boot")) {
    options.header.flags |= PACKAGE_FLAG_BOOT;
  } else if (args.flag("--no-meta")) {
    options.header.flags |= PACKAGE_FLAG_NO_META;
  } else {
    return parseTextOption(args, options.header);
  }
  return OptionResult::TAKEN;
}

// The installer refuses a package whose name, or a name in whose relation
// lists, it could not keep in its database.
bool checkPackageName(const std::string& name, const char* what) {
  if (name.size() > NAME_FIELD_LENGTH || !isSafePackageName(name)) {
    error("%s \"%s\" must have 1 to 16 bytes, no \"/\", blank or control character and no \".\" first", what,
          name.c_str());
    return false;
  }
  return true;
}

// A version text; the empty text is 0 when `allowEmpty` (an open bound).
bool parseVersionOption(const std::string& text, bool allowEmpty, PackageVersion& version) {
  if (text.empty() && allowEmpty) {
    version = 0;
    return true;
  }
  if (parseVersion(text, version)) return true;
  error("\"%s\" is not a version (like 6.41, 6.41.2, 6.41beta3, 6.41rc2)", text.c_str());
  return false;
}

bool parseUnsigned32(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (parsed > UINT32_MAX) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool parsePriority(const std::string& text, int32_t& priority) {
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) {
    error("\"%s\" is not a priority (a signed 32-bit number)", text.c_str());
    return false;
  }
  priority = static_cast<int32_t>(parsed);
  return true;
}

// NAME[:MIN[:MAX]] or, with `withPriority`, NAME[:MIN[:MAX[:PRIORITY]]].
bool parseRef(const std::string& text, bool withPriority, PackageRef& ref) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
    fields.push_back(text.substr(start, colon - start));
  fields.push_back(text.substr(start));
  if (fields.size() > (withPriority ? 4u : 3u)) {
    error("\"%s\" has too many fields", text.c_str());
    return false;
  }
  fields.resize(4);
  ref.name = fields[0];
  return checkPackageName(ref.name, "reference name") &&
         parseVersionOption(fields[1], true, ref.minVersion) &&
         parseVersionOption(fields[2], true, ref.maxVersion) &&
         (fields[3].empty() || parsePriority(fields[3], ref.priority));
}

bool parseRefs(const std::vector<std::string>& texts, bool withPriority, std::vector<PackageRef>& refs) {
  for (const std::string& text : texts) {
    PackageRef ref;
    if (!parseRef(text, withPriority, ref)) return false;
    refs.push_back(ref);
  }
  return true;
}

// Without --build-time the build time comes from SOURCE_DATE_EPOCH, so that
// a reproducible build gives the same bytes; without either it is 0.
bool resolveBuildTime(const HeaderOptions& options, uint32_t& buildTime) {
  const char* environment = std::getenv("SOURCE_DATE_EPOCH");
  std::string text = options.hasBuildTime ? options.buildTime : environment ? environment : "0";
  if (parseUnsigned32(text, buildTime)) return true;
  error("build time \"%s\" is not a number of seconds below 2^32", text.c_str());
  return false;
}

// The options that build and bundle cannot do without.
int checkRequiredOptions(const HeaderOptions& options, const std::string& command) {
  if (options.output.empty() || options.name.empty() || options.version.empty())
    return usageError(command + ": -o, --name and --version are required");
  return EXIT_OK;
}

// Checks the shared options and fills the header draft from them.
bool completeHeader(HeaderOptions& options) {
  HeaderDraft& header = options.header;
  header.name = options.name;
  if (!checkPackageName(options.name, "package name") ||
      !parseVersionOption(options.version, false, header.version) ||
      !resolveBuildTime(options, header.buildTime) || !parseRefs(options.depends, false, header.deps) ||
      !parseRefs(options.provides, true, header.provides) ||
      !parseRefs(options.conflicts, false, header.conflicts))
    return false;
  if (!options.hasImage) return true;
  ByteVector image;
  if (!readWholeFile(options.imagePath, image)) return false;
  header.image = std::move(image);
  return true;
}

struct BuildOptions {
  HeaderOptions common;
  std::string tree;
  bool hasTree = false;
  bool unregistered = false;
  std::string keyPath;
  std::vector<std::string> variants;
};

int parseBuildArguments(ArgumentCursor& args, BuildOptions& options) {
  std::string value;
  while (!args.done() && !args.missingValue()) {
    if (parseHeaderOption(args, options.common) == OptionResult::TAKEN) continue;
    if (args.flag("--second-magic")) {
      options.unregistered = true;
    } else if (args.option("--key", options.keyPath)) {
    } else if (args.option("--variant", value)) {
      options.variants.push_back(value);
    } else if (args.current().compare(0, 1, "-") == 0) {
      return usageError("build: unknown option " + args.current());
    } else if (options.hasTree) {
      return usageError("build: more than one directory: " + args.current());
    } else {
      options.tree = args.current();
      options.hasTree = true;
      args.skip();
    }
  }
  if (args.missingValue()) return usageError("build: option " + args.current() + " needs a value");
  return checkRequiredOptions(options.common, "build");
}

// Applies --variant PATH=N to the entry of that name.
bool applyVariants(const std::vector<std::string>& variants, std::vector<FileDraft>& files) {
  for (const std::string& text : variants) {
    size_t equals = text.rfind('=');
    uint32_t variant = 0;
    if (equals == std::string::npos || !parseUnsigned32(text.substr(equals + 1), variant) ||
        variant > MAX_PROCESSOR_VARIANT) {
      error("--variant %s: expected PATH=N with N from 0 to 4", text.c_str());
      return false;
    }
    std::string path = text.substr(0, equals);
    if (!path.empty() && path[0] == '/') path.erase(0, 1);
    bool found = false;
    for (FileDraft& entry : files) {
      if (entry.name != path) continue;
      entry.variant = static_cast<uint8_t>(variant);
      found = true;
    }
    if (!found) {
      error("--variant %s: no file %s in the tree", text.c_str(), path.c_str());
      return false;
    }
  }
  return true;
}

bool chooseSigningKey(const std::string& keyPath, SigningKey& key) {
  if (keyPath.empty()) {
    key = developmentKey();
  } else if (!readKeyFile(keyPath, key)) {
    return false;
  }
  if (std::memcmp(key.publicKey, SIGNATURE_KEY, sizeof key.publicKey) != 0)
    warning("%s: the signing key is not the key that this installer build trusts",
            keyPath.empty() ? "the development key" : keyPath.c_str());
  return true;
}

int runBuild(ArgumentCursor& args) {
  BuildOptions options;
  int status = parseBuildArguments(args, options);
  if (status != EXIT_OK) return status;
  PackageDraft draft;
  SigningKey key;
  if (!completeHeader(options.common)) return EXIT_FAILED;
  static_cast<HeaderDraft&>(draft) = options.common.header;
  draft.unregistered = options.unregistered;
  if (options.hasTree && !readSourceTree(options.tree, draft.files)) return EXIT_FAILED;
  if (!applyVariants(options.variants, draft.files) || !chooseSigningKey(options.keyPath, key))
    return EXIT_FAILED;
  draft.key = &key;
  ByteVector file = buildPackage(draft);
  return !file.empty() && writeWholeFile(options.common.output, file) ? EXIT_OK : EXIT_FAILED;
}

struct BundleOptions {
  HeaderOptions common;
  std::vector<std::string> optionalMembers;
  std::vector<std::string> memberPaths;
  bool omitImage = false;
};

int parseBundleArguments(ArgumentCursor& args, BundleOptions& options) {
  std::string value;
  while (!args.done() && !args.missingValue()) {
    if (parseHeaderOption(args, options.common) == OptionResult::TAKEN) continue;
    if (args.flag("--no-image")) {
      options.omitImage = true;
    } else if (args.option("--optional", value)) {
      options.optionalMembers.push_back(value);
    } else if (args.current().compare(0, 1, "-") == 0) {
      return usageError("bundle: unknown option " + args.current());
    } else {
      options.memberPaths.push_back(args.current());
      args.skip();
    }
  }
  if (args.missingValue()) return usageError("bundle: option " + args.current() + " needs a value");
  if (options.memberPaths.empty()) return usageError("bundle: no member package files");
  return checkRequiredOptions(options.common, "bundle");
}

bool readMembers(const std::vector<std::string>& paths, std::vector<ByteVector>& members) {
  for (const std::string& path : paths) {
    ByteVector file, parts;
    if (!readWholeFile(path, file) || !packageFileParts(file, path, parts)) return false;
    if (parts.size() < PART_HEADER_LENGTH || readLittleU16(parts.data()) != PART_HEADER) {
      error("%s is not a single package", path.c_str());
      return false;
    }
    members.push_back(std::move(parts));
  }
  return true;
}

int runBundle(ArgumentCursor& args) {
  BundleOptions options;
  int status = parseBundleArguments(args, options);
  if (status != EXIT_OK) return status;
  BundleDraft draft;
  if (!completeHeader(options.common)) return EXIT_FAILED;
  static_cast<HeaderDraft&>(draft) = options.common.header;
  draft.omitImage = options.omitImage;
  for (const std::string& name : options.optionalMembers) {
    if (!checkPackageName(name, "optional member")) return EXIT_FAILED;
    draft.optionalMembers.push_back(PackageRef{name, 0, 0, 0});
  }
  if (!readMembers(options.memberPaths, draft.members)) return EXIT_FAILED;
  ByteVector file = buildBundle(draft);
  return !file.empty() && writeWholeFile(options.common.output, file) ? EXIT_OK : EXIT_FAILED;
}

int runInfo(ArgumentCursor& args) {
  std::string keyPath, path;
  while (!args.done() && !args.missingValue()) {
    if (args.option("--key", keyPath)) continue;
    if (args.current().compare(0, 1, "-") == 0)
      return usageError("info: unknown option " + args.current());
    if (!path.empty()) return usageError("info: more than one file: " + args.current());
    path = args.current();
    args.skip();
  }
  if (args.missingValue()) return usageError("info: option " + args.current() + " needs a value");
  if (path.empty()) return usageError("info: no package file given");
  uint8_t key[32];
  std::memcpy(key, SIGNATURE_KEY, sizeof key);
  ByteVector file;
  if ((!keyPath.empty() && !readPublicKeyFile(keyPath, key)) || !readWholeFile(path, file))
    return EXIT_FAILED;
  std::cout << path << ": ";
  bool sound = inspectPackageFile(file, path, key, std::cout);
  std::cout.flush();
  PackageFileRecord record;
  if (!readPackageFile(record, path)) {
    error("%s: the installer refuses it when it scans the upload directories", path.c_str());
    sound = false;
  }
  if (sound) return EXIT_OK;
  error("%s is broken", path.c_str());
  return EXIT_FAILED;
}

int runKeygen(ArgumentCursor& args) {
  std::string output;
  while (!args.done() && !args.missingValue()) {
    if (args.option("-o", output)) continue;
    return usageError("keygen: unexpected argument " + args.current());
  }
  if (args.missingValue()) return usageError("keygen: option " + args.current() + " needs a value");
  if (output.empty()) return usageError("keygen: -o KEYFILE is required");
  SigningKey key;
  if (!generateKey(key) || !writeKeyFile(output, key)) return EXIT_FAILED;
  std::cout << "public " << hexText(key.publicKey) << "\n";
  return EXIT_OK;
}


// The key that checks signatures: the built-in one, or that of `keyPath`.
bool chooseCheckKey(const std::string& keyPath, uint8_t key[32]) {
  std::memcpy(key, SIGNATURE_KEY, 32);
  return keyPath.empty() || readPublicKeyFile(keyPath, key);
}

// "good", "bad signature of NAME-VERSION[, ...]" or "broken" for one file;
// the reason of "broken" goes to standard error.
std::string verdict(const std::string& path, const ByteVector& file, const uint8_t key[32]) {
  FileLayout layout;
  std::string problem;
  if (!readLayout(file, layout, problem)) {
    error("%s: %s", path.c_str(), problem.c_str());
    return "broken";
  }
  std::string bad;
  for (const MemberLayout& member : layout.members)
    if (!memberSignatureGood(file, member, key)) bad += (bad.empty() ? "" : ", ") + member.label();
  if (!bad.empty()) return "bad signature of " + bad;
  PackageFileRecord record;
  if (readPackageFile(record, path)) return "good";
  error("%s: the installer refuses it when it scans the upload directories", path.c_str());
  return "broken";
}

int runVerify(ArgumentCursor& args) {
  std::string keyPath;
  std::vector<std::string> paths;
  while (!args.done() && !args.missingValue()) {
    if (args.option("--key", keyPath)) continue;
    if (args.current().compare(0, 1, "-") == 0)
      return usageError("verify: unknown option " + args.current());
    paths.push_back(args.current());
    args.skip();
  }
  if (args.missingValue()) return usageError("verify: option " + args.current() + " needs a value");
  if (paths.empty()) return usageError("verify: no package file given");
  uint8_t key[32];
  if (!chooseCheckKey(keyPath, key)) return EXIT_FAILED;
  bool allGood = true;
  for (const std::string& path : paths) {
    ByteVector file;
    std::string result = readWholeFile(path, file) ? verdict(path, file, key) : "unreadable";
    std::cout << path << ": " << result << std::endl;
    allGood = allGood && result == "good";
  }
  return allGood ? EXIT_OK : EXIT_FAILED;
}

int runSign(ArgumentCursor& args) {
  std::string keyPath, output, path;
  while (!args.done() && !args.missingValue()) {
    if (args.option("--key", keyPath) || args.option("-o", output)) continue;
    if (args.current().compare(0, 1, "-") == 0) return usageError("sign: unknown option " + args.current());
    if (!path.empty()) return usageError("sign: more than one file: " + args.current());
    path = args.current();
    args.skip();
  }
  if (args.missingValue()) return usageError("sign: option " + args.current() + " needs a value");
  if (keyPath.empty() || output.empty() || path.empty())
    return usageError("sign: --key KEYFILE, -o OUT and a package file are required");
  SigningKey key;
  ByteVector file;
  if (!readKeyFile(keyPath, key) || !readWholeFile(path, file)) return EXIT_FAILED;
  FileLayout layout;
  std::string problem;
  if (!readLayout(file, layout, problem)) {
    error("%s: %s; not signed", path.c_str(), problem.c_str());
    return EXIT_FAILED;
  }
  // Only the signature data changes: the signed bytes stay, so a stored
  // digest that does not match them means bytes changed since they were
  // signed, and such a package is not signed again.
  for (const MemberLayout& member : layout.members) {
    uint8_t digest[SHA1::DIGEST_LENGTH];
    if (!storedDigestMatches(file, member, digest)) {
      error("%s: package %s: the stored digest does not match its bytes; not signed", path.c_str(),
            member.label().c_str());
      return EXIT_FAILED;
    }
    if (!signPackageParts(file, member.start, member.signature.offset, key)) return EXIT_FAILED;
  }
  return writeWholeFile(output, file) ? EXIT_OK : EXIT_FAILED;
}

int runExtract(ArgumentCursor& args) {
  ExtractOptions options;
  std::string keyPath, variant;
  std::vector<std::string> operands;
  while (!args.done() && !args.missingValue()) {
    if (args.option("--key", keyPath)) continue;
    if (args.option("--variant", variant)) {
      uint32_t number = 0;
      if (!parseUnsigned32(variant, number) || number > MAX_PROCESSOR_VARIANT)
        return usageError("extract: --variant takes a number from 0 to 4, not \"" + variant + "\"");
      options.variant = static_cast<int>(number);
    } else if (args.flag("--no-verify")) {
      options.verify = false;
    } else if (args.flag("--merge")) {
      options.merge = true;
    } else if (args.current().compare(0, 1, "-") == 0) {
      return usageError("extract: unknown option " + args.current());
    } else {
      operands.push_back(args.current());
      args.skip();
    }
  }
  if (args.missingValue()) return usageError("extract: option " + args.current() + " needs a value");
  if (operands.size() != 2) return usageError("extract: a package file and a folder are required");
  ByteVector file;
  if (!chooseCheckKey(keyPath, options.key) || !readWholeFile(operands[0], file)) return EXIT_FAILED;
  return extractPackageFile(file, operands[0], operands[1], options) ? EXIT_OK : EXIT_FAILED;
}
}  // namespace

int main(int argc, char** argv) {
  setConsoleOutput(&std::cerr);
  std::string command = argc > 1 ? argv[1] : "";
  ArgumentCursor args(argc, argv);
  if (command == "build") return runBuild(args);
  if (command == "bundle") return runBundle(args);
  if (command == "info") return runInfo(args);
  if (command == "keygen") return runKeygen(args);
  if (command == "verify") return runVerify(args);
  if (command == "sign") return runSign(args);
  if (command == "extract") return runExtract(args);
  if (command == "help" || command == "--help" || command == "-h") {
    std::cout << USAGE;
    return EXIT_OK;
  }
  std::cerr << USAGE;
  return EXIT_USAGE;
}
