// The bounded hash table of sampled old-file blocks.
#include "tools/publish/block_index.h"

#include <algorithm>

namespace korvel::publish {

namespace {

std::uint64_t floorPowerOfTwo(std::uint64_t value) {
  std::uint64_t power = 1;
  while (power <= value / 2) power *= 2;
  return power;
}

std::uint64_t ceilPowerOfTwo(std::uint64_t value) {
  std::uint64_t power = 1;
  while (power < value) power *= 2;
  return power;
}

std::uint64_t blocksAt(std::uint64_t oldSize, std::uint32_t blockSize, std::uint64_t step) {
  return oldSize < blockSize ? 0 : (oldSize - blockSize) / step + 1;
}

}  // namespace

BlockIndex::Plan BlockIndex::plan(std::uint64_t oldSize, std::uint64_t budgetBytes, std::uint32_t blockSize) {
  Plan plan;
  plan.step = blockSize;
  if (oldSize < blockSize) return plan;
  // Slots come in pairs (a two-way bucket); at least one bucket whatever the budget.
  std::uint64_t maxSlots = std::max<std::uint64_t>(2, floorPowerOfTwo(budgetBytes / sizeof(Slot)));
  std::uint64_t maxBlocks = maxSlots / 2;
  std::uint64_t step = blockSize;
  if (blocksAt(oldSize, blockSize, step) > maxBlocks) {
    step = std::max<std::uint64_t>(blockSize, (oldSize + maxBlocks - 1) / maxBlocks);
    while (blocksAt(oldSize, blockSize, step) > maxBlocks) ++step;
  }
  plan.step = step;
  plan.blocks = blocksAt(oldSize, blockSize, step);
  plan.slots = std::min(maxSlots, std::max<std::uint64_t>(2, ceilPowerOfTwo(plan.blocks * 2)));
  return plan;
}

BlockIndex::BlockIndex(const Plan& plan) {
  if (plan.slots == 0) return;
  slots_.assign(plan.slots, Slot{kNone, 0});
  int bucketBits = 0;
  while ((std::uint64_t{2} << bucketBits) < plan.slots) ++bucketBits;
  shift_ = 64 - bucketBits;
}

std::size_t BlockIndex::bucketOf(std::uint64_t hash) const {
  // The top bits of a multiplicative mix pick the bucket; a zero-bit shift means one bucket.
  if (shift_ >= 64) return 0;
  return static_cast<std::size_t>((hash * 0xD6E8FEB86659FD93ull) >> shift_) * 2;
}

void BlockIndex::insert(std::uint64_t hash, std::uint32_t offset) {
  if (slots_.empty()) return;
  std::uint32_t check = static_cast<std::uint32_t>(hash >> 32) ^ static_cast<std::uint32_t>(hash);
  Slot* bucket = &slots_[bucketOf(hash)];
  for (int way = 0; way < 2; ++way) {
    if (bucket[way].offset == kNone) {
      bucket[way] = Slot{offset, check};
      return;
    }
    if (bucket[way].check == check) return;
  }
  bucket[1] = Slot{offset, check};
}

std::uint32_t BlockIndex::find(std::uint64_t hash) const {
  if (slots_.empty()) return kNone;
  std::uint32_t check = static_cast<std::uint32_t>(hash >> 32) ^ static_cast<std::uint32_t>(hash);
  const Slot* bucket = &slots_[bucketOf(hash)];
  if (bucket[0].offset != kNone && bucket[0].check == check) return bucket[0].offset;
  if (bucket[1].offset != kNone && bucket[1].check == check) return bucket[1].offset;
  return kNone;
}

}  // namespace korvel::publish
