// Concurrent inserts whose values collide on purpose, while the predicate set changes:
// batches written record by record and in runs, in one piece or in two parts at once,
// within a page and across pages.
#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/psf_store.h"
#include "store_inspection.h"
#include "temp_directory.h"

namespace psfstore {
namespace {

using core::Address;
using core::AtomicHashBucketEntry;
using core::KeyHash;
using core::KeyPointer;
using core::PaddedBuffer;
using core::PsfChange;
using core::PsfStore;
using test_support::RecordView;

// A small table, so that chains share buckets and overflow buckets are needed.
constexpr uint64_t kTableSize = 64;

// Two different Int64 values whose keys under predicate `id` land in the same bucket
// with the same tag: their records share one hash entry and one chain.
std::pair<int64_t, int64_t> CollidingValues(uint16_t id) {
  std::map<uint64_t, int64_t> seen;
  for (int64_t value = 1000;; ++value) {
    KeyHash hash = KeyHash::OfGeneralKey(id, &value, 8);
    uint64_t slot = hash.BucketIndex(kTableSize) | (uint64_t{hash.tag()} << 32);
    auto [found, inserted] = seen.emplace(slot, value);
    if (!inserted) return {found->second, value};
  }
}

// Starts a session, retrying while an action runs.
void StartSessionWhenAtRest(PsfStore& store) {
  while (true) {
    try {
      store.StartSession();
      return;
    } catch (const std::runtime_error&) {
      std::this_thread::yield();
    }
  }
}

struct Document {
  int64_t id;
  std::string k;
  int64_t n;
  std::string e;
};

Document Make(int64_t id, std::pair<int64_t, int64_t> pair) {
  return {id, "v" + std::to_string(id % 3), id % 2 ? pair.first : pair.second, "x" + std::to_string(id % 5)};
}

struct Load {
  const char* name;
  PsfStore::HalvesPlacement placement;
  int batches;    // per writer, at least
  int per_batch;  // records
};

void PrintTo(const Load& load, std::ostream* out) { *out << load.name; }

class InsertConcurrency : public testing::TestWithParam<Load> {};

// Small batches stay in one run of one page; large ones (about 450 KiB) are written in
// two parts, and 4 x 30 of them fill about two pages, so some are cut into two runs.
INSTANTIATE_TEST_SUITE_P(Loads, InsertConcurrency,
                         testing::Values(Load{"small", PsfStore::HalvesPlacement::Automatic, 60, 200},
                                         Load{"small_in_parts", PsfStore::HalvesPlacement::Helper, 60, 200},
                                         Load{"large_in_parts", PsfStore::HalvesPlacement::Helper, 30, 2500}),
                         [](const testing::TestParamInfo<Load>& info) { return std::string{info.param.name}; });

TEST_P(InsertConcurrency, CollidingChainsStayOrderedAndCompleteAcrossAPredicateChange) {
  test_support::TempDirectory directory{"/dev/shm"};
  // Pages enough that every record stays in memory, where the checks read them.
  PsfStore store{kTableSize, 12 * Address::kPageSize, directory.path()};
  store.set_halves_placement(GetParam().placement);
  const std::pair<int64_t, int64_t> pair = CollidingValues(1);

  // Projections 0 ("/k", strings shared by all threads) and 1 ("/n", colliding ints).
  store.StartSession();
  ASSERT_EQ(store.RegisterProjection("/k"), 0);
  ASSERT_EQ(store.RegisterProjection("/n"), 1);
  store.ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(0), PsfChange::AddGeneral(1)});
  store.CompleteAction();
  store.StopSession();

