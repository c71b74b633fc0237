#include "values/value_conversion.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <istream>
#include <streambuf>

namespace recorder {
namespace data {

namespace {

// A read-only stream buffer over a view, so that stream extraction reads a record's
// bytes in place.
class ViewStreamBuffer : public std::streambuf {
 public:
  explicit ViewStreamBuffer(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

template <typename Number>
std::optional<Number> ExtractFromText(std::string_view text, const std::locale* locale) {
  ViewStreamBuffer buffer(text);
  std::istream stream(&buffer);
  if (locale != nullptr) stream.imbue(*locale);
  Number number{};
  stream >> number;
  if (stream.fail()) return std::nullopt;
  return number;
}

}  // namespace

void ValueToText(const GenericValue& value, std::string* out) {
  out->clear();
  switch (value.type()) {
    case GenericValue::Type::Empty:
      out->assign("null");
      return;
    case GenericValue::Type::Bool:
      out->assign(value.bool_unchecked() ? "True" : "False");
      return;
    case GenericValue::Type::Int64: {
      char digits[24];
      auto result = std::to_chars(digits, digits + sizeof digits, value.int64_unchecked());
      out->assign(digits, result.ptr);
      return;
    }
    case GenericValue::Type::Double: {
      // "%f" of the largest doubles needs more than 300 characters.
      char digits[400];
      int length = std::snprintf(digits, sizeof digits, "%f", value.double_unchecked());
      out->assign(digits, static_cast<size_t>(length));
      return;
    }
    case GenericValue::Type::String:
      out->assign(value.string_data_unchecked(), value.length());
      return;
  }
}

std::optional<int64_t> TruncateToInt64(double value) {
  // -2^63 is representable and the smallest valid result; 2^63 is already out of range.
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return std::nullopt;
  return static_cast<int64_t>(value);
}

std::optional<int64_t> ValueToInt64(const GenericValue& value, const std::locale* locale) {
  switch (value.type()) {
    case GenericValue::Type::Empty:
      return 0;
    case GenericValue::Type::Bool:
      return value.bool_unchecked() ? 1 : 0;
    case GenericValue::Type::Int64:
      return value.int64_unchecked();
    case GenericValue::Type::Double:
      return TruncateToInt64(value.double_unchecked());
    case GenericValue::Type::String:
      return ExtractFromText<int64_t>({value.string_data_unchecked(), value.length()}, locale);
  }
  return std::nullopt;
}

std::optional<double> ValueToDouble(const GenericValue& value, const std::locale* locale) {
  switch (value.type()) {
    case GenericValue::Type::Empty:
      return 0.0;
    case GenericValue::Type::Bool:
      return value.bool_unchecked() ? 1.0 : 0.0;
    case GenericValue::Type::Int64:
      return static_cast<double>(value.int64_unchecked());
    case GenericValue::Type::Double:
      return value.double_unchecked();
    case GenericValue::Type::String:
      return ExtractFromText<double>({value.string_data_unchecked(), value.length()}, locale);
  }
  return std::nullopt;
}

}  // namespace data
}  // namespace recorder
