// The writer's bytes against bytes computed by hand; what the installer and
// qbxtool make of written packages is told by the transcripts in tests/.
#include "package_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

ByteVector bytes(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

ByteVector zeros(size_t count) { return ByteVector(count, 0); }

TEST(PackageWriterLayout, SmallPackageAndFileEntryMatchHandComputedBytes) {
  PackageDraft draft;
  draft.name = "ab";
  draft.version = makeVersion(6, 41, 'b', 3);
  draft.buildTime = 0x5F000001;
  draft.flags = PACKAGE_FLAG_BOOT;
  draft.architecture = "ppc";
  draft.deps = {{"sys", makeVersion(6, 40, 'f', 0), 0, 0}};
  draft.writeFilesPart = false;
  ByteVector file = buildPackage(draft);
  ByteVector expectedUnsigned = bytes({
      {0x1E, 0xF1, 0xD0, 0xBA, 0xA5, 0, 0, 0},                                         // magic, 165
      {1, 0, 36, 0, 0, 0, 'a', 'b'}, zeros(14),                                        // header part
      {0x03, 0x62, 0x29, 0x06, 0x01, 0, 0, 0x5F}, zeros(8), {1, 0, 0, 0},              // version, time, flags
      {16, 0, 3, 0, 0, 0, 'p', 'p', 'c'},                                              // architecture
      {3, 0, 34, 0, 0, 0, 1, 0, 's', 'y', 's'}, zeros(13),                             // depends
      {0x00, 0x66, 0x28, 0x06}, zeros(12), {9, 0, 68, 0, 0, 0},                        // signature header
  });
  ASSERT_EQ(file.size(), expectedUnsigned.size() + SIGNATURE_DATA_LENGTH);
  EXPECT_EQ(ByteVector(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(expectedUnsigned.size())),
            expectedUnsigned);

  EXPECT_EQ(encodeFileEntry({"bin/x", 0100755, 3, "hi"}),
            bytes({{0xED, 0x81}, zeros(21), {3, 2, 0, 0, 0, 5, 0}, {'b', 'i', 'n', '/', 'x', 'h', 'i'}}));
}

// The files part is deflated entry by entry, each content where it lies: the very stream that compressData makes of
// the entries laid end to end, for no entries, an empty one and contents that span many deflate blocks.
TEST(PackageWriterLayout, FilesPartIsTheStreamOfAllEntries) {
  std::string big;
  for (uint32_t state = 7; big.size() < 300000;) big += static_cast<char>("abcdefgh"[(state = state * 69069 + 1) >> 29]);
  const std::vector<std::vector<FileDraft>> trees = {
      {}, {{"etc/empty", 0100644, 0, ""}}, {{"bin/a", 0100755, 0, big}, {"bin/b", 0100644, 2, "b"}, {"c", 0100600, 0, big}}};
  for (const auto& files : trees) {
    PackageDraft draft;
    draft.name = "t";
    draft.files = files;
    ByteVector raw, expected;
    for (const FileDraft& entry : files) raw = bytes({raw, encodeFileEntry(entry)});
    ASSERT_TRUE(compressData(raw, expected));
    const ByteVector file = buildPackage(draft);
    const ByteVector part = bytes({{4, 0}, {static_cast<uint8_t>(expected.size()), static_cast<uint8_t>(expected.size() >> 8),
                                           static_cast<uint8_t>(expected.size() >> 16), 0}, expected});
    EXPECT_NE(std::search(file.begin(), file.end(), part.begin(), part.end()), file.end()) << files.size() << " entries";
  }
}

}  // namespace
