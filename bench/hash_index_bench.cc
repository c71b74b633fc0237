// Micro-benchmarks of the hash index and the epoch: find-or-create with one and two
// threads over a shared table, lookups, and epoch protection.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "engine/core/internal_hash_table.h"

using namespace psfstore::core;

namespace {

constexpr uint64_t kTableSize = uint64_t{1} << 20;
constexpr size_t kHashes = size_t{1} << 21;  // two tags per bucket on average

struct Shared {
  LightEpoch epoch;
  InternalHashTable table{epoch};
  std::vector<KeyHash> hashes;

  Shared() {
    table.Initialize(kTableSize);
    std::mt19937_64 random(42);
    hashes.resize(kHashes);
    for (auto& hash : hashes) hash = KeyHash{random()};
  }
};

Shared& SharedState() {
  static Shared* shared = new Shared();  // lives for the whole run
  return *shared;
}

// Each thread walks the shared hash list from its own offset: the first pass over a
// hash creates its entry, later passes find it, and both threads hit the same entries.
void BM_FindOrCreateEntry(benchmark::State& state) {
  Shared& shared = SharedState();
  shared.epoch.Protect();
  size_t next = static_cast<size_t>(state.thread_index()) * 7919;
  AtomicHashBucketEntry* slot;
  HashBucketEntry seen;
  for (auto _ : state) {
    Status status = shared.table.FindOrCreateEntry(shared.hashes[next], slot, seen);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(slot);
    next = (next + 1) & (kHashes - 1);
  }
  shared.epoch.Unprotect();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindOrCreateEntry)->Threads(1)->Threads(2)->UseRealTime();

// Creation only: every iteration inserts a tag that is not in the table yet.
void BM_CreateEntry(benchmark::State& state) {
  LightEpoch epoch;
  auto table = std::make_unique<InternalHashTable>(epoch);
  table->Initialize(kTableSize);
  epoch.Protect();
  std::mt19937_64 random(7);
  AtomicHashBucketEntry* slot;
  HashBucketEntry seen;
  uint64_t created = 0;
  for (auto _ : state) {
    // 8 distinct tags per bucket fill the home buckets and start overflow chains.
    if (++created == 8 * kTableSize) {
      state.PauseTiming();
      table = std::make_unique<InternalHashTable>(epoch);
      table->Initialize(kTableSize);
      created = 0;
      state.ResumeTiming();
    }
    KeyHash hash{(created % kTableSize) | ((created / kTableSize) << 48) | (random() & 0xFFF00000ull)};
    benchmark::DoNotOptimize(table->FindOrCreateEntry(hash, slot, seen));
  }
  epoch.Unprotect();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateEntry);

void BM_FindEntry(benchmark::State& state) {
  Shared& shared = SharedState();
  shared.epoch.Protect();
  AtomicHashBucketEntry* slot;
  HashBucketEntry seen;
  for (size_t i = 0; i < kHashes; ++i) shared.table.FindOrCreateEntry(shared.hashes[i], slot, seen);
  size_t next = static_cast<size_t>(state.thread_index()) * 104729;
  for (auto _ : state) {
    benchmark::DoNotOptimize(shared.table.FindEntry(shared.hashes[next]));
    next = (next + 1) & (kHashes - 1);
  }
  shared.epoch.Unprotect();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindEntry)->Threads(1)->Threads(2)->UseRealTime();

void BM_EpochProtect(benchmark::State& state) {
  static LightEpoch epoch;
  for (auto _ : state) benchmark::DoNotOptimize(epoch.Protect());
  epoch.Unprotect();
}
BENCHMARK(BM_EpochProtect)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
