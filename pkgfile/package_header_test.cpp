#include "pkgfile/package_header.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "package_writer.h"

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

/// A directory under /tmp removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/package_header_test.XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    for (const std::string& file : files_) unlink(file.c_str());
    rmdir(path_.c_str());
  }
  std::string write(const std::string& name, const ByteVector& bytes) {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios_base::binary) << text(bytes);
    files_.push_back(file);
    return file;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace

TEST(ReadPackageHeader, FlagsOnlyWithAtLeastFourBytesAfterTheBlock) {
  ByteVector block = encodeHeaderBlock("tessel", 7, 8, 0, false);
  ByteVector exact = encodePart(PART_HEADER, block);
  ByteVector withFlags =
      encodePart(PART_HEADER, encodeHeaderBlock("tessel", 7, 8, 0x1234567, true));
  ByteVector longer = encodeHeaderBlock("tessel", 7, 8, 5, true);
  longer.insert(longer.end(), {0xEE, 0xEE, 0xEE});
  ByteVector threeExtra = block;
  threeExtra.insert(threeExtra.end(), {1, 2, 3});

  HeaderRead plain(wrapInFile(PACKAGE_MAGIC, concat({exact, signaturePart()})), INSTALL_FILTER);
  ASSERT_TRUE(plain.ok);
  EXPECT_EQ(plain.record.flags, 0u);
  EXPECT_EQ(plain.record.version, 7u);
  EXPECT_EQ(plain.record.buildTime, 8u);
  EXPECT_EQ(plain.reader.currentType, PART_SIGNATURE);

  HeaderRead flagged(wrapInFile(PACKAGE_MAGIC, withFlags));
  ASSERT_TRUE(flagged.ok);
  EXPECT_EQ(flagged.record.flags, 0x1234567u);

  HeaderRead extra(
      wrapInFile(PACKAGE_MAGIC, concat({encodePart(PART_HEADER, longer), signaturePart()})),
      INSTALL_FILTER);
  ASSERT_TRUE(extra.ok);
  EXPECT_EQ(extra.record.flags, 5u);
  EXPECT_EQ(extra.reader.currentType, PART_SIGNATURE);

  HeaderRead three(
      wrapInFile(PACKAGE_MAGIC, concat({encodePart(PART_HEADER, threeExtra), signaturePart()})),
      INSTALL_FILTER);
  ASSERT_TRUE(three.ok);
  EXPECT_EQ(three.record.flags, 0u);
  EXPECT_EQ(three.reader.currentType, PART_SIGNATURE);
}

TEST(ReadPackageHeader, FlagsDoNotDependOnWhatTheSourceHasBuffered) {
  // A source like a pipe that never says how much is waiting.
  class TrickleSource : public std::streambuf {
   public:
    explicit TrickleSource(std::string bytes) : bytes_(std::move(bytes)) {}

   protected:
    int_type underflow() override {
      if (next_ == bytes_.size()) return traits_type::eof();
      char* at = &bytes_[next_++];
      setg(at, at, at + 1);
      return traits_type::to_int_type(*at);
    }

   private:
    std::string bytes_;
    size_t next_ = 0;
  };
  ByteVector part =
      encodePart(PART_HEADER, encodeHeaderBlock("tessel", 7, 8, PACKAGE_FLAG_BOOT, true));
  TrickleSource source(text(wrapInFile(PACKAGE_MAGIC, part)));
  std::istream in(&source);
  PackageReader reader(in, true);
  reader.filter = SCAN_FILTER;
  ASSERT_EQ(reader.nextPart(), PART_HEADER);
  PackageRecord record;
  ASSERT_TRUE(readPackageHeader(record, reader));
  EXPECT_EQ(record.flags, PACKAGE_FLAG_BOOT);
}

