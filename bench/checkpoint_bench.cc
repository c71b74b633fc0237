// Checkpoint and recovery throughput next to the device's own sequential speed.
//
// Setup ingests QUILLMARK_CHECKPOINT_BENCH_MB (default 1024) MB of JSON records with
// one projection into a store under /tmp (the machine's disk), taking the index
// checkpoint first, on the empty table, so that recovery replays the whole log. Then,
// each once and timed by hand:
//   SequentialDirectWrite / SequentialDirectRead: one file of the log's size written
//     and read back with O_DIRECT in 32 MiB transfers (the device's baseline);
//   Checkpoint: the fold-over log checkpoint of the full store (it only writes what
//     is not on disk yet) and an index checkpoint;
//   Recover: a new store over the same directory recovers, replaying every page.
// MB/s counters are log bytes covered per second; compare Recover with the read and
// write baselines (recovery reads each page and writes back the pages it changes).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../tests/cpp/temp_directory.h"
#include "base/padded_buffer.h"
#include "engine/psf_store.h"

namespace {

using namespace psfstore::core;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kLogMemory = 8 * Address::kPageSize;
constexpr size_t kTransfer = 32u << 20;

struct Setup {
  psfstore::test_support::TempDirectory directory{"/tmp"};
  std::unique_ptr<PsfStore> store;
  Guid index_token;
  Guid log_token;
  uint64_t log_bytes = 0;
};

Setup* setup = nullptr;

uint64_t TargetBytes() {
  const char* text = std::getenv("QUILLMARK_CHECKPOINT_BENCH_MB");
  uint64_t megabytes = text != nullptr ? std::strtoull(text, nullptr, 10) : 1024;
  return std::max<uint64_t>(megabytes, 64) << 20;
}

void DriveToRest(PsfStore& store) { store.CompleteAction(); }

void Ingest() {
  setup = new Setup;
  setup->store = std::make_unique<PsfStore>(PsfStore::kDefaultTableSize, kLogMemory, setup->directory.path());
  PsfStore& store = *setup->store;
  store.StartSession();
  uint16_t id = store.RegisterProjection("/user");
  std::vector<PsfChange> changes{PsfChange::AddGeneral(id)};
  store.ApplyPsfChange(changes);
  DriveToRest(store);
  store.CheckpointIndex({}, setup->index_token);
  DriveToRest(store);
  std::string text;
  for (int i = 0; i < 4096; ++i) {
    text += R"({"user":"u)" + std::to_string(i % 997) + R"(","seq":)" + std::to_string(i) +
            R"(,"message":"the quick brown fox jumps over the lazy dog","value":)" + std::to_string(i * 0.5) + "}\n";
  }
  PaddedBuffer batch{text};
  uint64_t target = TargetBytes();
  for (uint64_t serial = 1; store.tail_address().control() < target; ++serial) store.BatchInsert(batch, serial);
  store.StopSession();
}

void DirectTransfer(benchmark::State& state, bool write) {
  std::string path = setup->directory.path() + "/direct.bin";
  uint64_t bytes = setup->store != nullptr ? setup->store->tail_address().control() : setup->log_bytes;
  bytes = (bytes + kTransfer - 1) / kTransfer * kTransfer;
  void* buffer = std::aligned_alloc(4096, kTransfer);
  std::memset(buffer, 0x5A, kTransfer);
  for (auto _ : state) {
    int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0644);
    if (descriptor < 0) {
      state.SkipWithError("O_DIRECT open refused");
      break;
    }
    auto start = Clock::now();
    for (uint64_t offset = 0; offset < bytes; offset += kTransfer) {
      ssize_t done = write ? ::pwrite(descriptor, buffer, kTransfer, static_cast<off_t>(offset))
                           : ::pread(descriptor, buffer, kTransfer, static_cast<off_t>(offset));
      if (done != static_cast<ssize_t>(kTransfer)) state.SkipWithError("short transfer");
    }
    if (write) ::fdatasync(descriptor);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ::close(descriptor);
  }
  std::free(buffer);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / (1 << 20), benchmark::Counter::kIsRate);
}

void BM_SequentialDirectWrite(benchmark::State& state) { DirectTransfer(state, true); }
void BM_SequentialDirectRead(benchmark::State& state) { DirectTransfer(state, false); }

void BM_Checkpoint(benchmark::State& state) {
  PsfStore& store = *setup->store;
  for (auto _ : state) {
    store.StartSession();
    auto start = Clock::now();
    Status status = Status::Pending;
    store.CheckpointHybridLog({}, setup->log_token, [&](Status result) { status = result; });
    DriveToRest(store);
    Guid index_token;
    store.CheckpointIndex({}, index_token);  // the table of the full log, for its cost
    DriveToRest(store);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    store.StopSession();
    if (status != Status::Ok) state.SkipWithError("checkpoint failed");
  }
  setup->log_bytes = store.tail_address().control();
  state.counters["log_MB"] = static_cast<double>(setup->log_bytes) / (1 << 20);
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(setup->log_bytes) / (1 << 20), benchmark::Counter::kIsRate);
  setup->store.reset();  // the recovery gets the machine's memory and the files to itself
}

void BM_Recover(benchmark::State& state) {
  for (auto _ : state) {
    auto store = std::make_unique<PsfStore>(PsfStore::kDefaultTableSize, kLogMemory, setup->directory.path());
    RecoveryResult result;
    auto start = Clock::now();
    Status status = store->Recover(setup->index_token, setup->log_token, result);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (status != Status::Ok) state.SkipWithError(("recovery failed: " + status.ToString()).c_str());
  }
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(setup->log_bytes) / (1 << 20), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_SequentialDirectWrite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SequentialDirectRead)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Checkpoint)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recover)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Ingest();
  benchmark::RunSpecifiedBenchmarks();
  delete setup;
  benchmark::Shutdown();
  return 0;
}
