// Field lookup: finds, in one JSON document, the values of the fields the active
// predicates read, each named by a JSON Pointer ("/a/b/0").
//
// Field names select values by the rule of recorder::data::JsonPointer (member names
// compared after JSON unescaping, the first matching member wins); the empty name
// selects the whole document when it is an object or an array. A name that is not a
// pointer (no leading '/', a bad '~' escape) never matches.
//
// The walk follows only the paths that lead to fields not yet found and leaves the rest
// for the JSON library to skip. Asked to check, it visits every token and checks it
// against the JSON grammar as well, and a fault ends the walk with its position.
//
// Threading: one FieldLookup serves one thread; its buffers are kept between documents
// so a walk allocates nothing once they have grown.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "values/generic_value.h"

namespace psfstore {
namespace adapter {

// One field found in one document: the index of the field name in the lookup's list,
// the raw JSON text of its value token and the value made from it. For a scalar the
// token is exactly the value's text (a string keeps its quotes and escapes); for an
// object or array it is the opening bracket. Token and String values point into the
// document's buffer. `value_error` says why a token has no value (an object, an array or
// null is not a scalar); `value` is then Empty. A pass that read a String value's bytes
// may leave their polynomial (values/value_polynomial.h) for the key's hash.
struct FieldRef {
  uint32_t index;
  std::string_view token;
  recorder::data::GenericValue value;
  recorder::data::JsonValueError value_error;
  bool has_value_polynomial = false;
  uint64_t value_polynomial = 0;
};

// Why a checking walk stopped: the library's error and, when known, the byte it is at
// (else the document iterator's position tells).
struct WalkFault {
  simdjson::error_code error = simdjson::SUCCESS;
  const char* position = nullptr;
};

class FieldLookup {
 public:
  // Deepest nesting of arrays and objects a checking walk accepts.
  static constexpr uint32_t kMaxDepth = 1024;

  explicit FieldLookup(const std::vector<std::string>& field_names);

  // True when at least one name is a pointer, so that a walk can find something.
  bool has_fields() const { return has_pointer_fields_; }

  // Starts a batch: no field is found in any document yet.
  void StartBatch();

  // One step of a field's path: the unescaped reference token, and the token as an
  // array index or -1 when it is not one.
  struct PathStep {
    std::string key;
    int64_t array_index;
  };
  size_t field_count() const { return field_count_; }
  // Whether field `field` is a pointer (else it never matches), and its steps.
  bool is_pointer(size_t field) const { return is_pointer_[field]; }
  const std::vector<PathStep>& path(size_t field) const { return paths_[field]; }

  // Appends the fields found in `document`, the batch's `document_number`th, to
  // `fields` in field-name order. `buffer_end` is one past the batch's text (its
  // padding follows); `scalar_parser` re-reads string tokens that hold escapes. With
  // `check` a fault of the grammar ends the walk: false, with `fault` filled.
  bool FindFields(simdjson::ondemand::document_reference& document, uint32_t document_number,
                  simdjson::ondemand::parser& scalar_parser, const char* buffer_end, bool check,
                  std::vector<FieldRef>& fields, WalkFault* fault);

 private:
  struct Walker;

  size_t field_count_;
  // Per field name: its reference tokens; is_pointer_ is false for names that never match.
  std::vector<std::vector<PathStep>> paths_;
  std::vector<bool> is_pointer_;
  size_t longest_path_ = 0;
  bool has_pointer_fields_ = false;
  // Walk state reused across documents: per depth of the current path the fields still
  // matching it, and per field the number of the document it was last found in.
  std::vector<uint32_t> candidate_stack_;
  std::vector<uint32_t> found_in_document_;
  size_t root_candidates_ = 0;
};

}  // namespace adapter
}  // namespace psfstore
