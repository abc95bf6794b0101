#include "pkgfile/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using field25519::Element;
using Bytes = std::vector<uint8_t>;
using BigNumber = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

/// The arithmetic is checked against OpenSSL's big numbers modulo p.
class Field25519Test : public ::testing::Test {
 protected:
  static BigNumber number(const Bytes& littleEndian) {
    return BigNumber(BN_lebin2bn(littleEndian.data(), int(littleEndian.size()), nullptr), BN_free);
  }
  static BigNumber newNumber() { return BigNumber(BN_new(), BN_free); }

  /// The canonical 32 little-endian bytes of n mod p.
  Bytes reduced(const BIGNUM* n) const {
    BigNumber r = newNumber();
    BN_nnmod(r.get(), n, prime_.get(), context_.get());
    Bytes out(32);
    BN_bn2lebinpad(r.get(), out.data(), 32);
    return out;
  }

  static Bytes bytesOf(const Element& e) {
    Bytes out(32);
    field25519::toBytes(out.data(), e);
    return out;
  }

  static Element element(const Bytes& littleEndian) {
    Element e;
    field25519::fromBytes(e, littleEndian.data());
    return e;
  }

  /// The edges of the representation (2^256 - 1, p, p - 1, 0, 1), then random values.
  std::vector<Bytes> samples() {
    Bytes prime(32, 0xff), zero(32, 0), one(32, 0);
    prime[0] = 0xed;
    prime[31] = 0x7f;
    Bytes primeMinusOne = prime;
    primeMinusOne[0] = 0xec;
    one[0] = 1;
    std::vector<Bytes> values = {Bytes(32, 0xff), prime, primeMinusOne, zero, one};
    for (int i = 0; i < 40; ++i) {
      Bytes value(32);
      for (auto& byte : value) byte = uint8_t(random_());
      values.push_back(value);
    }
    return values;
  }

  BigNumber prime_ = [] {
    BIGNUM* prime = nullptr;
    BN_hex2bn(&prime, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
    return BigNumber(prime, BN_free);
  }();
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context_{BN_CTX_new(), BN_CTX_free};
  std::mt19937 random_{25519};
};

TEST_F(Field25519Test, BytesProductsAndSumsMatchBigNumbers) {
  std::vector<Bytes> values = samples();
  for (size_t i = 0; i + 1 < values.size(); ++i) {
    const Element a = element(values[i]);
    const Element b = element(values[i + 1]);
    BigNumber na = number(values[i]), nb = number(values[i + 1]), expected = newNumber();
    Element result;

    EXPECT_EQ(bytesOf(a), reduced(na.get())) << "round trip " << i;

    field25519::mul(result, a, b);
    BN_mul(expected.get(), na.get(), nb.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "mul " << i;

    field25519::square(result, a);
    BN_mul(expected.get(), na.get(), na.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "square " << i;

    field25519::add(result, a, b);
    BN_add(expected.get(), na.get(), nb.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "add " << i;

    // Differences are negative half of the time: the canonical output must
    // still be p minus the magnitude.
    field25519::sub(result, a, b);
    BN_sub(expected.get(), na.get(), nb.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "sub " << i;

    // The ladder multiplies sums and differences without carrying them.
    Element sum, difference;
    field25519::add(sum, a, b);
    field25519::sub(difference, b, a);
    field25519::mul(result, sum, difference);
    BigNumber sumNumber = newNumber();
    BN_add(sumNumber.get(), na.get(), nb.get());
    BN_sub(expected.get(), nb.get(), na.get());
    BN_mul(expected.get(), sumNumber.get(), expected.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "unreduced mul " << i;

    field25519::mulSmall(result, a, 486662);
    BN_mul_word(na.get(), 486662);
    EXPECT_EQ(bytesOf(result), reduced(na.get())) << "mulSmall " << i;
  }
}

// invert is a^(p-2) (so 0 stays 0), powP58 is a^((p-5)/8).
TEST_F(Field25519Test, PowersMatchModularExponents) {
  BigNumber inverseExponent = newNumber(), rootExponent = newNumber(), expected = newNumber();
  BN_copy(inverseExponent.get(), prime_.get());
  BN_sub_word(inverseExponent.get(), 2);
  BN_copy(rootExponent.get(), prime_.get());
  BN_sub_word(rootExponent.get(), 5);
  BN_rshift(rootExponent.get(), rootExponent.get(), 3);
  std::vector<Bytes> values = samples();
  values.resize(12);
  for (const Bytes& value : values) {
    BigNumber base = number(value);
    Element result;
    field25519::invert(result, element(value));
    BN_mod_exp(expected.get(), base.get(), inverseExponent.get(), prime_.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "invert";
    field25519::powP58(result, element(value));
    BN_mod_exp(expected.get(), base.get(), rootExponent.get(), prime_.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "powP58";
  }
}

TEST_F(Field25519Test, ParityAndZeroUseTheCanonicalValue) {
  Element value, zero, one, minusOne;
  field25519::setSmall(value, 3);
  EXPECT_TRUE(field25519::isOdd(value));
  // p + 1 is even as a number but stands for 1, which is odd.
  Bytes primePlusOne = samples()[1];
  primePlusOne[0] = 0xee;
  EXPECT_TRUE(field25519::isOdd(element(primePlusOne)));
  // -1 is p - 1: even.
  field25519::setSmall(zero, 0);
  field25519::setSmall(one, 1);
  field25519::sub(minusOne, zero, one);
  EXPECT_FALSE(field25519::isOdd(minusOne));
  EXPECT_TRUE(field25519::isZero(element(samples()[1])));  // p
  EXPECT_FALSE(field25519::isZero(minusOne));
}

}  // namespace
