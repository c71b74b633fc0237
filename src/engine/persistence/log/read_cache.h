// ReadCache: a bounded cache of 4 KiB blocks of the log file that were read from disk, so
// that a repeated query over records below the head does not go back to the device.
//
// Blocks are keyed by log address, never by memory slot: a log address below the head
// names bytes that no longer change, so a held block cannot go stale while the log runs.
// Only recovery rewrites log bytes, and it clears the cache (Clear) before the log is
// read again. Readers insert only whole blocks of pages below the head.
//
// Threading: every member may be called from any thread at once. The cache is split into
// shards, each under its own mutex; reads of records above the head never touch it.
// Eviction is CLOCK (second chance) per shard. Block memory is reserved when a shard
// first stores a block and touched only as blocks arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace psfstore {
namespace core {

class ReadCache {
 public:
  static constexpr uint32_t kBlockBytes = 4096;
  static constexpr uint64_t kDefaultCapacityBytes = uint64_t{64} << 20;

  // Holds at most `capacity_bytes` of blocks (rounded down to whole blocks per shard; 0
  // disables the cache).
  explicit ReadCache(uint64_t capacity_bytes = kDefaultCapacityBytes);
  ~ReadCache();
  ReadCache(const ReadCache&) = delete;
  ReadCache& operator=(const ReadCache&) = delete;

  // Copies [address, address + length) into `out` when every block it touches is held;
  // false (with `out` partly written) otherwise.
  bool Copy(uint64_t address, uint64_t length, uint8_t* out);
  // Calls `use(bytes, length)` with the held bytes from `address` to the end of its block,
  // under the block's shard lock (so `use` must be short and must not call the cache), and
  // returns true; false, without calling `use`, when the block is not held. One lookup:
  // what a reader of a record that fits in its block needs.
  template <class Use>
  bool ReadInBlock(uint64_t address, Use&& use);
  // True when the block holding `address` is held.
  bool Holds(uint64_t address);
  // Stores every whole block inside [address, address + length), whose bytes start at
  // `bytes`. Blocks already held keep their bytes and count as just used.
  void Insert(uint64_t address, const uint8_t* bytes, uint64_t length);
  // Drops every block.
  void Clear();

  uint64_t hits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t misses() const { return misses_.load(std::memory_order_relaxed); }

 private:
  static constexpr uint32_t kShards = 16;
  struct Shard;

  Shard& ShardOf(uint64_t block);
  // The memory of `block` with its shard locked by `lock`, marked referenced; nullptr (and
  // a miss counted) when the block is not held.
  const uint8_t* Find(uint64_t block, std::unique_lock<std::mutex>& lock);

  std::unique_ptr<Shard[]> shards_;
  uint32_t blocks_per_shard_ = 0;
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
};

template <class Use>
bool ReadCache::ReadInBlock(uint64_t address, Use&& use) {
  if (blocks_per_shard_ == 0) return false;
  std::unique_lock<std::mutex> lock;
  const uint8_t* block = Find(address / kBlockBytes, lock);
  if (block == nullptr) return false;
  hits_.fetch_add(1, std::memory_order_relaxed);
  uint64_t offset = address % kBlockBytes;
  use(block + offset, kBlockBytes - offset);
  return true;
}

}  // namespace core
}  // namespace psfstore
