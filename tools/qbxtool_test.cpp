// Runs the qbxtool command on temporary directories, and checks the
// package description of its info command in-process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "package_inspector.h"
#include "package_writer.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/sha1.h"
#include "signing.h"
#include "source_tree.h"

namespace {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Qbxtool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qbxtool_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    makeTree();
  }

  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  void writeFile(const std::string& relative, const std::string& content, mode_t mode = 0644) {
    std::string path = dir_ + "/" + relative;
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }

  void makeTree() {
    for (const char* directory : {"/tree", "/tree/bin", "/tree/etc", "/tree/empty"})
      ASSERT_EQ(mkdir((dir_ + directory).c_str(), 0755), 0);
    writeFile("tree/bin/tool", "#!/bin/sh\necho tool\n", 0755);
    writeFile("tree/etc/b.conf", "b=2\n");
    writeFile("tree/etc/a.conf", "a=1\n", 0600);
  }

  // Runs qbxtool with `arguments`; SOURCE_DATE_EPOCH is set to `epoch`, or
  // removed when it is null.
  RunResult run(const std::vector<std::string>& arguments, const char* epoch = nullptr) {
    std::string outPath = dir_ + "/stdout", errPath = dir_ + "/stderr";
    pid_t child = fork();
    if (child == 0) {
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      if (epoch)
        setenv("SOURCE_DATE_EPOCH", epoch, 1);
      else
        unsetenv("SOURCE_DATE_EPOCH");
      std::vector<char*> argv{const_cast<char*>(QBXTOOL_BINARY)};
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(QBXTOOL_BINARY, argv.data());
      _exit(127);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
      result.status = WEXITSTATUS(status);
    result.out = readText(outPath);
    result.err = readText(errPath);
    return result;
  }

  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  // Builds a package of the tree with a few fixed options.
  RunResult build(const std::string& output, const std::string& name,
                  std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {"build", "-o",        path(output), "--name",
                                          name,    "--version", "6.41beta3"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(path("tree"));
    return run(arguments);
  }

  ByteVector bytes(const std::string& relative) {
    ByteVector content;
    EXPECT_TRUE(readWholeFile(path(relative), content));
    return content;
  }

  std::string dir_;
};

// Position of `needle` in `text`; fails the test when it is missing.
size_t positionOf(const std::string& text, const std::string& needle) {
  size_t position = text.find(needle);
  EXPECT_NE(position, std::string::npos) << "missing: " << needle << "\nin:\n" << text;
  return position;
}

TEST_F(Qbxtool, BuildThenInfoShowsEverythingAndVerifies) {
  RunResult built = build("p.qbx", "tessel",
                          {"--arch", "powerpc", "--note", "web tools", "--text24", "x\x01", "--depends",
                           "system:6.40", "--provides", "web::7.0:-2", "--conflicts", "old:1.0:2.0",
                           "--boot", "--variant", "/bin/tool=2", "--build-time=1700000000"});
  ASSERT_EQ(built.status, 0) << built.err;
  RunResult info = run({"info", path("p.qbx")});
  EXPECT_EQ(info.status, 0) << info.err;
  const std::string& out = info.out;
  positionOf(out,
             "name \"tessel\", version 6.41beta3, build time 1700000000 (2023-11-14 22:13:20 UTC), "
             "flags 0x00000001 (boot)");
  positionOf(out, "\"x\\x01\"");
  positionOf(out, "\"powerpc\"");
  positionOf(out, "\"web tools\"");
  positionOf(out, "\"system\" min 6.40 max - priority 0");
  positionOf(out, "\"web\" min - max 7.0 priority -2");
  positionOf(out, "\"old\" min 1.0 max 2.0 priority 0");
  size_t tool = positionOf(out, "100755 variant 2 20 bytes \"bin/tool\"");
  size_t a = positionOf(out, "100600 variant 0 4 bytes \"etc/a.conf\"");
  size_t b = positionOf(out, "100644 variant 0 4 bytes \"etc/b.conf\"");
  EXPECT_LT(tool, a);
  EXPECT_LT(a, b);
  EXPECT_EQ(out.find("empty"), std::string::npos);
  positionOf(out, "good signature of tessel-6.41beta3");
}

TEST_F(Qbxtool, SameInputsGiveSameBytesAndBuildTimeComesFromTheEnvironment) {
  ASSERT_EQ(build("one.qbx", "same").status, 0);
  ASSERT_EQ(build("two.qbx", "same").status, 0);
  EXPECT_EQ(bytes("one.qbx"), bytes("two.qbx"));
  constexpr size_t BUILD_TIME_OFFSET = FILE_HEADER_LENGTH + PART_HEADER_LENGTH + 20;
  EXPECT_EQ(readLittleU32(bytes("one.qbx").data() + BUILD_TIME_OFFSET), 0u);

  std::vector<std::string> arguments = {"build",     "-o", path("epoch.qbx"), "--name", "same",
                                        "--version", "1.0"};
  ASSERT_EQ(run(arguments, "1234567").status, 0);
  EXPECT_EQ(readLittleU32(bytes("epoch.qbx").data() + BUILD_TIME_OFFSET), 1234567u);
  RunResult bad = run(arguments, "soon");
  EXPECT_EQ(bad.status, 1);
  positionOf(bad.err, "build time \"soon\"");
}

TEST_F(Qbxtool, InfoFailsOnCorruptedOrCutFiles) {
  ASSERT_EQ(build("p.qbx", "tessel", {"--depends", "system"}).status, 0);
  ByteVector good = bytes("p.qbx");
  for (size_t offset : {size_t{20}, size_t{60}, good.size() / 2, good.size() - 70, good.size() - 1}) {
    ByteVector changed = good;
    changed[offset] ^= 0x10;
    ASSERT_TRUE(writeWholeFile(path("bad.qbx"), changed));
    RunResult info = run({"info", path("bad.qbx")});
    EXPECT_EQ(info.status, 1) << "offset " << offset;
    positionOf(info.err, "bad.qbx is broken");
  }
  ByteVector cut(good.begin(), good.end() - 10);
  ASSERT_TRUE(writeWholeFile(path("cut.qbx"), cut));
  EXPECT_EQ(run({"info", path("cut.qbx")}).status, 1);
  EXPECT_EQ(run({"info", path("missing.qbx")}).status, 1);
}

TEST_F(Qbxtool, KeygenKeySignsPackagesThatVerifyWithThatKeyOnly) {
  RunResult keygen = run({"keygen", "-o", path("author.key")});
  ASSERT_EQ(keygen.status, 0) << keygen.err;
  SigningKey key;
  ASSERT_TRUE(readKeyFile(path("author.key"), key));
  EXPECT_EQ(keygen.out, "public " + hexText(key.publicKey) + "\n");
  EXPECT_EQ(run({"keygen", "-o", path("author.key")}).status, 1);

  RunResult built = build("own.qbx", "own", {"--key", path("author.key")});
  ASSERT_EQ(built.status, 0);
  positionOf(built.err, "WARNING: the signing key is not the key that this installer build trusts");
  EXPECT_EQ(run({"info", path("own.qbx")}).status, 1);
  EXPECT_EQ(run({"info", "--key", path("author.key"), path("own.qbx")}).status, 0);

  // The signature part is the last 68 bytes; everything after the file
  // header up to them is signed.
  ByteVector file = bytes("own.qbx");
  size_t signatureData = file.size() - SIGNATURE_DATA_LENGTH;
  uint8_t digest[SHA1::DIGEST_LENGTH];
  SHA1 sha1;
  sha1.update(file.data() + FILE_HEADER_LENGTH, signatureData - FILE_HEADER_LENGTH);
  sha1.digest(digest);
  EXPECT_TRUE(verifySignatureData(digest, file.data() + signatureData, key.publicKey));
  EXPECT_FALSE(verifySignatureData(digest, file.data() + signatureData, developmentKey().publicKey));
}

TEST_F(Qbxtool, BundleOfTwoPackagesWithOptionalMember) {
  ASSERT_EQ(build("a.qbx", "media-kit").status, 0);
  ASSERT_EQ(build("b.qbx", "tessel", {"--second-magic"}).status, 0);
  RunResult bundled =
      run({"bundle", "-o", path("s.qbd"), "--name", "quorilan", "--version", "6.41", "--arch", "powerpc",
           "--optional", "media-kit", path("a.qbx"), path("b.qbx")});
  ASSERT_EQ(bundled.status, 0) << bundled.err;
  RunResult info = run({"info", path("s.qbd")});
  EXPECT_EQ(info.status, 0) << info.err;
  size_t header = positionOf(info.out, "part 18 (bundle header)");
  size_t image = positionOf(info.out, "part 21 (image), 0 bytes");
  size_t members = positionOf(info.out, "part 20 (bundle members)");
  size_t first = positionOf(info.out, "good signature of media-kit-6.41beta3");
  size_t second = positionOf(info.out, "good signature of tessel-6.41beta3");
  EXPECT_LT(header, image);
  EXPECT_LT(image, members);
  EXPECT_LT(members, first);
  EXPECT_LT(first, second);
  positionOf(info.out, "\"media-kit\" min - max - priority 0");

  ASSERT_EQ(run({"bundle", "-o", path("n.qbd"), "--name", "quorilan", "--version", "6.41", "--no-image",
                 path("a.qbx")})
                .status,
            0);
  RunResult bare = run({"info", path("n.qbd")});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out.find("part 21"), std::string::npos);

  writeFile("junk.qbx", "not a package");
  EXPECT_EQ(
      run({"bundle", "-o", path("j.qbd"), "--name", "q", "--version", "1.0", path("junk.qbx")}).status,
      1);
}

