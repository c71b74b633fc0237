// Scan benchmarks on generated records:
//   python bench/generate_records.py bench/data/records.jsonl --megabytes 1024
//   QUILLMARK_SCAN_MB=1024 ./build/scan_bench
// An indexed EQ scan matching 0.1% of the records (one "category" value) against a full
// scan of the same query, and the full scan against simdjson alone finding the same field
// in the same payloads. The log holds all records in memory unless QUILLMARK_SCAN_LOG_MB
// makes it smaller, so the full scan then reads pages from disk.
#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/persistence/scan/scan_context.h"
#include "engine/psf_store.h"
#include "values/comparator.h"

using namespace psfstore;
using core::Address;
using core::KeyHash;
using core::PaddedBuffer;
using core::PsfChange;
using core::PsfStore;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

namespace {

constexpr size_t kBatchBytes = 1 << 20;
const std::string kQueryValue = "cat-0042";

struct Loaded {
  std::unique_ptr<PsfStore> store;
  std::string root;
  uint16_t category_id = 0;
  std::vector<PaddedBuffer> batches;
  size_t bytes = 0;
  size_t documents = 0;
  ~Loaded() {
    if (store) store.reset();
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
  }
};

void Fill(Loaded& data) {
  {
    const char* path = getenv("QUILLMARK_SCAN_DATA") ? getenv("QUILLMARK_SCAN_DATA") : "bench/data/records.jsonl";
    size_t limit = (getenv("QUILLMARK_SCAN_MB") ? size_t(std::atoll(getenv("QUILLMARK_SCAN_MB"))) : 256) << 20;
    std::ifstream input{path};
    if (!input) {
      std::fprintf(stderr, "cannot read %s: generate it with bench/generate_records.py\n", path);
      return;
    }
    std::string batch, line;
    while (data.bytes < limit && std::getline(input, line)) {
      batch += line + "\n";
      data.bytes += line.size() + 1;
      ++data.documents;
      if (batch.size() >= kBatchBytes) {
        data.batches.emplace_back(batch);
        batch.clear();
      }
    }
    if (!batch.empty()) data.batches.emplace_back(batch);
    uint64_t pages = data.bytes / Address::kPageSize + 8;
    if (getenv("QUILLMARK_SCAN_LOG_MB")) pages = std::max<uint64_t>(6, std::atoll(getenv("QUILLMARK_SCAN_LOG_MB")) / 32);
    data.root = "/dev/shm/quillmark-scan-bench-" + std::to_string(getpid());
    data.store = std::make_unique<PsfStore>(PsfStore::kDefaultTableSize, pages * Address::kPageSize, data.root);
    data.store->StartSession();
    data.category_id = data.store->RegisterProjection("/category");
    data.store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(data.category_id)});
    data.store->CompleteAction();
    for (size_t i = 0; i < data.batches.size(); ++i) data.store->BatchInsert(data.batches[i], i);
  }
}

Loaded& Load() {
  static Loaded loaded;
  static bool filled = (Fill(loaded), true);
  (void)filled;
  return loaded;
}

void Report(benchmark::State& state, const Loaded& data, uint64_t matches) {
  state.counters["matches"] = double(matches);
  state.counters["records/s"] =
      benchmark::Counter(double(data.documents) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["MB/s"] =
      benchmark::Counter(double(data.bytes) / (1 << 20) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_IndexedEq(benchmark::State& state) {
  Loaded& data = Load();
  if (!data.store) return state.SkipWithError("no data");
  Comparator comparator{{kQueryValue}};
  uint64_t matches = 0;
  for (auto _ : state) {
    core::BasicScanner scanner{data.category_id,
                               KeyHash::OfGeneralKey(data.category_id, kQueryValue.data(), kQueryValue.size()),
                               Comparator::Bind(ScanOperation::EQ, comparator)};
    data.store->ChainScan(scanner, Address{0}, Address::Max());
    matches = scanner.match_count();
  }
  state.counters["matches"] = double(matches);
}

void BM_FullScanEq(benchmark::State& state) {
  Loaded& data = Load();
  if (!data.store) return state.SkipWithError("no data");
  Comparator comparator{{kQueryValue}};
  uint64_t matches = 0;
  for (auto _ : state) {
    core::BasicFullScanner scanner{"/category", Comparator::Bind(ScanOperation::EQ, comparator)};
    data.store->FullScan(scanner, Address{0}, Address::Max());
    matches = scanner.match_count();
  }
  Report(state, data, matches);
}

// simdjson alone: every document of the same batches, the same field, the same test.
void BM_SimdjsonAlone(benchmark::State& state) {
  Loaded& data = Load();
  if (!data.store) return state.SkipWithError("no data");
  simdjson::ondemand::parser parser;
  uint64_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    for (const PaddedBuffer& batch : data.batches) {
      const char* text = batch.data();
      size_t size = batch.size();
      for (size_t start = 0; start < size;) {
        size_t end = std::string_view{text + start, size - start}.find('\n');
        if (end == std::string_view::npos) end = size - start;
        simdjson::ondemand::document document;
        if (parser.iterate(text + start, end, batch.capacity() - start).get(document) == simdjson::SUCCESS) {
          std::string_view value;
          if (document.at_pointer("/category").get_string().get(value) == simdjson::SUCCESS &&
              value == kQueryValue) {
            ++matches;
          }
        }
        start += end + 1;
      }
    }
  }
  Report(state, data, matches);
}

BENCHMARK(BM_IndexedEq)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullScanEq)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimdjsonAlone)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
