// minisign secret keys and signing through libsodium.
#include "trust/minisign_secret_key.h"

#include <algorithm>
#include <vector>

#include <sodium.h>

#include "trust/sodium_runtime.h"

namespace korvel::trust {

namespace mini = minisign;

namespace {

// The binary key: signature algorithm, key derivation algorithm, checksum algorithm, the key
// derivation's salt and limits, then the key id, the secret key and their checksum.
constexpr std::array<std::uint8_t, 2> kNoKdf = {0, 0};
constexpr std::array<std::uint8_t, 2> kScryptKdf = {'S', 'c'};
constexpr std::array<std::uint8_t, 2> kChecksumAlgorithm = {'B', '2'};
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kLimitsSize = 16;
constexpr std::size_t kChecksumSize = 32;
constexpr std::size_t kHeaderSize = 2 + 2 + 2 + kSaltSize + kLimitsSize;
constexpr std::size_t kKeyBytes = kHeaderSize + mini::kKeyIdSize + mini::kSecretKeySize + kChecksumSize;
// Ed25519 keeps the public key in the second half of its 64-byte secret key.
constexpr std::size_t kPublicKeyOffset = 32;

template <std::size_t N>
bool sameBytes(const std::uint8_t* at, const std::array<std::uint8_t, N>& expected) {
  return std::equal(expected.begin(), expected.end(), at);
}

// BLAKE2b-256 of the signature algorithm, the key id and the secret key: the key's integrity check.
std::array<std::uint8_t, kChecksumSize> checksum(const mini::KeyId& id,
                                                 const std::array<std::uint8_t, mini::kSecretKeySize>& secret) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kChecksumSize);
  crypto_generichash_update(&state, mini::kKeyAlgorithm.data(), mini::kKeyAlgorithm.size());
  crypto_generichash_update(&state, id.data(), id.size());
  crypto_generichash_update(&state, secret.data(), secret.size());
  std::array<std::uint8_t, kChecksumSize> sum;
  crypto_generichash_final(&state, sum.data(), sum.size());
  return sum;
}

}  // namespace

MinisignSecretKey::~MinisignSecretKey() { sodium_memzero(secret_.data(), secret_.size()); }

MinisignSecretKey MinisignSecretKey::generate() {
  sodiumReady();
  MinisignSecretKey key;
  std::array<std::uint8_t, mini::kPublicKeySize> publicKey;
  crypto_sign_keypair(publicKey.data(), key.secret_.data());
  randombytes_buf(key.id_.data(), key.id_.size());
  return key;
}

std::optional<MinisignSecretKey> MinisignSecretKey::parse(const std::string& text, std::string& problem) {
  std::optional<std::vector<std::uint8_t>> bytes;
  for (std::string_view line : mini::splitLines(text)) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.substr(0, mini::kUntrustedPrefix.size()) == mini::kUntrustedPrefix) continue;
    bytes = mini::fromBase64(line, kKeyBytes);
    break;
  }
  if (!bytes || !sameBytes(bytes->data(), mini::kKeyAlgorithm) || !sameBytes(bytes->data() + 4, kChecksumAlgorithm)) {
    problem = "not a minisign secret key";
    return std::nullopt;
  }
  if (sameBytes(bytes->data() + 2, kScryptKdf)) {
    problem = "the secret key is encrypted; use an unencrypted one (korvel-publish keygen, or minisign -G -W)";
    return std::nullopt;
  }
  if (!sameBytes(bytes->data() + 2, kNoKdf)) {
    problem = "not a minisign secret key";
    return std::nullopt;
  }
  MinisignSecretKey key;
  const std::uint8_t* at = bytes->data() + kHeaderSize;
  std::copy_n(at, key.id_.size(), key.id_.begin());
  std::copy_n(at + key.id_.size(), key.secret_.size(), key.secret_.begin());
  // minisign -G -W leaves the checksum of an unencrypted key zero; the key itself is checked then: its
  // second half must be the public key of its first (the seed).
  const std::uint8_t* stored = at + key.id_.size() + key.secret_.size();
  const std::array<std::uint8_t, kChecksumSize> sum = checksum(key.id_, key.secret_);
  const bool noChecksum = std::all_of(stored, stored + kChecksumSize, [](std::uint8_t b) { return b == 0; });
  std::array<std::uint8_t, mini::kPublicKeySize> derivedPublic;
  std::array<std::uint8_t, mini::kSecretKeySize> derivedSecret;
  crypto_sign_seed_keypair(derivedPublic.data(), derivedSecret.data(), key.secret_.data());
  const bool intact = (noChecksum || std::equal(sum.begin(), sum.end(), stored)) &&
                      sodium_memcmp(derivedSecret.data(), key.secret_.data(), derivedSecret.size()) == 0;
  sodium_memzero(derivedSecret.data(), derivedSecret.size());
  sodium_memzero(bytes->data(), bytes->size());
  if (!intact) {
    problem = "the secret key is damaged (its checksum or its halves do not match)";
    return std::nullopt;
  }
  return key;
}

