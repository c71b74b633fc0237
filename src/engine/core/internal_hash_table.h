// The hash index: a power-of-two table of 64-byte buckets, each with seven entries
// and a link to overflow buckets from a paged allocator. An entry maps a 14-bit tag of
// a KeyHash to the newest key pointer of that tag's chain; keys themselves are
// compared when chains are walked. Lookups and updates are lock-free: every change of
// an entry is one compare-and-swap (or the claiming thread's own store).
//
// Callers must be epoch-protected: overflow buckets are reached through a page array
// that is replaced, and the old one freed through the epoch, when it grows.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "engine/core/hash_bucket.h"
#include "engine/core/key_hash.h"
#include "engine/core/light_epoch.h"
#include "engine/core/malloc_fixed_page_size.h"

namespace psfstore {
namespace core {

class InternalHashTable {
 public:
  using OverflowBuckets = MallocFixedPageSize<HashBucket>;
  static constexpr uint64_t kMaxSize = 2147483647;
  static constexpr uint64_t kAlignment = 512;

  explicit InternalHashTable(LightEpoch& epoch) : epoch_{epoch} {}
  ~InternalHashTable();

  InternalHashTable(const InternalHashTable&) = delete;
  InternalHashTable& operator=(const InternalHashTable&) = delete;

  // Allocates `size` empty buckets and an empty overflow allocator. Throws
  // std::invalid_argument " Size is not a power of 2" (0 or not a power of two) or
  // " Cannot allocate such a large hash table " (above kMaxSize), and std::bad_alloc
  // when the memory is refused. A failed call leaves the table as it was.
  void Initialize(uint64_t size);

  // The newest non-tentative entry with the hash's tag in the hash's bucket chain,
  // or nullptr.
  AtomicHashBucketEntry* FindEntry(KeyHash hash) const;

  // Finds the entry of the hash's tag or creates it (address Address::kInvalidAddress,
  // an empty chain). On Ok, `slot` is the entry and `seen` the value found there.
  // Returns OutOfMemory, creating nothing, when an overflow bucket was needed and no
  // memory was left for it.
  Status FindOrCreateEntry(KeyHash hash, AtomicHashBucketEntry*& slot, HashBucketEntry& seen);

  uint64_t size() const { return size_; }
  // The home bucket of a hash.
  HashBucket& bucket(KeyHash hash) const { return buckets_[hash.BucketIndex(size_)]; }
  // The main table: size() buckets, 512-byte aligned, written to disk as they are.
  HashBucket* buckets() const { return buckets_; }
  OverflowBuckets& overflow_buckets() { return overflow_buckets_; }
  const OverflowBuckets& overflow_buckets() const { return overflow_buckets_; }

 private:
  // The entry of the hash's tag with its value, or a free slot (value 0) to claim,
  // linking a new overflow bucket when the chain has no free slot.
  Status FindTentativeEntry(KeyHash hash, AtomicHashBucketEntry*& slot, HashBucketEntry& seen);
  // True when some slot of the hash's chain other than `claimed` holds the same tag,
  // tentative or not.
  bool HasConflictingEntry(KeyHash hash, const AtomicHashBucketEntry* claimed) const;
  HashBucket* NextBucket(const HashBucket& bucket) const;

  LightEpoch& epoch_;
  uint64_t size_ = 0;
  HashBucket* buckets_ = nullptr;
  OverflowBuckets overflow_buckets_;
};

}  // namespace core
}  // namespace psfstore
