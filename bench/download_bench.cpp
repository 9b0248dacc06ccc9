// Download throughput: the session's file download (plain and gzip-compressed) against the curl
// command-line tool fetching the same files from the same loopback server in the same run.
//
// Usage: korvel_download_bench [size in MiB, default 256] [work folder, default the system's temp]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "launcher/patch_client.h"
#include "session/patcher.h"
#include "transfer/download_requests.h"
#include "transfer/remote_file.h"
#include "tests/support/quiet_client.h"
#include "tests/support/test_http_server.h"

namespace fs = std::filesystem;

namespace {

using korvel::test::QuietClient;

// Text-like data of about the compressibility of game manifests and scripts.
void writePayload(const fs::path& path, std::uint64_t size) {
  static const char* const words[] = {"Patch", "File", "Directory", "Distribution", "Size", "TimeStamp", "Crc",
                                      "RemotePath", "wendrel", "data", "pak", "texture", "sound", "model", "="};
  std::ofstream out(path, std::ios::binary);
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::string block;
  std::uint64_t written = 0;
  while (written < size) {
    block.clear();
    while (block.size() < (1u << 20)) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      block += words[state % std::size(words)];
      block += ' ';
      block += std::to_string(state % 100000);
      block += (state >> 40) % 8 == 0 ? '\n' : ' ';
    }
    const std::uint64_t n = std::min<std::uint64_t>(block.size(), size - written);
    out.write(block.data(), static_cast<std::streamsize>(n));
    written += n;
  }
}

void gzipFile(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  gzFile out = gzopen(to.string().c_str(), "wb6");
  std::vector<char> block(1 << 20);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
    gzwrite(out, block.data(), static_cast<unsigned>(in.gcount()));
  gzclose(out);
}

template <typename Step>
double seconds(Step step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double mibPerSecond(std::uint64_t bytes, double time) { return static_cast<double>(bytes) / (1024.0 * 1024.0) / time; }

bool sameSize(const fs::path& path, std::uint64_t size) {
  std::error_code error;
  return fs::file_size(path, error) == size && !error;
}

void row(const char* what, std::uint64_t bytes, double time) {
  std::printf("  %-34s %8.2f s %10.1f MiB/s\n", what, time, mibPerSecond(bytes, time));
}

// A download of `path` on the loopback server into `local`.
korvel::FileDownload fileOn(const korvel::test::TestHttpServer& server, const char* path, const fs::path& local,
                            int decompress, std::uint64_t downloadSize, std::uint64_t totalSize) {
  korvel::ServerAddress address;
  address.host = server.host();
  address.port = server.port();
  korvel::FileDownload file;
  file.remote = korvel::RemoteFile::on(address, path);
  file.localFile = local.string();
  file.decompress = decompress;
  file.downloadSize = static_cast<std::int64_t>(downloadSize);
  file.totalSize = static_cast<std::int64_t>(totalSize);
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::uint64_t size = mib * 1024 * 1024;
  const fs::path work = (argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path()) /
                        ("korvel-download-bench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(work / "served");
  const fs::path payload = work / "served" / "payload.bin";
  const fs::path packed = work / "served" / "payload.bin.gz";

  std::printf("Preparing %llu MiB of data and its gzip form in %s\n", static_cast<unsigned long long>(mib),
              work.string().c_str());
  writePayload(payload, size);
  gzipFile(payload, packed);
  const std::uint64_t packedSize = fs::file_size(packed);
  std::printf("  gzip form: %.1f MiB (%.1f %%)\n", static_cast<double>(packedSize) / (1024.0 * 1024.0),
              100.0 * static_cast<double>(packedSize) / static_cast<double>(size));

  korvel::test::TestHttpServer server;
  if (server.port() == 0) {
    std::fprintf(stderr, "the loopback server could not start\n");
    return 1;
  }
  server.serveFolder("/files/", (work / "served").string());
  const std::string plainUrl = server.url("/files/payload.bin");
  const std::string packedUrl = server.url("/files/payload.bin.gz");

  QuietClient client;
  korvel::Patcher& patcher = *client.patcher();

  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "FAILED: %s\n", what);
      ++failures;
    }
  };

  const fs::path ownPlain = work / "own-plain.bin";
  int result = 0;
  const double ownPlainTime = seconds([&] {
    result = patcher.downloads().toFile(fileOn(server, "files/payload.bin", ownPlain, 0, size, size), true, true);
  });
  check(result == 0 && sameSize(ownPlain, size), "session download of the plain file");
  fs::remove(ownPlain);

  const fs::path ownPacked = work / "own-packed.bin";
  const double ownPackedTime = seconds([&] {
    result = patcher.downloads().toFile(fileOn(server, "files/payload.bin.gz", ownPacked, 1, packedSize, size), true,
                                        true);
  });
  check(result == 0 && sameSize(ownPacked, size), "session download of the gzip file");
  fs::remove(ownPacked);

  const fs::path curlPlain = work / "curl-plain.bin";
  const double curlPlainTime = seconds([&] {
    result = std::system(("curl -s -S --noproxy '*' -o '" + curlPlain.string() + "' '" + plainUrl + "'").c_str());
  });
  check(result == 0 && sameSize(curlPlain, size), "curl fetch of the plain file");
  fs::remove(curlPlain);

  const fs::path curlPacked = work / "curl-packed.bin.gz";
  const double curlPackedTime = seconds([&] {
    result = std::system(("curl -s -S --noproxy '*' -o '" + curlPacked.string() + "' '" + packedUrl + "'").c_str());
  });
  check(result == 0 && sameSize(curlPacked, packedSize), "curl fetch of the gzip file");
  fs::remove(curlPacked);

  const fs::path curlExpanded = work / "curl-expanded.bin";
  const double curlExpandedTime = seconds([&] {
    result = std::system(
        ("curl -s -S --noproxy '*' '" + packedUrl + "' | gzip -dc > '" + curlExpanded.string() + "'").c_str());
  });
  check(result == 0 && sameSize(curlExpanded, size), "curl fetch piped through gzip -d");
  fs::remove(curlExpanded);

  std::printf("\nPlain file, %llu MiB (throughput of the finished file):\n", static_cast<unsigned long long>(mib));
  row("session downloadToFile", size, ownPlainTime);
  row("curl -o", size, curlPlainTime);
  std::printf("  ratio curl / session: %.1f\n", ownPlainTime / curlPlainTime);

  std::printf("\nGzip file, %.1f MiB on the wire, %llu MiB expanded (throughput of the finished file):\n",
              static_cast<double>(packedSize) / (1024.0 * 1024.0), static_cast<unsigned long long>(mib));
  row("session downloadToFile, expanding", size, ownPackedTime);
  row("curl | gzip -dc", size, curlExpandedTime);
  std::printf("  ratio curl / session: %.1f\n", ownPackedTime / curlExpandedTime);
  std::printf("  (curl fetching the .gz alone: %.2f s, %.1f MiB/s on the wire)\n", curlPackedTime,
              mibPerSecond(packedSize, curlPackedTime));

  std::error_code error;
  fs::remove_all(work, error);
  return failures == 0 ? 0 : 1;
}
