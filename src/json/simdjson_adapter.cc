#include "json/simdjson_adapter.h"

#include "values/json_pointer.h"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

namespace psfstore {
namespace adapter {

static_assert(core::PaddedView::kPaddingBytes >= simdjson::SIMDJSON_PADDING,
              "padded buffers must cover the JSON library's read-ahead");

namespace ondemand = simdjson::ondemand;
using simdjson::error_code;

namespace {

constexpr size_t kSmallestWindow = size_t{1} << 20;

bool IsJsonWhiteSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

std::string_view TrimWhiteSpace(std::string_view text) {
  while (!text.empty() && IsJsonWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsJsonWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Offset of the first byte that is not part of a valid UTF-8 sequence (only called once
// the library has said there is one).
size_t FirstInvalidUtf8(const unsigned char* text, size_t size) {
  size_t i = 0;
  while (i < size) {
    unsigned char c = text[i];
    size_t length;
    uint32_t smallest;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { length = 2; smallest = 0x80; }
    else if ((c & 0xF0) == 0xE0) { length = 3; smallest = 0x800; }
    else if ((c & 0xF8) == 0xF0) { length = 4; smallest = 0x10000; }
    else return i;
    if (i + length > size) return i;
    uint32_t code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return i;
      code = (code << 6) | (text[i + k] & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += length;
  }
  return size;
}

// Finds, on the error path only, the first byte at which `text` stops being a sequence
// of JSON documents for reasons the library reports without a position: a control
// character inside a string, a closing bracket that closes nothing or the wrong
// bracket, a string or a document left open at the end. Returns `size` when it finds
// none of these.
size_t LocateStructuralFault(const char* text, size_t size) {
  std::vector<char> open_brackets;
  size_t document_start = size;
  for (size_t i = 0; i < size; ++i) {
    char c = text[i];
    if (c == '"') {
      size_t string_start = i;
      for (++i; i < size && text[i] != '"'; ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x20) return i;
        if (text[i] == '\\') ++i;
      }
      if (i >= size) return string_start;
      if (open_brackets.empty()) document_start = size;
      continue;
    }
    if (c == '{' || c == '[') {
      if (open_brackets.empty()) document_start = i;
      open_brackets.push_back(c == '{' ? '}' : ']');
    } else if (c == '}' || c == ']') {
      if (open_brackets.empty() || open_brackets.back() != c) return i;
      open_brackets.pop_back();
    }
  }
  return open_brackets.empty() ? size : document_start;
}

// The JSON number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?. Any number of
// that form is valid JSON, whatever its range; a projection of one it cannot represent
// is handled where the value is made.
bool IsJsonNumber(std::string_view token) {
  const char* p = token.data();
  const char* end = p + token.size();
  auto digits = [&] {
    const char* start = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    return p > start;
  };
  if (p < end && *p == '-') ++p;
  if (p < end && *p == '0') {
    ++p;
  } else if (!digits()) {
    return false;
  }
  if (p < end && *p == '.') {
    ++p;
    if (!digits()) return false;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (!digits()) return false;
  }
  return p == end;
}

bool HasBackslash(std::string_view text) {
  for (char c : text) {
    if (c == '\\') return true;
  }
  return false;
}

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

struct SIMDJsonAdapter::Library {
  simdjson::dom::parser validator;
  ondemand::parser parser;
  ondemand::parser scalar_parser;
  size_t window = 0;
};

// Walks one document depth first and collects the tokens of the named fields. When
// checking, it visits and checks every token; otherwise it follows only the paths that
// lead to fields not yet found and leaves the rest for the library to skip. The
// candidates of a value are the fields whose path matches the path to the value for
// its first `depth` steps.
struct SIMDJsonAdapter::Walker {
  SIMDJsonAdapter& adapter;
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
    FieldRef& ref = adapter.fields_.emplace_back(
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
      if (adapter.paths_[field].size() == depth && (depth > 0 || container)) Found(value, field);
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
      const auto& path = adapter.paths_[field];
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

SIMDJsonAdapter::SIMDJsonAdapter(std::vector<std::string> field_names, size_t largest_window)
    : field_names_{std::move(field_names)}, largest_window_{std::bit_ceil(largest_window)},
      library_{std::make_unique<Library>()} {
#ifdef SIMDJSON_THREADS_ENABLED
  library_->parser.threaded = false;  // the calling thread does all the work
  library_->validator.threaded = false;
#endif
  paths_.resize(field_names_.size());
  is_pointer_.resize(field_names_.size(), false);
  for (size_t f = 0; f < field_names_.size(); ++f) {
    auto tokens = recorder::data::ParseJsonPointer(field_names_[f]);
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

SIMDJsonAdapter::~SIMDJsonAdapter() = default;

core::Status SIMDJsonAdapter::Refuse(size_t offset, std::string reason) {
  records_.clear();
  fields_.clear();
  next_record_ = 0;
  fault_offset_ = offset;
  return core::Status{core::Status::Corruption, "malformed JSON at byte " + std::to_string(offset) + ": " + reason};
}

core::Status SIMDJsonAdapter::Load(core::PaddedView buffer) {
  records_.clear();
  fields_.clear();
  next_record_ = 0;
  fault_offset_ = 0;
  buffer_ = buffer.data();
  const size_t size = buffer.size();
  if (size == 0) return core::Status::Ok;

  // The window is the most the library splits at once; it only grows, so the
  // library's buffers are allocated once for batches of similar sizes.
  size_t window = std::min(std::max(std::bit_ceil(size), kSmallestWindow), largest_window_);
  library_->window = std::max(library_->window, window);

  // The library's complete parser checks the batch fast but keeps no positions and
  // refuses some valid JSON (integers beyond 64 bits, numbers beyond the double
  // range). When it refuses, the checking walk decides: it accepts exactly the JSON
  // grammar and names the offset of a fault.
  if (!ValidateWholeBatch(buffer)) {
    if (core::Status walked = Walk(buffer, /*validate=*/true); walked != core::Status::Ok) return walked;
    return CheckRecords(buffer);
  }
  // Then the fields, walking only the paths that lead to them. Both passes split the
  // text the same way; should they ever disagree, the checking walk decides alone.
  if (has_pointer_fields_) {
    if (Walk(buffer, /*validate=*/false) != core::Status::Ok || !RecordsMatchDocumentStarts()) {
      fault_offset_ = 0;
      if (core::Status walked = Walk(buffer, /*validate=*/true); walked != core::Status::Ok) return walked;
    }
  } else {
    for (size_t start : document_starts_) records_.push_back(RecordSpan{start, 0, 0, 0});
    SetPayloadSizes(buffer);
  }
  return CheckRecords(buffer);
}

core::Status SIMDJsonAdapter::CheckRecords(core::PaddedView buffer) {
  // The library splits a large batch at window ends and cannot tell whether a bare
  // number or literal there goes on in the next window: "12345" may come out as the
  // documents "123" and "45", "true2" as "true" and "2". A string or a container cut in
  // two fails to parse, and a whole number or literal never touches the next document,
  // so one followed directly by more text was cut.
  if (buffer.size() > library_->window) {
    for (const RecordSpan& record : records_) {
      size_t end = record.payload_begin + record.payload_size;
      char first = buffer.data()[record.payload_begin];
      bool atom = first == '-' || (first >= '0' && first <= '9') || first == 't' || first == 'f' || first == 'n';
      if (atom && end < buffer.size() && !IsJsonWhiteSpace(buffer.data()[end])) {
        return Refuse(record.payload_begin, "a top-level number or literal runs across the end of a parser window of " +
                                                std::to_string(library_->window) +
                                                " bytes; separate top-level values with white space");
      }
    }
  }
  for (const RecordSpan& record : records_) {
    if (record.payload_size > kMaxDocumentSize) {
      return Refuse(record.payload_begin, "document of " + std::to_string(record.payload_size) +
                                              " bytes is larger than the record limit of " +
                                              std::to_string(kMaxDocumentSize) + " bytes");
    }
  }
  return core::Status::Ok;
}

bool SIMDJsonAdapter::ValidateWholeBatch(core::PaddedView buffer) {
  document_starts_.clear();
  simdjson::dom::document_stream stream;
  auto* text = reinterpret_cast<const uint8_t*>(buffer.data());
  if (library_->validator.parse_many(text, buffer.size(), library_->window).get(stream)) return false;
  for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
    if ((*iterator).error()) return false;
    size_t start = iterator.current_index();
    while (start < buffer.size() && IsJsonWhiteSpace(buffer.data()[start])) ++start;
    document_starts_.push_back(start);
  }
  return stream.truncated_bytes() == 0;
}

bool SIMDJsonAdapter::RecordsMatchDocumentStarts() const {
  if (records_.size() != document_starts_.size()) return false;
  for (size_t i = 0; i < records_.size(); ++i) {
    if (records_[i].payload_begin != document_starts_[i]) return false;
  }
  return true;
}

void SIMDJsonAdapter::SetPayloadSizes(core::PaddedView buffer) {
  // A document ends where the next one starts (or the buffer ends), less white space.
  for (size_t i = 0; i < records_.size(); ++i) {
    size_t begin = records_[i].payload_begin;
    size_t end = i + 1 < records_.size() ? records_[i + 1].payload_begin : buffer.size();
    records_[i].payload_size = TrimWhiteSpace(std::string_view{buffer.data() + begin, end - begin}).size();
  }
}

core::Status SIMDJsonAdapter::Walk(core::PaddedView buffer, bool validate) {
  records_.clear();
  fields_.clear();
  const size_t size = buffer.size();
  ondemand::document_stream stream;
  if (auto code = library_->parser.iterate_many(buffer.data(), size, library_->window).get(stream)) {
    return Refuse(0, simdjson::error_message(code));
  }

  // The candidate stack never holds more than fields × (longest path + 1) entries.
  std::vector<uint32_t>& candidate_stack = candidate_stack_;
  std::vector<uint32_t>& found_in_document = found_in_document_;
  candidate_stack.clear();
  candidate_stack.reserve(field_names_.size() * (longest_path_ + 2));
  found_in_document.assign(field_names_.size(), UINT32_MAX);
  for (uint32_t f = 0; f < field_names_.size(); ++f) {
    if (is_pointer_[f]) candidate_stack.push_back(f);
  }
  const size_t root_candidates = candidate_stack.size();

  uint32_t document_number = 0;
  for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
    ondemand::document_reference document;
    if (auto code = (*iterator).get(document)) {
      size_t offset = iterator.current_index();
      if (code == simdjson::UTF8_ERROR) {
        offset = FirstInvalidUtf8(reinterpret_cast<const unsigned char*>(buffer.data()), size);
      } else if (size_t located = LocateStructuralFault(buffer.data(), size); located < size) {
        offset = located;
      }
      return Refuse(offset, simdjson::error_message(code));
    }
    size_t start = iterator.current_index();
    while (start < size && IsJsonWhiteSpace(buffer.data()[start])) ++start;
    const uint32_t first_field = static_cast<uint32_t>(fields_.size());
    Walker walker{*this, candidate_stack, found_in_document, document_number++,
                  library_->scalar_parser, buffer.data() + size, validate};
    if (!walker.Visit(document, 0, 0, root_candidates)) {
      size_t offset = start;
      const char* position = walker.error_position;
      if (position == nullptr) {
        const char* location = nullptr;
        if (document.current_location().get(location) == simdjson::SUCCESS) position = location;
      }
      if (position != nullptr && position >= buffer.data() && position <= buffer.data() + size) {
        offset = position - buffer.data();
      }
      return Refuse(offset, simdjson::error_message(walker.error));
    }
    // Fields come out in document order; records list them in field-name order.
    std::sort(fields_.begin() + first_field, fields_.end(),
              [](const FieldRef& a, const FieldRef& b) { return a.index < b.index; });
    records_.push_back(RecordSpan{start, 0, first_field, static_cast<uint32_t>(fields_.size()) - first_field});
  }
  if (size_t truncated = stream.truncated_bytes(); truncated != 0) {
    size_t offset = LocateStructuralFault(buffer.data(), size);
    if (offset == size) offset = size - truncated;
    while (offset < size && IsJsonWhiteSpace(buffer.data()[offset])) ++offset;
    return Refuse(offset, "incomplete document or unbalanced bracket");
  }
  SetPayloadSizes(buffer);
  return core::Status::Ok;
}

ParsedRecord SIMDJsonAdapter::record(size_t i) const {
  const RecordSpan& span = records_[i];
  return ParsedRecord{std::string_view{buffer_ + span.payload_begin, span.payload_size},
                      std::span<const FieldRef>{fields_.data() + span.first_field, span.field_count}};
}

ParsedRecord SIMDJsonAdapter::NextRecord() { return record(next_record_++); }

}  // namespace adapter
}  // namespace psfstore
