// Record space reservation at the hybrid log's tail, with one and two threads. Each
// iteration reserves 1024 records of 64 bytes; page turns, flushes to a tmpfs
// directory and page reuse are part of the measured cost.
#include <benchmark/benchmark.h>

#include <memory>

#include "../tests/cpp/temp_directory.h"
#include "engine/core/light_epoch.h"
#include "engine/persistence/log/hybrid_log.h"

namespace {

using psfstore::core::Address;
using Epoch = psfstore::core::LightEpoch;
using Disk = psfstore::device::StoreDisk<Epoch>;
using Log = psfstore::core::PersistentMemoryMalloc<Epoch>;

struct Store {
  Epoch epoch;
  psfstore::test_support::TempDirectory directory{"/dev/shm"};
  Disk disk{directory.path(), epoch};
  std::unique_ptr<Log> log = std::make_unique<Log>(6 * Log::kPageSize, epoch, disk, Address{0});
  ~Store() { log.reset(); }
};

std::unique_ptr<Store> store;

void CreateStore(const benchmark::State&) { store = std::make_unique<Store>(); }
void DestroyStore(const benchmark::State&) { store.reset(); }

void BM_ReserveRecordSpace(benchmark::State& state) {
  Log& log = *store->log;
  Epoch& epoch = store->epoch;
  auto refresh = [&epoch] { epoch.Protect(); };
  // A thread may not wait (as the benchmark's closing barrier does) while it holds the
  // epoch: the other thread's tail would wait for it forever. Hold it per batch.
  constexpr int kBatch = 1024;
  for (auto _ : state) {
    epoch.Protect();
    for (int i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(log.ReserveRecordSpace(64, refresh));
    }
    epoch.Unprotect();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * 64);
}
BENCHMARK(BM_ReserveRecordSpace)
    ->Threads(1)
    ->Threads(2)
    ->Setup(CreateStore)
    ->Teardown(DestroyStore)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
