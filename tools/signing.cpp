#include "signing.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "console/console.h"
#include "source_tree.h"

namespace {

// Curve y² = x³ + 486662·x² + x over GF(2^255 - 19); the base point has
// x = 9 and the even y; its subgroup has order 2^252 + ORDER_LOW.
constexpr unsigned long CURVE_A = 486662;
constexpr unsigned long BASE_X = 9;
constexpr unsigned long BASE_Y_SQUARED = 39420360;
const char* const ORDER_LOW = "27742317777372353535851937790883648493";
constexpr int KEY_ATTEMPTS = 16;
// 1/9 mod p as 32 little-endian bytes in hex.
const char* const INVERSE_OF_NINE = "12c7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711c47";

const char* const KEY_FILE_COMMENT =
    "# Package signing key. Keep the private line secret.\n"
    "# Both values are 32 bytes written as 64 hex digits, least significant byte first.\n";

// The private half of keys/development-key.txt; the file says the same.
const char* const DEVELOPMENT_PRIVATE =
    "a99b8975c1449ba81569b08a3a0cd5c588321062602c061223b06945e7b47d0d";
const char* const DEVELOPMENT_PUBLIC =
    "9213af836af81a9b48b9a95dff2698f7de05104e0ed041d357dd887541cfe63c";

struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
  void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};

Bn newBn() { return Bn(BN_new()); }

Bn fromLittleEndian(const uint8_t bytes[32]) { return Bn(BN_lebin2bn(bytes, 32, nullptr)); }

bool toLittleEndian(const BIGNUM* number, uint8_t bytes[32]) {
  return BN_bn2lebinpad(number, bytes, 32) == 32;
}

// A point in affine coordinates, or the point at infinity.
struct AffinePoint {
  Bn x = newBn();
  Bn y = newBn();
  bool infinity = true;
};

// Affine arithmetic on the curve with OpenSSL big numbers. Speed does not
// matter here: it runs once per signature or key.
class Curve {
 public:
  Curve() : context_(BN_CTX_new()) {}

  /// Sets up the field, the curve constant, the group order and the base
  /// point; false when a big number operation fails.
  bool init() {
    bool ok = context_ && p_ && a_ && n_ && base_.x && base_.y;
    ok = ok && BN_set_word(p_.get(), 0) && BN_set_bit(p_.get(), 255) && BN_sub_word(p_.get(), 19);
    ok = ok && BN_set_word(a_.get(), CURVE_A);
    BIGNUM* low = nullptr;
    ok = ok && BN_dec2bn(&low, ORDER_LOW) > 0;
    Bn lowOwner(low);
    ok = ok && BN_set_word(n_.get(), 0) && BN_set_bit(n_.get(), 252) && BN_add(n_.get(), n_.get(), low);
    return ok && initBasePoint();
  }

  const BIGNUM* order() const { return n_.get(); }
  BN_CTX* context() const { return context_.get(); }

  /// out = k·G.
  bool multiplyBase(const BIGNUM* k, AffinePoint& out) { return multiply(k, base_, out); }

  /// out = k·point, by doubling and adding from the top bit.
  bool multiply(const BIGNUM* k, const AffinePoint& point, AffinePoint& out) {
    AffinePoint result;
    if (!result.x || !result.y) return false;
    for (int bit = BN_num_bits(k) - 1; bit >= 0; --bit) {
      if (!add(result, result, result)) return false;
      if (BN_is_bit_set(k, bit) && !add(result, point, result)) return false;
    }
    return copyPoint(result, out);
  }

 private:
  bool initBasePoint() {
    Bn ySquared = newBn();
    bool ok =
        ySquared && BN_set_word(ySquared.get(), BASE_Y_SQUARED) && BN_set_word(base_.x.get(), BASE_X);
    ok = ok && BN_mod_sqrt(base_.y.get(), ySquared.get(), p_.get(), context_.get()) != nullptr;
    if (ok && BN_is_odd(base_.y.get())) ok = BN_sub(base_.y.get(), p_.get(), base_.y.get());
    base_.infinity = false;
    return ok;
  }

  static bool copyPoint(const AffinePoint& from, AffinePoint& to) {
    to.infinity = from.infinity;
    return from.infinity || (BN_copy(to.x.get(), from.x.get()) && BN_copy(to.y.get(), from.y.get()));
  }

