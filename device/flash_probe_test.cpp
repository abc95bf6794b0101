#include "device/flash_probe.h"

#include <gtest/gtest.h>

#include "chroot_check.h"

namespace {

struct PvrCase {
  const char* what;
  uint32_t pvr;
  uint32_t withoutFeatureBit;
  uint32_t withFeatureBit;
};

const PvrCase PVR_CASES[] = {
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

TEST(FlashProbe, VariantFromEveryPvrRow) {
  for (const PvrCase& c : PVR_CASES) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(variantFromPvr(c.pvr, false), c.withoutFeatureBit);
    EXPECT_EQ(variantFromPvr(c.pvr, true), c.withFeatureBit);
  }
}

TEST(FlashProbe, ProcessorVariantAsksTheFlashDeviceOnlyForSpecialRevisions) {
  int featureQueries = 0;
  deviceProbes().featureBit = [&featureQueries] {
    ++featureQueries;
    return true;
  };
  deviceProbes().processorVersion = [] { return 0x80850000u; };
  EXPECT_EQ(processorVariant(), 1u);
  EXPECT_EQ(featureQueries, 0);

  deviceProbes().processorVersion = [] { return 0x80211042u; };
  EXPECT_EQ(processorVariant(), 2u);
  EXPECT_EQ(featureQueries, 1);
  deviceProbes().featureBit = [] { return false; };
  EXPECT_EQ(processorVariant(), 4u);
  resetDeviceProbes();
}

TEST(FlashProbe, InjectedProbesAnswerThroughThePublicFunctions) {
  deviceProbes().largeBlockFlash = [] { return true; };
  deviceProbes().systemVersion = [] { return makeVersion(6, 40, 'f', 0); };
  EXPECT_TRUE(isLargeBlockFlash());
  EXPECT_EQ(minimumSystemVersion(), makeVersion(6, 40, 'f', 0));
  resetDeviceProbes();
}

#if !defined(__powerpc__)
TEST(FlashProbe, NoProcessorRegisterOffPowerPc) { EXPECT_EQ(readProcessorVersion(), 0u); }
#endif

TEST(FlashProbe, MissingDevicesGiveFixedAnswers) {
  TestRoot root;  // has no /dev
  EXPECT_TRUE(passesInRoot(root, [] {
    EXPECT_FALSE(probeLargeBlockFlash());
    EXPECT_FALSE(probeFlashFeatureBit());
    EXPECT_EQ(probeMinimumSystemVersion(), 0u);
    EXPECT_FALSE(isLargeBlockFlash());
    // The special revisions fall back to the processor's own variant.
    EXPECT_EQ(variantFromPvr(0x80211000, flashFeatureBit()), 4u);
  }));
}

TEST(FlashProbe, RegularFilesInPlaceOfTheDevicesAreNotFlash) {
  TestRoot root;
  root.write("/dev/mtd0", std::string(64, '\0'));
  root.write("/dev/flash", "");
  EXPECT_TRUE(passesInRoot(root, [] {
    // The requests fail on a plain file: no large blocks, no minimum
    // version, and a failed feature request reads as every bit set.
    EXPECT_FALSE(probeLargeBlockFlash());
    EXPECT_EQ(probeMinimumSystemVersion(), 0u);
    EXPECT_TRUE(probeFlashFeatureBit());
  }));
}

}  // namespace
