// Extractors: descriptions of the output columns of an extraction.
//
// An extractor names a JSON field of the records (a JSON Pointer such as "/price") and
// says how its values become one typed column. The kinds are subclasses of Extractor;
// a RecordExtractor holds the ordered (column name, extractor) pairs of one table.
// Extractors are immutable after construction and shared (std::shared_ptr) between
// Python and running extractions. Every constructor validates its arguments and throws
// std::runtime_error with a fixed message when they are refused, so no invalid
// extractor ever exists.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "values/extractor_type.h"

namespace recorder {
namespace data {

class Extractor {
 public:
  virtual ~Extractor() = default;

  ExtractorType type() const { return type_; }
  const std::string& field() const { return field_; }
  const std::optional<std::string>& aux_text() const { return aux_text_; }
  // Locale name used when a text value is read as a number.
  const std::optional<std::string>& locale() const { return locale_; }

 protected:
  Extractor(ExtractorType type, std::string field, std::optional<std::string> aux_text,
            std::optional<std::string> locale)
      : type_{type}, field_{std::move(field)}, aux_text_{std::move(aux_text)}, locale_{std::move(locale)} {}

 private:
  ExtractorType type_;
  std::string field_;
  std::optional<std::string> aux_text_;
  std::optional<std::string> locale_;
};

// The column takes the type of the values it meets (bool, int64, double or utf8).
class RawExtractor final : public Extractor {
 public:
  explicit RawExtractor(std::string field) : Extractor(ExtractorType::Raw, std::move(field), {}, {}) {}
};

class BoolExtractor final : public Extractor {
 public:
  explicit BoolExtractor(std::string field) : Extractor(ExtractorType::Bool, std::move(field), {}, {}) {}
};

class StringExtractor final : public Extractor {
 public:
  StringExtractor(std::string field, std::optional<std::string> locale)
      : Extractor(ExtractorType::String, std::move(field), {}, std::move(locale)) {}
};

// Integer column of 8, 16, 32 or 64 bits, signed or unsigned. Refuses any other width
// ("Invalid width specification for an integer"), a default that the column cannot
// hold ("Default value does not fit the integer column") and a locale name the system
// does not know ("bad locale name").
class IntExtractor final : public Extractor {
 public:
  IntExtractor(std::string field, bool is_signed, int width, std::optional<int64_t> default_value,
               std::optional<std::string> aux_text, std::optional<std::string> locale);

  bool is_signed() const { return is_signed_; }
  uint8_t width() const { return width_; }
  const std::optional<int64_t>& default_value() const { return default_value_; }

 private:
  bool is_signed_;
  uint8_t width_;
  std::optional<int64_t> default_value_;
};

// Float column of 32 or 64 bits ("Invalid width specification for a floating point
// value" otherwise; 16 is refused); unknown locale names are refused as for integers.
class FloatExtractor final : public Extractor {
 public:
  FloatExtractor(std::string field, int width, std::optional<double> default_value,
                 std::optional<std::string> aux_text, std::optional<std::string> locale);

  uint8_t width() const { return width_; }
  const std::optional<double>& default_value() const { return default_value_; }

 private:
  uint8_t width_;
  std::optional<double> default_value_;
};

// Common part of the four temporal kinds: a resolution and an optional default text,
// parsed by the column when an extraction starts.
class TemporalExtractor : public Extractor {
 public:
  const std::string& resolution() const { return resolution_; }
  const std::optional<std::string>& default_text() const { return default_text_; }

 protected:
  // Throws "Invalid time resolution specification" unless `resolution` is one of
  // `accepted` (a list of names ending in nullptr).
  TemporalExtractor(ExtractorType type, std::string field, std::string resolution,
                    std::optional<std::string> default_text, std::optional<std::string> aux_text,
                    std::optional<std::string> locale, const char* const* accepted);

 private:
  std::string resolution_;
  std::optional<std::string> default_text_;
};

// Units since 1970-01-01T00:00:00 UTC; resolution "s", "ms", "us" or "ns".
class TimestampExtractor final : public TemporalExtractor {
 public:
  TimestampExtractor(std::string field, std::string resolution, std::optional<std::string> aux_text_2,
                     std::optional<std::string> default_text, std::optional<std::string> aux_text,
                     std::optional<std::string> locale);

  const std::optional<std::string>& aux_text_2() const { return aux_text_2_; }

 private:
  std::optional<std::string> aux_text_2_;
};

// Units since midnight; resolution "s", "ms", "us" or "ns".
class TimeExtractor final : public TemporalExtractor {
 public:
  TimeExtractor(std::string field, std::string resolution, std::optional<std::string> default_text,
                std::optional<std::string> aux_text, std::optional<std::string> locale);
};

// Whole days ("d") or milliseconds ("ms") since 1970-01-01 at midnight UTC.
class DateExtractor final : public TemporalExtractor {
 public:
  DateExtractor(std::string field, std::string resolution, std::optional<std::string> default_text,
                std::optional<std::string> aux_text, std::optional<std::string> locale);
};

// A length of time in units; resolution "s", "ms", "us" or "ns".
class DurationExtractor final : public TemporalExtractor {
 public:
  DurationExtractor(std::string field, std::string resolution, std::optional<std::string> default_text,
                    std::optional<std::string> aux_text, std::optional<std::string> locale);
};

// The columns of one output table, in order. A nested RecordExtractor is refused
// ("A record extractor cannot be a column; give its columns directly"), as is a null
// extractor ("Column extractor is missing"): the table is flat.
class RecordExtractor final : public Extractor {
 public:
  using Column = std::pair<std::string, std::shared_ptr<Extractor>>;

  explicit RecordExtractor(std::vector<Column> columns);

  const std::vector<Column>& columns() const { return columns_; }

 private:
  std::vector<Column> columns_;
};

// Units per second of a timestamp, time or duration resolution ("ns" 1e9, "us" 1e6,
// "ms" 1e3, "s" 1); 0 for any other name.
double UnitsPerSecond(const std::string& resolution);

}  // namespace data
}  // namespace recorder
