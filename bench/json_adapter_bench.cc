// Parse-and-project throughput of the insert path's front half (checking the whole
// batch, splitting it, finding fields, evaluating projections) next to simdjson alone:
//   BM_SimdjsonAlone             on-demand stream, each document's text, the same
//                                pointer lookups made into values: no full check, the
//                                practical limit;
//   BM_SimdjsonValidatedLookups  the library's complete stream parser and the same
//                                lookups on its documents (no source positions);
//   BM_SimdjsonDomValidation     the complete parser alone.
//
//   ./build/json_adapter_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// The buffer is 64 MiB (QUILLMARK_BENCH_MB) of generated documents of about 350 bytes
// (nested objects, arrays, strings, integers, doubles, booleans), parsed repeatedly.
// On a busy machine compare the "_min" rows, or count instructions with callgrind on
// QUILLMARK_BENCH_MB=2 and --benchmark_min_time=0.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/padded_buffer.h"
#include "engine/core/psf_evaluator.h"
#include "engine/core/psf_registry.h"
#include "json/simdjson_adapter.h"
#include "simdjson_lookups.h"

using namespace psfstore::core;
using psfstore::adapter::SIMDJsonAdapter;

namespace {

// QUILLMARK_BENCH_MB overrides the size (a small buffer suits instruction counting).
const size_t kBufferBytes = (getenv("QUILLMARK_BENCH_MB") ? std::atoi(getenv("QUILLMARK_BENCH_MB")) : 64) << 20;

const std::vector<std::string> kAllFields = {"/user/name", "/amount",   "/id",           "/event",
                                             "/geo/city",  "/user/age", "/user/verified", "/ts"};

const PaddedBuffer& Documents(size_t* count) {
  static size_t document_count = 0;
  static PaddedBuffer buffer = [] {
    std::mt19937_64 random{42};
    const char* events[] = {"click", "view", "purchase", "login", "logout"};
    const char* cities[] = {"Lisbon", "Oslo", "Nairobi", "Lima", "Osaka", "Quebec"};
    std::string text;
    text.reserve(kBufferBytes + 4096);
    char line[1024];
    while (text.size() < kBufferBytes) {
      uint64_t r = random();
      int items = 1 + r % 3;
      std::string item_text;
      for (int i = 0; i < items; ++i) {
        item_text += (i ? "," : "") + std::string("{\"sku\":\"SKU-") + std::to_string((r >> (8 * i)) % 100000) +
                     "\",\"qty\":" + std::to_string(1 + (r >> (5 * i)) % 9) + ",\"price\":" +
                     std::to_string((r % 10000) / 100.0) + "}";
      }
      int length = std::snprintf(
          line, sizeof line,
          "{\"id\":%llu,\"user\":{\"name\":\"user%llu\",\"email\":\"user%llu@example.com\",\"age\":%d,"
          "\"verified\":%s},\"event\":\"%s\",\"ts\":\"2024-%02d-%02dT%02d:%02d:%02dZ\",\"amount\":%.2f,"
          "\"tags\":[\"t%d\",\"t%d\"],\"geo\":{\"lat\":%.5f,\"lon\":%.5f,\"city\":\"%s\"},"
          "\"session\":\"%016llx\",\"items\":[%s]}\n",
          static_cast<unsigned long long>(document_count), static_cast<unsigned long long>(r % 50000),
          static_cast<unsigned long long>(r % 50000), static_cast<int>(18 + r % 60), (r & 1) ? "true" : "false",
          events[r % 5], static_cast<int>(1 + r % 12), static_cast<int>(1 + r % 28), static_cast<int>(r % 24),
          static_cast<int>(r % 60), static_cast<int>((r >> 7) % 60), (r % 100000) / 100.0, static_cast<int>(r % 7),
          static_cast<int>(r % 11), (r % 180000) / 1000.0 - 90, (r % 360000) / 1000.0 - 180, cities[r % 6],
          static_cast<unsigned long long>(r), item_text.c_str());
      text.append(line, length);
      ++document_count;
    }
    return PaddedBuffer{text};
  }();
  *count = document_count;
  return buffer;
}

std::vector<std::string> Fields(int projections) {
  return std::vector<std::string>(kAllFields.begin(), kAllFields.begin() + projections);
}

void ReportRates(benchmark::State& state, size_t bytes, size_t documents) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * documents));
}

