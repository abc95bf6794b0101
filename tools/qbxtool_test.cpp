// Runs the qbxtool command on temporary directories, and checks the
// package description of its info command in-process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "package_inspector.h"
#include "package_writer.h"
#include "pkgfile/little_endian.h"
#include "signing.h"
#include "source_tree.h"
#include "test_root.h"

namespace {

/// A temporary directory holding the source tree "tree" of a package.
class Qbxtool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writeFile(path("tree/bin/tool"), "#!/bin/sh\necho tool\n", 0755));
    ASSERT_TRUE(writeFile(path("tree/etc/b.conf"), "b=2\n"));
    ASSERT_TRUE(writeFile(path("tree/etc/a.conf"), "a=1\n", 0600));
    ASSERT_EQ(mkdir(path("tree/empty").c_str(), 0755), 0);
  }
  void TearDown() override { removeTree(dir_); }

  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  // Runs qbxtool with `arguments` and SOURCE_DATE_EPOCH set to `epoch`, or
  // removed when it is null.
  static ProcessResult run(const std::vector<std::string>& arguments, const char* epoch = nullptr) {
    return runInChild([&] {
      epoch ? setenv("SOURCE_DATE_EPOCH", epoch, 1) : unsetenv("SOURCE_DATE_EPOCH");
      std::vector<char*> argv{const_cast<char*>(QBXTOOL_BINARY)};
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(QBXTOOL_BINARY, argv.data());
      return 127;
    });
  }

  // The arguments that build a package of the tree with a few fixed options.
  std::vector<std::string> buildArguments(const std::string& output, const std::string& name,
                                          std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments = {"build", "-o", path(output), "--name", name, "--version", "6.41beta3"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(path("tree"));
    return arguments;
  }
  ProcessResult build(const std::string& output, const std::string& name, std::vector<std::string> extra = {}) {
    return run(buildArguments(output, name, std::move(extra)));
  }

  ByteVector bytes(const std::string& relative) {
    ByteVector content;
    EXPECT_TRUE(readWholeFile(path(relative), content));
    return content;
  }

  std::string dir_ = makeTemporaryDirectory("qbxtool_test");
};

// Position of `needle` in `text`; fails the test when it is missing.
size_t positionOf(const std::string& text, const std::string& needle) {
  size_t position = text.find(needle);
  EXPECT_NE(position, std::string::npos) << "missing: " << needle << "\nin:\n" << text;
  return position;
}

TEST_F(Qbxtool, BuildThenInfoShowsEverythingAndVerifies) {
  ProcessResult built = build("p.qbx", "tessel",
                              {"--arch", "powerpc", "--note", "web tools", "--text24", "x\x01", "--depends",
                               "system:6.40", "--provides", "web::7.0:-2", "--conflicts", "old:1.0:2.0",
                               "--boot", "--variant", "/bin/tool=2", "--build-time=1700000000"});
  ASSERT_EQ(built.status, 0) << built.err;
  ProcessResult info = run({"info", path("p.qbx")});
  EXPECT_EQ(info.status, 0) << info.err;
  const std::string& out = info.out;
  positionOf(out,
             "name \"tessel\", version 6.41beta3, build time 1700000000 (2023-11-14 22:13:20 UTC), "
             "flags 0x00000001 (boot)");
  for (const char* line : {"\"x\\x01\"", "\"powerpc\"", "\"web tools\"", "\"system\" min 6.40 max - priority 0",
                           "\"web\" min - max 7.0 priority -2", "\"old\" min 1.0 max 2.0 priority 0",
                           "good signature of tessel-6.41beta3"}) {
    positionOf(out, line);
  }
  size_t tool = positionOf(out, "100755 variant 2 20 bytes \"bin/tool\"");
  size_t a = positionOf(out, "100600 variant 0 4 bytes \"etc/a.conf\"");
  size_t b = positionOf(out, "100644 variant 0 4 bytes \"etc/b.conf\"");
  EXPECT_LT(tool, a);
  EXPECT_LT(a, b);
  EXPECT_EQ(out.find("empty"), std::string::npos);
}

