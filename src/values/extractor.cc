#include "values/extractor.h"

#include <locale>
#include <stdexcept>

namespace recorder {
namespace data {

namespace {

// The standard library reports an unknown name with an implementation-specific text;
// callers see one fixed message.
void CheckLocaleName(const std::optional<std::string>& locale) {
  if (!locale) return;
  // The name goes to the C library, which would stop at a NUL and use another locale.
  if (locale->find('\0') != std::string::npos) throw std::runtime_error("bad locale name");
  try {
    std::locale probe(locale->c_str());
  } catch (const std::runtime_error&) {
    throw std::runtime_error("bad locale name");
  }
}

bool DefaultFitsInteger(int64_t value, bool is_signed, int width) {
  if (!is_signed && value < 0) return false;
  if (width == 64) return true;
  if (is_signed) {
    const int64_t limit = int64_t{1} << (width - 1);
    return value >= -limit && value < limit;
  }
  return value < (int64_t{1} << width);
}

constexpr const char* kClockResolutions[] = {"s", "ms", "us", "ns", nullptr};
constexpr const char* kDateResolutions[] = {"d", "ms", nullptr};

}  // namespace

IntExtractor::IntExtractor(std::string field, bool is_signed, int width, std::optional<int64_t> default_value,
                           std::optional<std::string> aux_text, std::optional<std::string> locale)
    : Extractor(ExtractorType::Int64, std::move(field), std::move(aux_text), std::move(locale)),
      is_signed_{is_signed},
      width_{static_cast<uint8_t>(width)},
      default_value_{default_value} {
  if (width != 8 && width != 16 && width != 32 && width != 64) {
    throw std::runtime_error("Invalid width specification for an integer");
  }
  if (default_value && !DefaultFitsInteger(*default_value, is_signed, width)) {
    throw std::runtime_error("Default value does not fit the integer column");
  }
  CheckLocaleName(this->locale());
}

FloatExtractor::FloatExtractor(std::string field, int width, std::optional<double> default_value,
                               std::optional<std::string> aux_text, std::optional<std::string> locale)
    : Extractor(ExtractorType::Double, std::move(field), std::move(aux_text), std::move(locale)),
      width_{static_cast<uint8_t>(width)},
      default_value_{default_value} {
  if (width != 32 && width != 64) {
    throw std::runtime_error("Invalid width specification for a floating point value");
  }
  CheckLocaleName(this->locale());
}

TemporalExtractor::TemporalExtractor(ExtractorType type, std::string field, std::string resolution,
                                     std::optional<std::string> default_text,
                                     std::optional<std::string> aux_text, std::optional<std::string> locale,
                                     const char* const* accepted)
    : Extractor(type, std::move(field), std::move(aux_text), std::move(locale)),
      resolution_{std::move(resolution)},
      default_text_{std::move(default_text)} {
  for (; *accepted != nullptr; ++accepted) {
    if (resolution_ == *accepted) return;
  }
  throw std::runtime_error("Invalid time resolution specification");
}

TimestampExtractor::TimestampExtractor(std::string field, std::string resolution,
                                       std::optional<std::string> aux_text_2,
                                       std::optional<std::string> default_text,
                                       std::optional<std::string> aux_text, std::optional<std::string> locale)
    : TemporalExtractor(ExtractorType::Timestamp, std::move(field), std::move(resolution),
                        std::move(default_text), std::move(aux_text), std::move(locale), kClockResolutions),
      aux_text_2_{std::move(aux_text_2)} {}

TimeExtractor::TimeExtractor(std::string field, std::string resolution, std::optional<std::string> default_text,
                             std::optional<std::string> aux_text, std::optional<std::string> locale)
    : TemporalExtractor(ExtractorType::Time, std::move(field), std::move(resolution), std::move(default_text),
                        std::move(aux_text), std::move(locale), kClockResolutions) {}

DateExtractor::DateExtractor(std::string field, std::string resolution, std::optional<std::string> default_text,
                             std::optional<std::string> aux_text, std::optional<std::string> locale)
    : TemporalExtractor(ExtractorType::Date, std::move(field), std::move(resolution), std::move(default_text),
                        std::move(aux_text), std::move(locale), kDateResolutions) {}

DurationExtractor::DurationExtractor(std::string field, std::string resolution,
                                     std::optional<std::string> default_text, std::optional<std::string> aux_text,
                                     std::optional<std::string> locale)
    : TemporalExtractor(ExtractorType::Duration, std::move(field), std::move(resolution),
                        std::move(default_text), std::move(aux_text), std::move(locale), kClockResolutions) {}

RecordExtractor::RecordExtractor(std::vector<Column> columns)
    : Extractor(ExtractorType::Record, std::string(), {}, {}), columns_{std::move(columns)} {
  for (const Column& column : columns_) {
    if (!column.second) throw std::runtime_error("Column extractor is missing");
    if (column.second->type() == ExtractorType::Record) {
      throw std::runtime_error("A record extractor cannot be a column; give its columns directly");
    }
  }
}

double UnitsPerSecond(const std::string& resolution) {
  if (resolution == "ns") return 1e9;
  if (resolution == "us") return 1e6;
  if (resolution == "ms") return 1e3;
  if (resolution == "s") return 1.0;
  return 0.0;
}

}  // namespace data
}  // namespace recorder
