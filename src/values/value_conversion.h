// Conversions of a GenericValue to the text, integer and floating-point forms that
// output columns store.
#pragma once

#include <cstdint>
#include <locale>
#include <optional>
#include <string>
#include <string_view>

#include "values/generic_value.h"

namespace recorder {
namespace data {

// Empty gives "null", Bool "True" or "False", Int64 its decimal form, Double the printf
// form "%f" (six decimals), String its bytes. Appends to `out`, which is cleared first.
void ValueToText(const GenericValue& value, std::string* out);

// Bool 0 or 1, Int64 itself, Double truncated toward zero, Empty 0. A String is read by
// stream extraction of a signed 64-bit integer (leading white space skipped, reading
// stops at the first character that cannot continue the number), with `locale` when
// given. No value when the text does not start with a number, the number overflows, or
// a Double is NaN or outside the 64-bit range.
std::optional<int64_t> ValueToInt64(const GenericValue& value, const std::locale* locale);

// Bool 0.0 or 1.0, Int64 converted, Double itself, Empty 0.0; a String by stream
// extraction of a double, as above. No value when the text does not start with a number.
std::optional<double> ValueToDouble(const GenericValue& value, const std::locale* locale);

// The truncation toward zero of `value`, or no value when it is NaN or outside the
// signed 64-bit range (a plain cast would be undefined there).
std::optional<int64_t> TruncateToInt64(double value);

}  // namespace data
}  // namespace recorder