TEST_F(Qbxtool, UsageErrorsAndRefusedInputs) {
  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"frobnicate"}).status, 2);
  EXPECT_EQ(run({"help"}).status, 0);
  EXPECT_EQ(build("x.qbx", "x", {"--colour", "red"}).status, 2);
  EXPECT_EQ(run({"build", "-o", path("x.qbx"), "--name", "x", "--version"}).status, 2);
  EXPECT_EQ(run({"build", "--name", "x", "--version", "1.0"}).status, 2);
  EXPECT_EQ(run({"info"}).status, 2);

  RunResult badVersion = run({"build", "-o", path("x.qbx"), "--name", "x", "--version", "6.41gamma"});
  EXPECT_EQ(badVersion.status, 1);
  positionOf(badVersion.err, "\"6.41gamma\" is not a version");
  EXPECT_EQ(build("x.qbx", "seventeen-letters").status, 1);
  EXPECT_EQ(build("x.qbx", "x", {"--depends", "a:1.0:2.0:5"}).status, 1);
  EXPECT_EQ(build("x.qbx", "x", {"--provides", "a:1.0:2.0:nine"}).status, 1);
  EXPECT_EQ(build("x.qbx", "x", {"--variant", "bin/nothing=1"}).status, 1);
  EXPECT_EQ(build("x.qbx", "x", {"--variant", "bin/tool=5"}).status, 1);
  ASSERT_EQ(symlink("tool", path("tree/bin/link").c_str()), 0);
  RunResult link = build("x.qbx", "x");
  EXPECT_EQ(link.status, 1);
  positionOf(link.err, "neither a regular file nor a directory");
  EXPECT_NE(access(path("x.qbx").c_str(), F_OK), 0);
}

