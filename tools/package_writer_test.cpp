#include "package_writer.h"

#include <gtest/gtest.h>

#include <sstream>

#include "console/console.h"
#include "pkgfile/inflate_reader.h"
#include "pkgfile/package_header.h"
#include "pkgfile/package_reader.h"
#include "pkgfile/sha1.h"
#include "signing.h"

namespace {

ByteVector bytesOf(std::initializer_list<int> values) { return ByteVector(values.begin(), values.end()); }

ByteVector zeros(size_t count) { return ByteVector(count, 0); }

ByteVector concat(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

uint32_t u32At(const ByteVector& bytes, size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

struct PartSpan {
  uint16_t type;
  size_t offset;  // of the part header
  uint32_t length;
};

// The parts of `bytes` after the file header, by their headers.
std::vector<PartSpan> partsOf(const ByteVector& bytes) {
  std::vector<PartSpan> parts;
  size_t offset = FILE_HEADER_LENGTH;
  while (offset + PART_HEADER_LENGTH <= bytes.size()) {
    parts.push_back({static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8), offset,
                     u32At(bytes, offset + 2)});
    offset += PART_HEADER_LENGTH + parts.back().length;
  }
  EXPECT_EQ(offset, bytes.size()) << "parts do not end with the data";
  return parts;
}

std::vector<uint16_t> typesOf(const std::vector<PartSpan>& parts) {
  std::vector<uint16_t> types;
  for (const PartSpan& part : parts) types.push_back(part.type);
  return types;
}

// True when the signature part `signature` verifies, with the development
// key, for the package whose part of type 1 starts at `packageStart`.
bool signatureVerifies(const ByteVector& bytes, size_t packageStart, const PartSpan& signature) {
  SHA1 sha1;
  uint8_t digest[SHA1::DIGEST_LENGTH];
  sha1.update(bytes.data() + packageStart, signature.offset + PART_HEADER_LENGTH - packageStart);
  sha1.digest(digest);
  return verifySignatureData(digest, bytes.data() + signature.offset + PART_HEADER_LENGTH,
                             developmentKey().publicKey);
}

PackageDraft fullDraft() {
  PackageDraft draft;
  draft.name = "tessel";
  draft.version = makeVersion(6, 41, 'b', 3);
  draft.buildTime = 1700000000;
  draft.flags = PACKAGE_FLAG_BOOT;
  draft.extraText24 = "t24";
  draft.architecture = "powerpc";
  draft.extraText2 = "t2";
  draft.note = "a note";
  draft.deps = {{"system", makeVersion(6, 40, 'f', 0), 0, 0}};
  draft.provides = {{"web", 0, makeVersion(7, 0, 'f', 0), -3}};
  draft.conflicts = {{"oldweb", 0, 0, 0}};
  draft.image = ByteVector{1, 2, 3};
  draft.files = {{"bin/tool", 0100755, 0, "#!/bin/sh\n"}, {"etc/x", 0100644, 2, ""}};
  return draft;
}

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

  ByteVector expectedUnsigned = concat({
      bytesOf({0x1E, 0xF1, 0xD0, 0xBA, 0xA5, 0, 0, 0}),   // magic, 165
      bytesOf({1, 0, 36, 0, 0, 0, 'a', 'b'}), zeros(14),  // header part
      bytesOf({0x03, 0x62, 0x29, 0x06, 0x01, 0, 0, 0x5F}), zeros(8), bytesOf({1, 0, 0, 0}),
      bytesOf({16, 0, 3, 0, 0, 0, 'p', 'p', 'c'}),                                 // architecture
      bytesOf({3, 0, 34, 0, 0, 0, 1, 0, 's', 'y', 's'}), zeros(13),                // depends
      bytesOf({0x00, 0x66, 0x28, 0x06}), zeros(12), bytesOf({9, 0, 68, 0, 0, 0}),  // signature header
  });
  ASSERT_EQ(file.size(), expectedUnsigned.size() + SIGNATURE_DATA_LENGTH);
  EXPECT_EQ(ByteVector(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(expectedUnsigned.size())),
            expectedUnsigned);
  EXPECT_TRUE(signatureVerifies(file, FILE_HEADER_LENGTH, partsOf(file)[3]));

  EXPECT_EQ(encodeFileEntry({"bin/x", 0100755, 3, "hi"}),
            concat({bytesOf({0xED, 0x81}), zeros(21), bytesOf({3, 2, 0, 0, 0, 5, 0}),
                    bytesOf({'b', 'i', 'n', '/', 'x', 'h', 'i'})}));
}

// The installer's own reader takes a package with every part apart again:
// header fields, the entries inflated from the files part, the signature.
TEST(PackageWriterLayout, FullPackageReadsBackThroughTheInstallerReader) {
  PackageDraft draft = fullDraft();
  ByteVector file = buildPackage(draft);
  EXPECT_EQ(typesOf(partsOf(file)), (std::vector<uint16_t>{1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9}));
  std::istringstream source(std::string(file.begin(), file.end()));
  PackageReader reader(source, true);
  reader.filter = {1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9};
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  PackageRecord record;
  ASSERT_TRUE(readPackageHeader(record, reader));
  EXPECT_EQ(record.name, "tessel");
  EXPECT_EQ(versionText(record.version), "6.41beta3");
  EXPECT_EQ(record.buildTime, 1700000000u);
  EXPECT_EQ(record.flags, PACKAGE_FLAG_BOOT);
  EXPECT_EQ(record.extraText24, "t24");
  EXPECT_EQ(record.architecture, "powerpc");
  EXPECT_EQ(record.extraText2, "t2");
  EXPECT_EQ(record.note, "a note");
  ASSERT_EQ(record.provides.size(), 1u);
  EXPECT_EQ(record.provides[0].maxVersion, makeVersion(7, 0, 'f', 0));
  EXPECT_EQ(record.provides[0].priority, -3);
  EXPECT_EQ(record.deps[0].minVersion, makeVersion(6, 40, 'f', 0));
  EXPECT_EQ(record.conflicts[0].name, "oldweb");
  EXPECT_TRUE(record.storedAsImage);

  ASSERT_EQ(reader.nextPart(), PART_FILES);
  ByteVector expected = concat({encodeFileEntry(draft.files[0]), encodeFileEntry(draft.files[1])});
  {
    InflateReader inflated(reader);
    ByteVector raw(expected.size() + 1);
    inflated.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<size_t>(inflated.gcount()));
    EXPECT_EQ(raw, expected);
  }
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  EXPECT_TRUE(reader.verifySignature());
}

