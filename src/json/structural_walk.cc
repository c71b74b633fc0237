#include "json/structural_walk.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "json/batch_check.h"
#include "values/value_polynomial.h"

namespace psfstore {
namespace adapter {

namespace ondemand = simdjson::ondemand;
using recorder::data::GenericValue;
using recorder::data::JsonValueError;

namespace {

constexpr bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Whether [p, end) holds only JSON white space; false when p is past `end`.
inline bool OnlyWhiteSpace(const uint8_t* p, const uint8_t* end) {
  if (p > end) return false;
  while (p < end && IsJsonWhiteSpace(static_cast<char>(*p))) ++p;
  return p == end;
}

// Whether the literal `word` of `size` bytes starts at `p` and runs to `end`, less white
// space.
inline bool IsLiteral(const uint8_t* p, const uint8_t* end, const char* word, size_t size) {
  return std::memcmp(p, word, size) == 0 && (p + size == end || OnlyWhiteSpace(p + size, end));
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The value of a number token (already checked against the grammar) where it is plain:
// an integer of at most 18 digits, or a decimal whose digits fit in 53 bits with a
// power of ten up to 22, where one correctly rounded operation gives the one right
// double, the library's answer too. False for anything else ("-0", long or wide
// numbers), which the library reads.
bool PlainNumber(std::string_view token, GenericValue* out) {
  const char* p = token.data();
  const char* end = p + token.size();
  const bool negative = *p == '-';
  p += negative;
  uint64_t mantissa = 0;
  const char* digits = p;
  while (p < end && IsDigit(*p)) mantissa = mantissa * 10 + (*p++ - '0');
  size_t digit_count = p - digits;
  if (p == end) {
    if (digit_count > 18 || (negative && mantissa == 0)) return false;
    *out = GenericValue::OfInt64(negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa));
    return true;
  }
  int exponent = 0;
  if (*p == '.') {
    const char* fraction = ++p;
    while (p < end && IsDigit(*p)) mantissa = mantissa * 10 + (*p++ - '0');
    exponent = -static_cast<int>(p - fraction);
    digit_count += p - fraction;
  }
  if (digit_count > 19) return false;
  if (p < end) {  // 'e' or 'E'
    ++p;
    const bool negative_exponent = *p == '-';
    p += *p == '-' || *p == '+';
    if (end - p > 3) return false;
    int written = 0;
    while (p < end) written = written * 10 + (*p++ - '0');
    exponent += negative_exponent ? -written : written;
  }
  if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
  double value = static_cast<double>(mantissa);
  value = exponent < 0 ? value / kPowersOfTen[-exponent] : value * kPowersOfTen[exponent];
  *out = GenericValue::OfDouble(negative ? -value : value);
  return true;
}

}  // namespace

// An open container: the candidates of the container itself (fields whose path matches
// the path to it), whether it is an object, and the index of its next element.
struct StructuralWalk::Level {
  uint32_t candidates_first;
  uint32_t candidates_last;
  int64_t next_index;
  bool is_object;
};

StructuralWalk::StructuralWalk(const FieldLookup& lookup, size_t chunk_bytes)
    : lookup_{lookup}, chunk_bytes_{chunk_bytes} {
  const size_t field_count = lookup_.field_count();
  path_sizes_.assign(field_count, 0);
  for (uint32_t f = 0; f < field_count; ++f) {
    if (!lookup_.is_pointer(f)) continue;
    root_candidates_.push_back(f);
    path_sizes_[f] = static_cast<uint32_t>(lookup_.path(f).size());
    longest_path_ = std::max(longest_path_, lookup_.path(f).size());
  }
  steps_.resize(field_count * longest_path_);
  for (uint32_t f : root_candidates_) {
    const auto& path = lookup_.path(f);
    for (size_t k = 0; k < path.size(); ++k) steps_[f * longest_path_ + k] = Step{path[k].key, path[k].array_index};
  }
  key_filters_.assign(longest_path_, KeyFilter{});
  for (uint32_t f : root_candidates_) {
    const auto& path = lookup_.path(f);
    for (size_t k = 0; k < path.size(); ++k) {
      const size_t bit = KeyFilterBit(path[k].key);
      key_filters_[k][bit / 64] |= uint64_t{1} << (bit % 64);
    }
  }
}

StructuralWalk::~StructuralWalk() = default;

bool StructuralWalk::Reserve(size_t size) {
  if (stage1_ != nullptr && size <= capacity_) return true;
  size_t capacity = std::max<size_t>(std::bit_ceil(size), size_t{1} << 16);
  if (capacity > kLargestBatch) capacity = kLargestBatch;
  if (stage1_ == nullptr) {
    if (simdjson::get_active_implementation()->create_dom_parser_implementation(capacity, FieldLookup::kMaxDepth,
                                                                                 stage1_)) {
      stage1_.reset();
      return false;
    }
  } else if (stage1_->set_capacity(capacity)) {
    stage1_.reset();
    capacity_ = 0;
    return false;
  }
  capacity_ = capacity;
  return true;
}

// The state of one pass over one batch; the walk's buffers are borrowed from the
// StructuralWalk.
struct StructuralWalk::Pass {
  StructuralWalk& walk;
  ondemand::parser& scalar_parser;
  std::vector<FieldRef>& fields;
  const uint8_t* batch;
  const uint8_t* batch_end;
  // The chunk at hand: it starts at `text`, `chunk_offset` bytes into the batch, and
  // holds `count` positions, relative to `text`; positions[count] is its length.
  const uint8_t* text = nullptr;
  size_t chunk_offset = 0;
  size_t next_chunk = 0;
  const uint32_t* positions = nullptr;
  size_t count = 0;
  bool failed = false;  // the first stage refused a chunk
  const uint8_t* next_backslash;  // the first backslash at or after the strings checked so far, or the chunk's end
  uint32_t document_number = 0;
  // The candidate stack: [0, root) are the fields that are pointers; each value's
  // candidates lie on top of its container's.
  uint32_t* candidates;
  uint32_t candidates_top;

