// The SHA-256-shaped hash of the signature check: the SHA-256 message
// schedule, rounds and padding, with the installer's own round constants and
// initial words.
#include <cstring>

#include "pkgfile/signature.h"

namespace {

constexpr size_t BLOCK_LENGTH = 64;

const uint32_t INITIAL_WORDS[8] = {
    0xcbbb9d5d, 0x629a292a, 0x9159015a, 0x152fecd8, 0x67332667, 0x8eb44a87, 0xdb0c2e0d, 0x47b5481d,
};

const uint32_t ROUND_CONSTANTS[64] = {
    0xca273ece, 0xd186b8c7, 0xeada7dd6, 0xf57d4f7f, 0x06f067aa, 0x0a637dc5, 0x113f9804, 0x1b710b35,
    0x28db77f5, 0x32caab7b, 0x3c9ebe0a, 0x431d67c4, 0x4cc5d4be, 0x597f299c, 0x5fcb6fab, 0x6c44198c,
    0x7ba0ea2d, 0x7eabf2d0, 0x8dbe8d03, 0x90bb1721, 0x99a2ad45, 0x9f86e289, 0xa84c4472, 0xb3df34fc,
    0xb99bb8d7, 0xbc76cbab, 0xc226a69a, 0xd304f19a, 0xde1be20a, 0xe39bb437, 0xee84927c, 0xf3edd277,
    0xfbfdfe53, 0x0bee2c7a, 0x0e90181c, 0x25f57204, 0x2da45582, 0x3a52c34c, 0x41dc0172, 0x495796fc,
    0x4bd31fc6, 0x533cde21, 0x5f7abfe3, 0x66c206b3, 0x6dfcc6bc, 0x7062f20f, 0x778d5127, 0x7eaba3cc,
    0x8363eccc, 0x85be1c25, 0x93c04028, 0x9f4a205f, 0xa1953565, 0xa627bb0f, 0xacfa8089, 0xb3c29b23,
    0xb602f6fa, 0xc36cee0a, 0xc7dc81ee, 0xce7b8471, 0xd740288c, 0xe21dba7a, 0xeabbff66, 0xf56a9e60,
};

uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t readBigEndian32(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

void writeBigEndian32(uint8_t* bytes, uint32_t value) {
  bytes[0] = uint8_t(value >> 24);
  bytes[1] = uint8_t(value >> 16);
  bytes[2] = uint8_t(value >> 8);
  bytes[3] = uint8_t(value);
}

/// Expands one 64-byte block into the 64 words of the message schedule.
void expandSchedule(const uint8_t block[BLOCK_LENGTH], uint32_t w[64]) {
  for (int t = 0; t < 16; ++t) {
    w[t] = readBigEndian32(block + 4 * t);
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
}

/// Runs the 64 rounds over one block and adds the result into `state`.
void compressBlock(uint32_t state[8], const uint8_t block[BLOCK_LENGTH]) {
  uint32_t w[64];
  expandSchedule(block, w);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
    const uint32_t choose = (e & f) ^ (~e & g);
    const uint32_t t1 = h + sum1 + choose + ROUND_CONSTANTS[t] + w[t];
    const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

/// Hashes the final partial block: the remaining bytes, 0x80, zero bytes and
/// the 64-bit big-endian bit count, spilling into a second block when the
/// count does not fit.
void compressTail(uint32_t state[8], const uint8_t* rest, size_t restLength, uint64_t totalLength) {
  uint8_t block[2 * BLOCK_LENGTH] = {};
  if (restLength > 0) {  // an empty message may come with a null pointer
    memcpy(block, rest, restLength);
  }
  block[restLength] = 0x80;
  const size_t tailLength = restLength + 9 <= BLOCK_LENGTH ? BLOCK_LENGTH : 2 * BLOCK_LENGTH;
  const uint64_t bitCount = totalLength * 8;
  for (int i = 0; i < 8; ++i) {
    block[tailLength - 1 - i] = uint8_t(bitCount >> (8 * i));
  }
  for (size_t offset = 0; offset < tailLength; offset += BLOCK_LENGTH) {
    compressBlock(state, block + offset);
  }
}

}  // namespace

void sha256Variant(const uint8_t* data, size_t length, uint8_t out[32]) {
  uint32_t state[8];
  memcpy(state, INITIAL_WORDS, sizeof state);
  size_t offset = 0;
  for (; length - offset >= BLOCK_LENGTH; offset += BLOCK_LENGTH) {
    compressBlock(state, data + offset);
  }
  compressTail(state, data + offset, length - offset, length);
  for (int i = 0; i < 8; ++i) {
    writeBigEndian32(out + 4 * i, state[i]);
  }
}
