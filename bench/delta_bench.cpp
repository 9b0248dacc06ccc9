// Delta benchmark: the delta encoder of korvel-publish against xdelta3 and zstd --patch-from on
// old/new pairs generated deterministically here: delta size after compression, encode time and apply
// time (ours applied with the tests' reference decoder), each verified to rebuild the new file.
//
// usage: korvel_delta_bench [--work DIR] [--scale N]   (N scales the 32 MiB binary and 40 MiB pack)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "tests/tools/delta_reference_decoder.h"
#include "tools/publish/delta_encoder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Program-like bytes: tokens from a skewed vocabulary, zero padding and some noise, compressing to
// roughly half like an executable does.
void appendCode(Bytes& out, std::size_t count, std::mt19937_64& random, const std::vector<Bytes>& vocabulary) {
  std::size_t end = out.size() + count;
  while (out.size() < end) {
    std::uint64_t pick = random();
    if (pick % 50 == 0) {
      out.insert(out.end(), 16 + pick % 48, 0);
    } else if (pick % 7 == 0) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(random()));
    } else {
      // Squaring a uniform index favours the first words.
      double u = static_cast<double>(random() % 1000000) / 1000000.0;
      const Bytes& word = vocabulary[static_cast<std::size_t>(u * u * static_cast<double>(vocabulary.size()))];
      out.insert(out.end(), word.begin(), word.end());
    }
  }
  out.resize(end);
}

std::vector<Bytes> makeVocabulary(std::mt19937_64& random) {
  std::vector<Bytes> vocabulary(4096);
  for (auto& word : vocabulary) {
    word.resize(2 + random() % 7);
    for (auto& b : word) b = static_cast<std::uint8_t>(random());
  }
  return vocabulary;
}

// A binary with scattered small edits, insertions and deletions, and one larger inserted section.
void makeBinaryPair(std::size_t size, Bytes& oldData, Bytes& newData) {
  std::mt19937_64 random(20240601);
  auto vocabulary = makeVocabulary(random);
  oldData.clear();
  appendCode(oldData, size, random, vocabulary);
  newData = oldData;
  for (int i = 0; i < 300; ++i) {
    std::size_t at = random() % (newData.size() - 16);
    std::size_t length = 1 + random() % 16;
    for (std::size_t k = 0; k < length; ++k) newData[at + k] = static_cast<std::uint8_t>(random());
  }
  for (int i = 0; i < 60; ++i) {
    std::size_t at = random() % newData.size();
    Bytes insert;
    appendCode(insert, 10 + random() % 2000, random, vocabulary);
    newData.insert(newData.begin() + static_cast<std::ptrdiff_t>(at), insert.begin(), insert.end());
  }
  for (int i = 0; i < 30; ++i) {
    std::size_t at = random() % (newData.size() - 3000);
    newData.erase(newData.begin() + static_cast<std::ptrdiff_t>(at),
                  newData.begin() + static_cast<std::ptrdiff_t>(at + 10 + random() % 2000));
  }
  Bytes section;
  appendCode(section, 256 * 1024, random, vocabulary);
  newData.insert(newData.begin() + static_cast<std::ptrdiff_t>(newData.size() * 3 / 10), section.begin(), section.end());
}

