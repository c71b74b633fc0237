// Hot-path costs of the value layer: building a GenericValue from a record's field,
// comparing it through a bound predicate, and the temporal text parsers.
#include <benchmark/benchmark.h>

#include <string>

#include <simdjson.h>

#include "values/comparator.h"
#include "values/generic_value.h"
#include "values/temporal_parsing.h"

using recorder::data::GenericValue;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

namespace {

// Parse one record, find the field and build its value: what a full scan does per record.
void FieldValueFromRecord(benchmark::State& state, const char* json) {
  simdjson::ondemand::parser parser;
  const simdjson::padded_string text{std::string(json)};
  for (auto _ : state) {
    simdjson::ondemand::document document = parser.iterate(text);
    simdjson::ondemand::value value = document.at_pointer("/v");
    GenericValue result;
    benchmark::DoNotOptimize(GenericValue::TryFromJson(value, &result));
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK_CAPTURE(FieldValueFromRecord, string, R"({"id":17,"v":"alpha-beta","w":[1,2,3]})");
BENCHMARK_CAPTURE(FieldValueFromRecord, int64, R"({"id":17,"v":1234567,"w":[1,2,3]})");
BENCHMARK_CAPTURE(FieldValueFromRecord, double, R"({"id":17,"v":1234.5678,"w":[1,2,3]})");

void BoundPredicate(benchmark::State& state) {
  const Comparator comparator({std::string("alpha-betb")});
  const auto predicate = Comparator::Bind(static_cast<ScanOperation>(state.range(0)), comparator);
  const std::string record_text = "alpha-beta";
  const GenericValue value = GenericValue::OfString(record_text);
  for (auto _ : state) benchmark::DoNotOptimize(predicate(value));
}
BENCHMARK(BoundPredicate)->Arg(int(ScanOperation::EQ))->Arg(int(ScanOperation::LT))->Arg(int(ScanOperation::IN));

void ParseDate(benchmark::State& state) {
  int64_t ticks;
  for (auto _ : state) benchmark::DoNotOptimize(recorder::data::try_parse_date("2021-02-28", 10, &ticks));
}
BENCHMARK(ParseDate);

void ParseTimeOfDay(benchmark::State& state) {
  int64_t microseconds;
  for (auto _ : state) {
    benchmark::DoNotOptimize(recorder::data::try_parse_time_of_day("12:30:45.123456+01:00", 21, &microseconds));
  }
}
BENCHMARK(ParseTimeOfDay);

void ParseTimestamp(benchmark::State& state) {
  recorder::data::TimestampFields fields;
  for (auto _ : state) {
    benchmark::DoNotOptimize(recorder::data::try_parse_timestamp("2021-01-02T03:04:05.25Z", 23, &fields));
    benchmark::DoNotOptimize(fields.ToUnixMicroseconds());
  }
}
BENCHMARK(ParseTimestamp);

void ParseDuration(benchmark::State& state) {
  int64_t microseconds;
  for (auto _ : state) {
    benchmark::DoNotOptimize(recorder::data::try_parse_duration("P1Y2M3DT4H5M6.7S", 16, &microseconds));
  }
}
BENCHMARK(ParseDuration);

}  // namespace

BENCHMARK_MAIN();
