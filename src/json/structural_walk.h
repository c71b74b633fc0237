// StructuralWalk: checks a batch of JSON documents and finds their projected fields in
// one pass over the text.
//
// The JSON library's first stage runs once over the whole batch: it finds every
// structural character and the first byte of every scalar, and checks UTF-8, raw
// control characters in strings and unclosed strings. The walk then goes once over
// those positions: it checks the grammar (brackets, commas, colons, nesting), every
// scalar (strings with escapes through the library's own unescaper, numbers against the
// number grammar, literals exactly), splits the documents and collects the fields named
// by the field lookup, by the same rule and with the same tokens and values as
// FieldLookup's walk.
//
// It accepts only what is certainly valid, and gives up at the first doubt without
// saying where: a fault, but also valid text it leaves to the exact path (nesting at
// the depth limit, white space alone, a number token that would only be complete with
// bytes past the batch's end). The caller then decides with the exact path, which names
// the offset of a fault. Batches it accepts give the same records and fields as that
// path.
//
// Threading: one StructuralWalk serves one thread. Its buffers (the structural
// positions, a scratch for unescaping, the nesting stack) are kept between batches and
// only grow.
#pragma once

#include <simdjson.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/padded_buffer.h"
#include "json/field_lookup.h"

namespace psfstore {
namespace adapter {

// One document of a batch: the offset and size of its text (no surrounding white space)
// and its fields, fields[first_field, first_field + field_count) in field-name order.
struct DocumentSpan {
  size_t payload_begin;
  size_t payload_size;
  uint32_t first_field;
  uint32_t field_count;
};

class StructuralWalk {
 public:
  // The first stage runs over chunks of about this size, cut after a line feed.
  static constexpr size_t kChunkBytes = size_t{1} << 20;
  // The largest chunk (a batch without line feeds is one chunk): the library numbers
  // positions in 32 bits.
  static constexpr size_t kLargestBatch = (size_t{1} << 32) - 1;

  // `chunk_bytes` other than kChunkBytes is for tests that cut batches often.
  explicit StructuralWalk(const FieldLookup& lookup, size_t chunk_bytes = kChunkBytes);
  ~StructuralWalk();
  StructuralWalk(const StructuralWalk&) = delete;
  StructuralWalk& operator=(const StructuralWalk&) = delete;

  // True: `buffer` is one or more complete JSON documents separated by white space
  // (or by nothing where the grammar allows it), and `documents` and `fields` hold them.
  // False: a fault or a doubt; the lists hold nothing of use. `scalar_parser` reads a
  // number field whose value this walk does not make itself.
  bool Run(core::PaddedView buffer, simdjson::ondemand::parser& scalar_parser, std::vector<DocumentSpan>& documents,
           std::vector<FieldRef>& fields);

 private:
  struct Level;
  struct Pass;

  // Ensures the library's first stage can take `size` bytes.
  bool Reserve(size_t size);

  // The lookup's paths, flat: field f's step k is steps_[f * longest_path_ + k].
  struct Step {
    std::string_view key;
    int64_t array_index;
  };

  // Per path step, the bits of the member names some field's step names (KeyFilterBit):
  // a name whose bit is clear matches no field there.
  using KeyFilter = std::array<uint64_t, 4>;
  static size_t KeyFilterBit(std::string_view key) {
    return (key.size() * 31 + (key.empty() ? 0 : static_cast<uint8_t>(key[0]))) % 256;
  }

  const FieldLookup& lookup_;
  const size_t chunk_bytes_;
  std::vector<uint32_t> root_candidates_;  // the fields that are pointers
  std::vector<uint32_t> path_sizes_;
  std::vector<Step> steps_;
  std::vector<KeyFilter> key_filters_;
  size_t longest_path_ = 0;
  std::unique_ptr<simdjson::internal::dom_parser_implementation> stage1_;
  size_t capacity_ = 0;
  std::vector<Level> levels_;
  std::vector<uint32_t> candidates_;
  std::vector<uint32_t> found_in_document_;
  std::vector<uint8_t> unescaped_;   // scratch for the library's unescaper
  std::string wrapped_number_;       // "[<number>]" with padding, for the exact number path
};

}  // namespace adapter
}  // namespace psfstore
