#include "values/column_array.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <locale>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "values/calendar.h"
#include "values/temporal_parsing.h"
#include "values/value_conversion.h"

namespace recorder {
namespace data {
namespace private_data {

namespace {

// A text is true when it is a prefix (possibly empty) of one of these words.
bool IsPrefixOfTrueWord(std::string_view text) {
  static constexpr std::string_view kTrueWords[] = {"true", "yes", "y", "True", "Y"};
  for (std::string_view word : kTrueWords) {
    if (text.size() <= word.size() && word.compare(0, text.size(), text) == 0) return true;
  }
  return false;
}

std::optional<std::locale> MakeLocale(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  try {
    return std::locale(name->c_str());
  } catch (const std::runtime_error&) {
    throw std::runtime_error("bad locale name");
  }
}

template <typename Builder>
class BuilderArray : public ArrayFactory {
 public:
  BuilderArray(std::shared_ptr<const Extractor> extractor, const char* append_error_message)
      : builder_(arrow::default_memory_pool()),
        extractor_{std::move(extractor)},
        append_error_message_{append_error_message} {}

  void finish(std::shared_ptr<arrow::Array>* out) override {
    if (!append_error_.ok()) {
      throw std::runtime_error(std::string(append_error_message_) + ": " + append_error_.ToString());
    }
    if (!builder_.Finish(out).ok()) throw std::runtime_error("Error finishing array");
  }

  void reset() override {
    builder_.Reset();
    append_error_ = arrow::Status::OK();
  }

  void reserve(int64_t rows) override { (void)builder_.Reserve(rows); }

  // Columns without a default take a null.
  void append_fallback() noexcept override { Check(builder_.AppendNull()); }

 protected:
  // Keeps the first refused append for finish().
  void Check(const arrow::Status& status) noexcept {
    if (!status.ok() && append_error_.ok()) append_error_ = status;
  }

  Builder builder_;
  std::shared_ptr<const Extractor> extractor_;

 private:
  const char* append_error_message_;
  arrow::Status append_error_;
};

class BoolArray final : public BuilderArray<arrow::BooleanBuilder> {
 public:
  explicit BoolArray(std::shared_ptr<const Extractor> extractor)
      : BuilderArray(std::move(extractor), "Error appending bool value to column") {}

  void append(const GenericValue& value) noexcept override {
    bool result = false;
    switch (value.type()) {
      case GenericValue::Type::Bool:
        result = value.bool_unchecked();
        break;
      case GenericValue::Type::Int64:
        result = value.int64_unchecked() != 0;
        break;
      case GenericValue::Type::Double:
        result = value.double_unchecked() != 0.0;  // NaN is not zero, so true
        break;
      case GenericValue::Type::String:
        result = IsPrefixOfTrueWord({value.string_data_unchecked(), value.length()});
        break;
      case GenericValue::Type::Empty:
        break;
    }
    Check(builder_.Append(result));
  }
};

class StringArray final : public BuilderArray<arrow::StringBuilder> {
 public:
  explicit StringArray(std::shared_ptr<const Extractor> extractor)
      : BuilderArray(std::move(extractor), "Error appending text value to column") {}

  void append(const GenericValue& value) noexcept override {
    if (value.type() == GenericValue::Type::String) {
      Check(builder_.Append(value.string_data_unchecked(), static_cast<int32_t>(value.length())));
      return;
    }
    try {
      ValueToText(value, &text_);
      Check(builder_.Append(text_));
    } catch (const std::bad_alloc&) {
      Check(arrow::Status::OutOfMemory("converting a value to text"));
    }
  }

 private:
  std::string text_;  // reused between appends
};

// True when `value` is held by Element unchanged.
template <typename Element>
bool FitsInteger(int64_t value) {
  if constexpr (std::is_signed_v<Element>) {
    return value >= std::numeric_limits<Element>::min() && value <= std::numeric_limits<Element>::max();
  } else {
    return value >= 0 && static_cast<uint64_t>(value) <= std::numeric_limits<Element>::max();
  }
}

template <typename ArrowType>
class IntArray final : public BuilderArray<arrow::NumericBuilder<ArrowType>> {
  using Element = typename ArrowType::c_type;
  using Base = BuilderArray<arrow::NumericBuilder<ArrowType>>;

