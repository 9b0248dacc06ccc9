// Scan benchmark: a full scan pass of an installation of many files against a local manifest, first
// with no patch cache (every CRC is computed) and then, in fresh sessions, with the cache the first
// scan saved (the "warm" scans that every later run of the program makes).
//
//   korvel_scan_bench [files (10000)] [work folder (a new temporary folder)]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fileupdate/crc32_checksum.h"
#include "fileupdate/time_stamp.h"
#include "launcher/patch_client.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/quiet_client.h"

namespace {

using namespace korvel;
namespace fs = std::filesystem;

using korvel::test::QuietClient;

std::uint32_t crcOf(const std::string& data) {
  Crc32Checksum checksum;
  checksum.reset();
  checksum.update(data.data(), data.size());
  return checksum.value();
}

// Writes `count` files in folders of 100 (sizes 1 to 16 KiB, fixed content) with the manifest's time,
// and their manifest.
std::string makeInstallation(const fs::path& root, int count) {
  const char* stampText = "2004:11:09:05:53:20";
  const std::int32_t stamp = readTimeStamp(stampText);
  std::string manifest =
      "<KorvelPatcher><Product Name=\"Wendrel\"><Distribution Name=\"Wendrel Distribution\"><Directory Name=\"data\">";
  std::uint32_t seed = 20041117;
  for (int folder = 0; folder * 100 < count; ++folder) {
    const std::string folderName = "folder" + std::to_string(folder);
    fs::create_directories(root / "data" / folderName);
    manifest += "<Directory Name=\"" + folderName + "\">";
    for (int i = folder * 100; i < count && i < (folder + 1) * 100; ++i) {
      seed = seed * 1103515245 + 12345;
      std::string content(1024 + seed % (15 * 1024), '\0');
      for (std::size_t b = 0; b < content.size(); ++b) content[b] = static_cast<char>((b * 31 + i) & 0xFF);
      const std::string name = "file" + std::to_string(i) + ".bin";
      std::ofstream(root / "data" / folderName / name, std::ios::binary).write(content.data(),
                                                                               static_cast<std::streamsize>(content.size()));
      platform::setFileTime(platform::fullPathName((root / "data" / folderName / name).string()), stamp);
      manifest += "<File Name=\"" + name + "\" TotalSize=\"" + std::to_string(content.size()) + "\" CRC=\"" +
                  std::to_string(static_cast<std::int32_t>(crcOf(content))) + "\" TimeStamp=\"" + stampText + "\"/>";
    }
    manifest += "</Directory>";
  }
  manifest += "</Directory></Distribution></Product></KorvelPatcher>";
  return manifest;
}

// One session: loads the manifest without its rescan, then times a scan pass of every file.
double scanSeconds(const std::string& manifestPath, int& needingUpdate) {
  QuietClient client;
  Patcher& patcher = *client.patcher();
  patcher.setRescanAfterLoad(false);
  if (!client.openLocalManifest(manifestPath.c_str(), Patcher::kWaitFlag)) {
    std::cerr << "scan_bench: the manifest did not load\n";
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  client.startScan(nullptr, Patcher::kWaitFlag);
  const auto end = std::chrono::steady_clock::now();
  needingUpdate = patcher.countFiles(nullptr, 0x20000);
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path work =
      argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / ("korvel-scan-bench-" + std::to_string(now));
  fs::create_directories(work);
  const fs::path install = work / "install";
  std::cout << "scan_bench: writing " << count << " files under " << install << std::endl;
  const std::string manifest = makeInstallation(install, count);
  std::ofstream(work / "manifest.xml") << manifest;
  const std::string manifestPath = platform::fullPathName((work / "manifest.xml").string());

  // The session's base folder is the current directory it starts in.
  platform::setCurrentDirectory(platform::fullPathName(install.string()));
  int needing = 0;
  const double cold = scanSeconds(manifestPath, needing);
  std::cout << "cold scan (no patch cache, every CRC computed): " << cold << " s, " << needing
            << " files to update" << std::endl;
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const double warm = scanSeconds(manifestPath, needing);
    std::cout << "warm scan " << run + 1 << " (patch cache from the previous scan): " << warm << " s, " << needing
              << " files to update" << std::endl;
    best = std::min(best, warm);
  }
  std::cout << "best warm scan of " << count << " files: " << best << " s" << std::endl;
  if (argc <= 2) fs::remove_all(work);
  return 0;
}