  // out = first + second; out may be either operand.
  bool add(const AffinePoint& first, const AffinePoint& second, AffinePoint& out) {
    if (first.infinity) return copyPoint(second, out);
    if (second.infinity) return copyPoint(first, out);
    Bn slope = newBn();
    if (!slope) return false;
    if (BN_cmp(first.x.get(), second.x.get()) == 0) {
      if (BN_cmp(first.y.get(), second.y.get()) != 0 || BN_is_zero(first.y.get())) {
        out.infinity = true;
        return true;
      }
      if (!tangentSlope(first, slope.get())) return false;
    } else if (!chordSlope(first, second, slope.get())) {
      return false;
    }
    return applySlope(first, second, slope.get(), out);
  }

  // (3x² + 2A·x + 1) / 2y
  bool tangentSlope(const AffinePoint& point, BIGNUM* slope) {
    BN_CTX* ctx = context_.get();
    Bn numerator = newBn(), term = newBn(), denominator = newBn();
    bool ok = numerator && term && denominator;
    ok = ok && BN_mod_sqr(numerator.get(), point.x.get(), p_.get(), ctx) &&
         BN_mul_word(numerator.get(), 3) &&
         BN_mod_mul(term.get(), a_.get(), point.x.get(), p_.get(), ctx) && BN_mul_word(term.get(), 2) &&
         BN_add(numerator.get(), numerator.get(), term.get()) && BN_add_word(numerator.get(), 1) &&
         BN_mod_add(denominator.get(), point.y.get(), point.y.get(), p_.get(), ctx);
    return ok && divide(numerator.get(), denominator.get(), slope);
  }

  // (y2 - y1) / (x2 - x1)
  bool chordSlope(const AffinePoint& first, const AffinePoint& second, BIGNUM* slope) {
    BN_CTX* ctx = context_.get();
    Bn numerator = newBn(), denominator = newBn();
    bool ok = numerator && denominator &&
              BN_mod_sub(numerator.get(), second.y.get(), first.y.get(), p_.get(), ctx) &&
              BN_mod_sub(denominator.get(), second.x.get(), first.x.get(), p_.get(), ctx);
    return ok && divide(numerator.get(), denominator.get(), slope);
  }

  bool divide(const BIGNUM* numerator, const BIGNUM* denominator, BIGNUM* quotient) {
    BN_CTX* ctx = context_.get();
    Bn inverse = newBn();
    return inverse && BN_mod_inverse(inverse.get(), denominator, p_.get(), ctx) != nullptr &&
           BN_mod_mul(quotient, numerator, inverse.get(), p_.get(), ctx);
  }

  // x3 = s² - A - x1 - x2, y3 = s·(x1 - x3) - y1
  bool applySlope(const AffinePoint& first, const AffinePoint& second, const BIGNUM* slope,
                  AffinePoint& out) {
    BN_CTX* ctx = context_.get();
    const BIGNUM* p = p_.get();
    Bn x3 = newBn(), y3 = newBn();
    bool ok = x3 && y3 && BN_mod_sqr(x3.get(), slope, p, ctx) &&
              BN_mod_sub(x3.get(), x3.get(), a_.get(), p, ctx) &&
              BN_mod_sub(x3.get(), x3.get(), first.x.get(), p, ctx) &&
              BN_mod_sub(x3.get(), x3.get(), second.x.get(), p, ctx) &&
              BN_mod_sub(y3.get(), first.x.get(), x3.get(), p, ctx) &&
              BN_mod_mul(y3.get(), y3.get(), slope, p, ctx) &&
              BN_mod_sub(y3.get(), y3.get(), first.y.get(), p, ctx);
    if (!ok) return false;
    out.x = std::move(x3);
    out.y = std::move(y3);
    out.infinity = false;
    return true;
  }

  std::unique_ptr<BN_CTX, CtxFree> context_;
  Bn p_ = newBn();
  Bn a_ = newBn();
  Bn n_ = newBn();
  AffinePoint base_;
};

bool reportCurveFailure() {
  error("signing arithmetic failed");
  return false;
}

// A public key must be a canonical field element and none of the points on
// which the check degenerates: x = 0, x = 9 (a private scalar of ±1) and
// x = 1/9.
bool isUsablePublicKey(const uint8_t publicKey[32]) {
  if (!belowFieldPrime(publicKey)) return false;
  std::string hex = hexText(publicKey);
  return hex != std::string(64, '0') && hex != "09" + std::string(62, '0') && hex != INVERSE_OF_NINE;
}

// Reduces a 32-byte little-endian scalar modulo the group order.
Bn reducedScalar(Curve& curve, const uint8_t bytes[32]) {
  Bn value = fromLittleEndian(bytes);
  if (!value || !BN_nnmod(value.get(), value.get(), curve.order(), curve.context())) return nullptr;
  return value;
}