TEST_F(Qbxtool, SameInputsGiveSameBytesAndBuildTimeComesFromTheEnvironment) {
  ASSERT_EQ(build("one.qbx", "same").status, 0);
  ASSERT_EQ(build("two.qbx", "same").status, 0);
  EXPECT_EQ(bytes("one.qbx"), bytes("two.qbx"));
  constexpr size_t BUILD_TIME_OFFSET = FILE_HEADER_LENGTH + PART_HEADER_LENGTH + 20;
  EXPECT_EQ(readLittleU32(bytes("one.qbx").data() + BUILD_TIME_OFFSET), 0u);

  std::vector<std::string> arguments = {"build", "-o", path("epoch.qbx"), "--name", "same", "--version", "1.0"};
  ASSERT_EQ(run(arguments, "1234567").status, 0);
  EXPECT_EQ(readLittleU32(bytes("epoch.qbx").data() + BUILD_TIME_OFFSET), 1234567u);
  ProcessResult bad = run(arguments, "soon");
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
    ProcessResult info = run({"info", path("bad.qbx")});
    EXPECT_EQ(info.status, 1) << "offset " << offset;
    positionOf(info.err, "bad.qbx is broken");
  }
  ASSERT_TRUE(writeWholeFile(path("cut.qbx"), ByteVector(good.begin(), good.end() - 10)));
  EXPECT_EQ(run({"info", path("cut.qbx")}).status, 1);
  EXPECT_EQ(run({"info", path("missing.qbx")}).status, 1);
}

TEST_F(Qbxtool, KeygenKeySignsPackagesThatVerifyWithThatKeyOnly) {
  ProcessResult keygen = run({"keygen", "-o", path("author.key")});
  ASSERT_EQ(keygen.status, 0) << keygen.err;
  SigningKey key;
  ASSERT_TRUE(readKeyFile(path("author.key"), key));
  EXPECT_EQ(keygen.out, "public " + hexText(key.publicKey) + "\n");
  EXPECT_EQ(run({"keygen", "-o", path("author.key")}).status, 1);

  ProcessResult built = build("own.qbx", "own", {"--key", path("author.key")});
  ASSERT_EQ(built.status, 0);
  positionOf(built.err, "WARNING: the signing key is not the key that this installer build trusts");
  EXPECT_EQ(run({"info", path("own.qbx")}).status, 1);
  EXPECT_EQ(run({"info", "--key", path("author.key"), path("own.qbx")}).status, 0);
}

TEST_F(Qbxtool, BundleOfTwoPackagesWithOptionalMember) {
  ASSERT_EQ(build("a.qbx", "media-kit").status, 0);
  ASSERT_EQ(build("b.qbx", "tessel", {"--second-magic"}).status, 0);
  ProcessResult bundled = run({"bundle", "-o", path("s.qbd"), "--name", "quorilan", "--version", "6.41", "--arch",
                               "powerpc", "--optional", "media-kit", path("a.qbx"), path("b.qbx")});
  ASSERT_EQ(bundled.status, 0) << bundled.err;
  ProcessResult info = run({"info", path("s.qbd")});
  EXPECT_EQ(info.status, 0) << info.err;
  size_t previous = 0;
  for (const char* line : {"part 18 (bundle header)", "part 21 (image), 0 bytes", "part 20 (bundle members)",
                           "good signature of media-kit-6.41beta3", "good signature of tessel-6.41beta3"}) {
    size_t position = positionOf(info.out, line);
    EXPECT_LT(previous, position) << line;
    previous = position;
  }
  positionOf(info.out, "\"media-kit\" min - max - priority 0");

  ASSERT_EQ(run({"bundle", "-o", path("n.qbd"), "--name", "q", "--version", "6.41", "--no-image", path("a.qbx")})
                .status,
            0);
  ProcessResult bare = run({"info", path("n.qbd")});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out.find("part 21"), std::string::npos);

  ASSERT_TRUE(writeFile(path("junk.qbx"), "not a package"));
  EXPECT_EQ(run({"bundle", "-o", path("j.qbd"), "--name", "q", "--version", "1.0", path("junk.qbx")}).status, 1);
}

