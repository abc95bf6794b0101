#include "device/flash_probe.h"

#include <gtest/gtest.h>

#include "chroot_check.h"

// A few processor version registers of real boards. Only the two revisions whose variant the flash device's feature
// bit decides have it asked, each time. The real probe reads the register on PowerPC only. Without devices, or with
// plain files in their place, the probes give fixed answers (a failed feature request reads as every bit set).
TEST(FlashProbe, ProcessorVariantsAndMissingDevices) {
  int queries = 0;
  deviceProbes().featureBit = [&queries] { return ++queries == 2; };
  std::string variants;
  for (uint32_t pvr : {0x80850020u, 0x80200020u, 0x80212100u, 0x80211042u, 0x13020005u, 0x80860000u, 0u}) {
    deviceProbes().processorVersion = [pvr] { return pvr; };
    variants += std::to_string(processorVariant());
  }
  resetDeviceProbes();
  EXPECT_EQ(variants + " " + std::to_string(queries), "1242300 2");
#if defined(__powerpc__)
  EXPECT_NE(deviceProbes().processorVersion(), 0u);  // the register itself (qemu-ppc: that of its -cpu model)
#else
  EXPECT_EQ(deviceProbes().processorVersion(), 0u);
#endif
  TestRoot root;
  EXPECT_TRUE(passesInRoot(root, [] {
    EXPECT_FALSE(isLargeBlockFlash() || probeFlashFeatureBit() || probeMinimumSystemVersion());
  }));
  root.write("/dev/mtd0", std::string(64, '\0'));
  root.write("/dev/flash", "");
  EXPECT_TRUE(passesInRoot(root, [] {
    EXPECT_FALSE(probeLargeBlockFlash() || probeMinimumSystemVersion() || !probeFlashFeatureBit());
  }));
}
