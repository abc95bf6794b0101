#include "fuzz/seeds.h"

#include "fuzz/targets.h"
#include "package_writer.h"
#include "pkgfile/package_format.h"

namespace {

constexpr PackageVersion V1_0 = makeVersion(1, 0, 'f', 0);

PackageDraft simplePackage(const std::string& name, PackageVersion version) {
  PackageDraft draft;
  draft.name = name;
  draft.version = version;
  draft.buildTime = 1000;
  draft.files = {{"bin/" + name, 0100755, 0, "#!/bin/sh\necho " + name + "\n"}};
  return draft;
}

/// Every optional part, and file entries that are passed over (directory,
/// other processor variant) next to ones that are installed.
PackageDraft fullPackage() {
  PackageDraft draft = simplePackage("fuzzy", makeVersion(1, 2, 'b', 3));
  draft.extraText24 = "text of part 24";
  draft.architecture = "i386";
  draft.extraText2 = "text of part 2";
  draft.note = "a note";
  draft.deps = {PackageRef{"tessel", makeVersion(3, 0, 'f', 0), 0, 0}};
  draft.provides = {PackageRef{"routing", 0, 0, -5}};
  draft.conflicts = {PackageRef{"old-fuzzy", 0, V1_0, 0}};
  draft.files = {{"etc", 040755, 0, ""},
                {"etc/fuzzy.conf", 0100644, 0, "key=value\n"},
                {"/lib/fuzzy-v3", 0100644, 3, "variant three"},
                {"lib/fuzzy-v2", 0100644, 2, "variant two"},
                {"empty", 0100600, 0, ""}};
  return draft;
}

std::vector<uint8_t> largeData() {
  std::vector<uint8_t> data(40000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 7919) >> 5);
  return data;
}

void addPackage(std::vector<Seed>& seeds, const std::string& name, const PackageDraft& draft) {
  ByteVector bytes = buildPackage(draft);
  if (!bytes.empty()) seeds.push_back({name, bytes});
}

void addPackageSeeds(std::vector<Seed>& seeds) {
  addPackage(seeds, "plain", simplePackage("fuzzy", V1_0));
  addPackage(seeds, "full", fullPackage());

  PackageDraft second = simplePackage("fuzzy", V1_0);
  second.unregistered = true;
  addPackage(seeds, "second-magic", second);

  PackageDraft image = simplePackage("fuzzy", V1_0);
  image.image = ByteVector(10000, 0x5A);
  addPackage(seeds, "image-part", image);

  PackageDraft boot = simplePackage("tessel", makeVersion(3, 22, 'f', 0));
  boot.flags = PACKAGE_FLAG_BOOT;
  addPackage(seeds, "boot-upgrade", boot);

  PackageDraft noMeta = simplePackage("fuzzy", V1_0);
  noMeta.flags = PACKAGE_FLAG_NO_META;
  noMeta.writeFlags = true;
  addPackage(seeds, "no-meta", noMeta);

  PackageDraft conflicting = simplePackage("fuzzy", V1_0);
  conflicting.conflicts = {PackageRef{"tessel", 0, 0, 0}};
  addPackage(seeds, "conflicts-installed", conflicting);

  addPackage(seeds, "user-disabled", simplePackage("wardle", makeVersion(1, 1, 'f', 0)));
  // The version of the installed tessel: kept as it is.
  addPackage(seeds, "same-version", simplePackage("tessel", makeVersion(3, 20, 'f', 0)));

  PackageDraft unknown = simplePackage("fuzzy", V1_0);
  unknown.extraParts = {ExtraPart{77, ByteVector{1, 2, 3, 4}, PART_FILES},
                        ExtraPart{5, ByteVector(20, 0), PART_DEPENDS}};
  addPackage(seeds, "unknown-parts", unknown);

  PackageDraft odd = simplePackage("fuzzy", V1_0);
  odd.deps = {PackageRef{"tessel", 0, 0, 0}};
  odd.extraParts = {ExtraPart{PART_ARCHITECTURE, ByteVector{'i', '3', '8', '6'}, PART_FILES},
                    ExtraPart{PART_NOTE, ByteVector{'n'}, PART_SIGNATURE}};
  addPackage(seeds, "odd-order", odd);

  PackageDraft longSignature = simplePackage("fuzzy", V1_0);
  longSignature.signatureLength = 100;
  addPackage(seeds, "long-signature", longSignature);

  PackageDraft shortSignature = simplePackage("fuzzy", V1_0);
  shortSignature.signatureLength = SIGNATURE_DATA_LENGTH - 1;
  addPackage(seeds, "short-signature", shortSignature);

  PackageDraft large = simplePackage("fuzzy", V1_0);
  ByteVector data = largeData();
  large.files = {{"lib/large", 0100644, 0, std::string(data.begin(), data.end())},
                 {"lib/small", 0100644, 0, "small"}};
  addPackage(seeds, "large-file", large);

  // The decompressed entries end inside a name: broken.
  PackageDraft cut = simplePackage("fuzzy", V1_0);
  ByteVector entry = encodeFileEntry({"bin/fuzzy", 0100755, 0, "data"});
  entry.resize(FILE_ENTRY_HEADER_LENGTH + 4);
  ByteVector compressed;
  if (compressData(entry, compressed)) {
    cut.rawFilesData = compressed;
    addPackage(seeds, "cut-entry-name", cut);
  }

  // Not zlib data at all: the files part reads as ending at once.
  PackageDraft garbage = simplePackage("fuzzy", V1_0);
  garbage.rawFilesData = ByteVector{0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF};
  addPackage(seeds, "corrupt-zlib", garbage);

  PackageDraft headerOnly = simplePackage("fuzzy", V1_0);
  headerOnly.writeFlags = false;
  headerOnly.writeFilesPart = false;
  headerOnly.writeEmptyLists = true;
  addPackage(seeds, "no-files-part", headerOnly);
}

