#include "pkgfile/package_header.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package_writer.h"
#include "test_root.h"

namespace {

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

ByteVector concat(std::initializer_list<ByteVector> pieces) {
  ByteVector out;
  for (const ByteVector& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

ByteVector headerPart(const std::string& name, uint16_t type = PART_HEADER) {
  return encodePart(type,
                    encodeHeaderBlock(name, makeVersion(6, 40, 'f', 2), 1700000000, 0, false));
}

ByteVector signaturePart() { return encodePart(PART_SIGNATURE, ByteVector(68, 0)); }

/// Reads the header of the first part in `filter` of the file `file`.
struct HeaderRead {
  HeaderRead(const ByteVector& file, const PartFilter& filter = SCAN_FILTER)
      : in(text(file)), reader(in, true) {
    reader.filter = filter;
    reader.nextPart();
    ok = readPackageHeader(record, reader);
  }
  std::istringstream in;
  PackageReader reader;
  PackageRecord record;
  bool ok;
};

}  // namespace

TEST(ReadPackageHeader, FlagsOnlyWithAtLeastFourBytesAfterTheBlock) {
  const struct {
    const char* name;
    ByteVector block;
    uint32_t flags;
  } rows[] = {
      {"32 bytes", encodeHeaderBlock("tessel", 7, 8, 0, false), 0},
      {"36 bytes", encodeHeaderBlock("tessel", 7, 8, 0x1234567, true), 0x1234567},
      {"39 bytes", concat({encodeHeaderBlock("tessel", 7, 8, 5, true), {0xEE, 0xEE, 0xEE}}), 5},
      {"35 bytes", concat({encodeHeaderBlock("tessel", 7, 8, 0, false), {1, 2, 3}}), 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HeaderRead read(wrapInFile(PACKAGE_MAGIC, concat({encodePart(PART_HEADER, row.block), signaturePart()})),
                    INSTALL_FILTER);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.record.flags, row.flags);
    EXPECT_EQ(read.record.version, 7u);
    EXPECT_EQ(read.record.buildTime, 8u);
    EXPECT_EQ(read.reader.currentType, PART_SIGNATURE);
  }
}

TEST(ReadPackageHeader, FlagsDoNotDependOnWhatTheSourceHasBuffered) {
  // A source like a pipe: one byte at a time, never saying how much is waiting.
  struct TrickleSource : std::streambuf {
    std::string bytes;
    size_t next = 0;
    int_type underflow() override {
      if (next == bytes.size()) return traits_type::eof();
      setg(&bytes[next], &bytes[next], &bytes[next] + 1);
      return traits_type::to_int_type(bytes[next++]);
    }
  } source;
  ByteVector part =
      encodePart(PART_HEADER, encodeHeaderBlock("tessel", 7, 8, PACKAGE_FLAG_BOOT, true));
  source.bytes = text(wrapInFile(PACKAGE_MAGIC, part));
  std::istream in(&source);
  PackageReader reader(in, true);
  reader.filter = SCAN_FILTER;
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  PackageRecord record;
  ASSERT_TRUE(readPackageHeader(record, reader));
  EXPECT_EQ(record.flags, PACKAGE_FLAG_BOOT);
}

TEST(ReadPackageHeader, NamesStopAtTheFirstNulOrFillSixteenBytes) {
  EXPECT_EQ(HeaderRead(wrapInFile(PACKAGE_MAGIC, headerPart("abcdefghijklmnop"))).record.name, "abcdefghijklmnop");
  EXPECT_EQ(HeaderRead(wrapInFile(PACKAGE_MAGIC, headerPart("ab"))).record.name, "ab");
}

TEST(ReadPackageHeader, ShortBlockWrongFirstPartOrUnsafeNameFails) {
  ByteVector shortBlock = encodeHeaderBlock("x", 1, 1, 0, false);
  shortBlock.resize(31);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, encodePart(PART_HEADER, shortBlock))).ok);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, encodePart(PART_TEXT24, "x"))).ok);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, {})).ok);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, headerPart(".."))).ok);
}