MinisignPublicKey MinisignSecretKey::publicKey() const {
  std::array<std::uint8_t, mini::kPublicKeySize> key;
  std::copy_n(secret_.begin() + kPublicKeyOffset, key.size(), key.begin());
  return MinisignPublicKey(id_, key);
}

std::string MinisignSecretKey::fileText() const {
  // Laid out in place, so the secret bytes are never copied into memory that is freed unwiped. No key
  // derivation: the salt and limits stay zero.
  std::vector<std::uint8_t> bytes(kKeyBytes, 0);
  std::uint8_t* at = bytes.data();
  at = std::copy(mini::kKeyAlgorithm.begin(), mini::kKeyAlgorithm.end(), at);
  at = std::copy(kNoKdf.begin(), kNoKdf.end(), at);
  std::copy(kChecksumAlgorithm.begin(), kChecksumAlgorithm.end(), at);
  at = bytes.data() + kHeaderSize;
  at = std::copy(id_.begin(), id_.end(), at);
  at = std::copy(secret_.begin(), secret_.end(), at);
  const std::array<std::uint8_t, kChecksumSize> sum = checksum(id_, secret_);
  std::copy(sum.begin(), sum.end(), at);
  std::string text = std::string(mini::kUntrustedPrefix) + "minisign secret key " + mini::keyIdText(id_) + "\n" +
                     mini::toBase64(bytes.data(), bytes.size()) + "\n";
  sodium_memzero(bytes.data(), bytes.size());
  return text;
}

std::string MinisignSecretKey::sign(const void* data, std::size_t size, const std::string& trustedComment) const {
  sodiumReady();
  std::array<std::uint8_t, mini::kPrehashSize> prehash;
  crypto_generichash(prehash.data(), prehash.size(), static_cast<const unsigned char*>(data), size, nullptr, 0);
  std::array<std::uint8_t, mini::kSignatureSize> signature;
  crypto_sign_detached(signature.data(), nullptr, prehash.data(), prehash.size(), secret_.data());

  std::vector<std::uint8_t> line(mini::kHashedAlgorithm.begin(), mini::kHashedAlgorithm.end());
  line.insert(line.end(), id_.begin(), id_.end());
  line.insert(line.end(), signature.begin(), signature.end());

  std::vector<std::uint8_t> covered(signature.begin(), signature.end());
  covered.insert(covered.end(), trustedComment.begin(), trustedComment.end());
  std::array<std::uint8_t, mini::kSignatureSize> global;
  crypto_sign_detached(global.data(), nullptr, covered.data(), covered.size(), secret_.data());

  return std::string(mini::kUntrustedPrefix) + "signature from minisign secret key\n" +
         mini::toBase64(line.data(), line.size()) + "\n" + std::string(mini::kTrustedPrefix) + trustedComment + "\n" +
         mini::toBase64(global.data(), global.size()) + "\n";
}

}  // namespace korvel::trust
