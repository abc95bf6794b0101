#include "pkgfile/signature.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; hex != "-" && i < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The vectors (made with the development key, the default built-in key) check
// the hash, the field and the ladder end to end. A good signature fails with
// any bit flipped in its stored digest, check value or scalar v, and for any
// other digest; a refused key verifies nothing, not even what a degenerate
// ladder would compute.
TEST(Signature, VectorsHold) {
  std::ifstream file(std::string(TEST_DATA_DIR) + "/signature-vectors.txt");
  int vectors = 0;
  for (std::string line; std::getline(file, line);) {
    std::string kind, a, b, c, d;
    std::istringstream(line) >> kind >> a >> b >> c >> d;
    if (kind.empty() || kind[0] == '#') continue;
    ++vectors;
    Bytes first = fromHex(a), second = fromHex(b), zero(32, 0), x(32, 0xAA);
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
      ASSERT_EQ(second.size(), SIGNATURE_DATA_LENGTH);
      EXPECT_EQ(verifySignatureData(first.data(), second.data(), SIGNATURE_KEY), c == "ok") << line;
      if (c != "ok") continue;
      for (size_t bit : {0, 159, 20 * 8, 35 * 8 + 7, 36 * 8, 67 * 8 + 7}) {
        Bytes changed = second;
        changed[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_FALSE(verifySignatureData(first.data(), changed.data(), SIGNATURE_KEY)) << "bit " << bit;
      }
      first[19] ^= 0x80;
      EXPECT_FALSE(verifySignatureData(first.data(), second.data(), SIGNATURE_KEY));
    }
  }
  EXPECT_GE(vectors, 30);  // the file was read
}

}  // namespace