// k = HMAC-SHA-256(private scalar, digest) mod n.
Bn deriveNonce(Curve& curve, const SigningKey& key, const uint8_t digest[20]) {
  uint8_t mac[32];
  unsigned int macLength = 0;
  if (!HMAC(EVP_sha256(), key.privateScalar, 32, digest, 20, mac, &macLength) || macLength != 32)
    return nullptr;
  return reducedScalar(curve, mac);
}

// v = (k - h) / a mod n.
bool signatureScalar(Curve& curve, const BIGNUM* k, const uint8_t h[32], const BIGNUM* a,
                     uint8_t v[32]) {
  BN_CTX* ctx = curve.context();
  Bn hValue = reducedScalar(curve, h);
  Bn inverse = newBn(), result = newBn();
  bool ok = hValue && inverse && result &&
            BN_mod_inverse(inverse.get(), a, curve.order(), ctx) != nullptr &&
            BN_mod_sub(result.get(), k, hValue.get(), curve.order(), ctx) &&
            BN_mod_mul(result.get(), result.get(), inverse.get(), curve.order(), ctx);
  return ok && toLittleEndian(result.get(), v);
}

std::string trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Reads the "private" and "public" lines of a key file.
bool parseKeyLines(const std::string& path, std::istream& in, SigningKey& key, bool& hasPrivate,
                   bool& hasPublic) {
  hasPrivate = false;
  hasPublic = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word, value, rest;
    words >> word >> value >> rest;
    // A line of 64 hex digits alone is a public key, as keygen writes it
    // into KEYFILE.pub and as INSTALLER_SIGNATURE_KEY takes it.
    if (value.empty() && parseHex32(word, key.publicKey)) {
      hasPublic = true;
      continue;
    }
    bool isPrivate = word == "private";
    bool valid = (isPrivate || word == "public") && rest.empty() &&
                 parseHex32(value, isPrivate ? key.privateScalar : key.publicKey);
    if (!valid) {
      error("key file %s: line %d is not \"private <64 hex digits>\" or \"public <64 hex digits>\"",
            path.c_str(), number);
      return false;
    }
    (isPrivate ? hasPrivate : hasPublic) = true;
  }
  return true;
}

