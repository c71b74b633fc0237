// JsonPointer: the one rule by which a field name selects a value in a record, for
// inserts (projections), full scans and extraction alike.
//
// A field name is a JSON Pointer (RFC 6901): "" selects the whole document; otherwise
// each "/"-prefixed reference token selects a member of an object or an element of an
// array. In a token "~1" stands for "/" and "~0" for "~". A token names the member
// whose name, after JSON unescaping (RFC 8259: the key "a\u0062" is the name "ab"),
// equals the token; the first such member of an object wins. A token of decimal digits
// without a leading zero also names that element of an array. A name that does not
// start with "/", or that holds "~" followed by anything but "0" or "1", selects
// nothing.
//
// Keys without a backslash, nearly all of them, are compared as they lie in the record,
// without copying; only escaped keys are unescaped (by the JSON library, into its
// parser's string buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

namespace recorder {
namespace data {

// One reference token, unescaped.
struct PointerToken {
  std::string name;
  std::optional<size_t> index;  // the token as an array index, when it is one
};

// The tokens of `path`, or nullopt when it selects nothing. "" has no tokens.
std::optional<std::vector<PointerToken>> ParseJsonPointer(std::string_view path);

// The name of object member `field` as text: the key's own bytes when it holds no
// backslash, else its unescaped text (valid until the parser's next string). `end`
// bounds the search for the key's closing quote (the end of the document's text).
// Inline: it runs for every member the insert, scan and extraction walks pass.
inline simdjson::error_code MemberName(simdjson::ondemand::field& field, const char* end, std::string_view* name) {
  // The raw key runs to the first quote; without a backslash before it, that is the
  // whole key. Keys are short: a plain loop beats a library search here.
  const char* key = field.key().raw();
  const char* close = key;
  bool escaped = false;
  while (close < end && *close != '"') escaped |= *close++ == '\\';
  if (!escaped && close < end) [[likely]] {
    *name = std::string_view{key, static_cast<size_t>(close - key)};
    return simdjson::SUCCESS;
  }
  return field.unescaped_key().get(*name);
}

// Whether object member `field` has the name `name`, into `matches`. The raw key is
// compared with the name up to the first difference; only a key with an escape
// sequence before that point is unescaped. `end` bounds the key (the end of the
// document's text).
inline simdjson::error_code MemberHasName(simdjson::ondemand::field& field, std::string_view name, const char* end,
                                          bool* matches) {
  const char* raw = field.key().raw();
  for (size_t i = 0; raw + i < end; ++i) {
    const char c = raw[i];
    if (c == '"') {  // the key ends here: a quote inside a key is always escaped
      *matches = i == name.size();
      return simdjson::SUCCESS;
    }
    if (c == '\\') break;
    if (i == name.size() || c != name[i]) {
      *matches = false;
      return simdjson::SUCCESS;
    }
  }
  std::string_view unescaped;
  if (auto error = field.unescaped_key().get(unescaped)) return error;
  *matches = unescaped == name;
  return simdjson::SUCCESS;
}

// One field name, parsed once, looked up in many records.
class JsonPointer {
 public:
  explicit JsonPointer(std::string_view path);

  // False when the name can select nothing.
  bool valid() const { return valid_; }
  const std::vector<PointerToken>& tokens() const { return tokens_; }

  // When the pointer names one member and the record's text opens with that member,
  // written `{"name":value` (no space, no escape), and the value is a number, true,
  // false, null or a string, the value's text; else empty. The first member of a name
  // wins, so this is the value Find selects, found without parsing the rest. `text` is
  // a whole, valid JSON record.
  std::string_view LeadingScalar(std::string_view text) const;

  // The value the pointer selects in `document`, whose text ends at `end`. NO_SUCH_FIELD
  // (or INDEX_OUT_OF_BOUNDS, INCORRECT_TYPE) when the record has none; another error
  // for a malformed record.
  simdjson::error_code Find(simdjson::ondemand::document& document, const char* end,
                            simdjson::ondemand::value* value) const;

 private:
  // Steps from `json` (a document or a value) by token `step` and on.
  template <typename Json>
  simdjson::error_code Step(Json& json, size_t step, const char* end, simdjson::ondemand::value* value) const;

  std::vector<PointerToken> tokens_;
  bool valid_ = false;
  // `{"name":` for a pointer of one member name without quote, backslash or control
  // character; empty otherwise.
  std::string leading_member_;
};

}  // namespace data
}  // namespace recorder