TEST(PackageWriterLayout, ExtraPartsGoWhereAskedAndTheSignatureStartsAtTheHeader) {
  PackageDraft draft = fullDraft();
  draft.extraParts = {
      {77, {9, 9}, PART_SIGNATURE}, {78, {}, PART_ARCHITECTURE}, {79, {}, PART_HEADER}, {80, {}, 0}};
  draft.architecture.reset();
  draft.extraText24.reset();
  // 78 stands where the missing architecture part would; 80 (type 0 is not in
  // the order) after everything, outside the signed bytes.
  ByteVector file = buildPackage(draft);
  std::vector<PartSpan> parts = partsOf(file);
  EXPECT_EQ(typesOf(parts), (std::vector<uint16_t>{79, 1, 78, 2, 23, 3, 19, 17, 21, 4, 77, 9, 80}));
  EXPECT_TRUE(signatureVerifies(file, parts[1].offset, parts[11]));
}

TEST(PackageWriterLayout, BundleCarriesImageMemberListAndMembersVerbatim) {
  ByteVector member = buildPackageParts(fullDraft());
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = makeVersion(6, 41, 'f', 0);
  bundle.architecture = "powerpc";
  bundle.optionalMembers = {{"media-kit", 0, 0, 0}};
  bundle.members = {member, member};
  ByteVector file = buildBundle(bundle);

  std::vector<PartSpan> parts = partsOf(file);
  ASSERT_GE(parts.size(), 5u);
  EXPECT_EQ(typesOf({parts.begin(), parts.begin() + 4}),
            (std::vector<uint16_t>{PART_BUNDLE_HEADER, PART_ARCHITECTURE, PART_IMAGE, PART_BUNDLE_MEMBERS}));
  EXPECT_EQ(parts[2].length, 0u);
  EXPECT_EQ(ByteVector(file.begin() + static_cast<std::ptrdiff_t>(parts[4].offset), file.end()),
            concat({member, member}));
  EXPECT_EQ(u32At(file, 4), file.size() - FILE_HEADER_LENGTH);

  bundle.omitImage = true;
  bundle.optionalMembers.clear();
  EXPECT_EQ(partsOf(buildBundle(bundle))[2].type, PART_HEADER);
}

TEST(PackageWriterOutput, PackageFilePartsChecksMagicAndLength) {
  ByteVector file = buildPackage(fullDraft()), parts, longer = file, swapped = file;
  ASSERT_TRUE(packageFileParts(file, "p", parts));
  EXPECT_EQ(parts, ByteVector(file.begin() + FILE_HEADER_LENGTH, file.end()));
  longer.push_back(0);
  std::swap(swapped[0], swapped[3]);
  std::ostringstream ignored;
  setConsoleOutput(&ignored);
  for (const ByteVector& bad : {longer, swapped, ByteVector(4, 0)}) EXPECT_FALSE(packageFileParts(bad, "p", parts));
  setConsoleOutput(nullptr);
}

}  // namespace
