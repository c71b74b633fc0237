#include "json/field_lookup.h"

#include <algorithm>
#include <type_traits>

#include "base/padded_buffer.h"
#include "json/batch_check.h"
#include "values/json_pointer.h"

namespace psfstore {
namespace adapter {

namespace ondemand = simdjson::ondemand;
using simdjson::error_code;

namespace {

// The raw text of a value's token: documents hand it out as a result, values directly.
template <class Value>
std::string_view RawToken(Value& value) {
  if constexpr (std::is_same_v<decltype(value.raw_json_token()), std::string_view>) {
    return value.raw_json_token();
  } else {
    std::string_view token;
    if (value.raw_json_token().get(token) != simdjson::SUCCESS) return {};
    return token;
  }
}

}  // namespace

// Walks one document depth first and collects the tokens of the named fields. When
// checking, it visits and checks every token; otherwise it follows only the paths that
// lead to fields not yet found and leaves the rest for the library to skip. The
// candidates of a value are the fields whose path matches the path to the value for
// its first `depth` steps.
struct FieldLookup::Walker {
  const FieldLookup& lookup;
  std::vector<FieldRef>& fields;
  std::vector<uint32_t>& candidate_stack;
  std::vector<uint32_t>& found_in_document;  // per field: the document number it was found in
  uint32_t document_number;
  ondemand::parser& scalar_parser;
  const char* buffer_end;  // one past the text; the padding follows
  bool validate;           // check every token, or only find the fields
  error_code error = simdjson::SUCCESS;
  const char* error_position = nullptr;

  template <class Value>
  void Found(Value& value, uint32_t field) {
    if (found_in_document[field] == document_number) return;  // the first match wins
    std::string_view token = RawToken(value);
    if (token.data() == nullptr) return;
    found_in_document[field] = document_number;
    FieldRef& ref = fields.emplace_back(
        FieldRef{field, TrimWhiteSpace(token), recorder::data::GenericValue{}, recorder::data::JsonValueError::None});
    if constexpr (std::is_same_v<Value, ondemand::value>) {
      // Reading a scalar leaves it readable again, so the walk still checks it after.
      ref.value_error = recorder::data::GenericValue::TryFromJson(value, &ref.value);
    } else {
      ref.value_error = recorder::data::JsonValueError::NotScalar;  // only a whole document is found at the root
    }
  }

  // A fault in the structure around values: the iterator's position says where.
  bool FailStructure(error_code code) {
    error = code;
    return false;
  }

  // A fault in the token of `value`.
  template <class Value>
  bool Fail(Value& value, error_code code) {
    error = code;
    std::string_view token = RawToken(value);
    if (token.data() != nullptr) error_position = token.data();
    return false;
  }

  // Visits `value`, reached by a path of `depth` steps; candidates are
  // candidate_stack[first, last). Dispatches on the token's first character, which is
  // what the library's own type query reads.
  template <class Value>
  bool Visit(Value& value, uint32_t depth, size_t first, size_t last) {
    // Without candidates and without checking there is nothing to do: the library
    // skips an unread value when its parent moves on.
    if (!validate && first == last) return true;
    std::string_view token = RawToken(value);
    if (token.empty()) return FailStructure(simdjson::TAPE_ERROR);
    const char lead = token.front();
    const bool container = lead == '{' || lead == '[';
    for (size_t c = first; c < last; ++c) {
      uint32_t field = candidate_stack[c];
      if (lookup.paths_[field].size() == depth && (depth > 0 || container)) Found(value, field);
    }
    if (container && depth + 1 >= kMaxDepth) {
      // The deepest level allowed: the container must be empty. Checked on the text,
      // since the library cannot open a container this deep.
      if (token.data()[token.size()] == (lead == '{' ? '}' : ']')) return true;
      error = simdjson::DEPTH_ERROR;
      error_position = token.data();
      return false;
    }
    if (lead == '{') return VisitObject(value, depth, first, last);
    if (lead == '[') return VisitArray(value, depth, first, last);
    if (!validate) return true;
    if (depth == 0 && token.data()[token.size()] == ':') {
      // A top-level string followed by ':' is a key out of place; the library would
      // step over the colon when it moves to the next document.
      error = simdjson::TAPE_ERROR;
      error_position = token.data() + token.size();
      return false;
    }
    return VisitScalar(value, TrimWhiteSpace(token), depth);
  }

  // Checks a scalar from its token. The first pass has checked that strings are closed,
  // hold valid UTF-8 and no raw control characters; only escape sequences remain, and
  // only a string with a backslash has any: unescaping it checks them.
  template <class Value>
  bool VisitScalar(Value& value, std::string_view token, uint32_t depth) {
    switch (token.front()) {
      case '"': {
        if (token.size() < 2 || token.back() != '"') return Fail(value, simdjson::STRING_ERROR);
        std::string_view text;
        if (depth > 0) {
          // The string must be read, not left for the library to skip: skipping takes
          // a string followed by ':' for a key and would step over a misplaced colon.
          if (!HasBackslash(token)) {
            simdjson::ondemand::raw_json_string raw;
            if (auto code = value.get_raw_json_string().get(raw)) return Fail(value, code);
            return true;
          }
          if (auto code = value.get_string().get(text)) return Fail(value, code);
          return true;
        }
        if (!HasBackslash(token)) return true;
        // In a stream the library reads a top-level scalar as if nothing may follow it,
        // so a top-level string is unescaped on its own by a second parser.
        ondemand::document alone;
        size_t capacity = buffer_end - token.data() + core::PaddedView::kPaddingBytes;
        if (auto code = scalar_parser.iterate(token.data(), token.size(), capacity).get(alone)) {
          return Fail(value, code);
        }
        if (auto code = alone.get_string().get(text)) return Fail(value, code);
        return true;
      }
      case 't':
        return token == "true" || Fail(value, simdjson::T_ATOM_ERROR);
      case 'f':
        return token == "false" || Fail(value, simdjson::F_ATOM_ERROR);
      case 'n':
        return token == "null" || Fail(value, simdjson::N_ATOM_ERROR);
      default:
        if (token.front() != '-' && (token.front() < '0' || token.front() > '9')) {
          return Fail(value, simdjson::TAPE_ERROR);
        }
        return IsJsonNumber(token) || Fail(value, simdjson::NUMBER_ERROR);
    }
  }

