// Constants of the package file container: magics, part types, and the
// offsets and sizes of the fields inside the fixed-size blocks. Numbers are
// little-endian; offsets count from the start of their block.
#pragma once

#include <cstdint>

constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
/// Marks a package that is installed without a database entry.
constexpr uint32_t UNREGISTERED_PACKAGE_MAGIC = 0xA1100FFB;

/// File header: u32 magic at 0, u32 length of the rest of the file at 4.
constexpr uint32_t FILE_HEADER_LENGTH = 8;
constexpr uint32_t FILE_REST_LENGTH_OFFSET = 4;

/// Part header, before each part's data: u16 type at 0, u32 data length at
/// 2. Parts follow each other without padding.
constexpr uint32_t PART_HEADER_LENGTH = 6;
constexpr uint32_t PART_LENGTH_OFFSET = 2;

/// Part types. Parts 2 and 24 hold texts that the installer keeps in the
/// record and never interprets.
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

/// A NUL-padded name: the bytes before the first NUL, all 16 without one.
constexpr uint32_t NAME_FIELD_LENGTH = 16;

/// Header block, the data of a part of type 1 or 18: name at 0, u32 version
/// at 16, u32 build time at 20, 8 bytes not interpreted at 24; then u32
/// flags at 32 when the part is long enough to hold them.
constexpr uint32_t HEADER_VERSION_OFFSET = 16;
constexpr uint32_t HEADER_BUILD_TIME_OFFSET = 20;
constexpr uint32_t HEADER_RESERVED_LENGTH = 8;
constexpr uint32_t HEADER_BLOCK_LENGTH = 32;
constexpr uint32_t HEADER_FLAGS_OFFSET = HEADER_BLOCK_LENGTH;
constexpr uint32_t FLAGS_LENGTH = 4;

/// Reference list, the data of a part of type 3, 17, 19 or 20: a u16 count,
/// then that many entries of name at 0, u32 minVersion at 16, 4 bytes not
/// interpreted at 20, u32 maxVersion at 24, i32 priority at 28.
constexpr uint32_t REF_COUNT_LENGTH = 2;
constexpr uint32_t REF_MIN_VERSION_OFFSET = 16;
constexpr uint32_t REF_RESERVED_LENGTH = 4;
constexpr uint32_t REF_MAX_VERSION_OFFSET = 24;
constexpr uint32_t REF_PRIORITY_OFFSET = 28;
constexpr uint32_t REF_ENTRY_LENGTH = 32;

/// File entry header, inside the zlib stream of the files part: u16 mode at
/// 0, 21 bytes not interpreted at 2, u8 processor variant at 23, u32 data
/// size at 24, u16 name length at 28; the name and the data follow.
constexpr uint32_t FILE_ENTRY_MODE_OFFSET = 0;
constexpr uint32_t FILE_ENTRY_RESERVED_LENGTH = 21;
constexpr uint32_t FILE_ENTRY_VARIANT_OFFSET = 23;
constexpr uint32_t FILE_ENTRY_SIZE_OFFSET = 24;
constexpr uint32_t FILE_ENTRY_NAME_LENGTH_OFFSET = 28;
constexpr uint32_t FILE_ENTRY_HEADER_LENGTH = 30;

static_assert(HEADER_VERSION_OFFSET == NAME_FIELD_LENGTH &&
                  HEADER_BLOCK_LENGTH == HEADER_BUILD_TIME_OFFSET + 4 + HEADER_RESERVED_LENGTH,
              "header block layout");
static_assert(REF_MAX_VERSION_OFFSET == REF_MIN_VERSION_OFFSET + 4 + REF_RESERVED_LENGTH &&
                  REF_ENTRY_LENGTH == REF_PRIORITY_OFFSET + 4,
              "reference entry layout");
static_assert(FILE_ENTRY_VARIANT_OFFSET == 2 + FILE_ENTRY_RESERVED_LENGTH &&
                  FILE_ENTRY_HEADER_LENGTH == FILE_ENTRY_NAME_LENGTH_OFFSET + 2,
              "file entry header layout");

/// The type bits of a file entry's mode and their value for a regular file
/// (the Unix values). Entries of any other type are not installed.
constexpr uint32_t FILE_TYPE_MASK = 0170000;
constexpr uint32_t REGULAR_FILE_TYPE = 0100000;

constexpr bool isRegularFileMode(uint32_t mode) {
  return (mode & FILE_TYPE_MASK) == REGULAR_FILE_TYPE;
}
