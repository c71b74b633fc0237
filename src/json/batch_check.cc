#include "json/batch_check.h"

#include <cstdint>

namespace psfstore {
namespace adapter {

std::string_view TrimWhiteSpace(std::string_view text) {
  while (!text.empty() && IsJsonWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsJsonWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

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

BatchChecker::BatchChecker() {
#ifdef SIMDJSON_THREADS_ENABLED
  parser_.threaded = false;  // the calling thread does all the work
#endif
}

bool BatchChecker::Check(core::PaddedView buffer, size_t window, std::vector<size_t>* document_starts,
                         std::atomic<size_t>* checked_through) {
  document_starts->clear();
  simdjson::dom::document_stream stream;
  auto* text = reinterpret_cast<const uint8_t*>(buffer.data());
  if (parser_.parse_many(text, buffer.size(), window).get(stream)) return false;
  for (auto iterator = stream.begin(); iterator != stream.end(); ++iterator) {
    if ((*iterator).error()) return false;
    size_t start = iterator.current_index();
    while (start < buffer.size() && IsJsonWhiteSpace(buffer.data()[start])) ++start;
    document_starts->push_back(start);
    if (checked_through != nullptr) checked_through->store(start + 1, std::memory_order_release);
  }
  return stream.truncated_bytes() == 0;
}

}  // namespace adapter
}  // namespace psfstore
