#include "pkgfile/signature.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
    out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

/// The lines of the vector file, split into words, comments left out.
std::vector<std::vector<std::string>> readVectors() {
  std::ifstream file(std::string(TEST_DATA_DIR) + "/signature-vectors.txt");
  std::vector<std::vector<std::string>> lines;
  for (std::string line; std::getline(file, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (!fields.empty() && fields[0][0] != '#') lines.push_back(fields);
  }
  return lines;
}

// The signature vectors are made with the development key, the default
// built-in key. A good signature fails with any bit flipped in its stored
// digest, check value or scalar v, and for any other digest.
TEST(SignatureVectors, HashCombineAndSignatureLinesAllHold) {
  int hashes = 0, combines = 0, infinities = 0, good = 0, bad = 0;
  for (const auto& fields : readVectors()) {
    if (fields[0] == "hash") {
      Bytes input = fromHex(fields[1]), out(32);
      sha256Variant(input.data(), input.size(), out.data());
      EXPECT_EQ(out, fromHex(fields[2])) << "hash of " << fields[1];
      ++hashes;
    } else if (fields[0] == "combine") {
      Bytes v = fromHex(fields[1]), h = fromHex(fields[2]), k = fromHex(fields[3]), x(32);
      const Bytes expected = fromHex(fields[4]);
      combinePoints(v.data(), h.data(), k.data(), x.data());
      EXPECT_EQ(x, expected) << "combine " << fields[1] << " " << fields[2];
      ++combines;
      infinities += expected == Bytes(32, 0);
    } else if (fields[0] == "signature") {
      Bytes digest = fromHex(fields[1]), data = fromHex(fields[2]);
      ASSERT_EQ(data.size(), SIGNATURE_DATA_LENGTH);
      const bool ok = fields[3] == "ok";
      EXPECT_EQ(verifySignatureData(digest.data(), data.data(), SIGNATURE_KEY), ok)
          << "signature " << fields[2];
      ++(ok ? good : bad);
      if (!ok) continue;
      for (size_t bit : {0, 159, 20 * 8, 35 * 8 + 7, 36 * 8, 67 * 8 + 7}) {
        Bytes changed = data;
        changed[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_FALSE(verifySignatureData(digest.data(), changed.data(), SIGNATURE_KEY)) << "bit " << bit;
      }
      digest[19] ^= 0x80;
      EXPECT_FALSE(verifySignatureData(digest.data(), data.data(), SIGNATURE_KEY));
    }
  }
  EXPECT_GE(hashes, 5);
  EXPECT_GE(combines, 5);
  EXPECT_GE(infinities, 1);
  EXPECT_GE(good, 1);
  EXPECT_GE(bad, 1);
}

TEST(SignatureVectors, HashPaddingAtBlockBoundaries) {
  // Messages of n bytes 'a' around the lengths where the bit count no longer
  // fits in the last block, from an independent model of the hash.
  const struct {
    size_t length;
    const char* hash;
  } cases[] = {
      {55, "79cf1a2f5394cc12b4e8bf5b3436110007c9b66e0eafadcf6d01374b2c003921"},
      {56, "7d0d0b965e63574812fdbb2c423cd70c7c0dc1375c1e31b50dca3c001eeb4205"},
      {63, "061603d86c655840f499f0ac30aefd76aab7ecf8fd6b73e00088eee4fe8d53d7"},
      {64, "e34783ae0cbf0bd9c94f1f5ad31786906e398126210682d8afe5a761894ee5be"},
      {119, "84cf7c1e949afeb3a4dd57c442b2dcbca1f5f6f90bce9605badd53ceaa22b38d"},
      {120, "3a825073aef895a6e55115fccb5d99a6a85073c394afed69f28bcad1564c5d2c"},
  };
  for (const auto& c : cases) {
    const Bytes input(c.length, 'a');
    Bytes out(32);
    sha256Variant(input.data(), input.size(), out.data());
    EXPECT_EQ(out, fromHex(c.hash)) << c.length << " bytes";
  }
}

TEST(SignatureKey, DegenerateKeysAreRefusedNotForged) {
  // With these keys the ladder's additions degenerate; for x = 0 and x = 1/9
  // every result would be 0, so a check value of the hash of 32 zero bytes
  // would pass with any v.
  const char* keys[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0900000000000000000000000000000000000000000000000000000000000000",
      "12c7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711c47",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p
      "0200000000000000000000000000000000000000000000000000000000000000",  // off the curve
  };
  Bytes digest(20, 0x5a), data(SIGNATURE_DATA_LENGTH, 0x33), zero(32, 0), zeroHash(32);
  sha256Variant(zero.data(), zero.size(), zeroHash.data());
  std::copy(digest.begin(), digest.end(), data.begin());
  std::copy(zeroHash.begin(), zeroHash.begin() + 16, data.begin() + 20);
  for (const char* hex : keys) {
    const Bytes key = fromHex(hex);
    Bytes x(32, 0xaa);
    EXPECT_FALSE(combinePointsChecked(data.data() + 36, data.data(), key.data(), x.data())) << hex;
    EXPECT_EQ(x, zero);
    EXPECT_FALSE(verifySignatureData(digest.data(), data.data(), key.data())) << hex;
  }
  // The built-in key itself is usable.
  Bytes v(32, 0x11), h(32, 0x40), x(32);
  EXPECT_TRUE(combinePointsChecked(v.data(), h.data(), SIGNATURE_KEY, x.data()));
}

}  // namespace