 public:
  explicit IntArray(std::shared_ptr<const Extractor> extractor)
      : Base(std::move(extractor), "Error appending integer value to column"),
        locale_{MakeLocale(this->extractor_->locale())} {
    if (auto* integer = dynamic_cast<const IntExtractor*>(this->extractor_.get())) {
      if (integer->default_value() && FitsInteger<Element>(*integer->default_value())) {
        default_ = static_cast<Element>(*integer->default_value());
      }
    }
  }

  void append(const GenericValue& value) noexcept override {
    const std::optional<int64_t> integer = ValueToInt64(value, locale_ ? &*locale_ : nullptr);
    if (integer && FitsInteger<Element>(*integer)) {
      this->Check(this->builder_.Append(static_cast<Element>(*integer)));
    } else {
      this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
    }
  }
  void append_fallback() noexcept override {
    this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
  }

 private:
  std::optional<std::locale> locale_;
  std::optional<Element> default_;
};

template <typename ArrowType>
class FloatArray final : public BuilderArray<arrow::NumericBuilder<ArrowType>> {
  using Element = typename ArrowType::c_type;
  using Base = BuilderArray<arrow::NumericBuilder<ArrowType>>;

 public:
  explicit FloatArray(std::shared_ptr<const Extractor> extractor)
      : Base(std::move(extractor), "Error appending floating point value to column"),
        locale_{MakeLocale(this->extractor_->locale())} {
    if (auto* real = dynamic_cast<const FloatExtractor*>(this->extractor_.get())) {
      if (real->default_value()) default_ = static_cast<Element>(*real->default_value());
    }
  }

  void append(const GenericValue& value) noexcept override {
    const std::optional<double> real = ValueToDouble(value, locale_ ? &*locale_ : nullptr);
    if (real && Representable(*real)) {
      this->Check(this->builder_.Append(static_cast<Element>(*real)));
    } else {
      this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
    }
  }
  void append_fallback() noexcept override {
    this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
  }

 private:
  // NaN never qualifies; a float column takes only doubles it holds exactly.
  static bool Representable(double real) {
    if constexpr (std::is_same_v<Element, float>) {
      return std::fabs(real) <= FLT_MAX && static_cast<double>(static_cast<float>(real)) == real;
    } else {
      return !std::isnan(real);
    }
  }

