// The layout reader on packages the writer makes and on ones changed after:
// what verify, sign and extract take for broken, in one table.
#include "package_layout.h"

#include <gtest/gtest.h>

#include <functional>

#include "signing.h"

namespace {

PackageDraft draftWithFiles() {
  PackageDraft draft;
  draft.name = "a";
  draft.version = makeVersion(1, 0, 'f', 0);
  draft.files = {{"bin/x", 0100755, 0, "hi"}, {"etc/y", 0100600, 2, ""}};
  return draft;
}

ByteVector package(const std::function<void(PackageDraft&)>& change) {
  PackageDraft draft = draftWithFiles();
  change(draft);
  return buildPackage(draft);
}

ByteVector bundleOf(size_t members) {
  BundleDraft draft;
  draft.name = "b";
  for (size_t index = 0; index < members; ++index) draft.members.push_back(buildPackageParts(draftWithFiles()));
  return buildBundle(draft);
}

TEST(PackageLayout, BrokenFilesNameTheirProblem) {
  ByteVector good = package([](PackageDraft&) {});
  ByteVector twice = good;
  twice.insert(twice.end(), good.begin() + FILE_HEADER_LENGTH, good.end());
  ByteVector cut(good.begin(), good.end() - 1);
  ByteVector overlong = good;
  // The signature part grows by two bytes, the file by one: only the part
  // runs past the end.
  overlong[good.size() - SIGNATURE_DATA_LENGTH - 4] += 2;
  overlong.push_back(0);
  overlong[4] += 1;
  ByteVector wrongMagic = good;
  wrongMagic[0] ^= 1;
  struct Case {
    const char* what;
    ByteVector file;
    const char* problem;  // a part of the message; empty when the file is whole
  } cases[] = {
      {"whole", good, ""},
      {"bundle of two", bundleOf(2), ""},
      {"unsigned", package([](PackageDraft& d) { d.writeSignature = false; }), "package a-1.0 has no signature part"},
      {"short signature", package([](PackageDraft& d) { d.signatureLength = 40; }), "signature part has 40 bytes"},
      {"part after the signature", package([](PackageDraft& d) { d.extraParts.push_back({23, {'x'}, 0xFFFF}); }),
       "part 23 at offset"},
      {"two files parts", package([](PackageDraft& d) { d.extraParts.push_back({PART_FILES, {}, PART_FILES}); }),
       "second files part"},
      {"two packages outside a bundle", wrapInFile(PACKAGE_MAGIC, ByteVector(twice.begin() + 8, twice.end())),
       "a second package"},
      {"bundle without members", bundleOf(0), "the bundle holds no member package"},
      {"cut short", cut, "the file header declares"},
      {"part past the end", overlong, "part 9 at offset"},
      {"wrong magic", wrongMagic, "not a package file"},
      {"no file header", ByteVector(5, 0), "too few for a file header"},
  };
  for (const Case& c : cases) {
    FileLayout layout;
    std::string problem;
    bool whole = readLayout(c.file, layout, problem);
    EXPECT_EQ(whole, *c.problem == '\0') << c.what << ": " << problem;
    if (!whole) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": " << problem;
    }
  }
}

TEST(PackageLayout, SignaturesAndEntriesOfEachMember) {
  ByteVector bundle = bundleOf(2);
  FileLayout layout;
  std::string problem;
  ASSERT_TRUE(readLayout(bundle, layout, problem)) << problem;
  ASSERT_TRUE(layout.bundle);
  ASSERT_EQ(layout.members.size(), 2u);
  for (const MemberLayout& member : layout.members) {
    EXPECT_EQ(member.label(), "a-1.0");
    EXPECT_TRUE(memberSignatureGood(bundle, member, developmentKey().publicKey));
    std::vector<FileDraft> entries;
    ASSERT_TRUE(readFileEntries(bundle, member, entries, problem)) << problem;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(encodeFileEntry(entries[0]), encodeFileEntry(draftWithFiles().files[0]));
    EXPECT_EQ(encodeFileEntry(entries[1]), encodeFileEntry(draftWithFiles().files[1]));
  }
  // A changed byte of the second member's files fails that member alone.
  ByteVector changed = bundle;
  changed[layout.members[1].files.dataOffset() + 2] ^= 0x40;
  uint8_t digest[20];
  EXPECT_TRUE(memberSignatureGood(changed, layout.members[0], developmentKey().publicKey));
  EXPECT_FALSE(storedDigestMatches(changed, layout.members[1], digest));
  EXPECT_FALSE(memberSignatureGood(changed, layout.members[1], developmentKey().publicKey));
  // A files part cut inside its stream.
  PackageDraft draft = draftWithFiles();
  ByteVector compressed;
  ASSERT_TRUE(compressData(encodeFileEntry(draft.files[0]), compressed));
  draft.rawFilesData = ByteVector(compressed.begin(), compressed.end() - 3);
  ByteVector file = buildPackage(draft);
  ASSERT_TRUE(readLayout(file, layout, problem)) << problem;
  std::vector<FileDraft> entries;
  EXPECT_FALSE(readFileEntries(file, layout.members[0], entries, problem));
  EXPECT_EQ(problem, "package a-1.0: the compressed files are cut short");
}

}  // namespace
