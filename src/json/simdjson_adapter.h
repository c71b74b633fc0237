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
// A batch is first read in one pass (json/structural_walk.h), which checks it and finds
// its fields at once and takes nearly every valid batch. When that pass has any doubt,
// two exact passes decide: batch checking (json/batch_check.h) says whether and where a
// buffer stops being JSON, field lookup (json/field_lookup.h) finds the projected fields
// in each document and states the rule by which field names select values.
//
// One parser serves one thread. For a large batch on the exact passes, Load may hand the
// whole-batch check to a helper thread (base/helper_threads.h) while it finds the fields
// itself; it waits for the helper before it returns, so callers see no other thread. Its buffers (the JSON
// library's parsers, the record and field lists) are kept between batches, so loading a
// batch no larger than an earlier one allocates nothing per record (the library
// allocates a few small objects per batch).
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
#include "json/batch_check.h"
#include "json/field_lookup.h"
#include "json/structural_walk.h"

namespace psfstore {
namespace adapter {

// One document: its raw text from its first to its last character (no surrounding white
// space) and the fields found in it, in field-name order.
struct ParsedRecord {
  std::string_view payload;
  std::span<const FieldRef> fields;
};

class SIMDJsonAdapter {
 public:
  // Deepest nesting of arrays and objects accepted in a document.
  static constexpr uint32_t kMaxDepth = FieldLookup::kMaxDepth;
  // Largest document accepted: the record header's payload length field.
  static constexpr size_t kMaxDocumentSize = (size_t{1} << 25) - 1;

  // The most text the library splits at once; a larger batch is split in windows of
  // this size. Documents may straddle windows but must each fit in one.
  static constexpr size_t kLargestWindow = size_t{1} << 30;

  // Batches from this size on are worth work on a helper thread when a core is free
  // (base/helper_threads.h): on the exact passes the check runs there while the calling
  // thread finds the fields; an inserter may read and stage the second half there.
  // Below it the handover costs more than the overlap saves.
  static constexpr size_t kHelperCheckBytes = size_t{256} << 10;

  // Where a batch splits in two halves to be read at once: just after a line feed near
  // the middle that is followed by the start of a value, so that the second half most
  // likely starts with a document (each half must still be checked on its own). 0 when
  // there is none close by.
  static size_t HalvingPoint(core::PaddedView buffer);

  // Where the whole-batch check of the exact passes runs; the results are the same
  // everywhere.
  enum class CheckPlacement {
    Automatic,  // on a helper for large batches while a core is free, else inline
    Inline,     // always on the calling thread
    Helper,     // on a helper for any batch with fields to find (tests)
  };

  // How a batch is checked and split. Both give the same records, fields and verdicts.
  enum class Passes {
    One,           // one pass (json/structural_walk.h); on any doubt the exact two passes decide
    CheckThenWalk  // always the whole-batch check, then the field walk
  };

  explicit SIMDJsonAdapter(std::vector<std::string> field_names, size_t largest_window = kLargestWindow);
  ~SIMDJsonAdapter();
  SIMDJsonAdapter(const SIMDJsonAdapter&) = delete;
  SIMDJsonAdapter& operator=(const SIMDJsonAdapter&) = delete;

  const std::vector<std::string>& field_names() const { return field_names_; }
  void set_check_placement(CheckPlacement placement) { check_placement_ = placement; }
  void set_passes(Passes passes) { passes_ = passes; }

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
  core::Status Refuse(size_t offset, std::string reason);
  // Refuses records larger than the record limit and, when the batch was split in
  // windows, a top-level number or literal cut in two by a window's end.
  core::Status CheckRecords(core::PaddedView buffer);
  // How far a check running on a helper has got (see BatchChecker::Check).
  struct CheckProgress;
  // Splits the batch into records_ and fields_ with the on-demand parser. With
  // `validate` every token is checked and a fault refuses the batch at its exact
  // offset; without, only the paths to the fields are read, which is only safe on
  // checked text: with `progress`, the walk enters a document only once the check has
  // passed it, and gives up (refuses at 0) when the check stops before it.
  core::Status Walk(core::PaddedView buffer, bool validate, CheckProgress* progress = nullptr);
  // Runs the whole-batch check and the field walk, on two threads when placed so; true
  // when the check accepts. Both always finish before it returns.
  bool CheckAndWalk(core::PaddedView buffer, core::Status* walked);
  bool RecordsMatchDocumentStarts() const;
  void SetPayloadSizes(core::PaddedView buffer);

  std::vector<std::string> field_names_;
  size_t largest_window_;
  CheckPlacement check_placement_ = CheckPlacement::Automatic;
  Passes passes_ = Passes::One;
  FieldLookup lookup_;
  BatchChecker checker_;
  StructuralWalk one_pass_;

  struct Library;
  std::unique_ptr<Library> library_;

  const char* buffer_ = nullptr;
  std::vector<DocumentSpan> records_;
  std::vector<FieldRef> fields_;
  std::vector<size_t> document_starts_;
  size_t next_record_ = 0;
  size_t fault_offset_ = 0;
};

}  // namespace adapter
}  // namespace psfstore
