// Extractors, column arrays and table assembly: values from JSON records through every
// column kind into Arrow tables, and the tables through the Base64 IPC stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/util/base64.h>

#include "arrow_stream.h"
#include "bitmap/bitmap.h"
#include "values/arrow_serialization.h"
#include "values/extractor.h"
#include "values/table_assembly.h"
#include "values/value_conversion.h"

namespace recorder {
namespace data {
namespace {

using psfstore::core::Status;
using Columns = std::vector<RecordExtractor::Column>;
using std::nullopt;
using test_support::ReadBase64Stream;
using std::optional;

// Records kept in memory, each followed by the parser's padding. Record i lives at
// address 64 + 1000 * i.
class InMemoryRecords : public RecordPayloadSource {
 public:
  explicit InMemoryRecords(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) Add(AddressOf(i), lines[i]);
  }

  static uint64_t AddressOf(size_t index) { return 64 + 1000 * index; }

  void Add(uint64_t address, const std::string& line) {
    std::string padded = line;
    padded.append(kRecordPayloadPadding, '\0');
    records_[address] = {std::move(padded), line.size()};
  }

  std::vector<uint64_t> Addresses() const {
    std::vector<uint64_t> addresses;
    for (const auto& entry : records_) addresses.push_back(entry.first);
    return addresses;
  }

  Status ReadPayload(uint64_t address, std::string_view* payload) override {
    auto found = records_.find(address);
    if (found == records_.end()) return Status::NotFound;
    *payload = std::string_view(found->second.first.data(), found->second.second);
    return Status::Ok;
  }

