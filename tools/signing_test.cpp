// Signatures: deterministic and bound to their key and digest; key files
// that must be refused.
#include "signing.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <sstream>

#include "console/console.h"
#include "test_root.h"

namespace {

// n - a for the group order n, little-endian: the scalar whose point has the
// same x and the other y.
std::string negatedScalarHex(const uint8_t a[32]) {
  static const uint8_t ORDER[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                    0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  uint8_t out[32];
  for (int i = 0, borrow = 0; i < 32; ++i) {
    int difference = ORDER[i] - a[i] - borrow;
    borrow = difference < 0;
    out[i] = static_cast<uint8_t>(difference + (borrow ? 256 : 0));
  }
  return hexText(out);
}

TEST(Signing, SameDigestSameBytesVerifyingForTheirKeyAndDigestOnly) {
  SigningKey generated;
  ASSERT_TRUE(generateKey(generated));
  const SigningKey* keys[] = {&developmentKey(), &generated};
  const uint8_t digests[2][20] = {{0}, {0xFF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 1, 2, 3}};
  for (int k = 0; k < 2; ++k) {
    for (int d = 0; d < 2; ++d) {
      uint8_t signature[SIGNATURE_DATA_LENGTH], again[SIGNATURE_DATA_LENGTH];
      ASSERT_TRUE(signDigest(*keys[k], digests[d], signature));
      ASSERT_TRUE(signDigest(*keys[k], digests[d], again));
      EXPECT_EQ(0, std::memcmp(signature, again, sizeof signature));
      EXPECT_TRUE(verifySignatureData(digests[d], signature, keys[k]->publicKey));
      EXPECT_FALSE(verifySignatureData(digests[d], signature, keys[1 - k]->publicKey));
      // The other digest put in its place does not make it a signature of that.
      std::memcpy(again, digests[1 - d], 20);
      EXPECT_FALSE(verifySignatureData(digests[1 - d], again, keys[k]->publicKey));
    }
  }
}

TEST(KeyFiles, BrokenKeyFilesAreRefused) {
  const std::string devPrivate = "private " + hexText(developmentKey().privateScalar) + "\n";
  std::string upperPrivate = devPrivate;
  for (size_t i = 8; i < upperPrivate.size(); ++i) upperPrivate[i] = char(std::toupper(upperPrivate[i]));
  std::string nearPublic = hexText(developmentKey().publicKey);
  nearPublic.back() = nearPublic.back() == '0' ? '1' : '0';
  const struct {
    std::string content;
    bool keyFile, publicFile;  // readKeyFile, readPublicKeyFile accept it
  } rows[] = {
      {devPrivate + "public " + std::string(64, '1') + "\n", false, false},  // the halves do not match
      {devPrivate + "public " + nearPublic + "\n", false, false},  // not even in the last byte
      {"private " + negatedScalarHex(developmentKey().privateScalar) + "\n", false, false},  // odd y
      {"private " + hexText(developmentKey().privateScalar) + " extra\n", false, false},
      {"private " + std::string(63, '0') + "\n", false, false},
      {"private " + std::string(63, '0') + "g\n", false, false},
      {"private " + std::string(64, '0') + "\n", false, false},
      {"public " + hexText(developmentKey().publicKey) + "\n", false, true},
      {hexText(developmentKey().publicKey) + "\n", false, true},  // the public half as keygen writes it
      {hexText(developmentKey().publicKey) + " x\n", false, false},
      {"09" + std::string(62, '0') + "\n", false, false},
      {"# comment\n\n" + upperPrivate, true, true},
      {"public 09" + std::string(62, '0') + "\n", false, false},  // the base point
      {"public " + std::string(62, 'f') + "7f\n", false, false},  // not below p
      {"# nothing\n", false, false},
  };
  std::ostringstream messages;
  setConsoleOutput(&messages);
  const std::string directory = makeTemporaryDirectory("signing_test");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    ASSERT_TRUE(writeFile(directory + "/key", row.content));
    SigningKey key;
    EXPECT_EQ(readKeyFile(directory + "/key", key), row.keyFile);
    uint8_t publicKey[32] = {};
    EXPECT_EQ(readPublicKeyFile(directory + "/key", publicKey), row.publicFile);
    if (row.publicFile) {
      EXPECT_EQ(hexText(publicKey), hexText(developmentKey().publicKey));
    }
  }
  setConsoleOutput(nullptr);
  removeTree(directory);
  EXPECT_NE(messages.str().find("odd y"), std::string::npos);
}

}  // namespace
