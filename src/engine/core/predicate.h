// Predicated subset functions (predicates for short): functions that map a record to a
// key value or to nothing. Every record is linked into one hash chain per predicate
// that yields a value for it, keyed by (predicate id, value).
//
// General predicates yield a typed value; the only kind users create is the built-in
// projection, the value of one field. Inline predicates yield a 32-bit value; they only
// come back from a naming checkpoint that lists them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "json/simdjson_adapter.h"

namespace recorder {
namespace data {
class GenericValue;
}  // namespace data
}  // namespace recorder

namespace psfstore {
namespace core {

// The arguments of one evaluation: one field per argument, in the predicate's order.
using PsfArguments = std::span<const adapter::FieldRef>;

// A 32-bit predicate value or nothing.
struct NullableUint32 {
  uint8_t is_null;
  uint32_t value;
};

using GeneralPsfFunction = recorder::data::GenericValue (*)(PsfArguments arguments);
using InlinePsfFunction = NullableUint32 (*)(PsfArguments arguments);

// The library id of predicates built into the engine.
constexpr int64_t kBuiltInLibrary = -1;
// The function name of the built-in projection.
inline constexpr const char* kProjectionFunctionName = "proj";

struct GeneralPsf {
  std::vector<uint16_t> fields;        // field ids of the arguments, in order
  GeneralPsfFunction evaluate;         // not called for the built-in projection
  int64_t library_id;                  // index into the library list; kBuiltInLibrary
  std::string function_name;           // kProjectionFunctionName for projections

  bool is_projection() const { return library_id == kBuiltInLibrary; }
};

struct InlinePsf {
  std::vector<uint16_t> fields;
  InlinePsfFunction evaluate;
  int64_t library_id;
  std::string function_name;
};

// One step of a change to the set of predicates that inserts evaluate.
struct PsfChange {
  enum Operation : uint8_t {
    kAddInline = 0,
    kRemoveInline = 1,
    kAddGeneral = 2,
    kRemoveGeneral = 3,
  };
  uint8_t operation;
  uint32_t id;  // a general predicate id uses the low 16 bits

  static PsfChange AddGeneral(uint16_t id) { return PsfChange{kAddGeneral, id}; }
  static PsfChange RemoveGeneral(uint16_t id) { return PsfChange{kRemoveGeneral, id}; }
  static PsfChange AddInline(uint32_t id) { return PsfChange{kAddInline, id}; }
  static PsfChange RemoveInline(uint32_t id) { return PsfChange{kRemoveInline, id}; }
};

// Which predicates inserts evaluate and which fields their parsers extract. The sets
// are kept sorted, so they iterate in a fixed order: key pointers and parse fields come
// out in ascending predicate id and field id order.
struct PsfConfiguration {
  std::vector<uint16_t> general_set;
  std::vector<uint32_t> inline_set;
  std::vector<std::string> parse_fields;   // field names a record parser must extract
  std::vector<uint16_t> parse_field_ids;   // the id of each parse field, same order
};

}  // namespace core
}  // namespace psfstore
