// Delta encoding against a sampled rolling-hash index of the old file.
#include "tools/publish/delta_encoder.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "tools/publish/block_index.h"
#include "tools/publish/paged_file_reader.h"
#include "tools/publish/rolling_hash.h"

namespace korvel::publish {

namespace {

constexpr std::uint64_t kNoOffset = UINT64_MAX;
// Literal bytes kept back when a long literal run is written out early, so that a match found just
// after can still grow backwards into them.
constexpr std::size_t kLiteralKeep = 4096;
constexpr std::size_t kIndexReadChunk = 1 << 20;

// The new file, read ahead into a buffer that always holds the bytes from the current position on.
class NewStream {
 public:
  NewStream(std::ifstream& in, std::size_t capacity) : in_(in), buffer_(capacity) {}

  // Makes at least n bytes (or all that is left) readable at ptr(); returns how many are.
  std::size_t ensure(std::size_t n) {
    if (end_ - pos_ >= n || eof_) return end_ - pos_;
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_), buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
              buffer_.begin());
    end_ -= pos_;
    pos_ = 0;
    while (end_ < buffer_.size() && !eof_) {
      in_.read(reinterpret_cast<char*>(buffer_.data() + end_), static_cast<std::streamsize>(buffer_.size() - end_));
      std::size_t got = static_cast<std::size_t>(in_.gcount());
      end_ += got;
      bytesRead_ += got;
      if (!in_) {
        eof_ = true;
        failed_ = in_.bad();
      }
    }
    return end_ - pos_;
  }

  const std::uint8_t* ptr() const { return buffer_.data() + pos_; }
  void consume(std::size_t n) { pos_ += n; }
  std::uint64_t bytesRead() const { return bytesRead_; }
  bool failed() const { return failed_; }

 private:
  std::ifstream& in_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool failed_ = false;
  std::uint64_t bytesRead_ = 0;
};

// Writes header and records; merges a copy that continues the previous one.
class RecordWriter {
 public:
  RecordWriter(std::ostream& out, DeltaStats& stats) : out_(out), stats_(stats) {}

  void header(std::uint64_t oldSize, std::uint64_t newSize) {
    word(static_cast<std::uint32_t>(oldSize));
    word(static_cast<std::uint32_t>(newSize));
  }

  void copy(std::uint64_t offset, std::uint64_t count) {
    if (count == 0) return;
    if (copyPending_ && copyOffset_ + copyCount_ == offset) {
      copyCount_ += count;
      return;
    }
    flushCopy();
    copyPending_ = true;
    copyOffset_ = offset;
    copyCount_ = count;
  }

  void literal(const std::uint8_t* data, std::size_t count) {
    if (count == 0) return;
    flushCopy();
    word(0u - static_cast<std::uint32_t>(count));
    out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(count));
    stats_.deltaBytes += count;
    stats_.literalBytes += count;
    ++stats_.literalRecords;
  }

  void finish() { flushCopy(); }

 private:
  void word(std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out_.write(bytes, 4);
    stats_.deltaBytes += 4;
  }

  void flushCopy() {
    if (!copyPending_) return;
    // Both sizes are below 2 GiB, so a merged copy always fits the signed 32-bit count.
    word(static_cast<std::uint32_t>(copyCount_));
    word(static_cast<std::uint32_t>(copyOffset_));
    stats_.copiedBytes += copyCount_;
    ++stats_.copyRecords;
    copyPending_ = false;
  }

  std::ostream& out_;
  DeltaStats& stats_;
  bool copyPending_ = false;
  std::uint64_t copyOffset_ = 0;
  std::uint64_t copyCount_ = 0;
};

// Length of the common prefix of old[from ..] and data[0 .. n).
std::size_t commonForward(PagedFileReader& old, std::uint64_t from, const std::uint8_t* data, std::size_t n) {
  std::size_t total = 0;
  while (total < n) {
    std::size_t available = 0;
    const std::uint8_t* page = old.at(from + total, available);
    if (!page) break;
    std::size_t span = std::min(available, n - total);
    std::size_t same = static_cast<std::size_t>(std::mismatch(page, page + span, data + total).first - page);
    total += same;
    if (same < span) break;
  }
  return total;
}

// Length of the common suffix of old[.. end) and the n bytes before dataEnd.
std::size_t commonBackward(PagedFileReader& old, std::uint64_t end, const std::uint8_t* dataEnd, std::size_t n) {
  std::size_t total = 0;
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end));
  while (total < n) {
    std::uint64_t last = end - total - 1;
    std::uint64_t pageStart = last - last % old.pageSize();
    std::size_t available = 0;
    const std::uint8_t* page = old.at(pageStart, available);
    if (!page) break;
    std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(last - pageStart + 1, n - total));
    const std::uint8_t* a = page + (last - pageStart);
    const std::uint8_t* b = dataEnd - total - 1;
    std::size_t same = 0;
    while (same < span && a[-static_cast<std::ptrdiff_t>(same)] == b[-static_cast<std::ptrdiff_t>(same)]) ++same;
    total += same;
    if (same < span) break;
  }
  return total;
}