  // Where the chunk starting at `begin` ends: just after the last line feed within
  // the chunk size, so that the first stage's positions of one chunk stay in the caches
  // while the walk reads them. A line feed is never inside a token of valid JSON (a
  // string holds it escaped), so tokens never straddle chunks; where one seems to, the
  // text is not JSON and the first stage of one of the chunks refuses it.
  size_t ChunkEnd(size_t begin) const {
    const size_t total = batch_end - batch;
    const size_t chunk = walk.chunk_bytes_;
    if (total - begin <= chunk + chunk / 2) return total;
    if (const void* feed = memrchr(batch + begin, '\n', chunk)) {
      return static_cast<const uint8_t*>(feed) - batch + 1;
    }
    const void* feed = std::memchr(batch + begin + chunk, '\n', total - begin - chunk);
    return feed != nullptr ? static_cast<const uint8_t*>(feed) - batch + 1 : total;
  }

  // Runs the first stage over the next chunk with any positions; false at the end of
  // the batch or when the first stage refuses (then `failed`).
  bool Refill() {
    for (;;) {
      const size_t total = batch_end - batch;
      if (next_chunk == total) return false;
      const size_t begin = next_chunk;
      const size_t end = ChunkEnd(begin);
      if (end - begin > kLargestBatch || !walk.Reserve(end - begin)) return !(failed = true);
      const simdjson::error_code code =
          walk.stage1_->stage1(batch + begin, end - begin, simdjson::stage1_mode::regular);
      next_chunk = end;
      if (code == simdjson::EMPTY) continue;  // white space only
      if (code != simdjson::SUCCESS) return !(failed = true);
      text = batch + begin;
      chunk_offset = begin;
      count = walk.stage1_->n_structural_indexes;
      uint32_t* chunk_positions = walk.stage1_->structural_indexes.get();
      chunk_positions[count] = static_cast<uint32_t>(end - begin);  // the library leaves room past the last
      positions = chunk_positions;
      return true;
    }
  }

  char At(size_t i) const { return static_cast<char>(text[positions[i]]); }

