// SIMDJsonAdapter: splits a buffer of JSON documents into records and finds, in each,
// the fields that the active predicates read.
//
// A batch is all or nothing. `Load` validates every document of the buffer completely
// (structure, strings and their escapes, the number grammar, literals, nesting up to
// kMaxDepth levels, UTF-8) before
// it hands out the first record; when any part of the buffer is not a complete JSON
// document (a malformed document, a truncated last document, trailing garbage) it
// refuses the whole buffer and reports the byte offset of the first fault. Documents may
// follow one another separated by any white space, or by nothing where the JSON
// grammar allows it ("1 2", "{}{}").
//
// Field names select values by the rule of recorder::data::JsonPointer (member names
// compared after JSON unescaping, the first matching member wins); the empty name
// selects the whole document when it is an object or an array.
//
// One parser serves one thread. Its buffers (the JSON library's parsers, the record and
// field lists) are kept between batches, so loading a batch no larger than an earlier
// one allocates nothing per record (the library allocates a few small objects per
// batch).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/padded_buffer.h"
#include "base/status.h"
#include "values/generic_value.h"

namespace psfstore {
namespace adapter {

// One field found in one document: the index of the field name in the parser's list,
// the raw JSON text of its value token and the value made from it. For a scalar the
// token is exactly the value's text (a string keeps its quotes and escapes); for an
// object or array it is the opening bracket. Token and String values point into the
// loaded buffer. `value_error` says why a token has no value (an object, an array or
// null is not a scalar); `value` is then Empty.
struct FieldRef {
  uint32_t index;
  std::string_view token;
  recorder::data::GenericValue value;
  recorder::data::JsonValueError value_error;
};

// One document: its raw text from its first to its last character (no surrounding white
// space) and the fields found in it, in field-name order.
struct ParsedRecord {
  std::string_view payload;
  std::span<const FieldRef> fields;
};

class SIMDJsonAdapter {
 public:
  // Deepest nesting of arrays and objects accepted in a document.
  static constexpr uint32_t kMaxDepth = 1024;
  // Largest document accepted: the record header's payload length field.
  static constexpr size_t kMaxDocumentSize = (size_t{1} << 25) - 1;

  // The most text the library splits at once; a larger batch is split in windows of
  // this size. Documents may straddle windows but must each fit in one.
  static constexpr size_t kLargestWindow = size_t{1} << 30;

  explicit SIMDJsonAdapter(std::vector<std::string> field_names, size_t largest_window = kLargestWindow);
  ~SIMDJsonAdapter();
  SIMDJsonAdapter(const SIMDJsonAdapter&) = delete;
  SIMDJsonAdapter& operator=(const SIMDJsonAdapter&) = delete;

  const std::vector<std::string>& field_names() const { return field_names_; }

  // Splits and validates the whole buffer. Ok: the records are ready for NextRecord.
  // Corruption: the buffer is refused, HasNext is false, and the status says where and
  // why ("malformed JSON at byte <offset>: <reason>"); fault_offset() is that offset.
  // The buffer must stay alive and unchanged while its records are in use.
  core::Status Load(core::PaddedView buffer);

  size_t fault_offset() const { return fault_offset_; }
  size_t record_count() const { return records_.size(); }
  bool HasNext() const { return next_record_ < records_.size(); }
  // The next record; valid until the next Load. Requires HasNext().
  ParsedRecord NextRecord();
  // Record `i` of the loaded batch, in document order.
  ParsedRecord record(size_t i) const;

 private:
  struct Walker;
  struct PathStep {
    std::string key;        // the unescaped reference token
    int64_t array_index;    // the token as an array index, or -1 when it is not one
  };
  struct RecordSpan {
    size_t payload_begin;
    size_t payload_size;
    uint32_t first_field;
    uint32_t field_count;
  };

  core::Status Refuse(size_t offset, std::string reason);
  // Runs the library's complete parser over the batch and notes where each document
  // starts; false when it refuses the batch.
  bool ValidateWholeBatch(core::PaddedView buffer);
  // Refuses records larger than the record limit and, when the batch was split in
  // windows, a top-level number or literal cut in two by a window's end.
  core::Status CheckRecords(core::PaddedView buffer);
  // Splits the batch into records_ and fields_ with the on-demand parser. With
  // `validate` every token is checked and a fault refuses the batch at its exact
  // offset; without, only the paths to the fields are read.
  core::Status Walk(core::PaddedView buffer, bool validate);
  bool RecordsMatchDocumentStarts() const;
  void SetPayloadSizes(core::PaddedView buffer);

  std::vector<std::string> field_names_;
  size_t largest_window_;
  // Per field name: its reference tokens; is_pointer_ is false for names that can never
  // match (no leading '/', a bad '~' escape).
  std::vector<std::vector<PathStep>> paths_;
  std::vector<bool> is_pointer_;
  size_t longest_path_ = 0;
  bool has_pointer_fields_ = false;

  struct Library;
  std::unique_ptr<Library> library_;

  const char* buffer_ = nullptr;
  std::vector<RecordSpan> records_;
  std::vector<FieldRef> fields_;
  std::vector<size_t> document_starts_;
  // Walk state reused across documents: per depth of the current path the fields still
  // matching it, and per field the number of the document it was last found in.
  std::vector<uint32_t> candidate_stack_;
  std::vector<uint32_t> found_in_document_;
  size_t next_record_ = 0;
  size_t fault_offset_ = 0;
};

}  // namespace adapter
}  // namespace psfstore
