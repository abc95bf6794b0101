#include "signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "console/console.h"
#include "pkgfile/sha1.h"
#include "test_root.h"

namespace {

using Digest = std::vector<uint8_t>;

// n - a, little-endian, for 0 < a < n the group order: the scalar whose
// point has the same x and the other y.
std::string negatedScalarHex(const uint8_t a[32]) {
  static const uint8_t GROUP_ORDER[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                          0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                          0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
  uint8_t out[32];
  int borrow = 0;
  for (int i = 0; i < 32; ++i) {
    int difference = GROUP_ORDER[i] - a[i] - borrow;
    borrow = difference < 0;
    out[i] = static_cast<uint8_t>(difference + (borrow ? 256 : 0));
  }
  return hexText(out);
}

TEST(Signing, DevelopmentKeyMatchesKeyFileAndHasEvenY) {
  SigningKey fromFile;
  ASSERT_TRUE(readKeyFile(std::string(KEYS_DIR) + "/development-key.txt", fromFile));
  EXPECT_EQ(hexText(fromFile.privateScalar), hexText(developmentKey().privateScalar));
  uint8_t derived[32];
  bool evenY = false;
  ASSERT_TRUE(derivePublicKey(developmentKey().privateScalar, derived, evenY));
  EXPECT_TRUE(evenY);
  EXPECT_EQ(hexText(derived), "9213af836af81a9b48b9a95dff2698f7de05104e0ed041d357dd887541cfe63c");
  EXPECT_EQ(hexText(fromFile.publicKey), hexText(derived));

  uint8_t negated[32];
  ASSERT_TRUE(parseHex32(negatedScalarHex(developmentKey().privateScalar), negated));
  ASSERT_TRUE(derivePublicKey(negated, derived, evenY));
  EXPECT_FALSE(evenY);
  EXPECT_EQ(hexText(derived), hexText(developmentKey().publicKey));
}

// The development key and a generated one: each signs so that its own
// public key verifies and the other's does not, the same digest always
// giving the same bytes.
TEST(Signing, SignaturesVerifyForTheirKeyOnlyAndAreDeterministic) {
  SigningKey generated, another;
  ASSERT_TRUE(generateKey(generated));
  ASSERT_TRUE(generateKey(another));
  EXPECT_NE(hexText(generated.publicKey), hexText(another.publicKey));
  uint8_t derived[32];
  bool evenY = false;
  ASSERT_TRUE(derivePublicKey(generated.privateScalar, derived, evenY));
  EXPECT_TRUE(evenY);
  EXPECT_EQ(hexText(derived), hexText(generated.publicKey));

  std::vector<Digest> digests = {Digest(20, 0), Digest(20, 0xFF)};
  for (const char* text : {"abc", "tessel-6.41beta3"}) {
    digests.emplace_back(20);
    SHA1 sha1;
    sha1.update(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    sha1.digest(digests.back().data());
  }
  const SigningKey* keys[] = {&developmentKey(), &generated};
  for (int k = 0; k < 2; ++k) {
    for (const Digest& digest : digests) {
      uint8_t signature[SIGNATURE_DATA_LENGTH], again[SIGNATURE_DATA_LENGTH];
      ASSERT_TRUE(signDigest(*keys[k], digest.data(), signature));
      EXPECT_TRUE(verifySignatureData(digest.data(), signature, keys[k]->publicKey));
      EXPECT_FALSE(verifySignatureData(digest.data(), signature, keys[1 - k]->publicKey));
      ASSERT_TRUE(signDigest(*keys[k], digest.data(), again));
      EXPECT_EQ(0, std::memcmp(signature, again, sizeof signature));
      // A signature for one digest does not carry over to another.
      std::memcpy(again, digests[2].data(), 20);
      if (digest != digests[2]) {
        EXPECT_FALSE(verifySignatureData(digests[2].data(), again, keys[k]->publicKey));
      }
    }
  }
}

class KeyFiles : public ::testing::Test {
 protected:
  void SetUp() override { setConsoleOutput(&messages_); }
  void TearDown() override {
    setConsoleOutput(nullptr);
    removeTree(directory_);
  }
  std::string write(const std::string& name, const std::string& content) {
    std::string path = directory_ + "/" + name;
    EXPECT_TRUE(writeFile(path, content));
    return path;
  }

  std::string directory_ = makeTemporaryDirectory("signing_test");
  std::ostringstream messages_;
};

TEST_F(KeyFiles, WrittenKeyReadsBackAndIsNeverOverwritten) {
  SigningKey key;
  ASSERT_TRUE(generateKey(key));
  std::string path = directory_ + "/new.key";
  ASSERT_TRUE(writeKeyFile(path, key));
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  EXPECT_FALSE(writeKeyFile(path, developmentKey()));
  EXPECT_NE(messages_.str().find("new.key"), std::string::npos);
  SigningKey read;
  ASSERT_TRUE(readKeyFile(path, read));
  EXPECT_EQ(hexText(read.privateScalar), hexText(key.privateScalar));
  EXPECT_EQ(hexText(read.publicKey), hexText(key.publicKey));
}

TEST_F(KeyFiles, BrokenKeyFilesAreRefused) {
  const std::string devPrivate = "private " + hexText(developmentKey().privateScalar) + "\n";
  std::string upperPrivate = devPrivate;
  for (size_t i = 8; i < upperPrivate.size(); ++i) upperPrivate[i] = char(std::toupper(upperPrivate[i]));
  const std::string devPublic = "public " + hexText(developmentKey().publicKey) + "\n";
  const struct {
    const char* name;
    std::string content;
    bool keyFile;     // readKeyFile accepts it
    bool publicFile;  // readPublicKeyFile accepts it
  } rows[] = {
      {"mismatch", devPrivate + "public " + std::string(64, '1') + "\n", false, false},
      {"odd", "private " + negatedScalarHex(developmentKey().privateScalar) + "\n", false, false},
      {"garbage", "private " + hexText(developmentKey().privateScalar) + " extra\n", false, false},
      {"short", "private " + std::string(63, '0') + "\n", false, false},
      {"not hex", "private " + std::string(63, '0') + "g\n", false, false},
      {"zero", "private " + std::string(64, '0') + "\n", false, false},
      {"public only", devPublic, false, true},
      {"upper-case private only", "# comment\n\n" + upperPrivate, true, true},
      {"base point", "public 09" + std::string(62, '0') + "\n", false, false},
      {"not below p", "public " + std::string(62, 'f') + "7f\n", false, false},
      {"empty", "# nothing\n", false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = write(row.name, row.content);
    SigningKey key;
    EXPECT_EQ(readKeyFile(path, key), row.keyFile);
    uint8_t publicKey[32] = {};
    EXPECT_EQ(readPublicKeyFile(path, publicKey), row.publicFile);
    if (row.publicFile) {
      EXPECT_EQ(hexText(publicKey), hexText(developmentKey().publicKey));
    }
  }
  EXPECT_NE(messages_.str().find("odd y"), std::string::npos);
  SigningKey key;
  EXPECT_FALSE(readKeyFile(directory_ + "/missing", key));
}

}  // namespace