TEST(ReadPackageHeader, NamesStopAtTheFirstNulOrFillSixteenBytes) {
  HeaderRead full(wrapInFile(PACKAGE_MAGIC, headerPart("abcdefghijklmnop")));
  ASSERT_TRUE(full.ok);
  EXPECT_EQ(full.record.name, "abcdefghijklmnop");

  HeaderRead twoLetters(wrapInFile(PACKAGE_MAGIC, headerPart("ab")));
  EXPECT_EQ(twoLetters.record.name, "ab");
  EXPECT_FALSE(twoLetters.record.isBundle);

  HeaderRead bundle(wrapInFile(PACKAGE_MAGIC, headerPart("suite", PART_BUNDLE_HEADER)));
  EXPECT_TRUE(bundle.ok);
  EXPECT_TRUE(bundle.record.isBundle);
}

TEST(ReadPackageHeader, ShortHeaderBlockOrWrongFirstPartFails) {
  ByteVector shortBlock = encodeHeaderBlock("x", 1, 1, 0, false);
  shortBlock.resize(31);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, encodePart(PART_HEADER, shortBlock))).ok);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, encodePart(PART_TEXT24, "x"))).ok);
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC, {})).ok);
}

TEST(ReadPackageHeader, OptionalPartsInOrderFillTheRecord) {
  ByteVector file = wrapInFile(
      PACKAGE_MAGIC,
      concat({headerPart("tessel"), encodePart(PART_TEXT24, "t24"), encodePart(99, "ignored"),
              encodePart(PART_ARCHITECTURE, std::string("mips\0be", 7)),
              encodePart(PART_TEXT2, "t2"), encodePart(PART_NOTE, "a note"),
              encodePart(PART_DEPENDS, encodeRefList({{"base", makeVersion(6, 0, 'f', 0), 0, 0},
                                                      {"libs", 1, 2, -5}})),
              encodePart(PART_PROVIDES, encodeRefList({{"shell", 0, 0, 10}})),
              encodePart(PART_CONFLICTS, encodeRefList({})), encodePart(PART_IMAGE, "payload"),
              signaturePart()}));
  HeaderRead read(file);
  ASSERT_TRUE(read.ok);
  const PackageRecord& record = read.record;
  EXPECT_EQ(record.partText24, "t24");
  EXPECT_EQ(record.architecture, std::string("mips\0be", 7));
  EXPECT_EQ(record.partText2, "t2");
  EXPECT_EQ(record.note, "a note");
  ASSERT_EQ(record.deps.size(), 2u);
  EXPECT_EQ(record.deps[0].name, "base");
  EXPECT_EQ(record.deps[0].minVersion, makeVersion(6, 0, 'f', 0));
  EXPECT_EQ(record.deps[1].minVersion, 1u);
  EXPECT_EQ(record.deps[1].maxVersion, 2u);
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
  EXPECT_EQ(install.record.partText24, "");
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
  EXPECT_FALSE(HeaderRead(wrapInFile(PACKAGE_MAGIC,
                                     concat({headerPart("t"), encodePart(PART_PROVIDES, list)})))
                   .ok);
  EXPECT_FALSE(
      HeaderRead(wrapInFile(PACKAGE_MAGIC,
                            concat({headerPart("t"), encodePart(PART_CONFLICTS, ByteVector{1})})))
          .ok);
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

TEST(ReadRefList, ReadsEntriesAndLeavesTheRestOfThePart) {
  ByteVector data = encodeRefList({{"abcdefghijklmnop", 0x01020304, 0xA0B0C0D0, -2}});
  putText(data, "tail");
  std::istringstream in(text(wrapInFile(PACKAGE_MAGIC, encodePart(PART_DEPENDS, data))));
  PackageReader reader(in, false);
  reader.filter = {PART_DEPENDS};
  ASSERT_EQ(reader.nextPart(), PART_DEPENDS);
  std::vector<PackageRef> refs = {{"kept", 0, 0, 0}};
  ASSERT_TRUE(readRefList(reader, refs));
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[1].name, "abcdefghijklmnop");
  EXPECT_EQ(refs[1].minVersion, 0x01020304u);
  EXPECT_EQ(refs[1].maxVersion, 0xA0B0C0D0u);
  EXPECT_EQ(refs[1].priority, -2);
  EXPECT_EQ(reader.tellg(), 2 + 32);
}