// The engine's path: validate and split the batch, find the projected fields, evaluate
// the projections of the active configuration.
void BM_AdapterAndProjections(benchmark::State& state) {
  size_t documents = 0;
  const PaddedBuffer& buffer = Documents(&documents);
  static PsfRegistry* registry = nullptr;
  static int registry_projections = -1;
  if (state.thread_index() == 0 && registry_projections != state.range(0)) {
    delete registry;
    registry = new PsfRegistry;
    std::vector<PsfChange> changes;
    for (const auto& field : Fields(static_cast<int>(state.range(0)))) {
      changes.push_back(PsfChange::AddGeneral(registry->RegisterProjection(field)));
    }
    registry->ActivateChange(changes);
    registry->FinishChange(changes);
    registry_projections = static_cast<int>(state.range(0));
  }
  // Google Benchmark starts the timed loop of all threads together, after setup.
  const PsfConfiguration* configuration = nullptr;
  SIMDJsonAdapter* parser = nullptr;
  PsfEvaluator evaluator;
  uint64_t yielded = 0;
  for (auto _ : state) {
    if (parser == nullptr) {
      configuration = &registry->active_configuration();
      parser = new SIMDJsonAdapter{configuration->parse_fields};
    }
    if (Status loaded = parser->Load(buffer); loaded != Status::Ok) state.SkipWithError(loaded.ToString().c_str());
    while (parser->HasNext()) {
      evaluator.Evaluate(
          *registry, *configuration, parser->NextRecord(),
          [&](uint16_t, const recorder::data::GenericValue& value) { yielded += value.length(); },
          [&](uint32_t, uint32_t) {});
    }
  }
  benchmark::DoNotOptimize(yielded);
  delete parser;
  ReportRates(state, buffer.size(), documents);
}

// simdjson alone: the same multi-document split, each document's text, and the same
// fields looked up by pointer and read as values.
void BM_SimdjsonAlone(benchmark::State& state) {
  size_t documents = 0;
  const PaddedBuffer& buffer = Documents(&documents);
  std::vector<std::string> fields = Fields(static_cast<int>(state.range(0)));
  simdjson::ondemand::parser parser;
#ifdef SIMDJSON_THREADS_ENABLED
  parser.threaded = false;
#endif
  uint64_t total = 0;
  for (auto _ : state) {
    simdjson::ondemand::document_stream stream;
    if (parser.iterate_many(buffer.data(), buffer.size(), size_t{1} << 27).get(stream)) {
      state.SkipWithError("iterate_many");
    }
    for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
      simdjson::ondemand::document_reference document;
      if ((*iterator).get(document)) {
        state.SkipWithError("document");
        break;
      }
      total += iterator.source().size();
      total += LookUpFields(document, fields);
    }
  }
  benchmark::DoNotOptimize(total);
  ReportRates(state, buffer.size(), documents);
}

}  // namespace

// On a shared machine the fastest of several repetitions is the figure to compare:
// run with --benchmark_repetitions=10 --benchmark_report_aggregates_only=true.
double Fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