// A pack of assets: the new version reorders them, replaces some, drops some and adds some.
void makePackPair(std::size_t size, Bytes& oldData, Bytes& newData) {
  std::mt19937_64 random(777);
  auto vocabulary = makeVocabulary(random);
  std::vector<Bytes> assets;
  std::size_t total = 0;
  while (total < size) {
    Bytes asset;
    std::size_t length = 10 * 1024 + random() % (190 * 1024);
    if (random() % 3 == 0) {
      // Already compressed (textures, sounds): incompressible.
      asset.resize(length);
      for (auto& b : asset) b = static_cast<std::uint8_t>(random());
    } else {
      appendCode(asset, length, random, vocabulary);
    }
    total += asset.size();
    assets.push_back(std::move(asset));
  }
  oldData.clear();
  for (const auto& asset : assets) oldData.insert(oldData.end(), asset.begin(), asset.end());
  std::vector<Bytes> next;
  for (auto& asset : assets) {
    std::uint64_t fate = random() % 100;
    if (fate < 5) continue;  // dropped
    if (fate < 12) {         // replaced
      Bytes replacement;
      appendCode(replacement, asset.size(), random, vocabulary);
      next.push_back(std::move(replacement));
      continue;
    }
    if (fate < 20) {  // patched in place
      for (int k = 0; k < 5; ++k) asset[random() % asset.size()] ^= 0xFF;
    }
    next.push_back(asset);
    if (fate >= 97) {  // new asset after it
      Bytes added;
      appendCode(added, 20 * 1024 + random() % (100 * 1024), random, vocabulary);
      next.push_back(std::move(added));
    }
  }
  std::shuffle(next.begin(), next.end(), random);
  newData.clear();
  for (const auto& asset : next) newData.insert(newData.end(), asset.begin(), asset.end());
}

std::uint64_t gzipSize(const Bytes& data, int level, double& millis) {
  Clock::time_point start = Clock::now();
  uLongf bound = compressBound(static_cast<uLong>(data.size())) + 64;
  std::vector<Bytef> out(bound);
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  std::uint64_t size = stream.total_out;
  deflateEnd(&stream);
  millis = millisSince(start);
  return size;
}

struct Row {
  std::string tool;
  std::uint64_t size = 0;
  double encodeMs = 0;
  double applyMs = 0;
  bool verified = false;
};

bool runCommand(const std::string& command, double& millis) {
  Clock::time_point start = Clock::now();
  // The tools' advice on stderr is not part of the results.
  int status = std::system((command + " 2>/dev/null").c_str());
  millis = millisSince(start);
  return status == 0;
}

Row external(const std::string& tool, const std::string& encode, const std::string& decode, const fs::path& deltaFile,
             const fs::path& decoded, const Bytes& expected) {
  Row row;
  row.tool = tool;
  if (!runCommand(encode, row.encodeMs)) return row;
  row.size = fs::file_size(deltaFile);
  if (!runCommand(decode, row.applyMs)) return row;
  row.verified = readAll(decoded) == expected;
  return row;
}