  // Whether every candidate in [first, last) has been found in this document already
  // (the first match wins, so nothing further down can change them).
  bool AllFound(size_t first, size_t last) const {
    for (size_t c = first; c < last; ++c) {
      if (found_in_document[candidate_stack[c]] != document_number) return false;
    }
    return true;
  }

  // Pushes the candidates among [first, last) whose step `depth` accepts the key or the
  // index; returns the new top of the stack.
  template <class Accepts>
  size_t Narrow(uint32_t depth, size_t first, size_t last, Accepts accepts) {
    for (size_t c = first; c < last; ++c) {
      uint32_t field = candidate_stack[c];
      const auto& path = lookup.paths_[field];
      if (path.size() > depth && accepts(path[depth])) candidate_stack.push_back(field);
    }
    return candidate_stack.size();
  }

  template <class Value>
  bool VisitObject(Value& value, uint32_t depth, size_t first, size_t last) {
    ondemand::object object;
    if (auto code = value.get_object().get(object)) return FailStructure(code);
    for (auto field_result : object) {
      if (!validate && AllFound(first, last)) return true;  // the rest is skipped unread
      ondemand::field field;
      if (auto code = std::move(field_result).get(field)) return FailStructure(code);
      const char* opening_quote = field.key().raw() - 1;  // unescaping consumes the key
      std::string_view key;
      if (auto code = recorder::data::MemberName(field, buffer_end, &key)) {
        error_position = opening_quote;
        return FailStructure(code);
      }
      ondemand::value child = field.value();
      size_t child_first = candidate_stack.size();
      size_t child_last = first == last ? child_first : Narrow(depth, first, last, [&](const PathStep& step) {
        return step.key == key;
      });
      bool ok = Visit(child, depth + 1, child_first, child_last);
      candidate_stack.resize(child_first);
      if (!ok) return false;
    }
    return true;
  }

  template <class Value>
  bool VisitArray(Value& value, uint32_t depth, size_t first, size_t last) {
    ondemand::array array;
    if (auto code = value.get_array().get(array)) return FailStructure(code);
    int64_t index = 0;
    for (auto element_result : array) {
      if (!validate && AllFound(first, last)) return true;
      ondemand::value child;
      if (auto code = element_result.get(child)) return FailStructure(code);
      size_t child_first = candidate_stack.size();
      size_t child_last = first == last ? child_first : Narrow(depth, first, last, [&](const PathStep& step) {
        return step.array_index == index;
      });
      bool ok = Visit(child, depth + 1, child_first, child_last);
      candidate_stack.resize(child_first);
      if (!ok) return false;
      ++index;
    }
    return true;
  }
};

FieldLookup::FieldLookup(const std::vector<std::string>& field_names)
    : field_count_{field_names.size()} {
  paths_.resize(field_count_);
  is_pointer_.resize(field_count_, false);
  for (size_t f = 0; f < field_count_; ++f) {
    auto tokens = recorder::data::ParseJsonPointer(field_names[f]);
    if (!tokens) continue;  // never matches
    std::vector<PathStep> path;
    for (recorder::data::PointerToken& token : *tokens) {
      int64_t index = token.index ? static_cast<int64_t>(*token.index) : -1;
      path.push_back(PathStep{std::move(token.name), index});
    }
    longest_path_ = std::max(longest_path_, path.size());
    paths_[f] = std::move(path);
    is_pointer_[f] = true;
    has_pointer_fields_ = true;
  }
}

void FieldLookup::StartBatch() {
  // The candidate stack never holds more than fields × (longest path + 1) entries.
  candidate_stack_.clear();
  candidate_stack_.reserve(field_count_ * (longest_path_ + 2));
  found_in_document_.assign(field_count_, UINT32_MAX);
  for (uint32_t f = 0; f < field_count_; ++f) {
    if (is_pointer_[f]) candidate_stack_.push_back(f);
  }
  root_candidates_ = candidate_stack_.size();
}

bool FieldLookup::FindFields(ondemand::document_reference& document, uint32_t document_number,
                             ondemand::parser& scalar_parser, const char* buffer_end, bool check,
                             std::vector<FieldRef>& fields, WalkFault* fault) {
  const size_t first_field = fields.size();
  Walker walker{*this, fields, candidate_stack_, found_in_document_, document_number,
                scalar_parser, buffer_end, check};
  if (!walker.Visit(document, 0, 0, root_candidates_)) {
    candidate_stack_.resize(root_candidates_);
    fault->error = walker.error;
    fault->position = walker.error_position;
    return false;
  }
  // Fields come out in document order; records list them in field-name order.
  std::sort(fields.begin() + first_field, fields.end(),
            [](const FieldRef& a, const FieldRef& b) { return a.index < b.index; });
  return true;
}

}  // namespace adapter
}  // namespace psfstore