TEST(ReadPackageHeader, OptionalPartsInOrderFillTheRecord) {
  ByteVector deps = encodeRefList({{"base", makeVersion(6, 0, 'f', 0), 0, 0},
                                   {"abcdefghijklmnop", 0x01020304, 0xA0B0C0D0, -5}});
  putText(deps, "tail");  // bytes after the list are passed over
  ByteVector file = wrapInFile(
      PACKAGE_MAGIC,
      concat({headerPart("tessel"), encodePart(PART_TEXT24, "t24"), encodePart(99, "ignored"),
              encodePart(PART_ARCHITECTURE, std::string("mips\0be", 7)),
              encodePart(PART_TEXT2, "t2"), encodePart(PART_NOTE, "a note"),
              encodePart(PART_DEPENDS, deps),
              encodePart(PART_PROVIDES, encodeRefList({{"shell", 0, 0, 10}})),
              encodePart(PART_CONFLICTS, encodeRefList({})), encodePart(PART_IMAGE, "payload"),
              signaturePart()}));
  HeaderRead read(file);
  ASSERT_TRUE(read.ok);
  const PackageRecord& record = read.record;
  EXPECT_EQ(record.extraText24, "t24");
  EXPECT_EQ(record.architecture, std::string("mips\0be", 7));
  EXPECT_EQ(record.extraText2, "t2");
  EXPECT_EQ(record.note, "a note");
  ASSERT_EQ(record.deps.size(), 2u);
  EXPECT_EQ(record.deps[0].name, "base");
  EXPECT_EQ(record.deps[0].minVersion, makeVersion(6, 0, 'f', 0));
  EXPECT_EQ(record.deps[1].name, "abcdefghijklmnop");
  EXPECT_EQ(record.deps[1].minVersion, 0x01020304u);
  EXPECT_EQ(record.deps[1].maxVersion, 0xA0B0C0D0u);
  EXPECT_EQ(record.deps[1].priority, -5);
  ASSERT_EQ(record.provides.size(), 1u);
  EXPECT_EQ(record.provides[0].priority, 10);
  EXPECT_TRUE(record.conflicts.empty());
  EXPECT_TRUE(record.storedAsImage);
  EXPECT_EQ(read.reader.currentType, PART_IMAGE);

  // The install filter hides the texts 24, 2 and 23; the image filter hides
  // the architecture and the image part.
  HeaderRead install(file, INSTALL_FILTER);
  ASSERT_TRUE(install.ok);
  EXPECT_EQ(install.record.extraText24, "");
  EXPECT_EQ(install.record.note, "");
  EXPECT_EQ(install.record.architecture, std::string("mips\0be", 7));
  HeaderRead image(file, IMAGE_FILTER);
  ASSERT_TRUE(image.ok);
  EXPECT_EQ(image.record.architecture, "i386");
  EXPECT_EQ(image.record.note, "a note");
  EXPECT_FALSE(image.record.storedAsImage);
  EXPECT_EQ(image.reader.currentType, -1);
}

TEST(ReadPackageHeader, PartOutOfOrderIsNotTakenAndStaysCurrent) {
  HeaderRead read(wrapInFile(
      PACKAGE_MAGIC, concat({headerPart("tessel"), encodePart(PART_DEPENDS, encodeRefList({})),
                             encodePart(PART_ARCHITECTURE, "arm")})));
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.record.architecture, "i386");
  EXPECT_EQ(read.reader.currentType, PART_ARCHITECTURE);
}

TEST(ReadPackageHeader, TruncatedReferenceListFails) {
  ByteVector list = encodeRefList({{"base", 1, 0, 0}, {"libs", 1, 0, 0}});
  list.resize(list.size() - 1);
  for (const ByteVector& part : {encodePart(PART_PROVIDES, list), encodePart(PART_CONFLICTS, ByteVector{1})}) {
    EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, concat({headerPart("t"), part}))).ok);
  }
}

