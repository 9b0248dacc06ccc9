// Peak memory of applying delta data much larger than the memory a combine may use: writes an old file
// and delta data of the given size (copies of the old file's blocks and literals, alternating), applies
// the data with the session's combine as the file nodes do (streamed from the file, written beside the
// old file), and prints the bytes handled, the time and the process's peak resident size.
//
//   korvel_delta_memory_bench [delta MiB (1024)] [work folder (a temporary one)]
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fileupdate/delta_patch.h"
#include "platform/file.h"
#include "platform/files.h"

namespace {

constexpr std::uint32_t kOldSize = 64u << 20;
constexpr std::uint32_t kRecordBytes = 1u << 20;

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t deltaMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::filesystem::path folder =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path() / "korvel-delta-memory";
  std::filesystem::create_directories(folder);
  const std::string old = (folder / "old.pak").string();
  const std::string data = (folder / "old.pak.delta").string();
  const std::string output = (folder / "new.pak").string();

  std::vector<std::uint8_t> block(kRecordBytes);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 131 + i / 4093);
  {
    korvel::platform::File file = korvel::platform::File::open(old, "wb");
    for (std::uint32_t written = 0; written < kOldSize; written += kRecordBytes) file.write(block.data(), block.size());
    if (!file.close()) return 1;
  }
  // Records of 1 MiB: a literal, then a copy of an old block, and so on until the data has its size.
  std::uint64_t newSize = 0;
  {
    korvel::platform::File file = korvel::platform::File::open(data, "wb");
    std::vector<std::uint8_t> header;
    putWord(header, 0);
    putWord(header, 0xFFFFFFFFu);
    file.write(header.data(), header.size());
    std::uint64_t size = header.size();
    for (std::uint32_t record = 0; size < deltaMiB << 20; ++record) {
      std::vector<std::uint8_t> word;
      if (record % 2 == 0) {
        putWord(word, static_cast<std::uint32_t>(-static_cast<std::int64_t>(kRecordBytes)));
        file.write(word.data(), word.size());
        file.write(block.data(), block.size());
        size += word.size() + block.size();
      } else {
        putWord(word, kRecordBytes);
        putWord(word, (record * kRecordBytes) % kOldSize);
        file.write(word.data(), word.size());
        size += word.size();
      }
      newSize += kRecordBytes;
    }
    if (!file.close()) return 1;
  }

  const long before = peakResidentKiB();
  korvel::FileDeltaInput input(data);
  korvel::CombineContext context;
  korvel::CombineOutput written;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = korvel::combineDelta(old, output, input, context, written);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("delta data %llu MiB, new file %llu MiB, combined: %s in %.1f s\n",
              static_cast<unsigned long long>(input.size() >> 20),
              static_cast<unsigned long long>(written.size >> 20), ok ? "yes" : "NO", seconds);
  std::printf("peak resident size: %ld KiB before the combine, %ld KiB after it\n", before, peakResidentKiB());
  std::filesystem::remove_all(folder);
  return ok && written.size == newSize ? 0 : 1;
}