 private:
  std::map<uint64_t, std::pair<std::string, size_t>> records_;
};

std::shared_ptr<arrow::Table> Extract(Columns columns, const std::vector<std::string>& lines) {
  InMemoryRecords records(lines);
  RecordExtractor extractor(std::move(columns));
  return AssembleTable(extractor, records.Addresses(), records);
}

std::shared_ptr<arrow::Table> ExtractOne(std::shared_ptr<Extractor> column, const std::vector<std::string>& lines) {
  return Extract({{"c", std::move(column)}}, lines);
}

// Values of column `index` as optionals (nullopt for null slots).
template <typename ArrowType>
std::vector<optional<typename ArrowType::c_type>> Values(const arrow::Table& table, int index = 0) {
  using Array = arrow::NumericArray<ArrowType>;
  std::vector<optional<typename ArrowType::c_type>> values;
  for (const auto& chunk : table.column(index)->chunks()) {
    const auto& array = static_cast<const Array&>(*chunk);
    for (int64_t row = 0; row < array.length(); ++row) {
      values.push_back(array.IsNull(row) ? nullopt : optional(array.Value(row)));
    }
  }
  return values;
}

std::vector<optional<bool>> Bools(const arrow::Table& table, int index = 0) {
  std::vector<optional<bool>> values;
  for (const auto& chunk : table.column(index)->chunks()) {
    const auto& array = static_cast<const arrow::BooleanArray&>(*chunk);
    for (int64_t row = 0; row < array.length(); ++row) {
      values.push_back(array.IsNull(row) ? nullopt : optional(array.Value(row)));
    }
  }
  return values;
}

std::vector<optional<std::string>> Texts(const arrow::Table& table, int index = 0) {
  std::vector<optional<std::string>> values;
  for (const auto& chunk : table.column(index)->chunks()) {
    const auto& array = static_cast<const arrow::StringArray&>(*chunk);
    for (int64_t row = 0; row < array.length(); ++row) {
      values.push_back(array.IsNull(row) ? nullopt : optional(array.GetString(row)));
    }
  }
  return values;
}

// One record per value: {"v": <value>}, or {} for an empty text.
std::vector<std::string> RecordsOf(const std::vector<std::string>& values) {
  std::vector<std::string> lines;
  for (const std::string& value : values) lines.push_back(value.empty() ? "{}" : "{\"v\": " + value + "}");
  return lines;
}

template <typename Function>
std::string ErrorOf(Function&& function) {
  try {
    function();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

std::shared_ptr<Extractor> Int(bool is_signed, int width, optional<int64_t> default_value = nullopt,
                               optional<std::string> locale = nullopt) {
  return std::make_shared<IntExtractor>("/v", is_signed, width, default_value, nullopt, locale);
}
std::shared_ptr<Extractor> Float(int width, optional<double> default_value = nullopt) {
  return std::make_shared<FloatExtractor>("/v", width, default_value, nullopt, nullopt);
}
template <typename Kind>
std::shared_ptr<Extractor> Temporal(const std::string& resolution, optional<std::string> default_text = nullopt) {
  return std::make_shared<Kind>("/v", resolution, default_text, nullopt, nullopt);
}
std::shared_ptr<Extractor> Timestamp(const std::string& resolution, optional<std::string> default_text = nullopt) {
  return std::make_shared<TimestampExtractor>("/v", resolution, nullopt, default_text, nullopt, nullopt);
}

TEST(ExtractorTest, ConstructionRefusesBadArgumentsWithFixedMessages) {
  for (int width : {8, 16, 32, 64}) EXPECT_EQ(Int(true, width)->type(), ExtractorType::Int64);
  for (int width : {0, 1, 7, 12, 128, -8}) {
    EXPECT_EQ(ErrorOf([&] { Int(false, width); }), "Invalid width specification for an integer") << width;
  }
  EXPECT_EQ(Float(32)->type(), ExtractorType::Double);
  for (int width : {16, 0, 63, 128}) {
    EXPECT_EQ(ErrorOf([&] { Float(width); }), "Invalid width specification for a floating point value");
  }
  for (const char* resolution : {"s", "ms", "us", "ns"}) {
    EXPECT_EQ(Timestamp(resolution)->type(), ExtractorType::Timestamp);
    EXPECT_EQ(Temporal<TimeExtractor>(resolution)->type(), ExtractorType::Time);
    EXPECT_EQ(Temporal<DurationExtractor>(resolution)->type(), ExtractorType::Duration);
  }
  EXPECT_EQ(Temporal<DateExtractor>("d")->type(), ExtractorType::Date);
  EXPECT_EQ(Temporal<DateExtractor>("ms")->type(), ExtractorType::Date);
  for (const char* resolution : {"d", "", "S", "sec", "m"}) {
    EXPECT_EQ(ErrorOf([&] { Timestamp(resolution); }), "Invalid time resolution specification");
    EXPECT_EQ(ErrorOf([&] { Temporal<DurationExtractor>(resolution); }), "Invalid time resolution specification");
  }
  for (const char* resolution : {"s", "us", "ns", "D"}) {
    EXPECT_EQ(ErrorOf([&] { Temporal<DateExtractor>(resolution); }), "Invalid time resolution specification");
  }
  // Defaults the column could never hold, and locales that do not exist, are refused
  // up front instead of turning every value into a null later.
  EXPECT_EQ(ErrorOf([] { Int(true, 8, 128); }), "Default value does not fit the integer column");
  EXPECT_EQ(ErrorOf([] { Int(false, 16, -1); }), "Default value does not fit the integer column");
  EXPECT_EQ(ErrorOf([] { Int(false, 64, -1); }), "Default value does not fit the integer column");
  EXPECT_EQ(ErrorOf([] { Int(true, 8, -128); }), "no error");
  EXPECT_EQ(ErrorOf([] { Int(true, 64, 5, "no_SUCH.locale"); }), "bad locale name");
  EXPECT_EQ(ErrorOf([] { Int(true, 64, 5, "C"); }), "no error");

  auto raw = std::make_shared<RawExtractor>("/a");
  auto record = std::make_shared<RecordExtractor>(Columns{{"a", raw}});
  EXPECT_EQ(record->type(), ExtractorType::Record);
  EXPECT_EQ(record->field(), "");
  EXPECT_EQ(ErrorOf([&] { RecordExtractor(Columns{{"a", raw}, {"nested", record}}); }),
            "A record extractor cannot be a column; give its columns directly");
  EXPECT_EQ(ErrorOf([&] { RecordExtractor(Columns{{"a", nullptr}}); }), "Column extractor is missing");
}

TEST(ExtractorTest, TextBoolAndNumberConversionsFollowTheTable) {
  auto strings = ExtractOne(std::make_shared<StringExtractor>("/v", nullopt),
                            RecordsOf({"\"abc\"", "true", "false", "-42", "1.5", "1e300", "", "\"\""}));
  EXPECT_EQ(strings->schema()->field(0)->type()->id(), arrow::Type::STRING);
  std::string huge(Texts(*strings)[5].value());
  EXPECT_EQ(huge.substr(0, 4), "1000");
  EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
  EXPECT_EQ(Texts(*strings), (std::vector<optional<std::string>>{"abc", "True", "False", "-42", "1.500000", huge,
                                                                 "null", ""}));

  auto bools = ExtractOne(std::make_shared<BoolExtractor>("/v"),
                          RecordsOf({"\"y\"", "\"ye\"", "\"yes\"", "\"t\"", "\"TRUE\"", "\"\"", "\"yess\"",
                                     "\"True\"", "\"Y\"", "\"no\"", "0", "-3", "0.0", "0.25", "true", "false", ""}));
  EXPECT_EQ(Bools(*bools), (std::vector<optional<bool>>{true, true, true, true, false, true, false, true, true, false,
                                                        false, true, false, true, true, false, false}));

  // Integers: a text is read as far as it holds a number; a text that is no number
  // takes the fallback, like any other value the column cannot take.
  auto integers = ExtractOne(Int(true, 64), RecordsOf({"true", "false", "-7", "2.9", "-2.9", "\"12\"", "\"  -5\"",
                                                       "\"12abc\"", "\"abc\"", "\"\"", "\"99999999999999999999\"",
                                                       "1e300", ""}));
  EXPECT_EQ(Values<arrow::Int64Type>(*integers),
            (std::vector<optional<int64_t>>{1, 0, -7, 2, -2, 12, -5, 12, nullopt, nullopt, nullopt, nullopt, 0}));

  auto doubles = ExtractOne(Float(64, -1.0), RecordsOf({"true", "3", "-0.5", "\"2.5\"", "\"1e3\"", "\"x\"", ""}));
  EXPECT_EQ(Values<arrow::DoubleType>(*doubles), (std::vector<optional<double>>{1.0, 3.0, -0.5, 2.5, 1000.0, -1.0, 0.0}));

  // Direct conversions the records cannot produce.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ValueToInt64(GenericValue::OfDouble(nan), nullptr), nullopt);
  EXPECT_EQ(ValueToInt64(GenericValue::OfDouble(9223372036854775808.0), nullptr), nullopt);
  EXPECT_EQ(ValueToInt64(GenericValue::OfDouble(-9223372036854775808.0), nullptr), INT64_MIN);
  std::locale classic = std::locale::classic();
  EXPECT_EQ(ValueToDouble(GenericValue::OfString("0.125"), &classic), 0.125);
}

TEST(ExtractorTest, IntegerColumnsOfEveryWidthKeepOnlyValuesThatFit) {
  const std::vector<std::string> values = {"-129", "-128", "127", "128", "255", "256", "-1", "65535", "65536",
                                           "-32769", "2147483647", "2147483648", "4294967295", "4294967296",
                                           "-9223372036854775808", "9223372036854775807"};
  struct Case {
    bool is_signed;
    int width;
    arrow::Type::type id;
  };
  for (Case c : {Case{true, 8, arrow::Type::INT8}, Case{false, 8, arrow::Type::UINT8}, Case{true, 16, arrow::Type::INT16},
                 Case{false, 16, arrow::Type::UINT16}, Case{true, 32, arrow::Type::INT32},
                 Case{false, 32, arrow::Type::UINT32}, Case{true, 64, arrow::Type::INT64},
                 Case{false, 64, arrow::Type::UINT64}}) {
    auto table = ExtractOne(Int(c.is_signed, c.width), RecordsOf(values));
    ASSERT_EQ(table->schema()->field(0)->type()->id(), c.id);
    std::vector<optional<long double>> got;
    auto column = table->column(0)->chunk(0);
    for (int64_t row = 0; row < column->length(); ++row) {
      if (column->IsNull(row)) {
        got.push_back(nullopt);
        continue;
      }
      auto scalar = column->GetScalar(row).ValueOrDie();
      got.push_back(std::stold(scalar->ToString()));
    }
    const long double low = c.is_signed ? -std::pow(2.0L, c.width - 1) : 0.0L;
    const long double high = c.is_signed ? std::pow(2.0L, c.width - 1) - 1 : std::pow(2.0L, c.width) - 1;
    for (size_t i = 0; i < values.size(); ++i) {
      const long double value = std::stold(values[i]);
      if (value >= low && value <= high) {
        EXPECT_EQ(got[i], optional(value)) << c.width << " " << values[i];
      } else {
        EXPECT_EQ(got[i], nullopt) << c.is_signed << c.width << " " << values[i];
      }
    }
  }
  // The default replaces what does not fit; texts are read as numbers.
  auto with_default = ExtractOne(Int(true, 8, 7), RecordsOf({"1000", "\"12\"", "\"x\"", "-128", ""}));
  EXPECT_EQ(Values<arrow::Int8Type>(*with_default), (std::vector<optional<int8_t>>{7, 12, 7, -128, 0}));
}

TEST(ExtractorTest, FloatColumnsTakeOnlyExactlyRepresentableValues) {
  auto narrow = ExtractOne(Float(32), RecordsOf({"0.5", "0.1", "16777216", "16777217", "1e39", "-2.25", "\"0.75\"", ""}));
  EXPECT_EQ(narrow->schema()->field(0)->type()->id(), arrow::Type::FLOAT);
  EXPECT_EQ(Values<arrow::FloatType>(*narrow),
            (std::vector<optional<float>>{0.5f, nullopt, 16777216.0f, nullopt, nullopt, -2.25f, 0.75f, 0.0f}));
  auto with_default = ExtractOne(Float(32, 9.5), RecordsOf({"0.1", "true"}));
  EXPECT_EQ(Values<arrow::FloatType>(*with_default), (std::vector<optional<float>>{9.5f, 1.0f}));
  auto wide = ExtractOne(Float(64), RecordsOf({"0.1", "1.7976931348623157e308", "-0.0", "\"nan\""}));
  EXPECT_EQ(Values<arrow::DoubleType>(*wide), (std::vector<optional<double>>{0.1, 1.7976931348623157e308, -0.0, nullopt}));
}

TEST(ExtractorTest, TemporalColumnsCountUnitsOfTheirResolution) {
  // Timestamps: integers are units already, doubles seconds, texts parsed exactly.
  auto milliseconds = ExtractOne(Timestamp("ms"), RecordsOf({"5", "1.5", "\"1970-01-02T00:00:01.25Z\"", "true", "",
                                                             "\"not a time\"", "\"1969-12-31T23:59:59.5Z\""}));
  EXPECT_EQ(Values<arrow::Int64Type>(*milliseconds),
            (std::vector<optional<int64_t>>{5, 1500, 86401250, nullopt, nullopt, nullopt, -500}));
  auto nanoseconds = ExtractOne(Timestamp("ns", "2000-01-01T00:00:00Z"),
                                RecordsOf({"\"2024-03-01T12:34:56.123457Z\"", "\"9999-12-31T00:00:00Z\"", "false"}));
  EXPECT_EQ(Values<arrow::Int64Type>(*nanoseconds),
            (std::vector<optional<int64_t>>{1709296496123457000, 946684800000000000, 946684800000000000}));

  // Times: int32 for s and ms, int64 for us and ns; texts exact to the microsecond.
  EXPECT_EQ(ExtractOne(Temporal<TimeExtractor>("s"), RecordsOf({"1"}))->schema()->field(0)->type()->id(),
            arrow::Type::INT32);
  EXPECT_EQ(ExtractOne(Temporal<TimeExtractor>("ms"), RecordsOf({"1"}))->schema()->field(0)->type()->id(),
            arrow::Type::INT32);
  auto micro = ExtractOne(Temporal<TimeExtractor>("us"),
                          RecordsOf({"\"00:00:00.123456\"", "\"12:00:00\"", "\"23:59:59.999999\"", "0.5",
                                     "\"00:00:00.000249\""}));
  EXPECT_EQ(micro->schema()->field(0)->type()->id(), arrow::Type::INT64);
  EXPECT_EQ(Values<arrow::Int64Type>(*micro),
            (std::vector<optional<int64_t>>{123456, 43200000000, 86399999999, 500000, 249}));
  // A value the int32 column cannot hold takes the fallback rather than wrapping.
  auto seconds = ExtractOne(Temporal<TimeExtractor>("s", "01:00"),
                            RecordsOf({"\"12:30:15.9\"", "5000000000", "-1", "\"25:00\"", ""}));
  EXPECT_EQ(Values<arrow::Int32Type>(*seconds), (std::vector<optional<int32_t>>{45015, 3600, -1, 3600, 3600}));

  // Dates: milliseconds (a double counts seconds) or whole days (a double counts days).
  auto date_ms = ExtractOne(Temporal<DateExtractor>("ms"), RecordsOf({"\"1970-01-02\"", "1.5", "7", "\"1969-12-31\""}));
  EXPECT_EQ(Values<arrow::Int64Type>(*date_ms), (std::vector<optional<int64_t>>{86400000, 1500, 7, -86400000}));
  auto days = ExtractOne(Temporal<DateExtractor>("d", "2000-01-01"),
                         RecordsOf({"\"1970-01-11\"", "5", "3.9", "\"1969-12-31\"", "\"2024-02-29\"", "", "\"bad\""}));
  EXPECT_EQ(days->schema()->field(0)->type()->id(), arrow::Type::INT64);
  EXPECT_EQ(Values<arrow::Int64Type>(*days), (std::vector<optional<int64_t>>{10, 5, 3, -1, 19782, 10957, 10957}));

  // Durations.
  auto duration = ExtractOne(Temporal<DurationExtractor>("ms"),
                             RecordsOf({"\"PT1M\"", "\"P1D\"", "\"PT0.5S\"", "2.5", "\"P1W\"", "\"-P1D\""}));
  EXPECT_EQ(Values<arrow::Int64Type>(*duration),
            (std::vector<optional<int64_t>>{60000, 86400000, 500, 2500, 604800000, nullopt}));

  // A default text that does not parse fails the extraction with the parser's message;
  // one outside the column's range is refused too.
  EXPECT_EQ(ErrorOf([] { ExtractOne(Temporal<DateExtractor>("d", "2000-13-45"), RecordsOf({"1"})); }),
            "Invalid date string");
  EXPECT_EQ(ErrorOf([] { ExtractOne(Timestamp("s", "2020-01-01Tnoon"), RecordsOf({"1"})); }), "Invalid timestamp string");
  EXPECT_EQ(ErrorOf([] { ExtractOne(Temporal<TimeExtractor>("s", "noon"), RecordsOf({"1"})); }), "Invalid time string");
  EXPECT_EQ(ErrorOf([] { ExtractOne(Temporal<DurationExtractor>("s", "P1Q"), RecordsOf({"1"})); }),
            "Duration format error");
  EXPECT_EQ(ErrorOf([] { ExtractOne(Timestamp("ns", "9999-01-01T00:00:00Z"), RecordsOf({"1"})); }),
            "Default value does not fit the column");
}

TEST(ExtractorTest, RawColumnsTakeTheTypeOfTheFirstClassifiableValue) {
  auto doubles = ExtractOne(std::make_shared<RawExtractor>("/v"), RecordsOf({"1.5", "2", "true", "\"x\"", ""}));
  EXPECT_EQ(doubles->schema()->field(0)->type()->id(), arrow::Type::DOUBLE);
  EXPECT_EQ(Values<arrow::DoubleType>(*doubles), (std::vector<optional<double>>{1.5, 2.0, 1.0, nullopt, 0.0}));

  // Leading records without a usable value get the missing-value slot of the type the
  // first usable value decides.
  auto texts = ExtractOne(std::make_shared<RawExtractor>("/v"),
                          RecordsOf({"", "99999999999999999999", "\"a\"", "4", ""}));
  EXPECT_EQ(Texts(*texts), (std::vector<optional<std::string>>{"null", "null", "a", "4", "null"}));
  auto integers = ExtractOne(std::make_shared<RawExtractor>("/v"), RecordsOf({"", "3", "false"}));
  EXPECT_EQ(Values<arrow::Int64Type>(*integers), (std::vector<optional<int64_t>>{0, 3, 0}));
  auto bools = ExtractOne(std::make_shared<RawExtractor>("/v"), RecordsOf({"false", "1", "\"\""}));
  EXPECT_EQ(Bools(*bools), (std::vector<optional<bool>>{false, true, true}));

  EXPECT_EQ(ErrorOf([] { ExtractOne(std::make_shared<RawExtractor>("/v"), RecordsOf({"", "", ""})); }),
            "Type does not match a GenericValue::Type");
  for (const char* non_scalar : {"null", "[1]", "{\"a\": 1}"}) {
    EXPECT_EQ(ErrorOf([&] { ExtractOne(std::make_shared<RawExtractor>("/v"), RecordsOf({"1", non_scalar})); }),
              "The field does not contain a scalar type");
    EXPECT_EQ(ErrorOf([&] { ExtractOne(Int(true, 64), RecordsOf({non_scalar})); }),
              "The field does not contain a scalar type");
  }
}

TEST(ExtractorTest, AssemblyLooksUpPathsAndKeepsOneRowPerAddress) {
  const std::vector<std::string> lines = {
      R"({"a": {"b": 1, "c~d": "x"}, "list": [10, 20, 30], "s/t": "q\"uote\n", "n": 1})",
      R"({"list": [5], "a": {"b": -2}, "other": true})",
      R"(  {"a": 3, "s/t": "\u00e9t\u00e9", "n": 2.5}  )",
  };
  Columns columns = {{"b", std::make_shared<RawExtractor>("/a/b")},
                     {"escaped key", std::make_shared<StringExtractor>("/a/c~0d", nullopt)},
                     {"second", std::make_shared<IntExtractor>("/list/1", true, 16, nullopt, nullopt, nullopt)},
                     {"slash", std::make_shared<StringExtractor>("/s~1t", nullopt)},
                     {"no slash", std::make_shared<StringExtractor>("n", nullopt)},
                     {"same field twice", std::make_shared<RawExtractor>("/n")},
                     {"again", std::make_shared<StringExtractor>("/n", nullopt)}};
  auto table = Extract(columns, lines);
  ASSERT_EQ(table->num_rows(), 3);
  ASSERT_EQ(table->num_columns(), 7);
  std::vector<std::string> names;
  for (const auto& field : table->schema()->fields()) {
    names.push_back(field->name());
    EXPECT_TRUE(field->nullable());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"b", "escaped key", "second", "slash", "no slash", "same field twice",
                                             "again"}));
  EXPECT_EQ(Values<arrow::Int64Type>(*table, 0), (std::vector<optional<int64_t>>{1, -2, 0}));
  EXPECT_EQ(Texts(*table, 1), (std::vector<optional<std::string>>{"x", "null", "null"}));
  EXPECT_EQ(Values<arrow::Int16Type>(*table, 2), (std::vector<optional<int16_t>>{20, 0, 0}));
  // JSON escapes are decoded: the column holds the text the record means.
  EXPECT_EQ(Texts(*table, 3), (std::vector<optional<std::string>>{"q\"uote\n", "null", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(Texts(*table, 4), (std::vector<optional<std::string>>{"null", "null", "null"}));
  EXPECT_EQ(Values<arrow::Int64Type>(*table, 5), (std::vector<optional<int64_t>>{1, 0, 2}));
  EXPECT_EQ(Texts(*table, 6), (std::vector<optional<std::string>>{"1", "null", "2.500000"}));

  // Without columns the table still has one row per address.
  InMemoryRecords records(lines);
  EXPECT_EQ(AssembleTable(RecordExtractor({}), records.Addresses(), records)->num_rows(), 3);
  // Only a record extractor describes a table.
  EXPECT_THROW(AssembleTable(*Int(true, 8), records.Addresses(), records), std::invalid_argument);
  // An address without a record, and a record that is not JSON, fail with the address.
  std::vector<uint64_t> addresses = records.Addresses();
  addresses.push_back(999999);
  EXPECT_EQ(ErrorOf([&] { AssembleTable(RecordExtractor(columns), addresses, records); }),
            "Cannot read the record at address 999999: NotFound");
  records.Add(5000, "{\"a\": ");
  EXPECT_NE(ErrorOf([&] { AssembleTable(RecordExtractor(columns), records.Addresses(), records); })
                .find("Cannot read the record at address 5000"),
            std::string::npos);
}

// Random nested records with repeated keys, numeric keys and arrays: reading all paths
// in one pass over each record finds exactly what looking each path up separately finds.
TEST(ExtractorTest, OnePassLookupAgreesWithPathByPathLookup) {
  std::mt19937_64 random(20261208);
  const std::vector<std::string> keys = {"a", "b", "1", "0", "~", "a/b"};
  std::function<std::string(int)> make_value = [&](int depth) -> std::string {
    switch (random() % (depth > 2 ? 3 : 5)) {
      case 0:
        return std::to_string(static_cast<int64_t>(random() % 2000) - 1000);
      case 1:
        return random() % 4 ? "\"s" + std::to_string(random() % 100) + "\"" : "\"e\\\"\\n\"";
      case 2:
        return random() % 2 ? "true" : "1.25";
      case 3: {
        std::string object = "{";
        for (int i = 0, n = static_cast<int>(random() % 4); i < n; ++i) {
          object += (i ? ", \"" : "\"") + keys[random() % keys.size()] + "\": " + make_value(depth + 1);
        }
        return object + "}";
      }
      default: {
        std::string array = "[";
        for (int i = 0, n = static_cast<int>(random() % 4); i < n; ++i) array += (i ? ", " : "") + make_value(depth + 1);
        return array + "]";
      }
    }
  };
  const std::vector<std::string> paths = {"/a", "/b", "/a/b", "/1", "/a/0", "/b/1/a", "/~0", "/a~1b", "/0",
                                          "/a/a/a", "/b/0", "/1/1", "/a/b/1", "x"};
  // A key with a quote is looked up path by path, and so is every other column then.
  const auto quoted = std::make_shared<StringExtractor>("/\"q", nullopt);

  int compared_rows = 0, found_in_arrays = 0;
  for (int record = 0; record < 2000; ++record) {
    std::string line = make_value(1);
    if (line[0] != '{') line = "{\"a\": " + line + ", \"a\": {\"b\": 1}}";
    // Each path alone, then pairs where one path continues the other.
    std::vector<std::vector<std::string>> path_sets;
    for (const std::string& path : paths) path_sets.push_back({path});
    for (const char* prefix : {"/a", "/b", "/1"}) {
      for (const std::string& path : paths) {
        if (path.size() > 2 && path.rfind(std::string(prefix) + "/", 0) == 0) path_sets.push_back({prefix, path});
      }
    }
    for (const auto& path_set : path_sets) {
      Columns columns;
      for (const std::string& path : path_set) columns.push_back({path, std::make_shared<StringExtractor>(path, nullopt)});
      Columns with_quote = columns;
      with_quote.push_back({"q", quoted});
      std::shared_ptr<arrow::Table> one, other;
      const std::string one_error = ErrorOf([&] { one = Extract(columns, {line}); });
      const std::string other_error = ErrorOf([&] { other = Extract(with_quote, {line}); });
      ASSERT_EQ(one_error, other_error) << line << " " << path_set.back();
      if (one_error != "no error") continue;
      for (int column = 0; column < static_cast<int>(path_set.size()); ++column) {
        ASSERT_EQ(Texts(*one, column), Texts(*other, column)) << line << " " << path_set[column];
      }
      ++compared_rows;
      const std::string& path = path_set.back();
      if (Texts(*one)[0] != "null" && (path == "/a/0" || path == "/b/0" || path == "/1/1")) ++found_in_arrays;
    }
  }
  EXPECT_GT(found_in_arrays, 100);
  EXPECT_GT(compared_rows, 500);
}

TEST(ExtractorTest, BitmapAddressesAcrossManyChunksGiveAscendingRows) {
  // More addresses than one read chunk, inserted out of order into the bitmap.
  constexpr int kRecords = 10000;
  InMemoryRecords records({});
  quillmark::storage::Bitmap addresses;
  for (int i = kRecords - 1; i >= 0; --i) {
    const uint64_t address = (uint64_t{1} << 40) * (i % 3) + 8 * static_cast<uint64_t>(i);
    records.Add(address, "{\"address\": " + std::to_string(address) + ", \"i\": \"" + std::to_string(i) + "\"}");
    addresses.Add(address);
  }
  RecordExtractor extractor({{"address", std::make_shared<IntExtractor>("/address", false, 64, nullopt, nullopt,
                                                                          nullopt)},
                               {"i", std::make_shared<RawExtractor>("/i")}});
  auto table = AssembleTable(extractor, addresses, records);
  ASSERT_EQ(table->num_rows(), kRecords);
  auto got = Values<arrow::UInt64Type>(*table, 0);
  std::vector<uint64_t> expected(kRecords);
  addresses.CopyTo(expected.data());
  for (int row = 0; row < kRecords; ++row) ASSERT_EQ(got[row], optional(expected[row])) << row;

  // No addresses: an empty table, the Raw column without a type of its own.
  auto empty = AssembleTable(extractor, quillmark::storage::Bitmap(), records);
  EXPECT_EQ(empty->num_rows(), 0);
  EXPECT_EQ(empty->schema()->field(1)->type()->id(), arrow::Type::NA);
}

// Extractors are shared, immutable objects: extractions on several threads at once over
// the same extractor give identical tables.
TEST(ExtractorTest, ConcurrentExtractionsShareExtractors) {
  std::vector<std::string> lines;
  for (int i = 0; i < 2000; ++i) {
    lines.push_back("{\"i\": " + std::to_string(i) + ", \"t\": \"00:00:0" + std::to_string(i % 10) +
                    "\", \"s\": \"" + std::to_string(i * 20) + "\"}");
  }
  auto extractor = std::make_shared<RecordExtractor>(Columns{
      {"i", std::make_shared<RawExtractor>("/i")},
      {"t", std::make_shared<TimeExtractor>("/t", "ms", "00:00:01", nullopt, nullopt)},
      {"s", std::make_shared<IntExtractor>("/s", true, 16, -1, nullopt, "C")},
  });
  InMemoryRecords reference_records(lines);
  auto reference = AssembleTable(*extractor, reference_records.Addresses(), reference_records);
  // Comparing with the shared reference computes its schema's fingerprint once, lazily:
  // Arrow publishes it through an atomic inside libarrow, which ThreadSanitizer does not
  // see, so it reports the readers of the string. Computed here, before the threads.
  reference->schema()->fingerprint();
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      InMemoryRecords records(lines);
      for (int round = 0; round < 5; ++round) {
        auto table = AssembleTable(*extractor, records.Addresses(), records);
        if (!table->Equals(*reference)) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(Values<arrow::Int32Type>(*reference, 1)[3], optional<int32_t>(3000));
  EXPECT_EQ(Values<arrow::Int16Type>(*reference, 2)[1638], optional<int16_t>(32760));
  EXPECT_EQ(Values<arrow::Int16Type>(*reference, 2)[1639], optional<int16_t>(-1));
}

// A table with every column kind, used by the round trip below and, when
// QUILLMARK_EXTRACTION_DUMP names a file, written there for the Python reader test.
std::shared_ptr<arrow::Table> EveryKindTable() {
  Columns columns = {
      {"raw", std::make_shared<RawExtractor>("/raw")},
      {"bool", std::make_shared<BoolExtractor>("/bool")},
      {"string", std::make_shared<StringExtractor>("/string", nullopt)},
      {"i8", std::make_shared<IntExtractor>("/int", true, 8, -1, nullopt, nullopt)},
      {"u16", std::make_shared<IntExtractor>("/int", false, 16, nullopt, nullopt, nullopt)},
      {"i32", std::make_shared<IntExtractor>("/int", true, 32, nullopt, nullopt, nullopt)},
      {"u64", std::make_shared<IntExtractor>("/int", false, 64, nullopt, nullopt, nullopt)},
      {"f32", std::make_shared<FloatExtractor>("/real", 32, nullopt, nullopt, nullopt)},
      {"f64", std::make_shared<FloatExtractor>("/real", 64, 0.25, nullopt, nullopt)},
      {"timestamp_us", std::make_shared<TimestampExtractor>("/when", "us", nullopt, nullopt, nullopt, nullopt)},
      {"time_ms", std::make_shared<TimeExtractor>("/time", "ms", nullopt, nullopt, nullopt)},
      {"date_d", std::make_shared<DateExtractor>("/day", "d", "2000-01-01", nullopt, nullopt)},
      {"duration_s", std::make_shared<DurationExtractor>("/took", "s", nullopt, nullopt, nullopt)},
  };
  return Extract(columns, {
      R"({"raw": 1, "bool": "yes", "string": "a", "int": 200, "real": 0.5, "when": "2020-01-01T00:00:00.000001Z", "time": "01:00:00", "day": "2020-01-01", "took": "PT1H"})",
      R"({"raw": 2.5, "bool": false, "string": 7, "int": -3, "real": 0.1, "when": 1.5, "time": 1000, "took": 90})",
      R"({})",
  });
}

TEST(ExtractorTest, Base64StreamReadsBackAsTheSameTable) {
  auto table = EveryKindTable();
  ASSERT_EQ(table->num_rows(), 3);
  const std::string text = SerializeTableAsBase64(*table);
  EXPECT_EQ(text.size() % 4, 0u);
  auto read = ReadBase64Stream(text);
  EXPECT_TRUE(read->schema()->Equals(*table->schema()));
  EXPECT_TRUE(read->Equals(*table));
  EXPECT_EQ(Values<arrow::Int8Type>(*read, 3), (std::vector<optional<int8_t>>{-1, -3, 0}));
  EXPECT_EQ(Values<arrow::UInt64Type>(*read, 6), (std::vector<optional<uint64_t>>{200, nullopt, 0}));
  EXPECT_EQ(Values<arrow::Int64Type>(*read, 9), (std::vector<optional<int64_t>>{1577836800000001, 1500000, nullopt}));
  EXPECT_EQ(Values<arrow::Int64Type>(*read, 11), (std::vector<optional<int64_t>>{18262, 10957, 10957}));

  // The Base64 text equals Arrow's own encoding of the stream, whatever the stream's
  // length modulo 3 (the padding cases).
  std::set<size_t> tails;
  for (int rows = 0; rows < 40; ++rows) {
    arrow::Int8Builder builder;
    for (int i = 0; i < rows; ++i) ASSERT_TRUE(builder.Append(static_cast<int8_t>(i * 37)).ok());
    std::shared_ptr<arrow::Array> array;
    ASSERT_TRUE(builder.Finish(&array).ok());
    auto small = arrow::Table::Make(arrow::schema({arrow::field("column with a longer name", arrow::int8())}),
                                    {array});
    auto stream = ValueOrThrow(arrow::io::BufferOutputStream::Create(4096));
    auto writer = ValueOrThrow(arrow::ipc::MakeStreamWriter(stream, small->schema()));
    ASSERT_TRUE(writer->WriteTable(*small).ok());
    ASSERT_TRUE(writer->Close().ok());
    auto buffer = ValueOrThrow(stream->Finish());
    const std::string encoded = SerializeTableAsBase64(*small);
    EXPECT_EQ(encoded, arrow::util::base64_encode(std::string_view(reinterpret_cast<const char*>(buffer->data()),
                                                                    static_cast<size_t>(buffer->size()))));
    EXPECT_TRUE(ReadBase64Stream(encoded)->Equals(*small));
    tails.insert(static_cast<size_t>(buffer->size()) % 3);
  }
  EXPECT_EQ(tails.size(), 3u);

  if (const char* path = std::getenv("QUILLMARK_EXTRACTION_DUMP")) {
    std::ofstream(path) << text;
  }
}

}  // namespace
}  // namespace data
}  // namespace recorder
