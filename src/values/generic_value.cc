#include "values/generic_value.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <system_error>

namespace recorder {
namespace data {

namespace {

constexpr bool IsJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The token starts with `word` and the word is followed by white space or by the next
// structural character (the token's end).
bool IsExactly(std::string_view token, std::string_view word) {
  return token.substr(0, word.size()) == word &&
         (token.size() == word.size() || IsJsonWhitespace(token[word.size()]));
}

// A well-formed JSON integer (optional minus, no leading zero), followed only by white
// space. The JSON library refuses such a token only when it is out of the 64-bit range.
bool IsIntegerLiteral(std::string_view token) {
  size_t position = token.empty() || token[0] != '-' ? 0 : 1;
  const size_t first_digit = position;
  while (position < token.size() && IsDigit(token[position])) ++position;
  const size_t digit_count = position - first_digit;
  if (digit_count == 0 || (token[first_digit] == '0' && digit_count > 1)) return false;
  while (position < token.size() && IsJsonWhitespace(token[position])) ++position;
  return position == token.size();
}

// An integer token outside the signed 64-bit range: Empty (None) while its magnitude is
// within the double range, a number error beyond it, as the same number written with
// an exponent (1e400) is. Malformed tokens are number errors too.
JsonValueError ClassifyWideInteger(std::string_view token) {
  if (!IsIntegerLiteral(token)) return JsonValueError::MalformedNumber;
  while (!token.empty() && IsJsonWhitespace(token.back())) token.remove_suffix(1);
  double magnitude;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), magnitude);
  return error == std::errc::result_out_of_range ? JsonValueError::MalformedNumber : JsonValueError::None;
}

// Classifies everything but numbers; returns false when the token is a number.
bool ClassifyNonNumber(std::string_view token, GenericValue* out, JsonValueError* error) {
  *error = JsonValueError::None;
  *out = GenericValue{};
  if (token.empty()) {
    *error = JsonValueError::UnexpectedToken;
    return true;
  }
  switch (token[0]) {
    case '"': {
      // The raw token runs to the next structural character; the view ends at the
      // closing quote, so white space before a comma is not part of the value.
      size_t end = token.size();
      while (end > 1 && IsJsonWhitespace(token[end - 1])) --end;
      if (end < 2 || token[end - 1] != '"') {
        *error = JsonValueError::MalformedString;
      } else {
        *out = GenericValue::OfString(token.data() + 1, end - 2);
      }
      return true;
    }
    case 't':
      if (IsExactly(token, "true")) *out = GenericValue::OfBool(true);
      return true;
    case 'f':
      if (IsExactly(token, "false")) *out = GenericValue::OfBool(false);
      return true;
    case '[':
    case '{':
    case 'n':
      *error = JsonValueError::NotScalar;
      return true;
    case '-':
      return false;
    default:
      if (IsDigit(token[0])) return false;
      *error = JsonValueError::UnexpectedToken;
      return true;
  }
}

// The raw token is a plain view in some library versions and a result in others.
std::string_view RawToken(std::string_view token) { return token; }
template <typename Result>
std::string_view RawToken(Result&& result) {
  std::string_view token;
  return result.get(token) == simdjson::SUCCESS ? token : std::string_view{};
}

[[noreturn]] void ThrowWrongType() { throw std::runtime_error("Wrong type request"); }

}  // namespace

GenericValue GenericValue::FromOperand(const Operand& operand) {
  switch (operand.index()) {
    case 0:
      return OfInt64(*std::get_if<0>(&operand));
    case 1:
      return OfDouble(*std::get_if<1>(&operand));
    case 2:
      return OfString(*std::get_if<2>(&operand));
    case 3:
      return OfBool(*std::get_if<3>(&operand));
    default:
      throw std::runtime_error("Unrecognised type in variant");
  }
}