  constexpr int kWriters = 4;
  const int kBatches = GetParam().batches;
  const int kPerBatch = GetParam().per_batch;
  std::atomic<int> batches_done{0};
  std::atomic<bool> change_done{false};
  std::atomic<size_t> records_inserted{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      PaddedBuffer buffer;
      // At least kBatches, and a few more once the change is over.
      int after_change = 0;
      for (int b = 0; b < 4 * kBatches && (b < kBatches || after_change < 5); ++b) {
        after_change += change_done.load();
        std::string text;
        for (int i = 0; i < kPerBatch; ++i) {
          Document d = Make((int64_t{w} * 4 * kBatches + b) * kPerBatch + i, pair);
          text += "{\"id\":" + std::to_string(d.id) + ",\"k\":\"" + d.k + "\",\"n\":" + std::to_string(d.n) +
                  ",\"e\":\"" + d.e + "\",\"pad\":{\"list\":[1,2,3]}}\n";
        }
        buffer.Assign(text);
        StartSessionWhenAtRest(store);
        EXPECT_EQ(store.BatchInsert(buffer, b + 1), uint32_t{kPerBatch});
        records_inserted += kPerBatch;
        store.CompleteAction();
        store.StopSession();
        ++batches_done;
      }
    });
  }

  Address change_started, change_completed;
  std::thread changer{[&] {
    while (batches_done.load() < kWriters * kBatches / 3) std::this_thread::yield();
    StartSessionWhenAtRest(store);
    uint16_t id = store.RegisterProjection("/e");
    EXPECT_EQ(id, 2);
    do {
      change_started = store.ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id)},
                                            [&](Address tail) { change_completed = tail; });
    } while (change_started == Address::Invalid());
    store.CompleteAction();
    store.StopSession();
    change_done = true;
  }};
  for (std::thread& writer : writers) writer.join();
  changer.join();

  if (kPerBatch > 1000) EXPECT_GE(store.tail_address().page(), 1u) << "the large batches should cross a page";
  std::vector<RecordView> records = test_support::RecordsInMemory(store);
  ASSERT_EQ(records.size(), records_inserted.load());
  ASSERT_LE(change_started, change_completed);

  // Walk each distinct hash entry once; every key pointer reached must be a key
  // pointer of a record, and reached once.
  std::set<AtomicHashBucketEntry*> entries;
  std::map<uint64_t, int> reached;
  std::set<int64_t> ids;
  size_t with_new_predicate = 0;
  for (const RecordView& record : records) {
    EXPECT_FALSE(record.header.invalid());
    int64_t id = -1;
    ASSERT_EQ(std::sscanf(record.payload.data(), "{\"id\":%" SCNd64, &id), 1);
    EXPECT_TRUE(ids.insert(id).second) << "record " << id << " stored twice";
    Document expected = Make(id, pair);
    bool has_new = false;
    for (uint32_t i = 0; i < record.header.key_pointer_count(); ++i) {
      const KeyPointer& pointer = record.key_pointers[i];
      std::string_view bytes = test_support::GeneralValueBytes(record, pointer);
      switch (pointer.general_predicate_id()) {
        case 0: EXPECT_EQ(bytes, expected.k); break;
        case 1: EXPECT_EQ(bytes, std::string_view(reinterpret_cast<const char*>(&expected.n), 8)); break;
        case 2: EXPECT_EQ(bytes, expected.e); has_new = true; break;
        default: ADD_FAILURE() << "unknown predicate " << pointer.general_predicate_id();
      }
      entries.insert(store.hash_index().FindEntry(test_support::HashOf(record, pointer)));
    }
    // Before the change started no record has the new key pointer; after it completed
    // every record has it.
    if (record.address < change_started) {
      EXPECT_FALSE(has_new) << record.address.control();
    }
    if (record.address >= change_completed) {
      EXPECT_TRUE(has_new) << record.address.control();
    }
    with_new_predicate += has_new;
    EXPECT_EQ(record.header.key_pointer_count(), has_new ? 3u : 2u);
  }
  EXPECT_GT(with_new_predicate, 0u);
  EXPECT_LT(with_new_predicate, records.size());

  std::map<uint64_t, const RecordView*> by_address;
  for (const RecordView& record : records) by_address[record.address.control()] = &record;
  size_t key_pointers = 0;
  for (const RecordView& record : records) key_pointers += record.header.key_pointer_count();
  for (AtomicHashBucketEntry* entry : entries) {
    ASSERT_NE(entry, nullptr);
    Address previous = Address::Max();
    for (Address address = entry->load().address(); address >= Address{Address::kFirstValidAddress};) {
      ASSERT_LT(address, previous) << "chain not in decreasing order";
      previous = address;
      ++reached[address.control()];
      address = Address{test_support::LoadWord(store, address) >> 16};
    }
  }
  EXPECT_EQ(reached.size(), key_pointers);
  for (const RecordView& record : records) {
    for (uint32_t i = 0; i < record.header.key_pointer_count(); ++i) {
      EXPECT_EQ(reached[KeyPointer::KeyPointerAddress(record.address, i).control()], 1)
          << "key pointer " << i << " of record at " << record.address.control();
    }
  }
}

}  // namespace
}  // namespace psfstore
