// Tests of the trust floor: SHA-256 digests, and the verdict on a document and its minisign signature.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "trust/document_signature.h"
#include "trust/minisign_secret_key.h"
#include "trust/sha256.h"

namespace korvel::trust {
namespace {

TEST(Sha256Test, DigestsAreTheKnownLowercaseValuesWhateverTheSlicing) {
  EXPECT_EQ(Sha256::hexOf("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 sliced;
  sliced.update("a", 1);
  sliced.update("bc", 2);
  EXPECT_EQ(sliced.finishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(normalizedSha256("BA7816BF8f01"), "ba7816bf8f01");
}

// The system's library gives libsodium's digests, byte for byte: sizes around the 64-byte block and
// past a large buffer, fed in uneven slices; a finished hasher starts over.
TEST(Sha256Test, DigestsEqualLibsodiumsOnRandomData) {
  std::mt19937 random(20261210);
  for (const std::size_t size : {std::size_t{1}, std::size_t{55}, std::size_t{56}, std::size_t{63}, std::size_t{64},
                                 std::size_t{65}, std::size_t{127}, std::size_t{128}, std::size_t{129},
                                 std::size_t{4096}, std::size_t{1 << 20} + 17}) {
    SCOPED_TRACE(size);
    std::vector<unsigned char> data(size);
    for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
    unsigned char expected[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(expected, data.data(), data.size());
    char expectedHex[Sha256::kHexLength + 1];
    sodium_bin2hex(expectedHex, sizeof expectedHex, expected, sizeof expected);

    Sha256 sliced;
    for (std::size_t at = 0; at < size;) {
      const std::size_t slice = std::min<std::size_t>(size - at, 1 + random() % 97);
      sliced.update(data.data() + at, slice);
      at += slice;
    }
    EXPECT_EQ(sliced.finishHex(), expectedHex);
    sliced.update(data.data(), data.size());
    EXPECT_EQ(sliced.finishHex(), expectedHex);
  }
}

// A key configured for the load, made from a fresh key pair.
ManifestKey configured(const MinisignSecretKey& secret) {
  ManifestKey key;
  key.required = true;
  key.key = secret.publicKey();
  return key;
}

TEST(SignatureVerdictTest, OnlyTheKeysSignatureOverTheSameBytesIsAccepted) {
  const MinisignSecretKey publisher = MinisignSecretKey::generate();
  const MinisignSecretKey stranger = MinisignSecretKey::generate();
  const std::string document = "<KorvelPatcher/>";
  const std::string signature = publisher.sign(document.data(), document.size(), "timestamp:0\tfile:x\thashed");
  // The trusted comment is covered by the global signature: changing it breaks that one alone.
  std::string otherComment = signature;
  otherComment.replace(otherComment.find("timestamp:0"), 11, "timestamp:1");
  ManifestKey unreadable;
  unreadable.required = true;

  struct Case {
    const char* what;
    ManifestKey key;
    std::optional<std::string> signature;
    std::string document;
    int verdict;
  };
  const Case cases[] = {
      {"the publisher's signature", configured(publisher), signature, document, result::kOk},
      {"lines ending in CR LF", configured(publisher),
       [&] {
         std::string crlf;
         for (char c : signature) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return crlf;
       }(),
       document, result::kOk},
      {"no signature", configured(publisher), std::nullopt, document, result::kSignatureMissing},
      {"a changed document", configured(publisher), signature, document + " ", result::kSignatureInvalid},
      {"another key", configured(stranger), signature, document, result::kSignatureInvalid},
      {"a signature by another key", configured(publisher),
       stranger.sign(document.data(), document.size(), "c"), document, result::kSignatureInvalid},
      {"a changed trusted comment", configured(publisher), otherComment, document, result::kSignatureInvalid},
      {"an error page", configured(publisher), std::string("<html>404</html>"), document, result::kSignatureInvalid},
      {"a cut signature", configured(publisher), signature.substr(0, signature.size() / 2), document,
       result::kSignatureInvalid},
      {"a key that could not be read", unreadable, signature, document, result::kSignatureInvalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(signatureVerdict(c.key, c.signature, c.document.data(), c.document.size()), c.verdict) << c.what;
  }
}

TEST(MinisignKeyTest, KeyFilesReadBackAsTheSameKeys) {
  const MinisignSecretKey secret = MinisignSecretKey::generate();
  std::string problem;
  const std::optional<MinisignSecretKey> again = MinisignSecretKey::parse(secret.fileText(), problem);
  ASSERT_TRUE(again) << problem;
  const std::optional<MinisignPublicKey> publicKey = MinisignPublicKey::parse(secret.publicKey().fileText());
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(publicKey->id(), secret.publicKey().id());
  EXPECT_EQ(publicKey->key(), again->publicKey().key());
  // The key line alone is a key too (the form the build option takes).
  EXPECT_TRUE(MinisignPublicKey::parse(secret.publicKey().keyLine()));
  EXPECT_FALSE(MinisignPublicKey::parse("untrusted comment: nothing else\n"));

  // One changed byte of the secret key is found.
  std::string damaged = secret.fileText();
  const std::size_t at = damaged.find('\n') + 80;
  damaged[at] = damaged[at] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(MinisignSecretKey::parse(damaged, problem));
}

}  // namespace
}  // namespace korvel::trust