  std::optional<std::locale> locale_;
  std::optional<Element> default_;
};

// ---- Temporal columns.

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int64_t kTicksPerSecond = 10'000'000;  // ticks of 100 ns, as the date parser gives
constexpr int64_t kSecondsPerDay = 86'400;

// How one temporal column turns values into units. Text values are converted with exact
// integer arithmetic: total nanoseconds, then truncated toward zero to the resolution.
struct TemporalRule {
  ExtractorType kind;
  double units_per_second;        // for Double values of timestamps, times, durations
  int64_t nanoseconds_per_unit;   // for text values of timestamps, times, durations
  bool date_in_days;              // dates: whole days ("d") or milliseconds ("ms")
};

TemporalRule MakeTemporalRule(const TemporalExtractor& extractor) {
  TemporalRule rule{extractor.type(), UnitsPerSecond(extractor.resolution()), 0,
                    extractor.resolution() == "d"};
  if (rule.units_per_second > 0) {
    rule.nanoseconds_per_unit = kNanosecondsPerSecond / static_cast<int64_t>(rule.units_per_second);
  }
  return rule;
}

std::optional<int64_t> NarrowFromWide(__int128 value) {
  if (value < std::numeric_limits<int64_t>::min() || value > std::numeric_limits<int64_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int64_t>(value);
}

// The text of a temporal value in units. `error` receives the parser's error, if any;
// a text that parses but lies outside the 64-bit range gives no value and no error.
std::optional<int64_t> TemporalTextToUnits(const TemporalRule& rule, std::string_view text,
                                          TemporalError* error) {
  switch (rule.kind) {
    case ExtractorType::Timestamp: {
      TimestampFields fields;
      *error = try_parse_timestamp(text.data(), text.size(), &fields);
      if (*error != TemporalError::None) return std::nullopt;
      const __int128 nanoseconds = static_cast<__int128>(fields.ToUnixSeconds()) * kNanosecondsPerSecond +
                                   static_cast<__int128>(fields.microseconds) * 1000;
      return NarrowFromWide(nanoseconds / rule.nanoseconds_per_unit);
    }
    case ExtractorType::Time:
    case ExtractorType::Duration: {
      int64_t microseconds = 0;
      *error = rule.kind == ExtractorType::Time
                   ? try_parse_time_of_day(text.data(), text.size(), &microseconds)
                   : try_parse_duration(text.data(), text.size(), &microseconds);
      if (*error != TemporalError::None) return std::nullopt;
      return NarrowFromWide(static_cast<__int128>(microseconds) * 1000 / rule.nanoseconds_per_unit);
    }
    case ExtractorType::Date: {
      int64_t ticks = 0;
      *error = try_parse_date(text.data(), text.size(), &ticks);
      if (*error != TemporalError::None) return std::nullopt;
      const int64_t seconds = ticks / kTicksPerSecond;
      return rule.date_in_days ? seconds / kSecondsPerDay : seconds * 1000;
    }
    default:
      *error = TemporalError::None;
      return std::nullopt;
  }
}

std::optional<int64_t> TemporalValueToUnits(const TemporalRule& rule, const GenericValue& value) {
  switch (value.type()) {
    case GenericValue::Type::Int64:
      return value.int64_unchecked();  // already in units
    case GenericValue::Type::Double:
      if (rule.kind == ExtractorType::Date) {
        // A number of seconds for "ms", a number of days for "d".
        return TruncateToInt64(rule.date_in_days ? value.double_unchecked() : 1000.0 * value.double_unchecked());
      }
      return TruncateToInt64(value.double_unchecked() * rule.units_per_second);
    case GenericValue::Type::String: {
      TemporalError error;
      return TemporalTextToUnits(rule, {value.string_data_unchecked(), value.length()}, &error);
    }
    case GenericValue::Type::Bool:
    case GenericValue::Type::Empty:
      break;
  }
  return std::nullopt;
}

template <typename ArrowType>
class TemporalArray final : public BuilderArray<arrow::NumericBuilder<ArrowType>> {
  using Element = typename ArrowType::c_type;
  using Base = BuilderArray<arrow::NumericBuilder<ArrowType>>;

 public:
  explicit TemporalArray(std::shared_ptr<const Extractor> extractor)
      : Base(std::move(extractor), "Error appending temporal value to column"),
        rule_{MakeTemporalRule(static_cast<const TemporalExtractor&>(*this->extractor_))} {
    const auto& temporal = static_cast<const TemporalExtractor&>(*this->extractor_);
    if (!temporal.default_text()) return;
    TemporalError error = TemporalError::None;
    const std::optional<int64_t> units = TemporalTextToUnits(rule_, *temporal.default_text(), &error);
    if (error != TemporalError::None) ThrowTemporalError(error);
    if (!units || !FitsInteger<Element>(*units)) throw std::runtime_error("Default value does not fit the column");
    default_ = static_cast<Element>(*units);
  }

  void append(const GenericValue& value) noexcept override {
    const std::optional<int64_t> units = TemporalValueToUnits(rule_, value);
    if (units && FitsInteger<Element>(*units)) {
      this->Check(this->builder_.Append(static_cast<Element>(*units)));
    } else {
      this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
    }
  }
  void append_fallback() noexcept override {
    this->Check(default_ ? this->builder_.Append(*default_) : this->builder_.AppendNull());
  }

 private:
  TemporalRule rule_;
  std::optional<Element> default_;
};

bool TimeNeedsWideColumn(const Extractor& extractor) {
  const std::string& resolution = static_cast<const TemporalExtractor&>(extractor).resolution();
  return resolution == "ns" || resolution == "us";
}

bool DateNeedsNarrowColumn(const Extractor& extractor) {
  return static_cast<const TemporalExtractor&>(extractor).resolution() == "s";
}

template <template <typename> class Array>
std::unique_ptr<ArrayFactory> MakeIntegerArray(std::shared_ptr<const Extractor> extractor, bool is_signed,
                                               int width) {
  switch (width) {
    case 8:
      return is_signed ? std::unique_ptr<ArrayFactory>(new Array<arrow::Int8Type>(std::move(extractor)))
                       : std::unique_ptr<ArrayFactory>(new Array<arrow::UInt8Type>(std::move(extractor)));
    case 16:
      return is_signed ? std::unique_ptr<ArrayFactory>(new Array<arrow::Int16Type>(std::move(extractor)))
                       : std::unique_ptr<ArrayFactory>(new Array<arrow::UInt16Type>(std::move(extractor)));
    case 32:
      return is_signed ? std::unique_ptr<ArrayFactory>(new Array<arrow::Int32Type>(std::move(extractor)))
                       : std::unique_ptr<ArrayFactory>(new Array<arrow::UInt32Type>(std::move(extractor)));
    default:
      return is_signed ? std::unique_ptr<ArrayFactory>(new Array<arrow::Int64Type>(std::move(extractor)))
                       : std::unique_ptr<ArrayFactory>(new Array<arrow::UInt64Type>(std::move(extractor)));
  }
}

std::shared_ptr<arrow::DataType> IntegerType(bool is_signed, int width) {
  switch (width) {
    case 8:
      return is_signed ? arrow::int8() : arrow::uint8();
    case 16:
      return is_signed ? arrow::int16() : arrow::uint16();
    case 32:
      return is_signed ? arrow::int32() : arrow::uint32();
    default:
      return is_signed ? arrow::int64() : arrow::uint64();
  }
}

}  // namespace

std::shared_ptr<arrow::DataType> ColumnType(const Extractor& extractor) {
  switch (extractor.type()) {
    case ExtractorType::Raw:
    case ExtractorType::Record:
      return arrow::null();
    case ExtractorType::String:
      return arrow::utf8();
    case ExtractorType::Bool:
      return arrow::boolean();
    case ExtractorType::Int64: {
      const auto& integer = static_cast<const IntExtractor&>(extractor);
      return IntegerType(integer.is_signed(), integer.width());
    }
    case ExtractorType::Double:
      return static_cast<const FloatExtractor&>(extractor).width() == 32 ? arrow::float32() : arrow::float64();
    case ExtractorType::Time:
      return TimeNeedsWideColumn(extractor) ? arrow::int64() : arrow::int32();
    case ExtractorType::Date:
      return DateNeedsNarrowColumn(extractor) ? arrow::int32() : arrow::int64();
    case ExtractorType::Timestamp:
    case ExtractorType::Duration:
      return arrow::int64();
  }
  throw std::runtime_error("Type does not match a GenericValue::Type");
}

std::unique_ptr<ArrayFactory> CreateArray(std::shared_ptr<const Extractor> extractor,
                                          const std::shared_ptr<arrow::DataType>& inferred) {
  switch (extractor->type()) {
    case ExtractorType::String:
      return std::make_unique<StringArray>(std::move(extractor));
    case ExtractorType::Bool:
      return std::make_unique<BoolArray>(std::move(extractor));
    case ExtractorType::Int64: {
      const auto& integer = static_cast<const IntExtractor&>(*extractor);
      return MakeIntegerArray<IntArray>(extractor, integer.is_signed(), integer.width());
    }
    case ExtractorType::Double:
      if (static_cast<const FloatExtractor&>(*extractor).width() == 32) {
        return std::make_unique<FloatArray<arrow::FloatType>>(std::move(extractor));
      }
      return std::make_unique<FloatArray<arrow::DoubleType>>(std::move(extractor));
    case ExtractorType::Time:
      if (TimeNeedsWideColumn(*extractor)) return std::make_unique<TemporalArray<arrow::Int64Type>>(std::move(extractor));
      return std::make_unique<TemporalArray<arrow::Int32Type>>(std::move(extractor));
    case ExtractorType::Date:
      if (DateNeedsNarrowColumn(*extractor)) return std::make_unique<TemporalArray<arrow::Int32Type>>(std::move(extractor));
      return std::make_unique<TemporalArray<arrow::Int64Type>>(std::move(extractor));
    case ExtractorType::Timestamp:
    case ExtractorType::Duration:
      return std::make_unique<TemporalArray<arrow::Int64Type>>(std::move(extractor));
    case ExtractorType::Raw:
    case ExtractorType::Record:
      break;
  }
  switch (inferred ? inferred->id() : arrow::Type::NA) {
    case arrow::Type::BOOL:
      return std::make_unique<BoolArray>(std::move(extractor));
    case arrow::Type::INT64:
      return std::make_unique<IntArray<arrow::Int64Type>>(std::move(extractor));
    case arrow::Type::DOUBLE:
      return std::make_unique<FloatArray<arrow::DoubleType>>(std::move(extractor));
    case arrow::Type::STRING:
      return std::make_unique<StringArray>(std::move(extractor));
    default:
      throw std::runtime_error("Type does not match a GenericValue::Type");
  }
}

}  // namespace private_data
}  // namespace data
}  // namespace recorder
