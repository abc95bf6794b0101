// The curve half of the signature check: x(v·P + h·G) by a two-scalar
// x-only ladder, and the check of the 68 bytes of signature data.
#include "pkgfile/signature.h"

#include <cstring>

#include "pkgfile/field25519.h"
#include "signature_key.h"

const uint8_t SIGNATURE_KEY[32] = {SIGNATURE_KEY_BYTES};

namespace {

using field25519::Element;

/// The check value is XORed into these bytes of the hashed digest.
constexpr size_t CHECK_VALUE_MIX_OFFSET = 8;

constexpr int32_t CURVE_A = 486662;
/// (CURVE_A - 2) / 4, the constant of the doubling formula.
constexpr int32_t CURVE_A24 = 121665;
constexpr int32_t BASE_X = 9;
constexpr int32_t BASE_Y_SQUARED = 39420360;
/// 2·y(G) mod p for the even square root of BASE_Y_SQUARED, little-endian.
const uint8_t TWICE_BASE_Y[32] = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e,
};
/// p = 2^255 - 19, little-endian.
const uint8_t FIELD_PRIME[32] = {
    0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f,
};

/// Bit positions -1 .. 256 of a scalar are stored at index n + 1.
constexpr int BIT_SLOTS = 258;

/// A point on the x-line, (X : Z); Z = 0 is the point at infinity.
struct XPoint {
  Element x;
  Element z;
};

/// What the ladder needs to know of the key: B[0] = x(G), B[1] = x(P) and
/// S[0] = x(P + G), S[1] = x(P - G), the differences of its additions.
struct KeyPoints {
  Element base[2];
  Element sum[2];
};

/// The bits of v and h, and the chain d, for n = -1 .. 256.
struct LadderBits {
  uint8_t v[BIT_SLOTS];
  uint8_t h[BIT_SLOTS];
  uint8_t d[BIT_SLOTS];

  int vBit(int n) const { return v[n + 1]; }
  int hBit(int n) const { return h[n + 1]; }
  int dBit(int n) const { return d[n + 1]; }
};

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t length) {
  uint8_t difference = 0;
  for (size_t i = 0; i < length; ++i) {
    difference |= uint8_t(a[i] ^ b[i]);
  }
  return difference == 0;
}

/// out = x³ + A·x² + x, the square of y on the curve.
void curveRightSide(Element& out, const Element& x) {
  Element x2, x3, ax2;
  field25519::square(x2, x);
  field25519::mul(x3, x2, x);
  field25519::mulSmall(ax2, x2, CURVE_A);
  field25519::add(out, x3, ax2);
  field25519::add(out, out, x);
  field25519::mulSmall(out, out, 1);
}

/// root = a square root of u: with t = 2u and w = t^((p-5)/8),
/// root = u·w·(t·w² - 1). False when u has none (root² ≠ u).
bool squareRoot(Element& root, const Element& u) {
  Element t, w, tw2, one, check;
  field25519::add(t, u, u);
  field25519::powP58(w, t);
  field25519::square(tw2, w);
  field25519::mul(tw2, tw2, t);
  field25519::setSmall(one, 1);
  field25519::sub(tw2, tw2, one);
  field25519::mul(root, u, w);
  field25519::mul(root, root, tw2);
  field25519::square(check, root);
  field25519::sub(check, check, u);
  return field25519::isZero(check);
}

/// T[0] = (y(P) - y(G))² and T[1] = (y(P) + y(G))², both y even, from
/// y(P)² = u and a root r of u: T = u + y(G)² ∓ 2·y(G)·r, the signs swapped
/// when r is odd (then y(P) = -r).
void squaredYDifferences(Element squares[2], const Element& u, const Element& root) {
  Element a, b, twiceBaseY;
  const int j = field25519::isOdd(root) ? 1 : 0;
  field25519::setSmall(a, BASE_Y_SQUARED);
  field25519::add(a, a, u);
  field25519::fromBytes(twiceBaseY, TWICE_BASE_Y);
  field25519::mul(b, twiceBaseY, root);
  field25519::sub(squares[j], a, b);
  field25519::add(squares[1 - j], a, b);
}

