// The pieces of minisign's text formats that its key and signature files share: the comment line
// prefixes, the algorithm identifiers, the sizes of the binary parts and their Base64 form.
//
// A public key file is "untrusted comment: ..." and one Base64 line of "Ed", the 8-byte key id and
// the 32-byte Ed25519 key. A signature file is "untrusted comment: ...", a Base64 line of the
// algorithm ("ED": Ed25519 over the BLAKE2b-512 hash of the file; "Ed": over the file itself), the key
// id and the 64-byte signature, then "trusted comment: ..." and a Base64 line of the global
// signature: Ed25519 over the signature followed by the trusted comment's text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::trust::minisign {

inline constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
inline constexpr std::string_view kTrustedPrefix = "trusted comment: ";
// Key files name the signature scheme; signatures name it with the hashing mode.
inline constexpr std::array<std::uint8_t, 2> kKeyAlgorithm = {'E', 'd'};
inline constexpr std::array<std::uint8_t, 2> kPlainAlgorithm = {'E', 'd'};
inline constexpr std::array<std::uint8_t, 2> kHashedAlgorithm = {'E', 'D'};

inline constexpr std::size_t kKeyIdSize = 8;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSecretKeySize = 64;
inline constexpr std::size_t kSignatureSize = 64;
// BLAKE2b-512: the prehash of an "ED" signature.
inline constexpr std::size_t kPrehashSize = 64;

using KeyId = std::array<std::uint8_t, kKeyIdSize>;

// The text's lines without their line ends ("\n" or "\r\n"); a last line without an end counts.
std::vector<std::string_view> splitLines(std::string_view text);
// The Base64 (standard alphabet, padded) of `data`.
std::string toBase64(const std::uint8_t* data, std::size_t size);
// The bytes of a Base64 line, surrounding blanks ignored; nothing when it is not Base64 or does not
// decode to exactly `size` bytes.
std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view line, std::size_t size);
// The key id as minisign prints it: the 8 bytes read as a little-endian number, 16 uppercase
// hexadecimal digits.
std::string keyIdText(const KeyId& id);

}  // namespace korvel::trust::minisign
