#include "engine/persistence/log/read_cache.h"

#include <algorithm>
#include <cstring>

namespace psfstore {
namespace core {

struct ReadCache::Shard {
  struct Slot {
    uint64_t block = kEmpty;
    bool referenced = false;
  };
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  std::mutex mutex;
  std::unordered_map<uint64_t, uint32_t> slot_of_block;
  std::vector<Slot> slots;
  std::unique_ptr<uint8_t[]> memory;
  uint32_t clock_hand = 0;
  uint32_t used = 0;

  uint8_t* BlockMemory(uint32_t slot) { return memory.get() + uint64_t{slot} * kBlockBytes; }

  // A free slot, or the first one the clock finds unreferenced.
  uint32_t TakeSlot(uint32_t capacity) {
    if (used < capacity) return used++;
    while (true) {
      Slot& slot = slots[clock_hand];
      uint32_t taken = clock_hand;
      clock_hand = (clock_hand + 1) % capacity;
      if (slot.referenced) {
        slot.referenced = false;
        continue;
      }
      slot_of_block.erase(slot.block);
      return taken;
    }
  }
};

ReadCache::ReadCache(uint64_t capacity_bytes)
    : shards_{std::make_unique<Shard[]>(kShards)},
      blocks_per_shard_{static_cast<uint32_t>(capacity_bytes / kBlockBytes / kShards)} {}

ReadCache::~ReadCache() = default;

ReadCache::Shard& ReadCache::ShardOf(uint64_t block) {
  // Neighbouring blocks go to different shards, so two threads reading one region rarely
  // meet on a lock.
  return shards_[(block ^ (block >> 4)) % kShards];
}

const uint8_t* ReadCache::Find(uint64_t block, std::unique_lock<std::mutex>& lock) {
  Shard& shard = ShardOf(block);
  lock = std::unique_lock<std::mutex>{shard.mutex};
  auto found = shard.slot_of_block.find(block);
  if (found == shard.slot_of_block.end()) {
    misses_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  shard.slots[found->second].referenced = true;
  return shard.BlockMemory(found->second);
}

bool ReadCache::Copy(uint64_t address, uint64_t length, uint8_t* out) {
  if (blocks_per_shard_ == 0) return false;
  uint64_t end = address + length;
  for (uint64_t block = address / kBlockBytes; block * kBlockBytes < end; ++block) {
    uint64_t from = std::max(address, block * kBlockBytes);
    uint64_t to = std::min(end, (block + 1) * kBlockBytes);
    std::unique_lock<std::mutex> lock;
    const uint8_t* memory = Find(block, lock);
    if (memory == nullptr) return false;
    std::memcpy(out + (from - address), memory + (from - block * kBlockBytes), to - from);
  }
  hits_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool ReadCache::Holds(uint64_t address) {
  if (blocks_per_shard_ == 0) return false;
  uint64_t block = address / kBlockBytes;
  Shard& shard = ShardOf(block);
  std::lock_guard<std::mutex> lock{shard.mutex};
  return shard.slot_of_block.count(block) != 0;
}

void ReadCache::Insert(uint64_t address, const uint8_t* bytes, uint64_t length) {
  if (blocks_per_shard_ == 0) return;
  uint64_t first = (address + kBlockBytes - 1) / kBlockBytes;
  uint64_t end = (address + length) / kBlockBytes;
  for (uint64_t block = first; block < end; ++block) {
    Shard& shard = ShardOf(block);
    std::lock_guard<std::mutex> lock{shard.mutex};
    if (auto held = shard.slot_of_block.find(block); held != shard.slot_of_block.end()) {
      // Offered again, so just used: as referenced as a lookup that found it.
      shard.slots[held->second].referenced = true;
      continue;
    }
    if (shard.memory == nullptr) {
      shard.memory.reset(new (std::nothrow) uint8_t[uint64_t{blocks_per_shard_} * kBlockBytes]);
      if (shard.memory == nullptr) return;  // no memory for a cache: reads go to the device
      shard.slots.resize(blocks_per_shard_);
    }
    uint32_t slot = shard.TakeSlot(blocks_per_shard_);
    std::memcpy(shard.BlockMemory(slot), bytes + (block * kBlockBytes - address), kBlockBytes);
    // A new block gets its second chance at once: the clock must pass it twice before it
    // goes, so a burst of inserts does not evict its own first blocks.
    shard.slots[slot] = Shard::Slot{block, true};
    shard.slot_of_block.emplace(block, slot);
  }
}

void ReadCache::Clear() {
  for (uint32_t index = 0; index < kShards; ++index) {
    Shard& shard = shards_[index];
    std::lock_guard<std::mutex> lock{shard.mutex};
    shard.slot_of_block.clear();
    std::fill(shard.slots.begin(), shard.slots.end(), Shard::Slot{});
    shard.used = 0;
    shard.clock_hand = 0;
  }
}

}  // namespace core
}  // namespace psfstore