// Problems that make a file broken, and a part order that only warns.
TEST(PackageInspector, ReportsStructuralProblems) {
  std::ostringstream messages, out;
  setConsoleOutput(&messages);
  const uint8_t* key = developmentKey().publicKey;
  PackageSpec spec;
  spec.name = "a";
  spec.version = makeVersion(1, 0, 'f', 0);
  spec.files = {{"bin/a", 0100644, 0, "data"}};
  EXPECT_TRUE(inspectPackageFile(buildPackage(spec), key, out));
  EXPECT_EQ(messages.str(), "");

  PackageSpec late = spec;
  late.extraParts = {{PART_ARCHITECTURE, {'x'}, PART_SIGNATURE}};
  EXPECT_TRUE(inspectPackageFile(buildPackage(late), key, out));
  positionOf(messages.str(), "WARNING: part 16 at offset");

  PackageSpec unsigned_ = spec;
  unsigned_.writeSignature = false;
  EXPECT_FALSE(inspectPackageFile(buildPackage(unsigned_), key, out));
  positionOf(messages.str(), "package a-1.0 has no signature part");

  ByteVector entry = encodeFileEntry(spec.files[0]);
  entry.resize(FILE_ENTRY_HEADER_LENGTH + 2);
  PackageSpec cut = spec;
  cut.rawFilesData.emplace();
  ASSERT_TRUE(compressData(entry, *cut.rawFilesData));
  EXPECT_FALSE(inspectPackageFile(buildPackage(cut), key, out));
  positionOf(messages.str(), "name or data cut short");

  cut.rawFilesData = ByteVector{0x78, 0xDA, 0x01};
  EXPECT_FALSE(inspectPackageFile(buildPackage(cut), key, out));
  positionOf(messages.str(), "the compressed data is cut short");

  BundleSpec empty;
  empty.name = "q";
  empty.version = makeVersion(1, 0, 'f', 0);
  EXPECT_FALSE(inspectPackageFile(buildBundle(empty), key, out));
  positionOf(messages.str(), "the bundle holds no member package");
  setConsoleOutput(nullptr);
}

}  // namespace
