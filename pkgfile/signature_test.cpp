#include "pkgfile/signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
    out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The vectors are made with the development key, the default built-in key;
// they check the hash, the field and the ladder end to end. A good signature
// fails with any bit flipped in its stored digest, check value or scalar v,
// and for any other digest; a refused key verifies nothing, not even the
// signature that every degenerate ladder would compute.
TEST(Signature, VectorsHold) {
  std::ifstream file(std::string(TEST_DATA_DIR) + "/signature-vectors.txt");
  std::map<std::string, int> seen;
  for (std::string line; std::getline(file, line);) {
    std::istringstream words(line);
    std::string kind, a, b, c, d;
    words >> kind >> a >> b >> c >> d;
    if (kind.empty() || kind[0] == '#') continue;
    ++seen[kind];
    const Bytes first = fromHex(a), second = fromHex(b), zero(32, 0);
    Bytes x(32, 0xAA);
    if (kind == "hash") {  // input, output
      sha256Variant(first.data(), first.size(), x.data());
      EXPECT_EQ(x, second) << line;
    } else if (kind == "combine") {  // v, h, key, x
      combinePoints(first.data(), second.data(), fromHex(c).data(), x.data());
      EXPECT_EQ(x, fromHex(d)) << line;
    } else if (kind == "refused") {  // key
      Bytes data(SIGNATURE_DATA_LENGTH, 0x33);
      sha256Variant(zero.data(), 32, data.data() + 20);  // the check value (and half of v)
      EXPECT_FALSE(combinePointsChecked(data.data() + 36, data.data(), first.data(), x.data())) << line;
      EXPECT_EQ(x, zero);
      EXPECT_FALSE(verifySignatureData(data.data(), data.data(), first.data())) << line;
    } else if (kind == "signature") {  // digest, data, ok or bad
      Bytes digest = first;
      ASSERT_EQ(second.size(), SIGNATURE_DATA_LENGTH);
      EXPECT_EQ(verifySignatureData(digest.data(), second.data(), SIGNATURE_KEY), c == "ok") << line;
      if (c != "ok") continue;
      for (size_t bit : {0, 159, 20 * 8, 35 * 8 + 7, 36 * 8, 67 * 8 + 7}) {
        Bytes changed = second;
        changed[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_FALSE(verifySignatureData(digest.data(), changed.data(), SIGNATURE_KEY)) << "bit " << bit;
      }
      digest[19] ^= 0x80;
      EXPECT_FALSE(verifySignatureData(digest.data(), second.data(), SIGNATURE_KEY));
    }
  }
  EXPECT_GE(std::min({seen["hash"], seen["combine"], seen["refused"], seen["signature"]}), 5);  // the file was read
  Bytes scalar(32, 0x11), x(32);
  EXPECT_TRUE(combinePointsChecked(scalar.data(), scalar.data(), SIGNATURE_KEY, x.data()));  // the built-in key works
}

}  // namespace