void addBundleSeeds(std::vector<Seed>& seeds) {
  PackageVersion version = makeVersion(2, 2, 'f', 0);
  BundleDraft bundle;
  bundle.name = "quorilan";
  bundle.version = version;
  bundle.buildTime = 2000;
  bundle.architecture = "i386";
  bundle.deps = {PackageRef{"tessel", 0, 0, 0}};
  bundle.optionalMembers = {PackageRef{"sound", 0, 0, 0}};
  bundle.members = {buildPackageParts(simplePackage("media-kit", version)),
                    buildPackageParts(simplePackage("sound", version)),
                    buildPackageParts(fullPackage())};
  ByteVector bytes = buildBundle(bundle);
  if (!bytes.empty()) seeds.push_back({"bundle", bytes});

  // A new bundle that carries the installed media-kit unchanged: that
  // member is kept and passed over.
  BundleDraft carrier;
  carrier.name = "carrier";
  carrier.version = V1_0;
  carrier.members = {buildPackageParts(simplePackage("media-kit", makeVersion(2, 1, 'f', 0))),
                     buildPackageParts(simplePackage("carried", V1_0))};
  bytes = buildBundle(carrier);
  if (!bytes.empty()) seeds.push_back({"bundle-keeps-member", bytes});

  BundleDraft plain;
  plain.name = "kit";
  plain.version = V1_0;
  plain.omitImage = true;
  plain.members = {buildPackageParts(simplePackage("kit-part", V1_0))};
  bytes = buildBundle(plain);
  if (!bytes.empty()) seeds.push_back({"bundle-without-image", bytes});

  // A bundle whose second member lacks its signature part.
  PackageDraft unsigned_ = simplePackage("kit-other", V1_0);
  unsigned_.writeSignature = false;
  plain.members.push_back(buildPackageParts(unsigned_));
  bytes = buildBundle(plain);
  if (!bytes.empty()) seeds.push_back({"bundle-unsigned-member", bytes});
}

