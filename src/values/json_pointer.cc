#include "values/json_pointer.h"

#include <algorithm>

namespace recorder {
namespace data {

namespace ondemand = simdjson::ondemand;

namespace {

// Array indexes are decimal without leading zeros ("0", "12"; not "01" or "-").
std::optional<size_t> ArrayIndex(std::string_view token) {
  if (token.empty() || token.size() > 18 || (token[0] == '0' && token.size() > 1)) return std::nullopt;
  size_t index = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<size_t>(c - '0');
  }
  return index;
}

}  // namespace

std::optional<std::vector<PointerToken>> ParseJsonPointer(std::string_view path) {
  std::vector<PointerToken> tokens;
  if (path.empty()) return tokens;
  if (path[0] != '/') return std::nullopt;
  while (!path.empty()) {
    path.remove_prefix(1);  // the '/'
    std::string_view raw = path.substr(0, path.find('/'));
    path.remove_prefix(raw.size());
    PointerToken& token = tokens.emplace_back();
    token.name.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '~') {
        token.name.push_back(raw[i]);
        continue;
      }
      if (i + 1 == raw.size() || (raw[i + 1] != '0' && raw[i + 1] != '1')) return std::nullopt;
      token.name.push_back(raw[i + 1] == '0' ? '~' : '/');
      ++i;
    }
    token.index = ArrayIndex(token.name);
  }
  return tokens;
}

JsonPointer::JsonPointer(std::string_view path) {
  if (auto tokens = ParseJsonPointer(path)) {
    tokens_ = std::move(*tokens);
    valid_ = true;
  }
  if (tokens_.size() == 1) {
    const std::string& name = tokens_.front().name;
    // Such a name is written as itself in a key, and only so.
    bool plain = std::none_of(name.begin(), name.end(), [](char c) {
      return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
    if (plain) leading_member_ = "{\"" + name + "\":";
  }
}

std::string_view JsonPointer::LeadingScalar(std::string_view text) const {
  if (leading_member_.empty() || !text.starts_with(leading_member_)) return {};
  const size_t start = leading_member_.size();
  if (start >= text.size()) return {};
  size_t end = start;
  const char first = text[start];
  if (first == '"') {
    for (end = start + 1; end < text.size() && text[end] != '"'; ++end) {
      if (text[end] == '\\') ++end;  // the escaped character, a quote perhaps
    }
    if (end >= text.size()) return {};
    ++end;
  } else if (first == '-' || (first >= '0' && first <= '9') || first == 't' || first == 'f' || first == 'n') {
    while (end < text.size() && text[end] != ',' && text[end] != '}' && text[end] != ' ' && text[end] != '\t' &&
           text[end] != '\n' && text[end] != '\r') {
      ++end;
    }
  } else {
    return {};  // an object or an array: not a scalar
  }
  return text.substr(start, end - start);
}

simdjson::error_code JsonPointer::Find(ondemand::document& document, const char* end, ondemand::value* value) const {
  if (!valid_) return simdjson::INVALID_JSON_POINTER;
  if (tokens_.empty()) return document.at_pointer("").get(*value);  // the whole document
  return Step(document, 0, end, value);
}

template <typename Json>
simdjson::error_code JsonPointer::Step(Json& json, size_t step, const char* end, ondemand::value* value) const {
  const PointerToken& token = tokens_[step];
  ondemand::value child;
  bool found = false;
  // Records are mostly objects: ask for one first, the type only when it is not.
  ondemand::object object;
  simdjson::error_code error = json.get_object().get(object);
  if (error == simdjson::SUCCESS) {
    for (auto member : object) {
      ondemand::field field;
      if (auto failed = std::move(member).get(field)) return failed;
      if (auto failed = MemberHasName(field, token.name, end, &found)) return failed;
      if (found) {
        child = field.value();
        break;
      }
    }
    if (!found) return simdjson::NO_SUCH_FIELD;
  } else if (error != simdjson::INCORRECT_TYPE) {
    return error;
  } else {
    ondemand::array array;
    // A scalar has no members; an array only elements named by an index.
    if (!token.index || json.get_array().get(array) != simdjson::SUCCESS) return simdjson::INCORRECT_TYPE;
    size_t position = 0;
    for (auto element : array) {
      if (auto failed = std::move(element).get(child)) return failed;
      if (position++ == *token.index) {
        found = true;
        break;
      }
    }
    if (!found) return simdjson::INDEX_OUT_OF_BOUNDS;
  }
  if (step + 1 == tokens_.size()) {
    *value = child;
    return simdjson::SUCCESS;
  }
  return Step(child, step + 1, end, value);
}

}  // namespace data
}  // namespace recorder