JsonValueError GenericValue::TryFromJson(simdjson::ondemand::value& value, GenericValue* out) noexcept {
  const std::string_view token = RawToken(value.raw_json_token());
  JsonValueError error;
  if (ClassifyNonNumber(token, out, &error)) return error;

  // Classify first, then read with the type's own parser: the library's combined
  // get_number() misreads some long-mantissa doubles (9223372036854775808.0 as 0).
  simdjson::ondemand::number_type number_type;
  if (value.get_number_type().get(number_type) != simdjson::SUCCESS) {
    return JsonValueError::MalformedNumber;
  }
  if (number_type == simdjson::ondemand::number_type::signed_integer) {
    int64_t integer;
    if (value.get_int64().get(integer) == simdjson::SUCCESS) {
      *out = OfInt64(integer);
      return JsonValueError::None;
    }
    // A well-formed integer the signed range cannot hold (below INT64_MIN) is a value we
    // cannot represent, not a malformed document: Empty, like those above INT64_MAX.
    return ClassifyWideInteger(token);
  }
  if (number_type == simdjson::ondemand::number_type::floating_point_number) {
    double real;
    if (value.get_double().get(real) != simdjson::SUCCESS) return JsonValueError::MalformedNumber;
    *out = OfDouble(real);
    return JsonValueError::None;
  }
  // unsigned_integer (2^63 and above) and, in newer library versions, big_integer: an
  // integer outside the signed 64-bit range is Empty on every path (beyond the double
  // range, a number error).
  return ClassifyWideInteger(token);
}

GenericValue GenericValue::FromJson(simdjson::ondemand::value& value) {
  GenericValue result;
  const JsonValueError error = TryFromJson(value, &result);
  if (error != JsonValueError::None) ThrowJsonValueError(error);
  return result;
}

void GenericValue::ThrowJsonValueError(JsonValueError error) {
  switch (error) {
    case JsonValueError::NotScalar:
      throw NotScalarError();
    case JsonValueError::MalformedNumber:
      throw simdjson::simdjson_error(simdjson::NUMBER_ERROR);
    case JsonValueError::MalformedString:
      throw simdjson::simdjson_error(simdjson::STRING_ERROR);
    case JsonValueError::UnexpectedToken:
    case JsonValueError::None:
      break;
  }
  throw simdjson::simdjson_error(simdjson::TAPE_ERROR);
}

bool GenericValue::Bool() const {
  if (type_ != Type::Bool) ThrowWrongType();
  return bool_unchecked();
}

int64_t GenericValue::Int64() const {
  if (type_ != Type::Int64) ThrowWrongType();
  return int64_unchecked();
}

double GenericValue::Double() const {
  if (type_ != Type::Double) ThrowWrongType();
  return double_unchecked();
}

std::string_view GenericValue::String() const {
  if (type_ != Type::String) ThrowWrongType();
  return {string_data_unchecked(), length_};
}

bool equal(const GenericValue& x, const GenericValue& y) {
  if (x.type() != y.type()) return false;
  switch (x.type()) {
    case GenericValue::Type::Empty:
      return true;
    case GenericValue::Type::Bool:
      return x.bool_unchecked() == y.bool_unchecked();
    case GenericValue::Type::Int64:
      return x.int64_unchecked() == y.int64_unchecked();
    case GenericValue::Type::Double:
      return x.double_unchecked() == y.double_unchecked();
    case GenericValue::Type::String:
      return x.length() == y.length() &&
             (x.length() == 0 ||
              std::memcmp(x.string_data_unchecked(), y.string_data_unchecked(), x.length()) == 0);
  }
  return false;
}

bool less(const GenericValue& value, const GenericValue& operand) {
  if (value.type() != operand.type()) return false;
  switch (value.type()) {
    case GenericValue::Type::Empty:
      return false;
    case GenericValue::Type::Bool:
      return !value.bool_unchecked() && operand.bool_unchecked();
    case GenericValue::Type::Int64:
      return value.int64_unchecked() < operand.int64_unchecked();
    case GenericValue::Type::Double:
      return value.double_unchecked() < operand.double_unchecked();
    case GenericValue::Type::String: {
      const size_t common = std::min(value.length(), operand.length());
      // memcmp compares as unsigned char, so bytes above 0x7F sort after ASCII.
      const int order = common == 0 ? 0
                                     : std::memcmp(value.string_data_unchecked(),
                                                   operand.string_data_unchecked(), common);
      return order < 0 || (order == 0 && value.length() < operand.length());
    }
  }
  return false;
}

const char* TypeName(GenericValue::Type type) {
  switch (type) {
    case GenericValue::Type::Empty:
      return "Empty";
    case GenericValue::Type::Bool:
      return "Bool";
    case GenericValue::Type::Int64:
      return "Int64";
    case GenericValue::Type::Double:
      return "Double";
    case GenericValue::Type::String:
      return "String";
  }
  return "Unknown";
}

}  // namespace data
}  // namespace recorder
