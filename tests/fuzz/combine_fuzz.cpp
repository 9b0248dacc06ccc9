// libFuzzer target for the delta combine: arbitrary delta data against a small old file. A combine
// must either produce exactly what a plain reading of the records gives, or fail and leave the old
// file as it was with nothing beside it; it must never read or write outside its buffers (the sanitizers watch).
//
// Input: the first byte sets the old file's length (byte * 17), the rest is the delta data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "fileupdate/delta_patch.h"
#include "platform/file.h"
#include "platform/files.h"

namespace {

using korvel::platform::File;

std::string target;
std::filesystem::path folder;

void removeFolder() {
  std::error_code error;
  std::filesystem::remove_all(folder, error);
}

std::string oldContents(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t index = 0; index < length; ++index) bytes[index] = static_cast<char>(index * 31 + 7);
  return bytes;
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  File file = File::open(path, "wb");
  return file && file.write(bytes.data(), bytes.size()) == bytes.size() && file.close();
}

std::optional<std::string> readWhole(const std::string& path) {
  File file = File::open(path, "rb");
  if (!file) return std::nullopt;
  std::string bytes;
  char block[4096];
  for (std::size_t got; (got = file.read(block, sizeof block)) > 0;) bytes.append(block, got);
  return bytes;
}

std::uint32_t word(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

// An independent reading of the records; nothing when the data is malformed, its header gives a new
// file beyond 2 GiB, or it makes more than the new-file size its header gives.
std::optional<std::string> expectedResult(const std::uint8_t* data, std::size_t length, const std::string& old) {
  if (length < 8) return std::nullopt;
  const std::uint64_t newSize = word(data + 4);
  // Counts and offsets are signed 32-bit: a larger new file is none the data can describe.
  if (newSize > 0x7FFFFFFF) return std::nullopt;
  std::string out;
  std::size_t position = 8;
  while (position < length) {
    if (position + 4 > length) return std::nullopt;
    const std::int64_t value = static_cast<std::int32_t>(word(data + position));
    position += 4;
    if (value < 0) {
      const std::uint64_t size = static_cast<std::uint64_t>(-value);
      if (size > length - position) return std::nullopt;
      out.append(reinterpret_cast<const char*>(data + position), static_cast<std::size_t>(size));
      position += static_cast<std::size_t>(size);
    } else {
      if (position + 4 > length) return std::nullopt;
      const std::uint64_t offset = word(data + position);
      position += 4;
      if (value == 0) continue;
      if (offset + static_cast<std::uint64_t>(value) > old.size()) return std::nullopt;
      out.append(old, static_cast<std::size_t>(offset), static_cast<std::size_t>(value));
    }
    if (out.size() > newSize) return std::nullopt;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The combine writes the new version beside the old file: give them a folder of their own.
  folder = std::filesystem::temp_directory_path() / ("korvel-combine-fuzz-" + std::to_string(std::random_device()()));
  std::error_code error;
  if (!std::filesystem::create_directory(folder, error) || !korvel::platform::setCurrentDirectory(folder.string()))
    std::abort();
  std::atexit(removeFolder);
  target = korvel::platform::fullPathName("game.dat");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const std::string old = oldContents(std::size_t{input[0]} * 17);
  const std::uint8_t* data = input + 1;
  const std::size_t length = size - 1;
  if (!writeWhole(target, old)) std::abort();

  korvel::CombineContext context;
  const bool combined = korvel::combineDelta(target, data, length, context);
  const std::optional<std::string> expected = expectedResult(data, length, old);
  const std::optional<std::string> result = readWhole(target);
  if (!result) std::abort();
  if (combined != expected.has_value()) std::abort();
  if (*result != (combined ? *expected : old)) std::abort();
  // Nothing but the target may be left in its folder: the new version is made beside it.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    (void)entry;
    ++entries;
  }
  if (entries != 1) std::abort();
  return 0;
}
