// Signing of package digests for package authors: key files, key
// generation and the signature data that the installer's check accepts.
#pragma once

#include <cstdint>
#include <string>

#include "pkgfile/signature.h"

/// A signing key: the private scalar a and the public key x(a·G), both as
/// 32 little-endian bytes. a is chosen so that a·G has an even y.
struct SigningKey {
  uint8_t privateScalar[32] = {};
  uint8_t publicKey[32] = {};
};

/// The development key of keys/development-key.txt, whose private half is
/// public; packages signed with it install only on development builds.
const SigningKey& developmentKey();

/// Reads a key file ("private <64 hex>" and "public <64 hex>" lines, or a
/// public key as a line of 64 hex digits alone; '#' comments) and checks that the public key belongs to the private scalar.
/// Prints an error and returns false on any problem.
bool readKeyFile(const std::string& path, SigningKey& key);

/// Reads the public key of a key file, which may hold only the "public"
/// line; a private line present must belong to it. Prints an error and
/// returns false on any problem.
bool readPublicKeyFile(const std::string& path, uint8_t publicKey[32]);

/// Writes `key` in the key file format to a new file readable only by its
/// owner, and its public key alone (64 hex digits, the form that
/// INSTALLER_SIGNATURE_KEY takes) to `path` + ".pub"; an existing file is
/// never overwritten. Prints an error and leaves neither file on failure.
bool writeKeyFile(const std::string& path, const SigningKey& key);

/// Creates a new random key whose public point has an even y.
bool generateKey(SigningKey& key);

/// Computes x(a·G) for the private scalar `privateScalar` (used modulo the
/// group order) and whether y(a·G) is even. False for a scalar that is 0
/// modulo the group order.
bool derivePublicKey(const uint8_t privateScalar[32], uint8_t publicKey[32], bool& evenY);

/// Fills the 68 bytes of signature part data for `digest` (the SHA-1 of the
/// package's signed bytes): the digest, the 16-byte check value and the
/// scalar v. The nonce is derived from the key and the digest, so the same
/// inputs always give the same bytes.
bool signDigest(const SigningKey& key, const uint8_t digest[20],
                uint8_t signature[SIGNATURE_DATA_LENGTH]);

/// The 64 hex digits of 32 bytes, in byte order.
std::string hexText(const uint8_t bytes[32]);

/// Parses 64 hex digits into 32 bytes; false for any other text.
bool parseHex32(const std::string& text, uint8_t bytes[32]);