TEST(ReadPackageFile, SinglePackageWithSecondMagic) {
  TempDir dir;
  PackageSpec spec;
  spec.name = "tessel";
  spec.version = makeVersion(7, 2, 'b', 1);
  spec.flags = PACKAGE_FLAG_BOOT;
  spec.secondMagic = true;
  spec.architecture = "powerpc";
  ByteVector file = buildPackage(spec);
  std::string path = dir.write("tessel.qbx", file);
  PackageFileRecord record;
  ASSERT_TRUE(readPackageFile(record, path));
  EXPECT_EQ(record.path, path);
  EXPECT_EQ(record.name, "tessel");
  EXPECT_EQ(record.version, spec.version);
  EXPECT_TRUE(record.hasBootFlag());
  EXPECT_EQ(record.architecture, "powerpc");
  EXPECT_TRUE(record.secondMagic);
  EXPECT_EQ(record.declaredSize, file.size());
}

TEST(ReadPackageFile, SizeDifferentFromTheDeclaredTotalIsBroken) {
  TempDir dir;
  PackageSpec spec;
  spec.name = "tessel";
  ByteVector file = buildPackage(spec);
  file.push_back(0);
  PackageFileRecord record;
  EXPECT_FALSE(readPackageFile(record, dir.write("long.qbx", file)));

  // The same bytes from a stream are not checked against the total.
  HeaderRead stream(file);
  EXPECT_TRUE(stream.ok);

  file.resize(file.size() - 2);
  PackageFileRecord shorter;
  EXPECT_FALSE(readPackageFile(shorter, dir.write("short.qbx", file)));
  PackageFileRecord missing;
  EXPECT_FALSE(readPackageFile(missing, "/nonexistent/x.qbx"));
}

TEST(ReadPackageFile, BundleWithTwoMembers) {
  TempDir dir;
  PackageSpec first;
  first.name = "alpha";
  first.deps = {{"beta", 0, 0, 0}};
  first.image = ByteVector(100, 1);
  PackageSpec second;
  second.name = "beta";
  second.version = 3;
  BundleSpec bundle;
  bundle.name = "suite";
  bundle.optionalMembers = {{"beta", 0, 0, 0}};
  bundle.members = {buildPackageParts(first), buildPackageParts(second)};
  PackageFileRecord record;
  ASSERT_TRUE(readPackageFile(record, dir.write("suite.qbx", buildBundle(bundle))));
  EXPECT_TRUE(record.isBundle);
  EXPECT_EQ(record.name, "suite");
  EXPECT_TRUE(record.storedAsImage);
  ASSERT_EQ(record.members.size(), 2u);
  EXPECT_EQ(record.members[0]->name, "alpha");
  ASSERT_EQ(record.members[0]->deps.size(), 1u);
  EXPECT_TRUE(record.members[0]->storedAsImage);
  EXPECT_EQ(record.members[1]->name, "beta");
  EXPECT_EQ(record.members[1]->version, 3u);
}

TEST(ReadPackageFile, BundleWithoutMembersOrWithABrokenMemberIsBroken) {
  TempDir dir;
  BundleSpec empty;
  empty.name = "suite";
  empty.deps = {{"base", 0, 0, 0}};
  PackageFileRecord emptyRecord;
  EXPECT_FALSE(readPackageFile(emptyRecord, dir.write("empty.qbx", buildBundle(empty))));

  ByteVector brokenMember = concat({encodePart(PART_HEADER, ByteVector(10, 'm')), signaturePart()});
  ByteVector file =
      wrapInFile(PACKAGE_MAGIC, concat({headerPart("suite", PART_BUNDLE_HEADER), brokenMember}));
  PackageFileRecord brokenRecord;
  EXPECT_FALSE(readPackageFile(brokenRecord, dir.write("broken.qbx", file)));
}
