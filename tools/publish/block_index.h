// The index of an old file for delta encoding: hashes of blocks sampled at a fixed step, in a hash
// table whose size is bounded by a memory budget whatever the size of the file.
#pragma once

#include <cstdint>
#include <vector>

namespace korvel::publish {

class BlockIndex {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  struct Plan {
    std::uint64_t step = 0;   // distance between sampled blocks (at least the block size)
    std::uint64_t slots = 0;  // table slots, a power of two; 0 when the file is too small to index
    std::uint64_t blocks = 0; // blocks sampled
  };

  // How densely a file of oldSize bytes can be sampled with blocks of blockSize bytes when the table
  // may take at most budgetBytes: every block when it fits (about two slots per block), otherwise
  // one block every `step` bytes. A match of step + blockSize - 1 bytes or more is always found.
  static Plan plan(std::uint64_t oldSize, std::uint64_t budgetBytes, std::uint32_t blockSize);

  explicit BlockIndex(const Plan& plan);

  bool empty() const { return slots_.empty(); }
  // Records a block; the first block seen with a hash is kept, later equal ones are dropped.
  void insert(std::uint64_t hash, std::uint32_t offset);
  // The offset of a block recorded with this hash, or kNone. Blocks are only likely, not certain, to
  // be equal: the caller compares the bytes.
  std::uint32_t find(std::uint64_t hash) const;

  std::uint64_t memoryBytes() const { return slots_.size() * sizeof(Slot); }

 private:
  struct Slot {
    std::uint32_t offset;
    std::uint32_t check;
  };

  std::size_t bucketOf(std::uint64_t hash) const;

  std::vector<Slot> slots_;
  int shift_ = 64;
};

}  // namespace korvel::publish
