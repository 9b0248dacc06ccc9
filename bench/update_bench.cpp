// Whole-update throughput: a session loads a manifest, scans an empty installation and downloads every
// file of a tree served from loopback, then a second session finds the same installation current.
//
// Usage: korvel_update_bench [scenario: large | small | both, default both] [work folder, default the
// system's temp]. "large" is 1 GiB in 1,000 files of 1 MiB, "small" 10,000 files of 2 KiB.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include <zlib.h>

#include "launcher/patch_client.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/quiet_client.h"
#include "tests/support/test_http_server.h"

namespace fs = std::filesystem;

namespace {

using korvel::test::QuietClient;

// Text-like data of about the compressibility of game scripts and tables, different for every seed.
std::string payload(std::size_t size, std::uint64_t seed) {
  static const char* const words[] = {"Patch", "File", "Directory", "Distribution", "Size", "TimeStamp", "Crc",
                                      "RemotePath", "wendrel", "data", "pak", "texture", "sound", "model", "="};
  std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ (seed * 0x100000001B3ULL);
  std::string out;
  out.reserve(size + 64);
  while (out.size() < size) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    out += words[state % std::size(words)];
    out += ' ';
    out += std::to_string(state % 100000);
    out += (state >> 40) % 8 == 0 ? '\n' : ' ';
  }
  out.resize(size);
  return out;
}

struct Tree {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::uint64_t packedBytes = 0;
};

// Writes `count` files of `size` bytes gzip-compressed under `served`, and the manifest naming them.
Tree writeTree(const fs::path& served, const fs::path& manifest, int port, int count, std::size_t size) {
  Tree tree;
  std::string text = "<?xml version=\"1.0\"?><KorvelPatcher Version=\"1\"><Product Name=\"Bench\" Server=\"127.0.0.1\" "
                     "Port=\"" + std::to_string(port) + "\">";
  // Fifty folders; every manifest name is one path component, the folders are Directory elements.
  std::map<int, std::string> folders;
  for (int index = 0; index < count; ++index) {
    char name[64];
    std::snprintf(name, sizeof name, "d%02d\\f%05d.bin", index % 50, index);
    const std::string data = payload(size, static_cast<std::uint64_t>(index));
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    std::string relative = name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    const fs::path packed = served / relative;
    fs::create_directories(packed.parent_path());
    gzFile out = gzopen(packed.string().c_str(), "wb6");
    gzwrite(out, data.data(), static_cast<unsigned>(data.size()));
    gzclose(out);
    tree.packedBytes += fs::file_size(packed);
    tree.bytes += data.size();
    ++tree.files;
    folders[index % 50] += "<File Name=\"" + std::string(name).substr(4) + "\" TotalSize=\"" + std::to_string(data.size()) +
                           "\" CRC=\"" + std::to_string(static_cast<std::int32_t>(crc)) +
                           "\" TimeStamp=\"2004:11:17:00:57:29\"/>";
  }
  for (const auto& [folder, files] : folders) {
    char name[8];
    std::snprintf(name, sizeof name, "d%02d", folder);
    text += "<Directory Name=\"" + std::string(name) + "\">" + files + "</Directory>";
  }
  text += "</Product></KorvelPatcher>";
  std::ofstream(manifest, std::ios::binary) << text;
  return tree;
}

template <typename Step>
double seconds(Step step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Bytes and files found in place with the expected size.
std::uint64_t installedFiles(const fs::path& folder, std::size_t size) {
  std::uint64_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file() && entry.path().extension() == ".bin" && entry.file_size() == size) ++count;
  return count;
}

bool runScenario(const char* label, const fs::path& work, int count, std::size_t size) {
  const fs::path served = work / "served";
  const fs::path install = work / "install";
  const fs::path manifest = work / "manifest.xml";
  fs::create_directories(served);
  fs::create_directories(install);

  korvel::test::TestHttpServer server;
  server.serveFolder("/", served.string());
  std::printf("%s: preparing %d files of %zu bytes in %s\n", label, count, size, work.string().c_str());
  Tree tree;
  const double prepare = seconds([&] { tree = writeTree(served, manifest, server.port(), count, size); });
  std::printf("  prepared %.1f MiB (gzip %.1f MiB) in %.1f s\n", static_cast<double>(tree.bytes) / 1048576.0,
              static_cast<double>(tree.packedBytes) / 1048576.0, prepare);

  // The session takes the folder it is made in as its installation.
  const std::string previous = korvel::platform::currentDirectory();
  korvel::platform::setCurrentDirectory(install.string());
  bool ok = true;
  for (int pass = 0; pass < 2 && ok; ++pass) {
    auto client = std::make_unique<QuietClient>();
    double load = 0, update = 0;
    load = seconds([&] { ok = client->openLocalManifest(manifest.string().c_str(), korvel::Patcher::kWaitFlag); });
    if (ok) update = seconds([&] { ok = client->update(nullptr, korvel::Patcher::kWaitFlag); });
    const std::uint64_t found = installedFiles(install, size);
    ok = ok && client->errors == 0 && found == tree.files;
    const double total = load + update;
    std::printf("  %-28s load+scan %7.2f s, update %7.2f s, total %7.2f s", pass == 0 ? "empty installation"
                                                                                      : "already current",
                load, update, total);
    if (pass == 0)
      std::printf(", %7.1f MiB/s, %8.0f files/s", static_cast<double>(tree.bytes) / 1048576.0 / total,
                  static_cast<double>(tree.files) / total);
    std::printf("%s\n", ok ? "" : "  FAILED");
    if (!ok) std::printf("  errors reported: %d, files in place: %llu of %llu\n", client->errors,
                         static_cast<unsigned long long>(found), static_cast<unsigned long long>(tree.files));
  }
  korvel::platform::setCurrentDirectory(previous);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string scenario = argc > 1 ? argv[1] : "both";
  const fs::path base = (argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path()) /
                        ("korvel-update-bench-" +
                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  bool ok = true;
  if (scenario == "large" || scenario == "both") ok = runScenario("1 GiB in 1,000 files", base / "large", 1000, 1 << 20) && ok;
  if (scenario == "small" || scenario == "both") ok = runScenario("10,000 small files", base / "small", 10000, 2048) && ok;
  std::error_code error;
  fs::remove_all(base, error);
  return ok ? 0 : 1;
}
