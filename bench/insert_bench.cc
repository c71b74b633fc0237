// Insert throughput of the engine next to simdjson alone doing the same work on the same
// buffers (splitting the stream, taking each document's text, looking up the projected
// fields and making values of them): the practical limit of the insert path.
//
//   python bench/generate_records.py bench/data/records.jsonl --megabytes 1024
//   ./build/insert_bench
//
// QUILLMARK_INSERT_DATA names another file; QUILLMARK_INSERT_MB reads only its first
// megabytes; QUILLMARK_INSERT_DIR is where the store's log goes (default /dev/shm, so
// that the device does not set the pace). The documents are cut into batches of about
// 1 MiB; each thread inserts every n-th batch with the sequence a write worker uses
// (StartSession, BatchInsert, CompleteAction, StopSession).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/padded_buffer.h"
#include "engine/psf_store.h"
#include "simdjson_lookups.h"

using psfstore::core::Address;
using psfstore::core::PaddedBuffer;
using psfstore::core::PsfChange;
using psfstore::core::PsfStore;

namespace {

constexpr size_t kBatchBytes = size_t{1} << 20;

struct Batches {
  std::vector<PaddedBuffer> buffers;
  size_t bytes = 0;
  size_t documents = 0;
};

const Batches& LoadBatches() {
  static Batches batches = [] {
    Batches loaded;
    const char* path = getenv("QUILLMARK_INSERT_DATA") ? getenv("QUILLMARK_INSERT_DATA") : "bench/data/records.jsonl";
    size_t limit = getenv("QUILLMARK_INSERT_MB") ? size_t(std::atoll(getenv("QUILLMARK_INSERT_MB"))) << 20 : SIZE_MAX;
    std::ifstream input{path};
    if (!input) {
      std::fprintf(stderr, "cannot read %s: generate it with bench/generate_records.py\n", path);
      return loaded;
    }
    std::string batch, line;
    while (loaded.bytes < limit && std::getline(input, line)) {
      batch += line;
      batch += '\n';
      loaded.bytes += line.size() + 1;
      ++loaded.documents;
      if (batch.size() >= kBatchBytes) {
        loaded.buffers.emplace_back(batch);
        batch.clear();
      }
    }
    if (!batch.empty()) loaded.buffers.emplace_back(batch);
    return loaded;
  }();
  return batches;
}

std::vector<std::string> Fields(int count) {
  static const std::vector<std::string> all = {"/category", "/bucket", "/user/name", "/user/country",
                                               "/user/age", "/amount", "/score",     "/active"};
  return {all.begin(), all.begin() + count};
}

void Report(benchmark::State& state, double seconds, const Batches& batches) {
  state.SetIterationTime(seconds);
  state.counters["MB/s"] = benchmark::Counter(double(batches.bytes) / (1 << 20), benchmark::Counter::kIsRate);
  state.counters["records/s"] = benchmark::Counter(double(batches.documents), benchmark::Counter::kIsRate);
}

// Runs `work(thread index)` on `threads` threads and returns the elapsed seconds.
template <class Work>
double RunThreads(int threads, Work&& work) {
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) running.emplace_back(work, t);
  for (std::thread& thread : running) thread.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Insert(benchmark::State& state) {
  const Batches& batches = LoadBatches();
  if (batches.buffers.empty()) return state.SkipWithError("no data");
  const int projections = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  std::string root = std::string{getenv("QUILLMARK_INSERT_DIR") ? getenv("QUILLMARK_INSERT_DIR") : "/dev/shm"} +
                     "/quillmark-insert-bench-" + std::to_string(getpid());
  for (auto _ : state) {
    auto store = std::make_unique<PsfStore>(PsfStore::kDefaultTableSize, 16 * Address::kPageSize, root);
    store->StartSession();
    std::vector<PsfChange> changes;
    for (const std::string& field : Fields(projections)) {
      changes.push_back(PsfChange::AddGeneral(store->RegisterProjection(field)));
    }
    store->ApplyPsfChange(changes);
    store->CompleteAction();
    store->StopSession();

    double seconds = RunThreads(threads, [&](int thread) {
      for (size_t i = thread; i < batches.buffers.size(); i += threads) {
        store->StartSession();
        store->BatchInsert(batches.buffers[i], i + 1);
        store->CompleteAction();
        store->StopSession();
      }
    });
    Report(state, seconds, batches);
    store.reset();
    std::filesystem::remove_all(root);
  }
}

void BM_SimdjsonLimit(benchmark::State& state) {
  const Batches& batches = LoadBatches();
  if (batches.buffers.empty()) return state.SkipWithError("no data");
  const std::vector<std::string> fields = Fields(static_cast<int>(state.range(0)));
  const int threads = static_cast<int>(state.range(1));
  for (auto _ : state) {
    double seconds = RunThreads(threads, [&](int thread) {
      simdjson::ondemand::parser parser;
      uint64_t total = 0;
      for (size_t i = thread; i < batches.buffers.size(); i += threads) {
        const PaddedBuffer& buffer = batches.buffers[i];
        simdjson::ondemand::document_stream stream;
        if (parser.iterate_many(buffer.data(), buffer.size(), size_t{1} << 30).get(stream)) std::abort();
        for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
          simdjson::ondemand::document_reference document;
          if ((*iterator).get(document)) std::abort();
          total += iterator.source().size();
          total += LookUpFields(document, fields);
        }
      }
      benchmark::DoNotOptimize(total);
    });
    Report(state, seconds, batches);
  }
}

void Arguments(benchmark::internal::Benchmark* benchmark) {
  for (int threads : {1, 2}) {
    for (int projections : {0, 2, 8}) benchmark->Args({projections, threads});
  }
  benchmark->ArgNames({"projections", "threads"})->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
}

}  // namespace

BENCHMARK(BM_SimdjsonLimit)->Apply(Arguments);
BENCHMARK(BM_Insert)->Apply(Arguments);

int main(int argc, char** argv) {
  LoadBatches();  // read before any timing starts
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