bool buildIndex(const std::filesystem::path& oldPath, std::uint64_t oldSize, const BlockIndex::Plan& plan,
                const RollingHash& hash, BlockIndex& index, std::string& error) {
  if (index.empty()) return true;
  std::ifstream in(oldPath, std::ios::binary);
  if (!in) {
    error = "cannot open " + oldPath.string();
    return false;
  }
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(kIndexReadChunk, hash.window()));
  std::uint64_t bufferStart = 0;  // file offset of buffer[0]
  std::size_t bufferEnd = 0;
  const std::uint32_t window = hash.window();
  for (std::uint64_t offset = 0; offset + window <= oldSize; offset += plan.step) {
    if (offset + window > bufferStart + bufferEnd) {
      // Start the buffer at this block: keep its part already read, or skip what the step jumps over.
      if (offset < bufferStart + bufferEnd) {
        std::size_t kept = static_cast<std::size_t>(bufferStart + bufferEnd - offset);
        std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(offset - bufferStart), kept, buffer.begin());
        bufferEnd = kept;
      } else {
        if (offset > bufferStart + bufferEnd) in.seekg(static_cast<std::streamoff>(offset));
        bufferEnd = 0;
      }
      bufferStart = offset;
      in.read(reinterpret_cast<char*>(buffer.data() + bufferEnd), static_cast<std::streamsize>(buffer.size() - bufferEnd));
      bufferEnd += static_cast<std::size_t>(in.gcount());
      in.clear();
      if (offset + window > bufferStart + bufferEnd) {
        error = "cannot read " + oldPath.string() + " (did it change while being read?)";
        return false;
      }
    }
    index.insert(hash.of(buffer.data() + (offset - bufferStart)), static_cast<std::uint32_t>(offset));
  }
  return true;
}

// The walk of the new file through the block index: at every position the block there is looked up,
// a match is grown backwards into the held literal bytes and forwards as far as the files agree and
// becomes a copy record; bytes no match covers become literal records.
class RecordEncoder {
 public:
  RecordEncoder(const DeltaOptions& options, PagedFileReader& old, const BlockIndex& index, const RollingHash& hash,
                NewStream& input, RecordWriter& writer)
      : options_(options), old_(old), index_(index), hash_(hash), input_(input), writer_(writer) {
    literals_.reserve(options_.literalRunBytes + 1);
  }

  // Memory of the held literal bytes.
  std::size_t literalBytes() const { return literals_.capacity(); }

  // Writes the header and every record of the new file, to its end.
  void run(std::uint64_t newSize) {
    const std::uint32_t block = options_.blockSize;
    writer_.header(old_.size(), newSize);
    std::uint64_t hashValue = 0;
    bool hashValid = false;
    for (;;) {
      std::size_t available = input_.ensure(block + 1);
      if (available < block) break;
      const std::uint8_t* current = input_.ptr();
      if (!hashValid) {
        hashValue = hash_.of(current);
        hashValid = true;
      }
      const std::uint32_t candidate = index_.find(hashValue);
      if (candidate != BlockIndex::kNone) {
        if (const std::uint64_t origin = matchOrigin(candidate, current); origin != kNoOffset) {
          if (takeMatch(origin)) {
            hashValid = false;
            continue;
          }
          // The look-ahead may have moved the buffer.
          available = input_.ensure(block + 1);
          current = input_.ptr();
        }
      }
      const std::uint8_t leaving = current[0];
      if (available > block) {
        hashValue = hash_.roll(hashValue, leaving, current[block]);
      } else {
        hashValid = false;
      }
      holdLiteral(leaving);
    }
    for (std::size_t rest = input_.ensure(1); rest > 0; rest = input_.ensure(1)) {
      literals_.insert(literals_.end(), input_.ptr(), input_.ptr() + rest);
      input_.consume(rest);
    }
    writer_.literal(literals_.data(), literals_.size());
    writer_.finish();
  }

 private:
  // Where in the old file the block at `current` lies, or kNoOffset when the index's candidate is a
  // false match.
  std::uint64_t matchOrigin(std::uint32_t candidate, const std::uint8_t* current) {
    const std::uint32_t block = options_.blockSize;
    // After an edit the old file usually carries on where the last copy left off: prefer that spot
    // over another occurrence of the same block.
    if (expected_ != kNoOffset && expected_ != candidate && commonForward(old_, expected_, current, block) == block)
      return expected_;
    if (commonForward(old_, candidate, current, block) == block) return candidate;
    return kNoOffset;
  }

