#include "engine/core/internal_hash_table.h"

#include <new>
#include <stdexcept>
#include <thread>

#include "base/zeroed_memory.h"

namespace psfstore {
namespace core {

InternalHashTable::~InternalHashTable() { environment::FreeZeroed(buckets_, size_ * sizeof(HashBucket)); }

void InternalHashTable::Initialize(uint64_t size) {
  if (size == 0 || (size & (size - 1)) != 0) throw std::invalid_argument(" Size is not a power of 2");
  if (size > kMaxSize) throw std::invalid_argument(" Cannot allocate such a large hash table ");
  auto* buckets = static_cast<HashBucket*>(environment::AllocateZeroed(size * sizeof(HashBucket)));
  if (buckets == nullptr) throw std::bad_alloc();
  try {
    overflow_buckets_.Initialize(epoch_);
  } catch (...) {
    environment::FreeZeroed(buckets, size * sizeof(HashBucket));
    throw;
  }
  environment::FreeZeroed(buckets_, size_ * sizeof(HashBucket));
  buckets_ = buckets;
  size_ = size;
}

HashBucket* InternalHashTable::NextBucket(const HashBucket& bucket) const {
  uint64_t address = bucket.overflow_entry.load();
  return address == OverflowBuckets::kNullAddress ? nullptr : &overflow_buckets_.Get(address);
}

AtomicHashBucketEntry* InternalHashTable::FindEntry(KeyHash hash) const {
  uint16_t tag = hash.tag();
  for (HashBucket* bucket = &this->bucket(hash); bucket != nullptr; bucket = NextBucket(*bucket)) {
    for (auto& slot : bucket->entries) {
      HashBucketEntry entry = slot.load();
      if (!entry.unused() && !entry.tentative() && entry.tag() == tag) return &slot;
    }
  }
  return nullptr;
}

Status InternalHashTable::FindTentativeEntry(KeyHash hash, AtomicHashBucketEntry*& slot, HashBucketEntry& seen) {
  uint16_t tag = hash.tag();
  AtomicHashBucketEntry* free_slot = nullptr;
  HashBucket* bucket = &this->bucket(hash);
  while (true) {
    for (auto& candidate : bucket->entries) {
      HashBucketEntry entry = candidate.load();
      if (entry.unused()) {
        if (free_slot == nullptr) free_slot = &candidate;
      } else if (!entry.tentative() && entry.tag() == tag) {
        slot = &candidate;
        seen = entry;
        return Status::Ok;
      }
    }
    if (HashBucket* next = NextBucket(*bucket)) {
      bucket = next;
      continue;
    }
    if (free_slot != nullptr) {
      slot = free_slot;
      seen = HashBucketEntry{};
      return Status::Ok;
    }
    // The chain is full: link a new overflow bucket at its end.
    uint64_t address = overflow_buckets_.Allocate();
    if (address == OverflowBuckets::kNullAddress) return Status::OutOfMemory;
    uint64_t linked = 0;
    if (bucket->overflow_entry.TryLink(address, linked)) {
      slot = &overflow_buckets_.Get(address).entries[0];
      seen = HashBucketEntry{};
      return Status::Ok;
    }
    // Another thread linked one first; ours was never visible, so it can be reused at once.
    overflow_buckets_.FreeAtEpoch(address, 0);
    bucket = &overflow_buckets_.Get(linked);
  }
}

bool InternalHashTable::HasConflictingEntry(KeyHash hash, const AtomicHashBucketEntry* claimed) const {
  uint16_t tag = hash.tag();
  for (HashBucket* bucket = &this->bucket(hash); bucket != nullptr; bucket = NextBucket(*bucket)) {
    for (const auto& slot : bucket->entries) {
      if (&slot == claimed) continue;
      HashBucketEntry entry = slot.load();
      if (!entry.unused() && entry.tag() == tag) return true;
    }
  }
  return false;
}

Status InternalHashTable::FindOrCreateEntry(KeyHash hash, AtomicHashBucketEntry*& slot, HashBucketEntry& seen) {
  const HashBucketEntry tentative{Address::Invalid(), hash.tag(), true};
  const HashBucketEntry created{Address::Invalid(), hash.tag(), false};
  while (true) {
    Status status = FindTentativeEntry(hash, slot, seen);
    if (status != Status::Ok || !seen.unused()) return status;
    HashBucketEntry expected{};
    if (!slot->compare_exchange_strong(expected, tentative)) continue;  // someone took the free slot
    // Two threads may have claimed different slots for the same tag; whoever sees
    // the other's claim backs off, so at most one entry per tag survives.
    if (HasConflictingEntry(hash, slot)) {
      slot->store(HashBucketEntry{});
      std::this_thread::yield();
      continue;
    }
    slot->store(created);
    seen = created;
    return Status::Ok;
  }
}

}  // namespace core
}  // namespace psfstore
