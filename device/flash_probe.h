// Probes of the hardware the installer runs on: the flash erase-block size,
// the flash device's feature bit, the processor variant and the minimum
// system version that the flash device demands. Each call asks the device
// again; a missing device gives a fixed answer, never an error.
#pragma once

#include <cstdint>
#include <functional>

#include "model/package_record.h"

/// The device answers behind the probe functions below. Tests replace
/// members to simulate a device; resetDeviceProbes() restores the real ones.
struct DeviceProbes {
  /// The processor version register; 0 where the processor has none.
  std::function<uint32_t()> processorVersion;
  /// The first flash partition has erase blocks of exactly 256 KiB.
  std::function<bool()> largeBlockFlash;
  /// "/dev/flash" reports feature bit 0x10.
  std::function<bool()> featureBit;
  /// The minimum system version that "/dev/flash" demands; 0 for none.
  std::function<PackageVersion()> systemVersion;
};

/// The probes in use; the real device probes unless a test replaced them.
DeviceProbes& deviceProbes();
/// Puts the real device probes back.
void resetDeviceProbes();

/// True when "/dev/mtd0" has erase blocks of exactly 256 KiB.
bool isLargeBlockFlash();
/// True when "/dev/flash" reports feature bit 0x10 (or its request fails).
bool flashFeatureBit();
/// 0 for none, else the variant 1 to MAX_PROCESSOR_VARIANT (model/machine.h)
/// of the processor's own files.
uint32_t processorVariant();
/// The minimum system version that "/dev/flash" demands; 0 without device.
PackageVersion minimumSystemVersion();

/// True for the two processor revisions whose variant the flash device's
/// feature bit decides.
bool isFeatureBitRevision(uint32_t pvr);
/// The processor variant of a PVR; `featureBit` matters only for the two
/// revisions of isFeatureBitRevision.
uint32_t variantFromPvr(uint32_t pvr, bool featureBit);

/// The real probes, asking the devices and the processor directly.
uint32_t readProcessorVersion();
bool probeLargeBlockFlash();
bool probeFlashFeatureBit();
PackageVersion probeMinimumSystemVersion();
