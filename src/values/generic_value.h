// GenericValue: the one scalar value type of the store.
//
// A JSON field of a record is reduced to a GenericValue before it is compared, hashed
// into a projection key or appended to an output column; query operands are converted
// to GenericValues as well. A value never owns bytes: a String value is a view into
// text owned by someone else (the record being inserted or scanned, or the operand
// list of a query), valid only as long as that text is.
//
// The value is 24 bytes and stored as such in the last three words of a key pointer:
//   word 0: type code in byte 0, the other seven bytes zero
//   word 1: payload (Bool byte, Int64, Double bits, or String pointer)
//   word 2: length (1 for Bool, 8 for Int64 and Double, byte count for String, 0 for Empty)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <simdjson.h>

namespace recorder {
namespace data {

static_assert(std::endian::native == std::endian::little,
              "value bytes of numbers are stored little-endian, as they lie in memory");

// A query operand as the Python binding hands it over; the alternatives are tried in
// this order, so a Python bool arrives as int64_t.
using Operand = std::variant<int64_t, double, std::string, bool>;

// Why a JSON token could not be turned into a value. FromJson throws the matching
// exception; TryFromJson returns the code so a scan can decide itself.
enum class JsonValueError : uint8_t {
  None = 0,
  NotScalar,          // array, object or null
  MalformedNumber,    // the JSON library's number error
  UnexpectedToken,    // a token that no JSON value starts with
  MalformedString,    // a string token without its closing quote
};

// A field that holds an object, an array or null where a scalar is needed. The data is
// at fault, not the program: callers that answer for a batch tell it apart from other
// std::logic_errors by this type.
class NotScalarError : public std::logic_error {
 public:
  NotScalarError() : std::logic_error("The field does not contain a scalar type") {}
};

class GenericValue {
 public:
  enum class Type : uint8_t { Empty = 0, Bool = 1, Int64 = 2, Double = 3, String = 4 };

  constexpr GenericValue() = default;

  static constexpr GenericValue OfBool(bool value) { return {Type::Bool, value ? 1u : 0u, 1}; }
  static constexpr GenericValue OfInt64(int64_t value) {
    return {Type::Int64, static_cast<uint64_t>(value), 8};
  }
  static constexpr GenericValue OfDouble(double value) {
    return {Type::Double, std::bit_cast<uint64_t>(value), 8};
  }
  static GenericValue OfString(const char* data, size_t length) {
    return {Type::String, reinterpret_cast<uintptr_t>(data), length};
  }
  static GenericValue OfString(std::string_view text) { return OfString(text.data(), text.size()); }

  // A query operand. Strings view the operand's own characters, so the operand must
  // outlive the value. Throws std::runtime_error "Unrecognised type in variant" for a
  // variant left valueless by an exception.
  static GenericValue FromOperand(const Operand& operand);

  // The value of a JSON field token, by the token's first character:
  //   '"'          String: the raw bytes between the quotes (escapes not decoded)
  //   '-', digit   Int64 for an integer within the signed 64-bit range, Double for a
  //                token with fraction or exponent; an integer outside the signed
  //                64-bit range is Empty; a number beyond the double range (1e400, or
  //                an integer of over 309 digits) is error MalformedNumber
  //   't', 'f'     Bool for exactly "true"/"false", Empty for any other word
  //   '[','{','n'  error NotScalar
  //   otherwise    error UnexpectedToken
  // `value` must be positioned on the token and is not consumed.
  static JsonValueError TryFromJson(simdjson::ondemand::value& value, GenericValue* out) noexcept;
  // Throwing forms: NotScalarError "The field does not contain a scalar type" for
  // NotScalar, simdjson::simdjson_error with NUMBER_ERROR, TAPE_ERROR or STRING_ERROR
  // for the others.
  static GenericValue FromJson(simdjson::ondemand::value& value);
  [[noreturn]] static void ThrowJsonValueError(JsonValueError error);