TEST(ReadPackageHeader, TextPartLongerThanTheFileCostsOnlyWhatIsThere) {
  ByteVector file = wrapInFile(PACKAGE_MAGIC, headerPart("t"));
  putU16(file, PART_NOTE);
  putU32(file, 0xFFFFFFF0);
  putText(file, "short");
  HeaderRead read(file);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.record.note, "short");
  EXPECT_EQ(read.reader.currentType, -1);
}

/// Package files in a temporary directory.
class ReadPackageFile : public ::testing::Test {
 protected:
  void TearDown() override { removeTree(directory_); }
  /// Writes `bytes` as `name` and reads it back; false for a broken file.
  bool read(const std::string& name, const ByteVector& bytes) {
    path_ = directory_ + "/" + name;
    record_ = std::make_unique<PackageFileRecord>();
    return writeFile(path_, text(bytes)) && readPackageFile(*record_, path_);
  }

  std::string directory_ = makeTemporaryDirectory("package_header_test");
  std::string path_;
  std::unique_ptr<PackageFileRecord> record_;
};

// The size on disk must be the declared total; the same bytes from a stream
// are not checked against it.
TEST_F(ReadPackageFile, SinglePackageOfTheDeclaredSizeOnly) {
  PackageDraft draft;
  draft.name = "tessel";
  draft.version = makeVersion(7, 2, 'b', 1);
  draft.flags = PACKAGE_FLAG_BOOT;
  draft.unregistered = true;
  draft.architecture = "powerpc";
  ByteVector file = buildPackage(draft);
  ASSERT_TRUE(read("tessel.qbx", file));
  EXPECT_EQ(record_->path, path_);
  EXPECT_EQ(record_->name, "tessel");
  EXPECT_EQ(record_->version, draft.version);
  EXPECT_TRUE(record_->hasBootFlag());
  EXPECT_EQ(record_->architecture, "powerpc");
  EXPECT_TRUE(record_->unregistered);
  EXPECT_FALSE(record_->isBundle);
  EXPECT_EQ(record_->declaredSize, file.size());

  file.push_back(0);
  EXPECT_FALSE(read("long.qbx", file));
  EXPECT_TRUE(HeaderRead(file).ok);
  file.resize(file.size() - 2);
  EXPECT_FALSE(read("short.qbx", file));
  EXPECT_FALSE(readPackageFile(*record_, "/nonexistent/x.qbx"));
}

TEST_F(ReadPackageFile, BundleWithMembersOnly) {
  PackageDraft first;
  first.name = "alpha";
  first.deps = {{"beta", 0, 0, 0}};
  first.image = ByteVector(100, 1);
  PackageDraft second;
  second.name = "beta";
  second.version = 3;
  BundleDraft bundle;
  bundle.name = "suite";
  bundle.optionalMembers = {{"beta", 0, 0, 0}};
  bundle.members = {buildPackageParts(first), buildPackageParts(second)};
  ASSERT_TRUE(read("suite.qbx", buildBundle(bundle)));
  EXPECT_TRUE(record_->isBundle);
  EXPECT_EQ(record_->name, "suite");
  EXPECT_TRUE(record_->storedAsImage);
  ASSERT_EQ(record_->members.size(), 2u);
  EXPECT_EQ(record_->members[0]->name, "alpha");
  EXPECT_EQ(record_->members[0]->deps.size(), 1u);
  EXPECT_TRUE(record_->members[0]->storedAsImage);
  EXPECT_EQ(record_->members[1]->name, "beta");
  EXPECT_EQ(record_->members[1]->version, 3u);

  // Without members, or with a member whose header is broken.
  bundle.members.clear();
  EXPECT_FALSE(read("empty.qbx", buildBundle(bundle)));
  bundle.members = {concat({encodePart(PART_HEADER, ByteVector(10, 'm')), signaturePart()})};
  EXPECT_FALSE(read("broken.qbx", buildBundle(bundle)));
}
