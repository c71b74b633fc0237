// The words of the hash index: entries (tag + chain head address), overflow links,
// and the 64-byte bucket that holds seven entries and one overflow link.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/core/address.h"
#include "engine/core/key_hash.h"

namespace psfstore {
namespace core {

// Address of the newest key pointer of a chain in bits 0-47, the 14-bit tag in bits
// 48-61, bit 63 set while a thread is claiming the slot. The word 0 is a free slot.
class HashBucketEntry {
 public:
  static constexpr uint64_t kTagShift = 48;
  static constexpr uint64_t kTagMask = KeyHash::kTagMask << kTagShift;
  static constexpr uint64_t kTentativeBit = uint64_t{1} << 63;

  constexpr HashBucketEntry() : control_{0} {}
  constexpr explicit HashBucketEntry(uint64_t control) : control_{control} {}
  constexpr HashBucketEntry(Address address, uint16_t tag, bool tentative)
      : control_{address.control() | ((uint64_t{tag} << kTagShift) & kTagMask) | (tentative ? kTentativeBit : 0)} {}

  constexpr uint64_t control() const { return control_; }
  constexpr Address address() const { return Address{control_ & Address::kMaxAddress}; }
  constexpr uint16_t tag() const { return static_cast<uint16_t>((control_ & kTagMask) >> kTagShift); }
  constexpr bool tentative() const { return (control_ & kTentativeBit) != 0; }
  constexpr bool unused() const { return control_ == 0; }

  constexpr bool operator==(HashBucketEntry other) const { return control_ == other.control_; }
  constexpr bool operator!=(HashBucketEntry other) const { return control_ != other.control_; }

 private:
  uint64_t control_;
};

// An entry slot inside a bucket. Changed only by compare-and-swap, except that the
// thread that claimed a slot tentatively finalises or releases it with a store.
class AtomicHashBucketEntry {
 public:
  HashBucketEntry load() const { return HashBucketEntry{control_.load(std::memory_order_seq_cst)}; }
  void store(HashBucketEntry entry) { control_.store(entry.control(), std::memory_order_seq_cst); }
  bool compare_exchange_strong(HashBucketEntry& expected, HashBucketEntry desired) {
    uint64_t word = expected.control();
    bool swapped = control_.compare_exchange_strong(word, desired.control(), std::memory_order_seq_cst);
    expected = HashBucketEntry{word};
    return swapped;
  }

 private:
  std::atomic<uint64_t> control_{0};
};
static_assert(sizeof(AtomicHashBucketEntry) == 8);

// Link to the next bucket of an overflow chain: an overflow-allocator address in bits
// 0-47, 0 for none. Set once, from 0, by compare-and-swap.
class AtomicHashBucketOverflowEntry {
 public:
  static constexpr uint64_t kAddressMask = Address::kMaxAddress;

  uint64_t load() const { return control_.load(std::memory_order_seq_cst) & kAddressMask; }
  // Links `address` if no bucket is linked yet; otherwise returns false and stores
  // the linked address in `linked`.
  bool TryLink(uint64_t address, uint64_t& linked) {
    uint64_t expected = 0;
    if (control_.compare_exchange_strong(expected, address & kAddressMask, std::memory_order_seq_cst)) return true;
    linked = expected & kAddressMask;
    return false;
  }

 private:
  std::atomic<uint64_t> control_{0};
};

// One cache line: seven entries and the overflow link. All zero when unused, so
// zero-filled memory is a table of empty buckets.
struct alignas(64) HashBucket {
  static constexpr uint32_t kNumEntries = 7;

  AtomicHashBucketEntry entries[kNumEntries];
  AtomicHashBucketOverflowEntry overflow_entry;
};
static_assert(sizeof(HashBucket) == 64, "a bucket is one cache line");

}  // namespace core
}  // namespace psfstore
