// Little-endian numbers in package files, taken apart and put together byte
// by byte so that the code is right on machines of either byte order.
#pragma once

#include <cstdint>

/// The u16 stored little-endian at `bytes`.
inline uint16_t readLittleU16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

/// The u32 stored little-endian at `bytes`.
inline uint32_t readLittleU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}
