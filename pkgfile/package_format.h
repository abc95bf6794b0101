// Constants of the package file container.
//
// A package file is an 8-byte file header (u32 magic, u32 length of the rest)
// followed by parts back to back: u16 type, u32 data length, data. Numbers are
// little-endian.
#pragma once

#include <cstdint>

constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
/// Marks a package that is installed without a database entry.
constexpr uint32_t SECOND_MAGIC = 0xA1100FFB;

constexpr uint32_t FILE_HEADER_LENGTH = 8;
constexpr uint32_t PART_HEADER_LENGTH = 6;

constexpr uint16_t PART_HEADER = 1;
constexpr uint16_t PART_TEXT2 = 2;
constexpr uint16_t PART_DEPENDS = 3;
constexpr uint16_t PART_FILES = 4;
constexpr uint16_t PART_SIGNATURE = 9;
constexpr uint16_t PART_ARCHITECTURE = 16;
constexpr uint16_t PART_CONFLICTS = 17;
constexpr uint16_t PART_BUNDLE_HEADER = 18;
constexpr uint16_t PART_PROVIDES = 19;
constexpr uint16_t PART_BUNDLE_MEMBERS = 20;
constexpr uint16_t PART_IMAGE = 21;
constexpr uint16_t PART_NOTE = 23;
constexpr uint16_t PART_TEXT24 = 24;

/// Header block of a part of type 1 or 18: 16-byte NUL-padded name, u32
/// version, u32 build time, 8 bytes not interpreted, optional u32 flags.
constexpr uint32_t HEADER_BLOCK_LENGTH = 32;
constexpr uint32_t NAME_FIELD_LENGTH = 16;
/// One reference list entry: name (16), u32 minVersion, 4 bytes not
/// interpreted, u32 maxVersion, i32 priority. The list starts with a u16 count.
constexpr uint32_t REF_ENTRY_LENGTH = 32;

/// File entry inside the files part: u16 mode, 21 bytes not interpreted,
/// u8 processor variant, u32 size, u16 name length, name, data.
constexpr uint32_t FILE_ENTRY_HEADER_LENGTH = 30;