// Opens and parses a key file.
bool loadKeyFile(const std::string& path, SigningKey& key, bool& hasPrivate, bool& hasPublic) {
  std::ifstream in(path);
  if (!in) {
    error("cannot read key file %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  return parseKeyLines(path, in, key, hasPrivate, hasPublic);
}

// Checks that the scalar's point has an even y and matches the stated key.
bool checkKeyPair(const std::string& path, SigningKey& key, bool hasPublic) {
  uint8_t derived[32];
  bool evenY = false;
  if (!derivePublicKey(key.privateScalar, derived, evenY)) {
    error("key file %s: the private key is not usable", path.c_str());
    return false;
  }
  if (!evenY) {
    error("key file %s: the private key's point has an odd y", path.c_str());
    return false;
  }
  if (hasPublic && std::memcmp(derived, key.publicKey, 32) != 0) {
    error("key file %s: the public key does not belong to the private key", path.c_str());
    return false;
  }
  std::memcpy(key.publicKey, derived, 32);
  if (!isUsablePublicKey(key.publicKey)) {
    error("key file %s: the public key is not usable", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string hexText(const uint8_t bytes[32]) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 0xF];
  }
  return text;
}

bool parseHex32(const std::string& text, uint8_t bytes[32]) {
  if (text.size() != 64) return false;
  uint8_t parsed[32];
  for (size_t i = 0; i < 64; ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    if (i % 2 == 0)
      parsed[i / 2] = static_cast<uint8_t>(digit << 4);
    else
      parsed[i / 2] = static_cast<uint8_t>(parsed[i / 2] | digit);
  }
  std::memcpy(bytes, parsed, 32);
  return true;
}

const SigningKey& developmentKey() {
  static const SigningKey key = [] {
    SigningKey k;
    parseHex32(DEVELOPMENT_PRIVATE, k.privateScalar);
    parseHex32(DEVELOPMENT_PUBLIC, k.publicKey);
    return k;
  }();
  return key;
}

bool derivePublicKey(const uint8_t privateScalar[32], uint8_t publicKey[32], bool& evenY) {
  Curve curve;
  if (!curve.init()) return reportCurveFailure();
  Bn a = reducedScalar(curve, privateScalar);
  if (!a) return reportCurveFailure();
  if (BN_is_zero(a.get())) return false;
  AffinePoint point;
  if (!curve.multiplyBase(a.get(), point) || point.infinity || !toLittleEndian(point.x.get(), publicKey))
    return reportCurveFailure();
  evenY = !BN_is_odd(point.y.get());
  return true;
}

bool signDigest(const SigningKey& key, const uint8_t digest[20],
                uint8_t signature[SIGNATURE_DATA_LENGTH]) {
  Curve curve;
  if (!curve.init()) return reportCurveFailure();
  Bn a = reducedScalar(curve, key.privateScalar);
  Bn k = deriveNonce(curve, key, digest);
  if (!a || !k) return reportCurveFailure();
  if (BN_is_zero(a.get()) || BN_is_zero(k.get())) {
    error("the signing key cannot sign this package");
    return false;
  }
  AffinePoint commitment;
  uint8_t commitmentX[32], commitmentHash[32], h[32], v[32];
  if (!curve.multiplyBase(k.get(), commitment) || commitment.infinity ||
      !toLittleEndian(commitment.x.get(), commitmentX))
    return reportCurveFailure();
  sha256Variant(commitmentX, 32, commitmentHash);
  digestScalar(h, digest, commitmentHash);
  if (!signatureScalar(curve, k.get(), h, a.get(), v)) return reportCurveFailure();
  std::memcpy(signature, digest, STORED_DIGEST_LENGTH);
  std::memcpy(signature + CHECK_VALUE_OFFSET, commitmentHash, CHECK_VALUE_LENGTH);
  std::memcpy(signature + SCALAR_OFFSET, v, SCALAR_LENGTH);
  return true;
}

bool generateKey(SigningKey& key) {
  Curve curve;
  if (!curve.init()) return reportCurveFailure();
  for (int attempt = 0; attempt < KEY_ATTEMPTS; ++attempt) {
    uint8_t random[32];
    if (RAND_bytes(random, sizeof random) != 1) {
      error("no random numbers for a new key");
      return false;
    }
    Bn a = reducedScalar(curve, random);
    AffinePoint point;
    if (!a) return reportCurveFailure();
    if (BN_is_zero(a.get())) continue;
    if (!curve.multiplyBase(a.get(), point)) return reportCurveFailure();
    if (point.infinity) continue;
    if (BN_is_odd(point.y.get()) && !BN_sub(a.get(), curve.order(), a.get()))
      return reportCurveFailure();
    SigningKey candidate;
    if (!toLittleEndian(a.get(), candidate.privateScalar) ||
        !toLittleEndian(point.x.get(), candidate.publicKey))
      return reportCurveFailure();
    if (!isUsablePublicKey(candidate.publicKey)) continue;
    key = candidate;
    return true;
  }
  error("could not find a usable key");
  return false;
}

bool readKeyFile(const std::string& path, SigningKey& key) {
  SigningKey parsed;
  bool hasPrivate = false, hasPublic = false;
  if (!loadKeyFile(path, parsed, hasPrivate, hasPublic)) return false;
  if (!hasPrivate) {
    error("key file %s holds no private key", path.c_str());
    return false;
  }
  if (!checkKeyPair(path, parsed, hasPublic)) return false;
  key = parsed;
  return true;
}

bool readPublicKeyFile(const std::string& path, uint8_t publicKey[32]) {
  SigningKey parsed;
  bool hasPrivate = false, hasPublic = false;
  if (!loadKeyFile(path, parsed, hasPrivate, hasPublic)) return false;
  if (hasPrivate) {
    if (!checkKeyPair(path, parsed, hasPublic)) return false;
  } else if (!hasPublic) {
    error("key file %s holds no key", path.c_str());
    return false;
  } else if (!isUsablePublicKey(parsed.publicKey)) {
    error("key file %s: the public key is not usable", path.c_str());
    return false;
  }
  std::memcpy(publicKey, parsed.publicKey, 32);
  return true;
}

bool writeKeyFile(const std::string& path, const SigningKey& key) {
  std::string text = std::string(KEY_FILE_COMMENT) + "private " + hexText(key.privateScalar) +
                     "\npublic " + hexText(key.publicKey) + "\n";
  std::string publicText = hexText(key.publicKey) + "\n";
  // New files only, the private one readable by its owner alone: an
  // existing key is never overwritten.
  if (!writeFileBeside(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0600, false))
    return false;
  if (writeFileBeside(path + ".pub", reinterpret_cast<const uint8_t*>(publicText.data()), publicText.size(), 0644,
                      false))
    return true;
  ::unlink(path.c_str());
  return false;
}