/// Fills the key's points for the ladder. False when the key cannot be
/// used: not below p, not on the curve, x(P) = 0 (a point of order two),
/// P = ±G, or P ± G of order two; the ladder's additions would then be
/// undefined and its result meaningless.
bool prepareKey(KeyPoints& points, const uint8_t key[32]) {
  if (!belowFieldPrime(key)) {
    return false;
  }
  Element px, u, root, squares[2], dx, q, offset;
  field25519::fromBytes(px, key);
  curveRightSide(u, px);
  if (field25519::isZero(u) || !squareRoot(root, u)) {
    return false;
  }
  squaredYDifferences(squares, u, root);
  field25519::setSmall(dx, BASE_X);
  field25519::sub(dx, px, dx);
  if (field25519::isZero(dx)) {
    return false;
  }
  field25519::square(q, dx);
  field25519::invert(q, q);
  field25519::setSmall(offset, BASE_X + CURVE_A);
  field25519::add(offset, offset, px);
  for (int i = 0; i < 2; ++i) {
    field25519::mul(points.sum[i], squares[i], q);
    field25519::sub(points.sum[i], points.sum[i], offset);
    field25519::mulSmall(points.sum[i], points.sum[i], 1);
    if (field25519::isZero(points.sum[i])) {
      return false;
    }
  }
  field25519::setSmall(points.base[0], BASE_X);
  field25519::copy(points.base[1], px);
  return true;
}

/// Bit n of a 256-bit little-endian number, 0 outside 0 .. 255.
int scalarBit(const uint8_t scalar[32], int n) {
  if (n < 0 || n > 255) {
    return 0;
  }
  return (scalar[n / 8] >> (n % 8)) & 1;
}

/// Reads the bits of v and h and computes the whole chain d upwards:
/// d(-1) = 0, d(n) = e(n) XOR (d(n-1) AND NOT (e(n) XOR f(n))), where e and
/// f mark where the bits of v and h change.
void computeLadderBits(LadderBits& bits, const uint8_t v[32], const uint8_t h[32]) {
  for (int n = -1; n <= 256; ++n) {
    bits.v[n + 1] = uint8_t(scalarBit(v, n));
    bits.h[n + 1] = uint8_t(scalarBit(h, n));
  }
  bits.d[0] = 0;
  for (int n = 0; n <= 256; ++n) {
    const int e = bits.vBit(n) ^ bits.vBit(n - 1);
    const int f = bits.hBit(n) ^ bits.hBit(n - 1);
    bits.d[n + 1] = uint8_t(e ^ (bits.dBit(n - 1) & (1 ^ e ^ f)));
  }
}

void setPoint(XPoint& point, const Element& x, int32_t z) {
  field25519::copy(point.x, x);
  field25519::setSmall(point.z, z);
}

/// out = 2·R from R's X + Z and X - Z.
void doublePoint(XPoint& out, const Element& sum, const Element& difference) {
  Element xx, zz, e, t;
  field25519::square(xx, sum);
  field25519::square(zz, difference);
  field25519::sub(e, xx, zz);
  field25519::mul(out.x, xx, zz);
  field25519::mulSmall(t, e, CURVE_A24);
  field25519::add(t, t, xx);
  field25519::mul(out.z, e, t);
}

/// out = R + Q from their X + Z and X - Z, given x of R - Q (affine).
void addPoints(XPoint& out, const Element& sumR, const Element& differenceR, const Element& sumQ,
               const Element& differenceQ, const Element& xOfDifference) {
  Element u, w, t;
  field25519::mul(u, differenceR, sumQ);
  field25519::mul(w, sumR, differenceQ);
  field25519::add(t, u, w);
  field25519::square(out.x, t);
  field25519::sub(t, u, w);
  field25519::square(t, t);
  field25519::mul(out.z, xOfDifference, t);
}