std::string quote(const fs::path& path) {
  std::string quoted(1, '\'');
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

void benchPair(const std::string& label, const Bytes& oldData, const Bytes& newData, const fs::path& work) {
  fs::path oldFile = work / (label + ".old");
  fs::path newFile = work / (label + ".new");
  writeAll(oldFile, oldData);
  writeAll(newFile, newData);
  double fullMs = 0;
  std::uint64_t fullGzip = gzipSize(newData, 9, fullMs);
  std::printf("\n%s: old %.1f MiB, new %.1f MiB, new file gzip -9: %llu bytes\n", label.c_str(),
              static_cast<double>(oldData.size()) / 1048576.0, static_cast<double>(newData.size()) / 1048576.0,
              static_cast<unsigned long long>(fullGzip));

  std::vector<Row> rows;
  korvel::publish::DeltaEncoder encoder;
  for (int level : {6, 9}) {
    Row row;
    row.tool = "korvel delta + gzip -" + std::to_string(level);
    std::ostringstream out;
    Clock::time_point start = Clock::now();
    korvel::publish::DeltaResult result = encoder.encode(oldFile, newFile, out);
    double encodeMs = millisSince(start);
    std::string text = out.str();
    Bytes delta(text.begin(), text.end());
    double gzipMs = 0;
    row.size = gzipSize(delta, level, gzipMs);
    row.encodeMs = encodeMs + gzipMs;
    start = Clock::now();
    korvel::test::DecodedDelta decoded = korvel::test::DeltaReferenceDecoder::apply(oldData, delta);
    row.applyMs = millisSince(start);
    row.verified = result.ok && decoded.ok && decoded.data == newData;
    if (level == 6) {
      std::printf("  korvel encoder: %.0f ms, %llu bytes raw, %llu copies (%llu bytes), %llu literal runs (%llu bytes), "
                  "index %llu KiB, step %llu\n",
                  encodeMs, static_cast<unsigned long long>(result.stats.deltaBytes),
                  static_cast<unsigned long long>(result.stats.copyRecords),
                  static_cast<unsigned long long>(result.stats.copiedBytes),
                  static_cast<unsigned long long>(result.stats.literalRecords),
                  static_cast<unsigned long long>(result.stats.literalBytes),
                  static_cast<unsigned long long>(result.stats.indexBytes / 1024),
                  static_cast<unsigned long long>(result.stats.sampleStep));
    }
    rows.push_back(row);
  }

  fs::path deltaFile = work / (label + ".delta");
  fs::path decoded = work / (label + ".decoded");
  rows.push_back(external("xdelta3 (default)",
                          "xdelta3 -e -f -s " + quote(oldFile) + " " + quote(newFile) + " " + quote(deltaFile),
                          "xdelta3 -d -f -s " + quote(oldFile) + " " + quote(deltaFile) + " " + quote(decoded),
                          deltaFile, decoded, newData));
  rows.push_back(external("xdelta3 -9 -S lzma",
                          "xdelta3 -e -9 -S lzma -f -s " + quote(oldFile) + " " + quote(newFile) + " " + quote(deltaFile),
                          "xdelta3 -d -f -s " + quote(oldFile) + " " + quote(deltaFile) + " " + quote(decoded),
                          deltaFile, decoded, newData));
  for (int level : {3, 19}) {
    std::string flag = " -" + std::to_string(level);
    rows.push_back(external("zstd --patch-from" + flag,
                            "zstd -q -f" + flag + " --patch-from=" + quote(oldFile) + " " + quote(newFile) + " -o " +
                                quote(deltaFile),
                            "zstd -q -d -f --patch-from=" + quote(oldFile) + " " + quote(deltaFile) + " -o " +
                                quote(decoded),
                            deltaFile, decoded, newData));
  }

  const double ours = static_cast<double>(rows[1].size);
  std::printf("  %-26s %12s %9s %10s %10s %10s  %s\n", "tool", "delta bytes", "vs korvel", "vs gzip", "encode ms",
              "apply ms", "rebuilds");
  for (const auto& row : rows) {
    std::printf("  %-26s %12llu %8.2fx %9.2f%% %10.0f %10.0f  %s\n", row.tool.c_str(),
                static_cast<unsigned long long>(row.size), row.size ? static_cast<double>(row.size) / ours : 0.0,
                100.0 * static_cast<double>(row.size) / static_cast<double>(fullGzip), row.encodeMs, row.applyMs,
                row.verified ? "yes" : "NO");
  }
  for (const auto& suffix : {".old", ".new", ".delta", ".decoded"}) fs::remove(work / (label + suffix));
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = fs::temp_directory_path() / "korvel-delta-bench";
  double scale = 1.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--work") work = argv[i + 1];
    else if (option == "--scale") scale = std::atof(argv[i + 1]);
  }
  fs::create_directories(work);
  std::printf("Delta benchmark (sizes after compression; times include process start for the external tools;\n"
              "korvel encode = delta encoding + gzip of the delta, apply = reference decoder in memory)\n");
  Bytes oldData, newData;
  makeBinaryPair(static_cast<std::size_t>(32.0 * 1048576 * scale), oldData, newData);
  benchPair("binary", oldData, newData, work);
  makePackPair(static_cast<std::size_t>(40.0 * 1048576 * scale), oldData, newData);
  benchPair("pack", oldData, newData, work);
  fs::remove_all(work);
  return 0;
}