BENCHMARK(BM_AdapterAndProjections)->Arg(0)->Arg(2)->Arg(8)->Threads(1)->Threads(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SimdjsonAlone)->Arg(0)->Arg(2)->Arg(8)->Threads(1)->Threads(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

int main(int argc, char** argv) {
  size_t documents = 0;
  Documents(&documents);  // generated before any timing starts
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

namespace {
// The JSON library's own full validation of the same buffer (its DOM stream parser).
void BM_SimdjsonDomValidation(benchmark::State& state) {
  size_t documents = 0;
  const PaddedBuffer& buffer = Documents(&documents);
  simdjson::dom::parser parser;
#ifdef SIMDJSON_THREADS_ENABLED
  parser.threaded = false;
#endif
  size_t count = 0;
  for (auto _ : state) {
    simdjson::dom::document_stream stream;
    if (parser.parse_many(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), size_t{1} << 27).get(stream)) {
      state.SkipWithError("parse_many");
    }
    for (auto document : stream) {
      if (document.error()) state.SkipWithError("document");
      ++count;
    }
  }
  benchmark::DoNotOptimize(count);
  ReportRates(state, buffer.size(), documents);
}

// simdjson alone with the same complete validation: its DOM stream parser, each
// document's text, and the same fields looked up by pointer on the parsed document.
void BM_SimdjsonValidatedLookups(benchmark::State& state) {
  size_t documents = 0;
  const PaddedBuffer& buffer = Documents(&documents);
  std::vector<std::string> fields = Fields(static_cast<int>(state.range(0)));
  simdjson::dom::parser parser;
#ifdef SIMDJSON_THREADS_ENABLED
  parser.threaded = false;
#endif
  uint64_t total = 0;
  for (auto _ : state) {
    simdjson::dom::document_stream stream;
    if (parser.parse_many(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), size_t{1} << 27).get(stream)) {
      state.SkipWithError("parse_many");
    }
    for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
      simdjson::dom::element document;
      if ((*iterator).get(document)) {
        state.SkipWithError("document");
        break;
      }
      total += iterator.source().size();
      for (const auto& field : fields) {
        simdjson::dom::element value;
        if (document.at_pointer(field).get(value) == simdjson::SUCCESS) total += static_cast<uint64_t>(value.type());
      }
    }
  }
  benchmark::DoNotOptimize(total);
  ReportRates(state, buffer.size(), documents);
}

// Batches of range(0) KiB cut from the buffer at line ends, loaded with 2 fields to find:
// by the whole-batch check then the walk, with the check on the calling thread
// (range(1) = 0) or on a helper beside the walk (1), or in one pass (2).
void BM_LoadBatches(benchmark::State& state) {
  size_t documents = 0;
  const PaddedBuffer& whole = Documents(&documents);
  const size_t target = static_cast<size_t>(state.range(0)) << 10;
  std::vector<PaddedBuffer> batches;
  size_t bytes = 0;
  for (size_t begin = 0; begin < whole.size() && batches.size() < 64;) {
    size_t end = std::min(whole.size(), begin + target);
    while (end < whole.size() && whole.data()[end - 1] != '\n') ++end;
    batches.emplace_back(std::string_view{whole.data() + begin, end - begin});
    bytes += end - begin;
    begin = end;
  }
  SIMDJsonAdapter parser{Fields(2)};
  const int64_t mode = state.range(1);
  parser.set_passes(mode == 2 ? SIMDJsonAdapter::Passes::One : SIMDJsonAdapter::Passes::CheckThenWalk);
  parser.set_check_placement(mode == 1 ? SIMDJsonAdapter::CheckPlacement::Helper
                                       : SIMDJsonAdapter::CheckPlacement::Inline);
  for (auto _ : state) {
    for (const PaddedBuffer& batch : batches) {
      if (parser.Load(batch) != Status::Ok) state.SkipWithError("refused");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
}  // namespace
BENCHMARK(BM_SimdjsonValidatedLookups)->Arg(0)->Arg(2)->Arg(8)->Threads(1)->Threads(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SimdjsonDomValidation)->UseRealTime()->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_LoadBatches)->ArgsProduct({{128, 256, 512, 1024, 8192}, {0, 1, 2}})->UseRealTime()
    ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