  // One past the last character of the token at structural position i: the next
  // position less white space.
  size_t TokenEnd(size_t i) const {
    const size_t begin = positions[i];
    size_t end = positions[i + 1];
    while (end > begin && IsJsonWhiteSpace(static_cast<char>(text[end - 1]))) --end;
    return end;
  }
  std::string_view Token(size_t i) const {
    return {reinterpret_cast<const char*>(text) + positions[i], TokenEnd(i) - positions[i]};
  }

  // Whether the string at position i holds a backslash. A string's text always ends
  // before the next position: whatever follows its closing quote other than white space
  // is a position of its own.
  bool Escaped(size_t i) {
    const uint8_t* begin = text + positions[i];
    if (next_backslash <= begin) {  // a string's first byte is its quote
      // Backslashes between strings lie in scalar tokens, which their own checks refuse.
      // The search stays in the chunk, which the caches hold: no string crosses its end.
      const uint8_t* chunk_end = text + positions[count];
      const void* found = std::memchr(begin, '\\', chunk_end - begin);
      next_backslash = found != nullptr ? static_cast<const uint8_t*>(found) : chunk_end;
    }
    return next_backslash < text + positions[i + 1];
  }

  // Checks the escapes of the string at position i with the library's own unescaper
  // (the first stage has checked the rest: closed, UTF-8, no raw control characters);
  // `unescaped` receives its content.
  bool Unescape(size_t i, std::string_view* unescaped) {
    std::vector<uint8_t>& scratch = walk.unescaped_;
    const size_t room = positions[i + 1] - positions[i] + 2 * simdjson::SIMDJSON_PADDING;
    if (scratch.size() < room) scratch.resize(room);
    const uint8_t* written = walk.stage1_->parse_string(text + positions[i] + 1, scratch.data());
    if (written == nullptr) return false;
    *unescaped = {reinterpret_cast<const char*>(scratch.data()), static_cast<size_t>(written - scratch.data())};
    return true;
  }

  // Checks the scalar at position i and, for a found field, makes its value by the
  // rules of GenericValue::TryFromJson.
  [[gnu::always_inline]] bool CheckScalar(size_t i, FieldRef* found) {
    const uint8_t* token = text + positions[i];
    const uint8_t* end = text + positions[i + 1];
    switch (*token) {
      case '"': {
        std::string_view unescaped;
        if (Escaped(i) && !Unescape(i, &unescaped)) return false;
        if (found != nullptr) {
          const std::string_view content = found->token.substr(1, found->token.size() - 2);
          found->value = GenericValue::OfString(content);
          // Folded now, while the bytes are in the caches: staging comes after the
          // whole batch has been read and would meet them cold.
          found->value_polynomial = recorder::data::ContinueValuePolynomial(0, content.data(), content.size());
          found->has_value_polynomial = true;
        }
        return true;
      }
      case 't':
        if (!IsLiteral(token, end, "true", 4)) return false;
        if (found != nullptr) found->value = GenericValue::OfBool(true);
        return true;
      case 'f':
        if (!IsLiteral(token, end, "false", 5)) return false;
        if (found != nullptr) found->value = GenericValue::OfBool(false);
        return true;
      case 'n':
        if (!IsLiteral(token, end, "null", 4)) return false;
        if (found != nullptr) found->value_error = JsonValueError::NotScalar;
        return true;
      default:
        if (!IsJsonNumber(Token(i))) return false;
        if (found != nullptr && !PlainNumber(found->token, &found->value)) return ReadNumber(found->token, found);
        return true;
    }
  }

  // The library's reading of a number that is not plain, inside an array as the field
  // walk reads it.
  bool ReadNumber(std::string_view token, FieldRef* found) {
    std::string& wrapped = walk.wrapped_number_;
    wrapped.assign("[").append(token).append("]");
    const size_t length = wrapped.size();
    wrapped.append(simdjson::SIMDJSON_PADDING, '\0');
    ondemand::document document;
    ondemand::array array;
    ondemand::value value;
    if (scalar_parser.iterate(wrapped.data(), length, wrapped.size()).get(document) ||
        document.get_array().get(array) || array.at(0).get(value)) {
      return false;
    }
    found->value_error = GenericValue::TryFromJson(value, &found->value);
    return true;
  }

