#include "engine/core/chain_segments.h"

#include <bit>

namespace psfstore {
namespace core {

void ChainSegments::Clear(uint64_t table_size) {
  table_size_ = table_size;
  // Only the slots in use are freed: a run of one record does not pay for a table
  // grown by a large one.
  for (const Entry& entry : entries_) slots_[entry.slot] = 0;
  entries_.clear();
}

uint64_t ChainSegments::FreeSlot(uint64_t chain) const {
  uint64_t slot = SlotOf(chain);
  while (slots_[slot] != 0) slot = (slot + 1) & slot_mask_;
  return slot;
}

ChainSegments::Entry* ChainSegments::Find(uint64_t chain) {
  for (uint64_t slot = SlotOf(chain);; slot = (slot + 1) & slot_mask_) {
    const uint32_t held = slots_[slot];
    if (held == 0) return nullptr;
    if (entries_[held - 1].chain == chain) return &entries_[held - 1];
  }
}

Address ChainSegments::Start(uint64_t slot, uint64_t chain, KeyHash hash, Address address) {
  entries_.push_back(Entry{chain, slot, Segment{hash, address, address}});
  slots_[slot] = static_cast<uint32_t>(entries_.size());
  if (entries_.size() * 2 > slots_.size()) Grow();
  return Address::Invalid();
}

void ChainSegments::Grow() {
  const size_t size = slots_.size() * 2;
  slots_.assign(size, 0);
  slot_mask_ = size - 1;
  slot_shift_ = 64 - static_cast<uint32_t>(std::countr_zero(size));
  for (size_t i = 0; i < entries_.size(); ++i) {
    const uint64_t slot = FreeSlot(entries_[i].chain);
    entries_[i].slot = slot;
    slots_[slot] = static_cast<uint32_t>(i + 1);
  }
}

}  // namespace core
}  // namespace psfstore
