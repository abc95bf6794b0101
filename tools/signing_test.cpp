#include "signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "console/console.h"
#include "pkgfile/sha1.h"

namespace {

using Digest = std::vector<uint8_t>;

// The group order n, little-endian.
const uint8_t GROUP_ORDER[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// The check spelt out with combinePoints: Y = x(v·P + h·G) must hash to the
// check value, h formed from the digest and the check value.
bool verifiesByCombinePoints(const Digest& digest, const uint8_t signature[68], const uint8_t key[32]) {
  uint8_t h[32], x[32], hashed[32];
  sha256Variant(digest.data(), 20, h);
  for (int i = 0; i < 16; ++i) h[8 + i] ^= signature[20 + i];
  h[0] &= 0xF8;
  h[31] = static_cast<uint8_t>((h[31] & 0x7F) | 0x40);
  combinePoints(signature + 36, h, key, x);
  sha256Variant(x, 32, hashed);
  return std::memcmp(signature, digest.data(), 20) == 0 && std::memcmp(hashed, signature + 20, 16) == 0;
}

std::vector<Digest> sampleDigests() {
  std::vector<Digest> digests = {Digest(20, 0), Digest(20, 0xFF)};
  for (const char* text : {"abc", "tessel-6.41beta3", "quorilan"}) {
    SHA1 sha1;
    Digest digest(20);
    sha1.update(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    sha1.digest(digest.data());
    digests.push_back(digest);
  }
  return digests;
}

// n - a, little-endian, for 0 < a < n.
void negateScalar(const uint8_t a[32], uint8_t out[32]) {
  int borrow = 0;
  for (int i = 0; i < 32; ++i) {
    int difference = GROUP_ORDER[i] - a[i] - borrow;
    borrow = difference < 0;
    out[i] = static_cast<uint8_t>(difference + (borrow ? 256 : 0));
  }
}

class KeyFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/signing_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    setConsoleOutput(&messages_);
  }
  void TearDown() override {
    setConsoleOutput(nullptr);
    std::string command = "rm -rf '" + directory_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string write(const std::string& name, const std::string& content) {
    std::string path = directory_ + "/" + name;
    std::ofstream(path) << content;
    return path;
  }

  std::string directory_;
  std::ostringstream messages_;
};

TEST(Signing, DevelopmentKeyMatchesKeyFileAndHasEvenY) {
  SigningKey fromFile;
  ASSERT_TRUE(readKeyFile(std::string(KEYS_DIR) + "/development-key.txt", fromFile));
  EXPECT_EQ(0, std::memcmp(fromFile.privateScalar, developmentKey().privateScalar, 32));
  EXPECT_EQ(0, std::memcmp(fromFile.publicKey, developmentKey().publicKey, 32));
  uint8_t derived[32];
  bool evenY = false;
  ASSERT_TRUE(derivePublicKey(developmentKey().privateScalar, derived, evenY));
  EXPECT_TRUE(evenY);
  EXPECT_EQ(hexText(derived), "9213af836af81a9b48b9a95dff2698f7de05104e0ed041d357dd887541cfe63c");

  // The negated scalar gives the same x with the odd y.
  uint8_t negated[32];
  negateScalar(developmentKey().privateScalar, negated);
  ASSERT_TRUE(derivePublicKey(negated, derived, evenY));
  EXPECT_FALSE(evenY);
  EXPECT_EQ(0, std::memcmp(derived, developmentKey().publicKey, 32));
}

TEST(Signing, SignaturesVerifyAndAnyChangeBreaksThem) {
  const uint8_t* key = developmentKey().publicKey;
  for (const Digest& digest : sampleDigests()) {
    uint8_t signature[SIGNATURE_DATA_LENGTH];
    ASSERT_TRUE(signDigest(developmentKey(), digest.data(), signature));
    EXPECT_TRUE(verifySignatureData(digest.data(), signature, key));
    EXPECT_TRUE(verifiesByCombinePoints(digest, signature, key));
    for (size_t offset : {20u, 35u, 36u, 67u}) {
      uint8_t changed[SIGNATURE_DATA_LENGTH];
      std::memcpy(changed, signature, sizeof changed);
      changed[offset] ^= 0x04;
      EXPECT_FALSE(verifySignatureData(digest.data(), changed, key)) << "byte " << offset;
    }
  }
}

TEST(Signing, SameDigestGivesSameSignatureOthersDiffer) {
  std::vector<Digest> digests = sampleDigests();
  uint8_t first[SIGNATURE_DATA_LENGTH], again[SIGNATURE_DATA_LENGTH], other[SIGNATURE_DATA_LENGTH];
  ASSERT_TRUE(signDigest(developmentKey(), digests[2].data(), first));
  ASSERT_TRUE(signDigest(developmentKey(), digests[2].data(), again));
  ASSERT_TRUE(signDigest(developmentKey(), digests[3].data(), other));
  EXPECT_EQ(0, std::memcmp(first, again, sizeof first));
  EXPECT_NE(0, std::memcmp(first + 20, other + 20, 16));
  // A signature for one digest does not carry over to another.
  std::memcpy(first, digests[3].data(), 20);
  EXPECT_FALSE(verifySignatureData(digests[3].data(), first, developmentKey().publicKey));
}

TEST(Signing, GeneratedKeysHaveEvenYAndSignForThemselvesOnly) {
  SigningKey one, two;
  ASSERT_TRUE(generateKey(one));
  ASSERT_TRUE(generateKey(two));
  EXPECT_NE(hexText(one.publicKey), hexText(two.publicKey));
  for (const SigningKey* key : {&one, &two}) {
    uint8_t derived[32];
    bool evenY = false;
    ASSERT_TRUE(derivePublicKey(key->privateScalar, derived, evenY));
    EXPECT_TRUE(evenY);
    EXPECT_EQ(0, std::memcmp(derived, key->publicKey, 32));
    for (const Digest& digest : sampleDigests()) {
      uint8_t signature[SIGNATURE_DATA_LENGTH];
      ASSERT_TRUE(signDigest(*key, digest.data(), signature));
      EXPECT_TRUE(verifiesByCombinePoints(digest, signature, key->publicKey));
      EXPECT_FALSE(verifiesByCombinePoints(digest, signature, developmentKey().publicKey));
    }
  }
}

TEST(Signing, HexTextRoundTripAndRejects) {
  uint8_t bytes[32];
  EXPECT_TRUE(parseHex32(std::string(62, '0') + "Ab", bytes));
  EXPECT_EQ(bytes[31], 0xAB);
  EXPECT_EQ(hexText(bytes), std::string(62, '0') + "ab");
  EXPECT_FALSE(parseHex32(std::string(63, '0'), bytes));
  EXPECT_FALSE(parseHex32(std::string(63, '0') + "g", bytes));
}

TEST_F(KeyFiles, WrittenKeyReadsBackAndIsNeverOverwritten) {
  SigningKey key;
  ASSERT_TRUE(generateKey(key));
  std::string path = directory_ + "/new.key";
  ASSERT_TRUE(writeKeyFile(path, key));
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  SigningKey read;
  ASSERT_TRUE(readKeyFile(path, read));
  EXPECT_EQ(hexText(read.privateScalar), hexText(key.privateScalar));
  EXPECT_EQ(hexText(read.publicKey), hexText(key.publicKey));

  EXPECT_FALSE(writeKeyFile(path, developmentKey()));
  EXPECT_NE(messages_.str().find("new.key"), std::string::npos);
  ASSERT_TRUE(readKeyFile(path, read));
  EXPECT_EQ(hexText(read.privateScalar), hexText(key.privateScalar));
}

TEST_F(KeyFiles, BrokenKeyFilesAreRefused) {
  std::string devPrivate = hexText(developmentKey().privateScalar);
  uint8_t negated[32];
  negateScalar(developmentKey().privateScalar, negated);
  SigningKey key;
  EXPECT_FALSE(readKeyFile(
      write("mismatch", "private " + devPrivate + "\npublic " + std::string(64, '1') + "\n"), key));
  EXPECT_FALSE(readKeyFile(write("odd", "private " + hexText(negated) + "\n"), key));
  EXPECT_FALSE(readKeyFile(write("garbage", "private " + devPrivate + " extra\n"), key));
  EXPECT_FALSE(
      readKeyFile(write("publiconly", "public " + hexText(developmentKey().publicKey) + "\n"), key));
  EXPECT_FALSE(readKeyFile(directory_ + "/missing", key));
  EXPECT_FALSE(readKeyFile(write("zero", "private " + std::string(64, '0') + "\n"), key));
  EXPECT_NE(messages_.str().find("odd y"), std::string::npos);

  uint8_t publicKey[32];
  EXPECT_TRUE(readPublicKeyFile(directory_ + "/publiconly", publicKey));
  EXPECT_EQ(0, std::memcmp(publicKey, developmentKey().publicKey, 32));
  EXPECT_TRUE(
      readPublicKeyFile(write("private", "# comment\n\nprivate " + devPrivate + "\n"), publicKey));
  EXPECT_EQ(0, std::memcmp(publicKey, developmentKey().publicKey, 32));
  EXPECT_FALSE(readPublicKeyFile(write("base", "public 09" + std::string(62, '0') + "\n"), publicKey));
  EXPECT_FALSE(readPublicKeyFile(write("big", "public " + std::string(62, 'f') + "7f\n"), publicKey));
  EXPECT_FALSE(readPublicKeyFile(write("empty", "# nothing\n"), publicKey));
}

}  // namespace