  // Records the fields among candidates [first, last) whose path ends at the value at
  // position i, reached by `depth` steps, and checks that value when it is a scalar
  // (then `checked`). The first match in a document wins.
  bool FoundHere(size_t i, uint32_t depth, uint32_t first, uint32_t last, bool container, bool* checked) {
    for (uint32_t c = first; c < last; ++c) {
      const uint32_t field = candidates[c];
      if (walk.path_sizes_[field] != depth || (depth == 0 && !container)) continue;
      if (walk.found_in_document_[field] == document_number) continue;
      walk.found_in_document_[field] = document_number;
      std::string_view token = container ? std::string_view{reinterpret_cast<const char*>(text) + positions[i], 1}
                                         : Token(i);
      FieldRef& ref = fields.emplace_back(
          FieldRef{field, token, GenericValue{}, container ? JsonValueError::NotScalar : JsonValueError::None});
      if (!container && !CheckScalar(i, &ref)) return false;
      *checked = !container;
    }
    return true;
  }

  // Pushes the candidates among [first, last) whose step `step` accepts the member name
  // or the array index; returns the new top of the candidate stack.
  template <class Accepts>
  uint32_t Narrow(uint32_t step, uint32_t first, uint32_t last, Accepts accepts) {
    candidates_top = last;
    for (uint32_t c = first; c < last; ++c) {
      const uint32_t field = candidates[c];
      if (walk.path_sizes_[field] > step && accepts(walk.steps_[field * walk.longest_path_ + step])) {
        candidates[candidates_top++] = field;
      }
    }
    return candidates_top;
  }
};

bool StructuralWalk::Run(core::PaddedView buffer, ondemand::parser& scalar_parser, std::vector<DocumentSpan>& documents,
                         std::vector<FieldRef>& fields) {
  documents.clear();
  fields.clear();
  if (buffer.empty()) return false;
  const uint8_t* batch = reinterpret_cast<const uint8_t*>(buffer.data());

  found_in_document_.assign(lookup_.field_count(), UINT32_MAX);
  const uint32_t root_candidates = static_cast<uint32_t>(root_candidates_.size());
  // Each step down the current path holds at most the candidates of the step above.
  candidates_.resize(root_candidates * (longest_path_ + 2) + 1);
  std::copy(root_candidates_.begin(), root_candidates_.end(), candidates_.begin());
  if (levels_.size() < FieldLookup::kMaxDepth) levels_.resize(FieldLookup::kMaxDepth);
  Level* const levels = levels_.data();
  Pass pass{.walk = *this, .scalar_parser = scalar_parser, .fields = fields, .batch = batch,
            .batch_end = batch + buffer.size(), .next_backslash = batch, .candidates = candidates_.data(),
            .candidates_top = root_candidates};

  // The grammar as a machine over the positions, one label per state. Every step to
  // the next position goes through Step, which moves to the next chunk at a chunk's end.
  // The chunk at hand is copied into locals, which the compiler keeps in registers.
  size_t i = 0;
  const uint8_t* text = nullptr;
  const uint32_t* positions = nullptr;
  size_t count = 0;
  auto refill = [&] {
    if (!pass.Refill()) return false;
    text = pass.text;
    positions = pass.positions;
    count = pass.count;
    return true;
  };
  // Inlined by force: a call per position costs a tenth of the walk.
  auto at = [&](size_t position) __attribute__((always_inline)) {
    return static_cast<char>(text[positions[position]]);
  };
  auto step = [&]() __attribute__((always_inline)) { return ++i < count || (i = 0, refill()); };
  size_t document_begin = 0;
  size_t document_end = 0;
  uint32_t first_field = 0;
  uint32_t depth = 0;  // containers open around the token at hand
  uint32_t first = 0;  // candidates [first, last) of the value at hand
  uint32_t last = 0;
  Level* level = nullptr;
  char c = 0;
  bool checked = false;  // the scalar at hand was checked when a field was found in it
  if (!refill()) return false;  // white space only: the exact path decides

document_start:  // at position i of a chunk, or past the last chunk
  document_begin = pass.chunk_offset + positions[i];
  first_field = static_cast<uint32_t>(fields.size());
  depth = 0;
  first = 0;
  last = root_candidates;

value:  // a value at position i
  c = at(i);
  checked = false;
  if (first != last && !pass.FoundHere(i, depth, first, last, c == '{' || c == '[', &checked)) return false;
  if (c == '{' || c == '[') {
    if (depth + 1 >= FieldLookup::kMaxDepth) return false;  // the exact path decides at the limit
    level = &levels[depth++];
    *level = Level{first, last, 0, c == '{'};
    if (!step()) return false;
    if (at(i) == (c == '{' ? '}' : ']')) goto container_end;
    if (c == '{') goto member;
    first = last;
    if (level->candidates_first != level->candidates_last) {
      last = pass.Narrow(depth - 1, level->candidates_first, level->candidates_last,
                         [](const Step& step) { return step.array_index == 0; });
    }
    goto value;
  }
  if (!checked && !pass.CheckScalar(i, nullptr)) return false;
  if (depth == 0) {
    document_end = pass.chunk_offset + pass.TokenEnd(i);
    goto document_done;
  }
  if (!step()) return false;
  goto after_value;

member:  // a member of the object `level` at position i: key, colon, value
  if (at(i) != '"') return false;
  first = last = level->candidates_last;
  if (level->candidates_first == level->candidates_last) {
    std::string_view unescaped;
    if (pass.Escaped(i) && !pass.Unescape(i, &unescaped)) return false;
  } else {
    std::string_view key;
    if (pass.Escaped(i)) {
      if (!pass.Unescape(i, &key)) return false;
    } else {
      key = pass.Token(i);
      key = key.substr(1, key.size() - 2);
    }
    // Most member names lead to no field: the filter spares comparing them with each.
    // Below the longest path no candidate has a step left to take.
    const size_t bit = KeyFilterBit(key);
    if (depth - 1 < key_filters_.size() && (key_filters_[depth - 1][bit / 64] & (uint64_t{1} << (bit % 64)))) {
      last = pass.Narrow(depth - 1, level->candidates_first, level->candidates_last,
                         [key](const Step& step) { return step.key == key; });
    }
  }
  if (!step() || at(i) != ':' || !step()) return false;
  goto value;

after_value:  // inside the container `levels[depth - 1]`: a comma or its closing bracket
  level = &levels[depth - 1];
  c = at(i);
  if (c == ',') {
    if (!step()) return false;
    if (level->is_object) goto member;
    const int64_t index = ++level->next_index;
    first = last = level->candidates_last;
    if (level->candidates_first != level->candidates_last) {
      last = pass.Narrow(depth - 1, level->candidates_first, level->candidates_last,
                         [index](const Step& step) { return step.array_index == index; });
    }
    goto value;
  }
  if (c != (level->is_object ? '}' : ']')) return false;

container_end:  // the closing bracket of `levels[depth - 1]` at position i
  --depth;
  if (depth == 0) {
    document_end = pass.chunk_offset + positions[i] + 1;
    goto document_done;
  }
  if (!step()) return false;
  goto after_value;

document_done: {  // the document's last token is at position i
  const uint32_t field_total = static_cast<uint32_t>(fields.size());
  // Fields come out in document order; records list them in field-name order. There
  // are few, often already in order: an insertion sort.
  for (uint32_t k = first_field + 1; k < field_total; ++k) {
    for (uint32_t j = k; j > first_field && fields[j - 1].index > fields[j].index; --j) std::swap(fields[j - 1], fields[j]);
  }
  documents.push_back(DocumentSpan{document_begin, document_end - document_begin, first_field,
                                   field_total - first_field});
  ++pass.document_number;
  if (step()) goto document_start;
  return !pass.failed;
}
}

}  // namespace adapter
}  // namespace psfstore
