#include "device/flash_probe.h"

#include <gtest/gtest.h>

#include "chroot_check.h"

namespace {

TEST(FlashProbe, VariantFromEveryPvrRow) {
  struct Case {
    const char* what;
    uint32_t pvr;
    uint32_t withoutFeatureBit;
    uint32_t withFeatureBit;
  };
  const Case cases[] = {
      {"e300 low byte 0x83", 0x80830010, 1, 1},
      {"e300 low byte 0x84", 0x00840000, 1, 1},
      {"e300 low byte 0x85", 0x12850021, 1, 1},
      {"e500 low byte 0x20", 0x80200020, 2, 2},
      {"e500 low byte 0x21, not a special revision", 0x80211100, 2, 2},
      {"special revision 0x802110xx", 0x802110FF, 4, 2},
      {"special revision 0x802121xx", 0x80212100, 4, 2},
      {"version field 0x1302", 0x13020005, 3, 3},
      {"version field 0x2302 is not 0x1302", 0x23020005, 0, 0},
      {"other low byte", 0x80860000, 0, 0},
      {"no processor register", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(variantFromPvr(c.pvr, false), c.withoutFeatureBit);
    EXPECT_EQ(variantFromPvr(c.pvr, true), c.withFeatureBit);
  }
#if !defined(__powerpc__)
  EXPECT_EQ(readProcessorVersion(), 0u);  // a value that names no variant
#endif
}

TEST(FlashProbe, ProcessorVariantAsksTheFlashDeviceOnlyForSpecialRevisions) {
  int featureQueries = 0;
  deviceProbes().featureBit = [&featureQueries] { return ++featureQueries != 2; };
  deviceProbes().processorVersion = [] { return 0x80850000u; };
  EXPECT_EQ(processorVariant(), 1u);
  EXPECT_EQ(featureQueries, 0);
  deviceProbes().processorVersion = [] { return 0x80211042u; };
  EXPECT_EQ(processorVariant(), 2u);
  EXPECT_EQ(processorVariant(), 4u);  // asked again: the bit is now clear
  EXPECT_EQ(featureQueries, 2);
  resetDeviceProbes();
}

TEST(FlashProbe, MissingDevicesAndPlainFilesGiveFixedAnswers) {
  TestRoot withoutDevices;
  EXPECT_TRUE(passesInRoot(withoutDevices, [] {
    EXPECT_FALSE(isLargeBlockFlash());
    EXPECT_FALSE(probeFlashFeatureBit());
    EXPECT_EQ(probeMinimumSystemVersion(), 0u);
    // The special revisions fall back to the processor's own variant.
    EXPECT_EQ(variantFromPvr(0x80211000, flashFeatureBit()), 4u);
  }));
  TestRoot withFiles;
  withFiles.write("/dev/mtd0", std::string(64, '\0'));
  withFiles.write("/dev/flash", "");
  EXPECT_TRUE(passesInRoot(withFiles, [] {
    // The requests fail on a plain file: no large blocks, no minimum
    // version, and a failed feature request reads as every bit set.
    EXPECT_FALSE(probeLargeBlockFlash());
    EXPECT_EQ(probeMinimumSystemVersion(), 0u);
    EXPECT_TRUE(probeFlashFeatureBit());
  }));
}

}  // namespace
