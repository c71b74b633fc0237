// Test helpers that read a store's log and hash chains directly: a walker over the
// records in memory and a walker over one hash chain.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/core/key_hash.h"
#include "engine/core/record.h"
#include "engine/psf_store.h"

namespace psfstore {
namespace test_support {

using core::Address;
using core::KeyPointer;
using core::RecordHeader;

inline uint64_t LoadWord(core::PsfStore& store, Address address) {
  return std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t*>(store.hlog().Get(address))}.load();
}

struct RecordView {
  Address address;
  RecordHeader header;
  std::vector<KeyPointer> key_pointers;
  std::string_view payload;
  std::string_view optional;
};

// Every record between the head and the tail, in address order. Zero-filled space ends
// a page.
inline std::vector<RecordView> RecordsInMemory(core::PsfStore& store) {
  std::vector<RecordView> records;
  Address tail = store.tail_address();
  Address address = std::max(store.head_address(), Address{Address::kFirstValidAddress});
  while (address < tail) {
    RecordHeader header{LoadWord(store, address)};
    if (header.IsNull()) {
      address = Address{address.page() + 1, 0};
      continue;
    }
    RecordView view{address, header, {}, {}, {}};
    const uint8_t* memory = store.hlog().Get(address);
    for (uint32_t i = 0; i < header.key_pointer_count(); ++i) {
      KeyPointer pointer;
      std::memcpy(&pointer, memory + 8 + 40 * i, sizeof(pointer));
      view.key_pointers.push_back(pointer);
    }
    const char* payload = reinterpret_cast<const char*>(memory + 8 + 40 * header.key_pointer_count());
    view.payload = {payload, header.payload_size()};
    view.optional = {payload + header.payload_size(), header.optional_size()};
    records.push_back(view);
    address = address + header.record_size();
  }
  return records;
}

// The key pointer addresses on the chain of `hash` that are in memory (at or above the
// head), newest first. Fails the test when the chain is not in strictly decreasing
// address order.
inline std::vector<Address> WalkChain(core::PsfStore& store, core::KeyHash hash) {
  std::vector<Address> chain;
  core::AtomicHashBucketEntry* entry = store.hash_index().FindEntry(hash);
  if (entry == nullptr) return chain;
  Address address = entry->load().address();
  Address lowest = std::max(store.head_address(), Address{Address::kFirstValidAddress});
  while (address >= lowest) {
    EXPECT_TRUE(chain.empty() || address < chain.back()) << "chain out of order at " << address.control();
    if (!chain.empty() && address >= chain.back()) break;
    chain.push_back(address);
    address = Address{LoadWord(store, address) >> 16};
  }
  return chain;
}

// The key bytes of a general key pointer of `record`.
inline std::string_view GeneralValueBytes(const RecordView& record, const KeyPointer& pointer) {
  const char* base = record.payload.data();
  return {base + pointer.value_offset(), pointer.value_size()};
}

inline core::KeyHash HashOf(const RecordView& record, const KeyPointer& pointer) {
  if (pointer.is_inline()) return core::KeyHash::OfInlineKey(pointer.inline_predicate_id(), pointer.inline_value());
  std::string_view bytes = GeneralValueBytes(record, pointer);
  return core::KeyHash::OfGeneralKey(pointer.general_predicate_id(), bytes.data(), bytes.size());
}

}  // namespace test_support
}  // namespace psfstore
