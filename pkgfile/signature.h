// The signature check of a package: a SHA-1 digest of the package's bytes,
// signed with Curve25519 and a SHA-256-shaped hash with its own constants.
#pragma once

#include <cstddef>
#include <cstdint>

/// Signature part data, the 68 bytes that the check reads: the stored SHA-1
/// digest at 0, the 16-byte check value at 20 and the 32-byte scalar v at 36.
constexpr size_t SIGNATURE_DATA_LENGTH = 68;
constexpr size_t STORED_DIGEST_LENGTH = 20;
constexpr size_t CHECK_VALUE_OFFSET = 20;
constexpr size_t CHECK_VALUE_LENGTH = 16;
constexpr size_t SCALAR_OFFSET = 36;
constexpr size_t SCALAR_LENGTH = 32;
static_assert(SCALAR_OFFSET == CHECK_VALUE_OFFSET + CHECK_VALUE_LENGTH &&
                  SIGNATURE_DATA_LENGTH == SCALAR_OFFSET + SCALAR_LENGTH,
              "signature data layout");

/// The public key built into the installer (x-coordinate, little-endian).
extern const uint8_t SIGNATURE_KEY[32];

/// SHA-256 with the installer's own round constants and initial words.
void sha256Variant(const uint8_t* data, size_t length, uint8_t out[32]);

/// x-coordinate of v·P + h·G as 32 little-endian bytes (all zero at
/// infinity), P the point of `key` with even y, G the base point. v and h
/// are used as given: 256-bit little-endian numbers, not reduced or clamped.
void combinePoints(const uint8_t v[32], const uint8_t h[32], const uint8_t key[32], uint8_t x[32]);

/// combinePoints that refuses a key the computation cannot use (not below p,
/// not on the curve, x(P) = 0, P = ±G, or x(P) = 1/9, where P ± G has order
/// two): false, and x all zero.
bool combinePointsChecked(const uint8_t v[32], const uint8_t h[32], const uint8_t key[32],
                          uint8_t x[32]);

/// h for the curve: the variant hash of `digest` with `checkValue` XORed into
/// bytes 8 .. 23, clamped to a multiple of 8 with bit 254 set. The signer
/// forms the same h.
void digestScalar(uint8_t h[32], const uint8_t digest[STORED_DIGEST_LENGTH],
                  const uint8_t checkValue[CHECK_VALUE_LENGTH]);

/// True when the 32 little-endian bytes are below p = 2^255 - 19.
bool belowFieldPrime(const uint8_t x[32]);

/// True when the 68 bytes of signature data (stored digest, check value,
/// scalar v) sign `digest` for `key`.
bool verifySignatureData(const uint8_t digest[20], const uint8_t data[SIGNATURE_DATA_LENGTH],
                         const uint8_t key[32]);