  // Grows the match of the block at the current position with old[origin ..] backwards and forwards;
  // when it reaches the minimum length, writes the literals before it and its copy, moves past it and
  // returns true.
  bool takeMatch(std::uint64_t origin) {
    const std::uint32_t block = options_.blockSize;
    const std::uint32_t minimum = options_.minimumMatch;
    const std::uint64_t oldSize = old_.size();
    std::size_t back = commonBackward(old_, origin, literals_.data() + literals_.size(), literals_.size());
    std::size_t need = back + block >= minimum ? block : minimum - back;
    std::size_t ready = input_.ensure(need);
    std::size_t ahead = block + commonForward(old_, origin + block, input_.ptr() + block, std::min(ready, need) - block);
    if (back + ahead < minimum) return false;
    input_.consume(ahead);
    std::uint64_t count = ahead;
    while (origin + count < oldSize) {
      std::size_t more = input_.ensure(1);
      if (more == 0) break;
      std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(more, oldSize - origin - count));
      std::size_t same = commonForward(old_, origin + count, input_.ptr(), span);
      input_.consume(same);
      count += same;
      if (same < span) break;
    }
    literals_.resize(literals_.size() - back);
    writer_.literal(literals_.data(), literals_.size());
    literals_.clear();
    writer_.copy(origin - back, back + count);
    expected_ = origin + count;
    return true;
  }

  // Holds the byte at the current position as a literal and moves past it; a long run is written out
  // but for its last bytes.
  void holdLiteral(std::uint8_t byte) {
    literals_.push_back(byte);
    input_.consume(1);
    if (expected_ != kNoOffset) ++expected_;
    if (literals_.size() >= options_.literalRunBytes) {
      std::size_t emit = literals_.size() - kLiteralKeep;
      writer_.literal(literals_.data(), emit);
      literals_.erase(literals_.begin(), literals_.begin() + static_cast<std::ptrdiff_t>(emit));
    }
  }

  const DeltaOptions& options_;
  PagedFileReader& old_;
  const BlockIndex& index_;
  const RollingHash& hash_;
  NewStream& input_;
  RecordWriter& writer_;
  std::vector<std::uint8_t> literals_;
  // Where in the old file the bytes at the current position would continue the last copy.
  std::uint64_t expected_ = kNoOffset;
};

}  // namespace

DeltaEncoder::DeltaEncoder(DeltaOptions options) : options_(options) {
  options_.blockSize = std::max<std::uint32_t>(options_.blockSize, 4);
  options_.minimumMatch = std::max(options_.minimumMatch, options_.blockSize);
  options_.newBufferBytes = std::max<std::size_t>(options_.newBufferBytes, 4 * options_.minimumMatch + 64);
  options_.literalRunBytes = std::max<std::size_t>(options_.literalRunBytes, 2 * kLiteralKeep);
}

DeltaResult DeltaEncoder::encode(const std::filesystem::path& oldPath, const std::filesystem::path& newPath,
                                 std::ostream& out) const {
  DeltaResult result;
  DeltaStats& stats = result.stats;
  PagedFileReader old(options_.pageSize, options_.pageCount);
  if (!old.open(oldPath)) {
    result.error = old.error();
    return result;
  }
  std::error_code ec;
  const std::uint64_t newSize = std::filesystem::file_size(newPath, ec);
  if (ec) {
    result.error = "cannot read " + newPath.string() + ": " + ec.message();
    return result;
  }
  const std::uint64_t oldSize = old.size();
  stats.oldSize = oldSize;
  stats.newSize = newSize;
  if (!fits(oldSize, newSize)) {
    result.declined = true;
    return result;
  }
  std::ifstream newIn(newPath, std::ios::binary);
  if (!newIn) {
    result.error = "cannot open " + newPath.string();
    return result;
  }

  // The old file's blocks indexed.
  const RollingHash hash(options_.blockSize);
  const BlockIndex::Plan plan = BlockIndex::plan(oldSize, options_.indexBudgetBytes, options_.blockSize);
  BlockIndex index(plan);
  stats.sampleStep = plan.step;
  stats.indexBytes = index.memoryBytes();
  if (!buildIndex(oldPath, oldSize, plan, hash, index, result.error)) return result;

  // The new file's records.
  NewStream input(newIn, options_.newBufferBytes);
  RecordWriter writer(out, stats);
  RecordEncoder records(options_, old, index, hash, input, writer);
  stats.workingBytes = stats.indexBytes + old.memoryBytes() + options_.newBufferBytes + records.literalBytes() +
                       kIndexReadChunk;
  records.run(newSize);

  if (old.failed()) {
    result.error = old.error();
  } else if (input.failed() || input.bytesRead() != newSize) {
    result.error = "cannot read " + newPath.string() + " (did it change while being read?)";
  } else if (!out) {
    result.error = "cannot write the delta data";
  } else {
    result.ok = true;
  }
  return result;
}

}  // namespace korvel::publish
