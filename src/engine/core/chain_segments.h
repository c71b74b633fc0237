// ChainSegments: the links a run of records makes among its own key pointers, chain by
// chain.
//
// A run is a stretch of the log reserved in one piece for records of one batch, so no
// other record lies inside it. The run's key pointers of one chain are therefore
// neighbours in that chain (newest first), and can be linked to each other as they are
// written without touching the hash index. What the run leaves per chain is a segment:
// its newest and its oldest key pointer of the chain, which joins the chain through the
// hash entry once, after the whole run is written.
//
// A chain is what one hash entry heads: hashes with the same bucket and tag share it,
// so segments are told apart by bucket and tag, not by the whole hash.
//
// Threading: one ChainSegments serves one thread at a time. Its memory is kept from run
// to run and only grows.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/address.h"
#include "engine/core/key_hash.h"

namespace psfstore {
namespace core {

class ChainSegments {
 public:
  struct Segment {
    KeyHash hash;    // the hash of its first key pointer, which finds the chain's entry
    Address newest;  // the key pointer the hash entry is to name
    Address oldest;  // the key pointer to link to what the entry names now
  };

  // Forgets every segment, for a run linked into a hash index of `table_size` buckets.
  void Clear(uint64_t table_size);

  // Adds the key pointer at `address`, newer than every one added since Clear, to the
  // segment of its chain. Returns the key pointer it is to link to: the segment's newest
  // so far, or the invalid address for the first of its chain (the join sets that link).
  Address Link(KeyHash hash, Address address) {
    const uint64_t chain = ChainOf(hash);
    for (uint64_t slot = SlotOf(chain);; slot = (slot + 1) & slot_mask_) {
      const uint32_t held = slots_[slot];
      if (held == 0) return Start(slot, chain, hash, address);
      Entry& entry = entries_[held - 1];
      if (entry.chain == chain) {
        const Address previous = entry.segment.newest;
        entry.segment.newest = address;
        return previous;
      }
    }
  }

  // Takes in the segments of `newer`, whose key pointers are all newer than this one's
  // (Cleared for the same table size). Where both hold a chain, its two segments become
  // one, and `join(newer_oldest, older_newest)` is called to link the first to the second.
  template <class Join>
  void Append(const ChainSegments& newer, Join&& join) {
    for (const Entry& theirs : newer.entries_) {
      Entry* ours = Find(theirs.chain);
      if (ours == nullptr) {
        Start(FreeSlot(theirs.chain), theirs.chain, theirs.segment.hash, theirs.segment.newest);
        entries_.back().segment.oldest = theirs.segment.oldest;
        continue;
      }
      join(theirs.segment.oldest, ours->segment.newest);
      ours->segment.newest = theirs.segment.newest;
    }
  }

  // The segments, in the order their chains were first met.
  template <class Visit>
  void ForEach(Visit&& visit) const {
    for (const Entry& entry : entries_) visit(entry.segment);
  }
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    uint64_t chain;
    uint64_t slot;
    Segment segment;
  };

  uint64_t ChainOf(KeyHash hash) const {
    return hash.BucketIndex(table_size_) | (uint64_t{hash.tag()} << 48);
  }
  uint64_t SlotOf(uint64_t chain) const { return (chain * 0x9E3779B97F4A7C15ull) >> slot_shift_; }
  uint64_t FreeSlot(uint64_t chain) const;
  Entry* Find(uint64_t chain);
  // Opens a segment of one key pointer in free slot `slot`; returns the invalid address.
  Address Start(uint64_t slot, uint64_t chain, KeyHash hash, Address address);
  void Grow();

  uint64_t table_size_ = 1;
  // Open addressing over entries_: 0 is a free slot, n names entries_[n - 1]. At most
  // half the slots are taken.
  std::vector<uint32_t> slots_ = std::vector<uint32_t>(64, 0);
  uint64_t slot_mask_ = 63;
  uint32_t slot_shift_ = 64 - 6;
  std::vector<Entry> entries_;
};

}  // namespace core
}  // namespace psfstore
