#include "device/flash_probe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace {

const char* const MTD_DEVICE = "/dev/mtd0";
const char* const FLASH_DEVICE = "/dev/flash";

constexpr unsigned long MEMGETINFO_REQUEST = 0x40204D01;
constexpr size_t MTD_INFO_LENGTH = 32;
constexpr size_t MTD_ERASESIZE_OFFSET = 12;
constexpr uint32_t LARGE_ERASE_BLOCK = 0x40000;

constexpr unsigned long FEATURE_REQUEST = 0x2000462B;
constexpr int FEATURE_BIT = 0x10;

constexpr unsigned long MINIMUM_VERSION_REQUEST = 0xC0044626;
constexpr uint16_t MINIMUM_VERSION_QUERY_KIND = 4;
constexpr uint16_t MINIMUM_VERSION_QUERY_ID = 37;

constexpr uint32_t REVISION_MASK = 0xFFFFFF00;
constexpr uint32_t FEATURE_REVISION_A = 0x80211000;
constexpr uint32_t FEATURE_REVISION_B = 0x80212100;

DeviceProbes realProbes() {
  return DeviceProbes{readProcessorVersion, probeLargeBlockFlash, probeFlashFeatureBit,
                      probeMinimumSystemVersion};
}

DeviceProbes& probesInUse() {
  static DeviceProbes probes = realProbes();
  return probes;
}

}  // namespace

DeviceProbes& deviceProbes() { return probesInUse(); }

void resetDeviceProbes() { probesInUse() = realProbes(); }

bool isLargeBlockFlash() { return deviceProbes().largeBlockFlash(); }

bool flashFeatureBit() { return deviceProbes().featureBit(); }

uint32_t processorVariant() {
  uint32_t pvr = deviceProbes().processorVersion();
  // The flash device is asked only for the revisions that need it.
  return variantFromPvr(pvr, isFeatureBitRevision(pvr) && flashFeatureBit());
}

PackageVersion minimumSystemVersion() { return deviceProbes().systemVersion(); }

bool isFeatureBitRevision(uint32_t pvr) {
  uint32_t revision = pvr & REVISION_MASK;
  return revision == FEATURE_REVISION_A || revision == FEATURE_REVISION_B;
}

uint32_t variantFromPvr(uint32_t pvr, bool featureBit) {
  if (isFeatureBitRevision(pvr)) return featureBit ? 2 : 4;
  uint32_t versionLowByte = (pvr >> 16) & 0xFF;
  if (versionLowByte == 0x20 || versionLowByte == 0x21) return 2;
  if (versionLowByte == 0x83 || versionLowByte == 0x84 || versionLowByte == 0x85) return 1;
  if ((pvr >> 16) == 0x1302) return 3;
  return 0;
}

uint32_t readProcessorVersion() {
#if defined(__powerpc__)
  uint32_t pvr;
  __asm__ volatile("mfspr %0, 287" : "=r"(pvr));
  return pvr;
#else
  return 0;
#endif
}

bool probeLargeBlockFlash() {
  int device = open(MTD_DEVICE, O_RDONLY);
  if (device < 0) return false;
  unsigned char info[MTD_INFO_LENGTH] = {};
  int result = ioctl(device, MEMGETINFO_REQUEST, info);
  close(device);
  if (result < 0) return false;
  // The kernel fills the block in the machine's own byte order.
  uint32_t eraseSize;
  std::memcpy(&eraseSize, info + MTD_ERASESIZE_OFFSET, sizeof eraseSize);
  return eraseSize == LARGE_ERASE_BLOCK;
}

bool probeFlashFeatureBit() {
  int device = open(FLASH_DEVICE, O_RDONLY);
  if (device < 0) return false;
  // A failing request returns -1, which has every bit set; it is taken as is.
  int features = ioctl(device, FEATURE_REQUEST, 0UL);
  close(device);
  return (features & FEATURE_BIT) != 0;
}

PackageVersion probeMinimumSystemVersion() {
  int device = open(FLASH_DEVICE, O_RDWR);
  if (device < 0) return 0;
  // The driver's request block, in the machine's own byte order: two u16
  // selectors and the u32 answer, which stays 0 unless the driver sets it.
  struct {
    uint16_t kind;
    uint16_t id;
    uint32_t result;
  } query = {MINIMUM_VERSION_QUERY_KIND, MINIMUM_VERSION_QUERY_ID, 0};
  static_assert(sizeof query == 8, "the driver expects an 8-byte block");
  ioctl(device, MINIMUM_VERSION_REQUEST, &query);
  close(device);
  return query.result;
}
