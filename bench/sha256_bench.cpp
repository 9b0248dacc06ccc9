// SHA-256 benchmark: the updater's hasher (the system's library) beside libsodium's portable code, the
// hasher the updater used before, on the same buffer hashed in the slices a download writes.
//
// usage: korvel_sha256_bench [MiB]   (default 1024)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <sodium.h>

#include "trust/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSlice = 256 * 1024;

template <typename Hash>
double megabytesPerSecond(const std::vector<unsigned char>& data, std::size_t rounds, Hash hash) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < rounds; ++i) hash();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(data.size() * rounds) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  if (mebibytes == 0 || sodium_init() < 0) {
    std::fprintf(stderr, "usage: korvel_sha256_bench [MiB]\n");
    return 2;
  }
  // 64 MiB of random bytes, hashed as often as the size asks.
  std::vector<unsigned char> data(64u << 20);
  std::mt19937_64 random(1);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  const std::size_t rounds = (mebibytes + 63) / 64;

  std::string ours, theirs;
  const double oursRate = megabytesPerSecond(data, rounds, [&] {
    korvel::trust::Sha256 hash;
    for (std::size_t at = 0; at < data.size(); at += kSlice) hash.update(data.data() + at, kSlice);
    ours = hash.finishHex();
  });
  const double sodiumRate = megabytesPerSecond(data, rounds, [&] {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    for (std::size_t at = 0; at < data.size(); at += kSlice) crypto_hash_sha256_update(&state, data.data() + at, kSlice);
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    char text[2 * crypto_hash_sha256_BYTES + 1];
    theirs = sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  });
  if (ours != theirs) {
    std::fprintf(stderr, "digests differ: %s against %s\n", ours.c_str(), theirs.c_str());
    return 1;
  }
  std::printf("SHA-256 of %zu MiB: updater %.0f MB/s, libsodium %.0f MB/s (%.2fx)\n", rounds * 64, oursRate,
              sodiumRate, oursRate / sodiumRate);
  return 0;
}