/// One step of the ladder at bit n; every update reads the three points as
/// they were at the start of the step.
void ladderStep(XPoint r[3], const KeyPoints& key, const LadderBits& bits, int n) {
  Element sum[3], difference[3];
  for (int i = 0; i < 3; ++i) {
    field25519::add(sum[i], r[i].x, r[i].z);
    field25519::sub(difference[i], r[i].x, r[i].z);
  }
  const int doubled = (bits.vBit(n) ^ bits.vBit(n + 1)) + (bits.hBit(n) ^ bits.hBit(n + 1));
  const int added = 2 * (bits.dBit(n) ^ bits.dBit(n + 1));
  const int sumIndex = bits.vBit(n + 1) ^ bits.hBit(n + 1);
  doublePoint(r[0], sum[doubled], difference[doubled]);
  addPoints(r[1], sum[1], difference[1], sum[added], difference[added], key.base[bits.dBit(n)]);
  addPoints(r[2], sum[2], difference[2], sum[0], difference[0], key.sum[sumIndex]);
}

/// x = X/Z of the ladder's final point, 0 at infinity (the inverse of 0 is 0).
void affineX(uint8_t x[32], const XPoint& point) {
  Element inverse, affine;
  field25519::invert(inverse, point.z);
  field25519::mul(affine, point.x, inverse);
  field25519::toBytes(x, affine);
}

}  // namespace

bool belowFieldPrime(const uint8_t x[32]) {
  for (int i = 31; i >= 0; --i) {
    if (x[i] != FIELD_PRIME[i]) {
      return x[i] < FIELD_PRIME[i];
    }
  }
  return false;
}

void digestScalar(uint8_t h[32], const uint8_t digest[STORED_DIGEST_LENGTH],
                  const uint8_t checkValue[CHECK_VALUE_LENGTH]) {
  sha256Variant(digest, STORED_DIGEST_LENGTH, h);
  for (size_t i = 0; i < CHECK_VALUE_LENGTH; ++i) {
    h[CHECK_VALUE_MIX_OFFSET + i] ^= checkValue[i];
  }
  h[0] &= 0xf8;
  h[31] &= 0x7f;
  h[31] |= 0x40;
}

bool combinePointsChecked(const uint8_t v[32], const uint8_t h[32], const uint8_t key[32],
                          uint8_t x[32]) {
  KeyPoints keyPoints;
  if (!prepareKey(keyPoints, key)) {
    memset(x, 0, 32);
    return false;
  }
  LadderBits bits;
  computeLadderBits(bits, v, h);
  XPoint r[3];
  field25519::setSmall(r[0].x, 1);  // the point at infinity
  field25519::setSmall(r[0].z, 0);
  setPoint(r[1], keyPoints.base[bits.dBit(256)], 1);
  setPoint(r[2], keyPoints.sum[0], 1);
  for (int n = 255; n >= 0; --n) {
    ladderStep(r, keyPoints, bits, n);
  }
  affineX(x, r[bits.vBit(0) + bits.hBit(0)]);
  return true;
}

void combinePoints(const uint8_t v[32], const uint8_t h[32], const uint8_t key[32], uint8_t x[32]) {
  combinePointsChecked(v, h, key, x);
}

bool verifySignatureData(const uint8_t digest[20], const uint8_t data[SIGNATURE_DATA_LENGTH],
                         const uint8_t key[32]) {
  if (!sameBytes(data, digest, STORED_DIGEST_LENGTH)) {
    return false;
  }
  const uint8_t* checkValue = data + CHECK_VALUE_OFFSET;
  uint8_t h[32];
  digestScalar(h, digest, checkValue);
  uint8_t y[32];
  if (!combinePointsChecked(data + SCALAR_OFFSET, h, key, y)) {
    return false;
  }
  uint8_t yHash[32];
  sha256Variant(y, sizeof y, yHash);
  return sameBytes(yHash, checkValue, CHECK_VALUE_LENGTH);
}
