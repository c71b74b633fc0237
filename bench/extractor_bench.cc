// Extraction throughput: four columns (integer, text, float, timestamp text) over one
// million records held in memory, reported as rows per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "values/arrow_serialization.h"
#include "values/extractor.h"
#include "values/table_assembly.h"

namespace {

using namespace recorder::data;

// All records in one buffer, each followed by the parser's padding; a record's address
// is its offset in the buffer.
class RecordArena : public RecordPayloadSource {
 public:
  explicit RecordArena(size_t count) {
    char line[512];
    for (size_t i = 0; i < count; ++i) {
      const int length = std::snprintf(
          line, sizeof line,
          R"({"id": %zu, "user": {"name": "user_%zu", "tier": %zu}, "price": %zu.%02zu, "active": %s, )"
          R"("created": "2024-%02zu-%02zuT%02zu:%02zu:%02zu.%06zuZ", "tags": ["a", "b", "c"], "note": "n%zu"})",
          i, i % 50000, i % 5, i % 1000, i % 100, i % 3 ? "true" : "false", 1 + i % 12, 1 + i % 28, i % 24,
          i % 60, (i / 60) % 60, i % 1000000, i);
      addresses_.push_back(buffer_.size());
      lengths_.push_back(static_cast<size_t>(length));
      buffer_.append(line, static_cast<size_t>(length));
      buffer_.append(kRecordPayloadPadding, ' ');
    }
  }

  const std::vector<uint64_t>& addresses() const { return addresses_; }
  size_t bytes() const { return buffer_.size(); }

  psfstore::core::Status ReadPayload(uint64_t address, std::string_view* payload) override {
    // Addresses ascend with the index; the bench asks for every record in order.
    while (addresses_[cursor_] != address) ++cursor_;
    *payload = std::string_view(buffer_.data() + address, lengths_[cursor_]);
    return psfstore::core::Status::Ok;
  }

  void Rewind() { cursor_ = 0; }

 private:
  std::string buffer_;
  std::vector<uint64_t> addresses_;
  std::vector<size_t> lengths_;
  size_t cursor_ = 0;
};

RecordArena& Arena() {
  static RecordArena arena(1'000'000);
  return arena;
}

// An integer, a nested text, a float and a timestamp parsed from text.
RecordExtractor FourColumns() {
  return RecordExtractor({
      {"id", std::make_shared<IntExtractor>("/id", true, 64, std::nullopt, std::nullopt, std::nullopt)},
      {"name", std::make_shared<StringExtractor>("/user/name", std::nullopt)},
      {"price", std::make_shared<FloatExtractor>("/price", 64, std::nullopt, std::nullopt, std::nullopt)},
      {"created", std::make_shared<TimestampExtractor>("/created", "us", std::nullopt, std::nullopt, std::nullopt,
                                                       std::nullopt)},
  });
}

void ExtractFourColumns(benchmark::State& state) {
  RecordArena& arena = Arena();
  RecordExtractor extractor = FourColumns();
  for (auto _ : state) {
    arena.Rewind();
    auto table = AssembleTable(extractor, arena.addresses(), arena);
    benchmark::DoNotOptimize(table);
    if (state.range(0) != 0) benchmark::DoNotOptimize(SerializeTableAsBase64(*table));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(arena.addresses().size()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(arena.bytes()));
}
void ExtractOneColumn(benchmark::State& state) {
  RecordArena& arena = Arena();
  RecordExtractor extractor({
      {"id", std::make_shared<IntExtractor>("/id", true, 64, std::nullopt, std::nullopt, std::nullopt)}});
  for (auto _ : state) {
    arena.Rewind();
    benchmark::DoNotOptimize(AssembleTable(extractor, arena.addresses(), arena));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(arena.addresses().size()));
}
BENCHMARK(ExtractOneColumn)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(ExtractFourColumns)->ArgName("serialise")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The IPC stream and its Base64 text alone, for the table of the four columns above.
void SerializeFourColumns(benchmark::State& state) {
  RecordArena& arena = Arena();
  RecordExtractor extractor = FourColumns();
  arena.Rewind();
  auto table = AssembleTable(extractor, arena.addresses(), arena);
  for (auto _ : state) benchmark::DoNotOptimize(SerializeTableAsBase64(*table));
  state.SetItemsProcessed(state.iterations() * table->num_rows());
}
BENCHMARK(SerializeFourColumns)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
