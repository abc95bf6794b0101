#include "pkgfile/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
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
  void SetUp() override {
    BIGNUM* prime = nullptr;
    BN_hex2bn(&prime, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
    prime_.reset(prime);
  }

  static BigNumber number(const Bytes& littleEndian) {
    return BigNumber(BN_lebin2bn(littleEndian.data(), int(littleEndian.size()), nullptr), BN_free);
  }

  /// The canonical 32 little-endian bytes of n mod p.
  Bytes reduced(const BIGNUM* n) const {
    BigNumber r(BN_new(), BN_free);
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

  Bytes randomBytes() {
    Bytes out(32);
    for (auto& byte : out) {
      byte = uint8_t(random_());
    }
    return out;
  }

  /// Random values plus the ones at the edges of the representation.
  std::vector<Bytes> samples() {
    std::vector<Bytes> values;
    Bytes allOnes(32, 0xff);
    Bytes prime(32, 0xff);
    prime[0] = 0xed;
    prime[31] = 0x7f;
    Bytes primeMinusOne = prime;
    primeMinusOne[0] = 0xec;
    Bytes zero(32, 0), one(32, 0);
    one[0] = 1;
    values = {allOnes, prime, primeMinusOne, zero, one};
    for (int i = 0; i < 40; ++i) {
      values.push_back(randomBytes());
    }
    return values;
  }

  BigNumber prime_{nullptr, BN_free};
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context_{BN_CTX_new(), BN_CTX_free};
  std::mt19937 random_{25519};
};

TEST_F(Field25519Test, BytesRoundTripToCanonicalValue) {
  for (const Bytes& value : samples()) {
    EXPECT_EQ(bytesOf(element(value)), reduced(number(value).get()));
  }
}

TEST_F(Field25519Test, ProductsAndSumsMatchBigNumbers) {
  std::vector<Bytes> values = samples();
  for (size_t i = 0; i + 1 < values.size(); ++i) {
    const Element a = element(values[i]);
    const Element b = element(values[i + 1]);
    BigNumber na = number(values[i]), nb = number(values[i + 1]);
    BigNumber expected(BN_new(), BN_free);
    Element result;

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
    field25519::sub(result, b, a);
    BN_sub(expected.get(), nb.get(), na.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "reverse sub " << i;

    // The ladder multiplies sums and differences without carrying them.
    Element sum, difference;
    field25519::add(sum, a, b);
    field25519::sub(difference, b, a);
    field25519::mul(result, sum, difference);
    BigNumber sumNumber(BN_new(), BN_free);
    BN_add(sumNumber.get(), na.get(), nb.get());
    BN_mul(expected.get(), sumNumber.get(), expected.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get())) << "unreduced mul " << i;

    field25519::mulSmall(result, a, 486662);
    BN_mul_word(na.get(), 486662);
    EXPECT_EQ(bytesOf(result), reduced(na.get())) << "mulSmall " << i;
  }
}

TEST_F(Field25519Test, InverseTimesValueIsOne) {
  Bytes one(32, 0);
  one[0] = 1;
  for (const Bytes& value : samples()) {
    if (bytesOf(element(value)) == Bytes(32, 0)) {
      continue;
    }
    Element inverse, product;
    field25519::invert(inverse, element(value));
    field25519::mul(product, inverse, element(value));
    EXPECT_EQ(bytesOf(product), one);
  }
  Element zero, inverse;
  field25519::setSmall(zero, 0);
  field25519::invert(inverse, zero);
  EXPECT_TRUE(field25519::isZero(inverse));
}

TEST_F(Field25519Test, PowerP58MatchesModularExponent) {
  BigNumber exponent(BN_new(), BN_free), expected(BN_new(), BN_free);
  BN_copy(exponent.get(), prime_.get());
  BN_sub_word(exponent.get(), 5);
  BN_rshift(exponent.get(), exponent.get(), 3);
  for (int i = 0; i < 5; ++i) {
    Bytes value = randomBytes();
    Element result;
    field25519::powP58(result, element(value));
    BigNumber base = number(value);
    BN_mod_exp(expected.get(), base.get(), exponent.get(), prime_.get(), context_.get());
    EXPECT_EQ(bytesOf(result), reduced(expected.get()));
  }
}

TEST_F(Field25519Test, SquareRootFormulaRecoversSquares) {
  // r = u·w·(t·w² - 1) with t = 2u, w = t^((p-5)/8) is a root of every square u.
  for (int i = 0; i < 10; ++i) {
    Element x, u, t, w, tw2, one, root, check;
    x = element(randomBytes());
    field25519::square(u, x);
    field25519::add(t, u, u);
    field25519::powP58(w, t);
    field25519::square(tw2, w);
    field25519::mul(tw2, tw2, t);
    field25519::setSmall(one, 1);
    field25519::sub(tw2, tw2, one);
    field25519::mul(root, u, w);
    field25519::mul(root, root, tw2);
    field25519::square(check, root);
    EXPECT_EQ(bytesOf(check), bytesOf(u));
  }
}

TEST_F(Field25519Test, ParityAndZeroUseTheCanonicalValue) {
  Element value;
  field25519::setSmall(value, 3);
  EXPECT_TRUE(field25519::isOdd(value));
  // p + 1 is even as a number but stands for 1, which is odd.
  Bytes primePlusOne(32, 0xff);
  primePlusOne[0] = 0xee;
  primePlusOne[31] = 0x7f;
  EXPECT_TRUE(field25519::isOdd(element(primePlusOne)));
  // -1 is p - 1: even.
  Element zero, one, minusOne;
  field25519::setSmall(zero, 0);
  field25519::setSmall(one, 1);
  field25519::sub(minusOne, zero, one);
  EXPECT_FALSE(field25519::isOdd(minusOne));
  Bytes prime(32, 0xff);
  prime[0] = 0xed;
  prime[31] = 0x7f;
  EXPECT_TRUE(field25519::isZero(element(prime)));
  EXPECT_FALSE(field25519::isZero(minusOne));
}

}  // namespace