/// Packages whose relations meet the seeded repository (tessel provides
/// routing, wardle needs tessel, quorilan carries media-kit), so that the
/// schedule run after an install has work to do.
void addRelationSeeds(std::vector<Seed>& seeds) {
  PackageDraft self = simplePackage("fuzzy", V1_0);
  self.deps = {PackageRef{"fuzzy", 0, 0, 0}};
  self.provides = {PackageRef{"fuzzy", 0, 0, 5}};
  self.conflicts = {PackageRef{"fuzzy", 0, 0, 0}};
  addPackage(seeds, "self-relations", self);

  PackageDraft provider = simplePackage("fuzzy", V1_0);
  provider.deps = {PackageRef{"routing", 0, 0, 0}};
  provider.provides = {PackageRef{"routing", 0, 0, 50}, PackageRef{"tessel", 0, 0, 0}};
  addPackage(seeds, "provides-installed-names", provider);

  // The new tessel needs routing, which only the tessel it replaces provides.
  PackageDraft needy = simplePackage("tessel", makeVersion(3, 22, 'f', 0));
  needy.deps = {PackageRef{"routing", 0, 0, 0}};
  addPackage(seeds, "upgrade-loses-its-provider", needy);

  PackageDraft older = simplePackage("wardle", makeVersion(0, 9, 'f', 0));
  older.deps = {PackageRef{"tessel", makeVersion(3, 10, 'f', 0), 0, 0}};
  addPackage(seeds, "downgrade", older);

  BundleDraft selfish;
  selfish.name = "selfish";
  selfish.version = V1_0;
  selfish.members = {buildPackageParts(simplePackage("selfish", V1_0)),
                     buildPackageParts(simplePackage("other", V1_0))};
  ByteVector bytes = buildBundle(selfish);
  if (!bytes.empty()) seeds.push_back({"member-named-as-bundle", bytes});

  BundleDraft base;
  base.name = "quorilan";
  base.version = makeVersion(2, 3, 'f', 0);
  base.optionalMembers = {PackageRef{"media-kit", 0, 0, 0}, PackageRef{"quorilan", 0, 0, 0}};
  PackageDraft member = simplePackage("media-kit", base.version);
  member.deps = {PackageRef{"quorilan", 0, 0, 0}};
  member.conflicts = {PackageRef{"wardle", 0, 0, 0}};
  base.members = {buildPackageParts(member), buildPackageParts(needy)};
  bytes = buildBundle(base);
  if (!bytes.empty()) seeds.push_back({"bundle-replaces-base", bytes});
}

}  // namespace

std::vector<Seed> packageSeeds() {
  std::vector<Seed> seeds;
  addPackageSeeds(seeds);
  addBundleSeeds(seeds);
  addRelationSeeds(seeds);
  return seeds;
}

std::vector<Seed> manifestSeeds() {
  auto text = [](const std::string& name, const std::string& content) {
    return Seed{name, std::vector<uint8_t>(content.begin(), content.end())};
  };
  return {text("operations", "L /flash/lib/libc.so libc-2.so\n"
                             "M /flash/var/pdb/fuzzy/version /flash/var/pdb/fuzzy/tmpA1b2C3\n"
                             "U /flash/bin/old\n"),
          text("stops-at-empty-line", "U /flash/a\n\nU /flash/b\n"),
          text("malformed", "U /flash/a\nM /flash/b\n"),
          text("unknown-kind", "X /flash/a b\nU /flash/c\n"),
          text("no-final-newline", "M /flash/a /ram/tmpQwErTy extra")};
}

std::vector<Seed> databaseEntrySeeds() {
  auto entry = [](const std::string& name, uint16_t mask, const std::vector<std::string>& files) {
    return Seed{name, frameDatabaseEntry(mask, files)};
  };
  return {
      entry("complete", 0x003F,
            {"16908800 1000\n", "tessel 50331648 0\n", "routing 0 0 -5\n", "old 0 16777216\n",
             "quorilan\n", "flash/bin/fuzzy\n/flash/etc/fuzzy.conf\n\n"}),
      entry("disabled-auto", 0x0061, {"16777216 1000\n", "bin/fuzzy\n", "auto\n"}),
      entry("enabled-user", 0x00A1, {"16777216 1000\n", "bin/fuzzy\n", "user\n"}),
      entry("scheduled", 0x0121, {"16777216 1000\n", "bin/fuzzy\n", "disable now\n"}),
      entry("malformed-lists", 0x000F, {"1 2\n", "tessel 1\n", "routing 0 0\n", "x 1 2 3\n"}),
      entry("bundle-only", 0x0040, {""}),
      entry("from-image", ENTRY_FROM_IMAGE | 0x0140, {"user\n", "uninstall\n"}),
      entry("inert", ENTRY_INERT | 0x0100, {"enable\n"})};
}
