// A polynomial hash over a fixed window of bytes that moves by one byte in constant time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel::publish {

// Each byte value stands for a well-mixed 64-bit code, so runs of equal bytes still hash apart.
constexpr std::array<std::uint64_t, 256> rollingHashByteCodes() {
  std::array<std::uint64_t, 256> codes{};
  std::uint64_t state = 0x243F6A8885A308D3ull;
  for (auto& code : codes) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    code = z ^ (z >> 31);
  }
  return codes;
}

class RollingHash {
 public:
  explicit RollingHash(std::uint32_t window) : window_(window) {
    outFactor_ = 1;
    for (std::uint32_t i = 0; i < window; ++i) outFactor_ *= kMultiplier;
  }

  std::uint32_t window() const { return window_; }

  // Hash of data[0 .. window).
  std::uint64_t of(const std::uint8_t* data) const {
    std::uint64_t hash = 0;
    for (std::uint32_t i = 0; i < window_; ++i) hash = hash * kMultiplier + kByteCodes[data[i]];
    return hash;
  }

  // Hash of the window moved one byte on: `leaving` drops out at the front, `entering` joins at the end.
  std::uint64_t roll(std::uint64_t hash, std::uint8_t leaving, std::uint8_t entering) const {
    return hash * kMultiplier + kByteCodes[entering] - outFactor_ * kByteCodes[leaving];
  }

 private:
  static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull | 1u;

  static constexpr std::array<std::uint64_t, 256> kByteCodes = rollingHashByteCodes();

  std::uint32_t window_;
  std::uint64_t outFactor_;
};

}  // namespace korvel::publish