TEST_F(Qbxtool, UsageErrorsAndRefusedInputs) {
  const std::pair<std::vector<std::string>, int> rows[] = {
      {{}, 2}, {{"frobnicate"}, 2}, {{"help"}, 0}, {{"info"}, 2},
      {{"build", "-o", path("x.qbx"), "--name", "x", "--version"}, 2},
      {{"build", "--name", "x", "--version", "1.0"}, 2},
      {buildArguments("x.qbx", "x", {"--colour", "red"}), 2},
      {buildArguments("x.qbx", "seventeen-letters"), 1},
      {buildArguments("x.qbx", "x", {"--depends", "a:1.0:2.0:5"}), 1},
      {buildArguments("x.qbx", "x", {"--provides", "a:1.0:2.0:nine"}), 1},
      {buildArguments("x.qbx", "x", {"--variant", "bin/nothing=1"}), 1},
      {buildArguments("x.qbx", "x", {"--variant", "bin/tool=5"}), 1},
  };
  for (const auto& [arguments, status] : rows) EXPECT_EQ(run(arguments).status, status) << testing::PrintToString(arguments);
  ProcessResult badVersion = run({"build", "-o", path("x.qbx"), "--name", "x", "--version", "6.41gamma"});
  EXPECT_EQ(badVersion.status, 1);
  positionOf(badVersion.err, "\"6.41gamma\" is not a version");
  ASSERT_EQ(symlink("tool", path("tree/bin/link").c_str()), 0);
  ProcessResult link = build("x.qbx", "x");
  EXPECT_EQ(link.status, 1);
  positionOf(link.err, "neither a regular file nor a directory");
  EXPECT_FALSE(pathExists(path("x.qbx")));
}

// Problems that make a file broken, and a part order that only warns.
TEST(PackageInspector, ReportsStructuralProblems) {
  PackageDraft draft;
  draft.name = "a";
  draft.version = makeVersion(1, 0, 'f', 0);
  draft.files = {{"bin/a", 0100644, 0, "data"}};
  PackageDraft late = draft, unsigned_ = draft, cutEntry = draft, cutStream = draft;
  late.extraParts = {{PART_ARCHITECTURE, {'x'}, PART_SIGNATURE}};
  unsigned_.writeSignature = false;
  ByteVector entry = encodeFileEntry(draft.files[0]);
  entry.resize(FILE_ENTRY_HEADER_LENGTH + 2);
  cutEntry.rawFilesData.emplace();
  ASSERT_TRUE(compressData(entry, *cutEntry.rawFilesData));
  cutStream.rawFilesData = ByteVector{0x78, 0xDA, 0x01};
  BundleDraft empty;
  empty.name = "q";
  empty.version = makeVersion(1, 0, 'f', 0);

  const struct {
    ByteVector file;
    bool good;
    const char* message;
  } rows[] = {
      {buildPackage(draft), true, ""},
      {buildPackage(late), true, "WARNING: part 16 at offset"},
      {buildPackage(unsigned_), false, "package a-1.0 has no signature part"},
      {buildPackage(cutEntry), false, "name or data cut short"},
      {buildPackage(cutStream), false, "the compressed data is cut short"},
      {buildBundle(empty), false, "the bundle holds no member package"},
  };
  for (const auto& row : rows) {
    std::ostringstream messages, out;
    setConsoleOutput(&messages);
    EXPECT_EQ(inspectPackageFile(row.file, developmentKey().publicKey, out), row.good) << row.message;
    setConsoleOutput(nullptr);
    EXPECT_EQ(messages.str().empty(), *row.message == '\0') << messages.str();
    positionOf(messages.str(), row.message);
  }
}

}  // namespace
