// Bitmap throughput: bulk loading, the C++ iteration paths scans and extractions use, set
// algebra and the serialised form. Record addresses are modelled as 8-byte aligned values
// spread over several 4 GiB buckets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bitmap/bitmap.h"

namespace {

using quillmark::storage::Bitmap;

std::vector<uint64_t> Addresses(size_t count, uint64_t stride, uint64_t start = 64) {
  std::vector<uint64_t> values(count);
  for (size_t i = 0; i < count; ++i) values[i] = start + i * stride;
  return values;
}

void BM_AddManySorted(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(static_cast<size_t>(state.range(0)), 1000);
  for (auto _ : state) {
    Bitmap bitmap(values.data(), values.size());
    benchmark::DoNotOptimize(bitmap);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddManySorted)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_AddManyDescending(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(static_cast<size_t>(state.range(0)), 1000);
  std::reverse(values.begin(), values.end());
  for (auto _ : state) {
    Bitmap bitmap(values.data(), values.size());
    benchmark::DoNotOptimize(bitmap);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddManyDescending)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_AddOneByOneDescending(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(static_cast<size_t>(state.range(0)), 1000);
  std::reverse(values.begin(), values.end());
  for (auto _ : state) {
    Bitmap bitmap;
    for (uint64_t value : values) bitmap.Add(value);
    benchmark::DoNotOptimize(bitmap);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddOneByOneDescending)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_AddOneByOneShuffled(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(static_cast<size_t>(state.range(0)), 1000);
  std::shuffle(values.begin(), values.end(), std::mt19937_64(1));
  for (auto _ : state) {
    Bitmap bitmap;
    for (uint64_t value : values) bitmap.Add(value);
    benchmark::DoNotOptimize(bitmap);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddOneByOneShuffled)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_CopyTo(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(10'000'000, 3);
  Bitmap bitmap(values.data(), values.size());
  std::vector<uint64_t> out(values.size());
  for (auto _ : state) {
    bitmap.CopyTo(out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_CopyTo)->Unit(benchmark::kMillisecond);

void BM_NextChunk(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(10'000'000, 3);
  Bitmap bitmap(values.data(), values.size());
  uint64_t chunk[4096];
  for (auto _ : state) {
    uint64_t cursor = 0, sum = 0;
    while (size_t count = bitmap.NextChunk(cursor, chunk, std::size(chunk))) {
      sum += chunk[0];
      cursor = chunk[count - 1] + 1;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_NextChunk)->Unit(benchmark::kMillisecond);

void BM_UnionAndIntersect(benchmark::State& state) {
  std::vector<uint64_t> even = Addresses(5'000'000, 16, 0);
  std::vector<uint64_t> mixed = Addresses(5'000'000, 24, 0);
  Bitmap left(even.data(), even.size()), right(mixed.data(), mixed.size());
  for (auto _ : state) {
    Bitmap both = left.Intersect(right);
    Bitmap either = left.Union(right);
    benchmark::DoNotOptimize(both);
    benchmark::DoNotOptimize(either);
  }
}
BENCHMARK(BM_UnionAndIntersect)->Unit(benchmark::kMillisecond);

void BM_WriteRead(benchmark::State& state) {
  std::vector<uint64_t> values = Addresses(10'000'000, 3);
  Bitmap bitmap(values.data(), values.size());
  std::vector<char> image(bitmap.PersistedSize(true, true, true));
  for (auto _ : state) {
    bitmap.Write(image.data(), image.size(), true);
    Bitmap decoded = Bitmap::Read(image.data(), image.size(), true);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_WriteRead)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
