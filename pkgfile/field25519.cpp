#include "pkgfile/field25519.h"

namespace field25519 {
namespace {

/// Width of limb i: 26 bits for even i, 25 for odd i.
constexpr int limbBits(int i) { return (i & 1) ? 25 : 26; }

/// Bit position of limb i in the 255-bit number.
constexpr int limbWeight(int i) { return 26 * ((i + 1) / 2) + 25 * (i / 2); }

/// 2^n as a signed 64-bit number, so that carries are scaled by
/// multiplication: shifting a negative number left is undefined.
constexpr int64_t power2(int n) { return int64_t(1) << n; }

/// Brings 64-bit limb sums back into balanced 26/25-bit limbs: each limb
/// passes its rounded carry upwards, the top one wraps around times 19
/// (2^255 = 19 mod p), and limb 0 carries once more into limb 1.
void carryWide(Element& out, int64_t h[LIMB_COUNT]) {
  for (int i = 0; i < LIMB_COUNT; ++i) {
    const int bits = limbBits(i);
    const int64_t carry = (h[i] + power2(bits - 1)) >> bits;
    h[i] -= carry * power2(bits);
    if (i + 1 < LIMB_COUNT) {
      h[i + 1] += carry;
    } else {
      h[0] += carry * 19;
    }
  }
  const int64_t carry = (h[0] + power2(25)) >> 26;
  h[0] -= carry * power2(26);
  h[1] += carry;
  for (int i = 0; i < LIMB_COUNT; ++i) {
    out.limb[i] = int32_t(h[i]);
  }
}

/// Factor of the product of limbs i and j placed at limb (i + j) mod 10:
/// two odd limbs overshoot their target weight by one bit, and a product
/// past the top wraps around with 2^255 = 19.
constexpr int64_t productFactor(int i, int j) {
  return ((i & j & 1) ? 2 : 1) * (i + j >= LIMB_COUNT ? 19 : 1);
}

/// x = x^(2^n): n successive squarings.
void squareTimes(Element& x, int n) {
  for (int i = 0; i < n; ++i) {
    square(x, x);
  }
}

/// out = a^(2^250 - 1) and a11 = a^11, the common start of the inverse and
/// of the square-root power.
void powTwo250Minus1(Element& out, Element& a11, const Element& a) {
  Element a2, a9, t, run5, run10, run20, run50, run100;
  square(a2, a);           // a^2
  square(t, a2);           // a^4
  square(t, t);            // a^8
  mul(a9, t, a);           // a^9
  mul(a11, a9, a2);        // a^11
  square(t, a11);          // a^22
  mul(run5, t, a9);        // a^(2^5 - 1)
  copy(t, run5);
  squareTimes(t, 5);
  mul(run10, t, run5);     // a^(2^10 - 1)
  copy(t, run10);
  squareTimes(t, 10);
  mul(run20, t, run10);    // a^(2^20 - 1)
  copy(t, run20);
  squareTimes(t, 20);
  mul(t, t, run20);        // a^(2^40 - 1)
  squareTimes(t, 10);
  mul(run50, t, run10);    // a^(2^50 - 1)
  copy(t, run50);
  squareTimes(t, 50);
  mul(run100, t, run50);   // a^(2^100 - 1)
  copy(t, run100);
  squareTimes(t, 100);
  mul(t, t, run100);       // a^(2^200 - 1)
  squareTimes(t, 50);
  mul(out, t, run50);      // a^(2^250 - 1)
}

/// Value of bits [start, start + count) of a 32-byte little-endian number.
uint32_t bitsAt(const uint8_t bytes[32], int start, int count) {
  uint64_t window = 0;
  const int first = start / 8;
  for (int k = 0; k < 5 && first + k < 32; ++k) {
    window |= uint64_t(bytes[first + k]) << (8 * k);
  }
  return uint32_t((window >> (start % 8)) & ((uint64_t(1) << count) - 1));
}

/// Turns balanced limbs into the canonical value's limbs, each within
/// 0 .. 2^bits - 1. q = floor(value / p) is -1, 0 or 1 for balanced limbs; it
/// is read off the carries of value + 19, then value - q·p is carried with
/// floor carries, dropping the multiple of 2^255 that falls off the top.
void canonicalLimbs(int32_t h[LIMB_COUNT]) {
  int32_t q = (19 * h[9] + (1 << 24)) >> 25;
  for (int i = 0; i < LIMB_COUNT; ++i) {
    q = (h[i] + q) >> limbBits(i);
  }
  h[0] += 19 * q;
  for (int i = 0; i < LIMB_COUNT; ++i) {
    const int32_t carry = h[i] >> limbBits(i);
    h[i] -= int32_t(carry * power2(limbBits(i)));
    if (i + 1 < LIMB_COUNT) {
      h[i + 1] += carry;
    }
  }
}

}  // namespace

void setSmall(Element& out, int32_t value) {
  out.limb[0] = value;
  for (int i = 1; i < LIMB_COUNT; ++i) {
    out.limb[i] = 0;
  }
}

void copy(Element& out, const Element& a) { out = a; }

void add(Element& out, const Element& a, const Element& b) {
  for (int i = 0; i < LIMB_COUNT; ++i) {
    out.limb[i] = a.limb[i] + b.limb[i];
  }
}

void sub(Element& out, const Element& a, const Element& b) {
  for (int i = 0; i < LIMB_COUNT; ++i) {
    out.limb[i] = a.limb[i] - b.limb[i];
  }
}

// The product loops are unrolled so that the target limbs and the factors
// become constants; that makes the check about three times faster.
void mul(Element& out, const Element& a, const Element& b) {
  int64_t h[LIMB_COUNT] = {};
#pragma GCC unroll 10
  for (int i = 0; i < LIMB_COUNT; ++i) {
#pragma GCC unroll 10
    for (int j = 0; j < LIMB_COUNT; ++j) {
      h[(i + j) % LIMB_COUNT] += int64_t(a.limb[i]) * b.limb[j] * productFactor(i, j);
    }
  }
  carryWide(out, h);
}

void square(Element& out, const Element& a) {
  int64_t h[LIMB_COUNT] = {};
#pragma GCC unroll 10
  for (int i = 0; i < LIMB_COUNT; ++i) {
    h[(2 * i) % LIMB_COUNT] += int64_t(a.limb[i]) * a.limb[i] * productFactor(i, i);
#pragma GCC unroll 9
    for (int j = i + 1; j < LIMB_COUNT; ++j) {
      h[(i + j) % LIMB_COUNT] += 2 * int64_t(a.limb[i]) * a.limb[j] * productFactor(i, j);
    }
  }
  carryWide(out, h);
}

void mulSmall(Element& out, const Element& a, int32_t c) {
  int64_t h[LIMB_COUNT];
  for (int i = 0; i < LIMB_COUNT; ++i) {
    h[i] = int64_t(a.limb[i]) * c;
  }
  carryWide(out, h);
}

void invert(Element& out, const Element& a) {
  Element t, a11;
  powTwo250Minus1(t, a11, a);
  squareTimes(t, 5);
  mul(out, t, a11);  // a^(2^255 - 32 + 11) = a^(p - 2)
}

void powP58(Element& out, const Element& a) {
  Element t, a11;
  powTwo250Minus1(t, a11, a);
  squareTimes(t, 2);
  mul(out, t, a);  // a^(2^252 - 4 + 1) = a^((p - 5) / 8)
}

bool isOdd(const Element& a) {
  uint8_t bytes[32];
  toBytes(bytes, a);
  return (bytes[0] & 1) != 0;
}

bool isZero(const Element& a) {
  uint8_t bytes[32];
  toBytes(bytes, a);
  uint8_t any = 0;
  for (uint8_t byte : bytes) {
    any |= byte;
  }
  return any == 0;
}

void fromBytes(Element& out, const uint8_t bytes[32]) {
  for (int i = 0; i < LIMB_COUNT; ++i) {
    out.limb[i] = int32_t(bitsAt(bytes, limbWeight(i), limbBits(i)));
  }
  out.limb[0] += 19 * (bytes[31] >> 7);  // bit 255: 2^255 = 19
}

void toBytes(uint8_t bytes[32], const Element& a) {
  Element balanced;
  mulSmall(balanced, a, 1);
  canonicalLimbs(balanced.limb);
  uint64_t pending = 0;
  int pendingBits = 0;
  int next = 0;
  for (int i = 0; i < LIMB_COUNT; ++i) {
    pending |= uint64_t(uint32_t(balanced.limb[i])) << pendingBits;
    pendingBits += limbBits(i);
    for (; pendingBits >= 8; pendingBits -= 8) {
      bytes[next++] = uint8_t(pending);
      pending >>= 8;
    }
  }
  bytes[next] = uint8_t(pending);  // the last 7 bits: 255 = 31·8 + 7
}

}  // namespace field25519
