// Arithmetic in the prime field GF(2^255 - 19) for the signature check.
//
// An element is held as ten signed limbs of alternately 26 and 25 bits;
// limb i weighs 2^0, 2^26, 2^51, 2^77, 2^102, 2^128, 2^153, 2^179, 2^204,
// 2^230. Products are formed in 64 bits and folded back with 2^255 = 19.
// Nothing allocates; elements live on the caller's stack.
#pragma once

#include <cstdint>

namespace field25519 {

constexpr int LIMB_COUNT = 10;

/// A field element; the limbs may be out of their nominal range after add or
/// sub, and are brought back by mul, square and mulSmall.
struct Element {
  int32_t limb[LIMB_COUNT];
};

/// out = value, for a value below 2^26.
void setSmall(Element& out, int32_t value);
/// out = a.
void copy(Element& out, const Element& a);
/// out = a + b, limb by limb, without carries.
void add(Element& out, const Element& a, const Element& b);
/// out = a - b, limb by limb, without carries.
void sub(Element& out, const Element& a, const Element& b);
/// out = a · b with carries; out may alias a or b.
void mul(Element& out, const Element& a, const Element& b);
/// out = a² with carries; out may alias a.
void square(Element& out, const Element& a);
/// out = a · c for a small c (up to 2^20) with carries; c = 1 only carries.
void mulSmall(Element& out, const Element& a, int32_t c);
/// out = a^(p-2), the inverse of a; 0 gives 0.
void invert(Element& out, const Element& a);
/// out = a^((p-5)/8), the power behind square roots.
void powP58(Element& out, const Element& a);
/// True when the canonical value (0 .. p-1) is odd.
bool isOdd(const Element& a);
/// True when the value is 0 modulo p.
bool isZero(const Element& a);
/// Reads a 256-bit little-endian number, reduced modulo p.
void fromBytes(Element& out, const uint8_t bytes[32]);
/// Writes the canonical value (0 .. p-1) as 32 little-endian bytes.
void toBytes(uint8_t bytes[32], const Element& a);

}  // namespace field25519
