// Batch checking: what makes a buffer a sequence of complete JSON documents, and where
// the first fault of one that is not lies.
//
// BatchChecker runs the JSON library's complete parser over a whole batch: fast, but it
// keeps no positions and refuses some valid JSON (integers beyond 64 bits, numbers
// beyond the double range), so a refusal is only a reason to look closer. The functions
// below are that closer look: they name the byte offset of a fault the library reports
// without one, and decide the number grammar exactly.
//
// Threading: the functions are pure; one BatchChecker serves one thread.
#pragma once

#include <simdjson.h>

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

#include "base/padded_buffer.h"

namespace psfstore {
namespace adapter {

inline bool IsJsonWhiteSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// `text` without JSON white space at either end.
std::string_view TrimWhiteSpace(std::string_view text);

// Offset of the first byte that is not part of a valid UTF-8 sequence (only called once
// the library has said there is one); `size` when there is none.
size_t FirstInvalidUtf8(const unsigned char* text, size_t size);

// Finds, on the error path only, the first byte at which `text` stops being a sequence
// of JSON documents for reasons the library reports without a position: a control
// character inside a string, a closing bracket that closes nothing or the wrong
// bracket, a string or a document left open at the end. Returns `size` when it finds
// none of these.
size_t LocateStructuralFault(const char* text, size_t size);

// The JSON number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?. Any number of
// that form is valid JSON, whatever its range; a projection of one it cannot represent
// is handled where the value is made.
bool IsJsonNumber(std::string_view token);

// True when a string token holds an escape and must be unescaped to be compared.
bool HasBackslash(std::string_view text);

class BatchChecker {
 public:
  BatchChecker();
  // True when the library accepts all of `buffer` as complete documents, split in
  // windows of `window` bytes; `document_starts` then holds the offset of each
  // document's first character. False says nothing about where the fault is, or
  // whether there is one the JSON grammar knows.
  //
  // With `checked_through`, publishes its progress while it works, for a reader on
  // another thread: once it holds n, the document starting at offset n - 1 and all
  // before it are valid JSON. It only grows, and stops short of a fault.
  bool Check(core::PaddedView buffer, size_t window, std::vector<size_t>* document_starts,
             std::atomic<size_t>* checked_through = nullptr);

 private:
  simdjson::dom::parser parser_;
};

}  // namespace adapter
}  // namespace psfstore