  // The 24-byte image kept in words 2-4 of a key pointer.
  void WriteWords(uint64_t* words) const {
    words[0] = static_cast<uint64_t>(type_);
    words[1] = payload_;
    words[2] = length_;
  }
  // The value image read back as it was written. A String's pointer is then whatever
  // the writer's view pointed at (the insert's batch buffer): use FromKeyPointerWords
  // for values read from the log.
  static GenericValue ReadWords(const uint64_t* words) {
    return {static_cast<Type>(words[0] & 0xFF), words[1], words[2]};
  }
  // A value read from a key pointer in the log: a String views `value_bytes`, where the
  // record holds the value's bytes (the payload at the key pointer's value offset);
  // other types carry their payload in the words themselves.
  static GenericValue FromKeyPointerWords(const uint64_t* words, const char* value_bytes) {
    GenericValue value = ReadWords(words);
    if (value.type_ == Type::String) value.payload_ = reinterpret_cast<uintptr_t>(value_bytes);
    return value;
  }

  constexpr Type type() const { return type_; }
  constexpr uint64_t length() const { return length_; }
  constexpr bool is_empty() const { return type_ == Type::Empty; }

  // Typed accessors: throw std::runtime_error "Wrong type request" on another type.
  bool Bool() const;
  int64_t Int64() const;
  double Double() const;
  std::string_view String() const;

  // Unchecked payload reads, for code that has just tested type().
  constexpr bool bool_unchecked() const { return payload_ != 0; }
  constexpr int64_t int64_unchecked() const { return static_cast<int64_t>(payload_); }
  constexpr double double_unchecked() const { return std::bit_cast<double>(payload_); }
  const char* string_data_unchecked() const { return reinterpret_cast<const char*>(payload_); }

  // The value bytes that projection keys hash: a String's characters, a Bool's one
  // byte, the 8 little-endian bytes of an Int64 or Double, nothing for Empty. For
  // non-strings the view points into this object.
  std::string_view bytes() const {
    switch (type_) {
      case Type::String:
        return {string_data_unchecked(), length_};
      case Type::Bool:
      case Type::Int64:
      case Type::Double:
        return {reinterpret_cast<const char*>(&payload_), length_};
      case Type::Empty:
        break;
    }
    return {};
  }

 private:
  friend struct GenericValueLayout;

  constexpr GenericValue(Type type, uint64_t payload, uint64_t length)
      : type_{type}, payload_{payload}, length_{length} {}

  Type type_ = Type::Empty;
  [[maybe_unused]] uint8_t zero_padding_[7] = {0, 0, 0, 0, 0, 0, 0};  // word 0 is the type code alone
  uint64_t payload_ = 0;
  uint64_t length_ = 0;
};

// The key-pointer image and the in-memory object share one layout.
struct GenericValueLayout {
  static_assert(sizeof(GenericValue) == 24, "a GenericValue fills words 2-4 of a key pointer");
  static_assert(std::is_standard_layout_v<GenericValue> && std::is_trivially_copyable_v<GenericValue>);
  static_assert(offsetof(GenericValue, type_) == 0, "type byte at offset 0");
  static_assert(offsetof(GenericValue, payload_) == 8, "payload at offset 8");
  static_assert(offsetof(GenericValue, length_) == 16, "length at offset 16");
};

// Equality: false across types (no numeric promotion), IEEE equality for doubles,
// byte equality for strings; two Empty values are equal.
bool equal(const GenericValue& x, const GenericValue& y);
// Ordering of a record value against an operand: false across types and for Empty,
// IEEE less-than for doubles, unsigned byte-wise order (shorter prefix first) for
// strings, false < true for bools.
bool less(const GenericValue& value, const GenericValue& operand);

// Name of a type code, for messages: "Empty", "Bool", "Int64", "Double", "String".
const char* TypeName(GenericValue::Type type);

}  // namespace data
}  // namespace recorder
