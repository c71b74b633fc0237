// Table assembly: the records at a set of log addresses become one Arrow table, one
// column per (name, extractor) pair of a RecordExtractor and one row per address.
//
// The assembly does not know where records live. A RecordPayloadSource hands it the
// JSON text of the record at an address (from a page in memory or read from disk); each
// record is parsed once, its requested fields (JSON Pointers such as "/a/b") looked up,
// and the values appended straight into the column builders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include <arrow/api.h>
#include <simdjson.h>

#include "base/status.h"
#include "bitmap/bitmap.h"
#include "values/extractor.h"

namespace recorder {
namespace data {

// Bytes that must be readable after the end of every payload handed to the assembly:
// the JSON parser reads whole blocks past the text.
constexpr size_t kRecordPayloadPadding = simdjson::SIMDJSON_PADDING;

class RecordPayloadSource {
 public:
  virtual ~RecordPayloadSource() = default;

  // Sets `payload` to the JSON text of the record at `address`. The text must stay
  // valid, followed by kRecordPayloadPadding readable bytes, until the next call.
  // Any status but Ok fails the extraction.
  virtual psfstore::core::Status ReadPayload(uint64_t address, std::string_view* payload) = 0;
};

// Builds the table for `addresses`, which must ascend. `extractor` must be a
// RecordExtractor (std::invalid_argument otherwise). Failures throw and build no
// table:
//   - a field holding null, an array or an object: std::logic_error "The field does
//     not contain a scalar type";
//   - a Raw column with no classifiable value in any record: std::runtime_error "Type
//     does not match a GenericValue::Type" (its type otherwise comes from the first
//     record that has one; earlier records get that type's missing-value slot);
//   - a record that cannot be read or parsed: std::runtime_error naming the address;
//   - the column errors of CreateArray and ArrayFactory::finish.
std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, std::span<const uint64_t> addresses,
                                            RecordPayloadSource& source);
std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, const quillmark::storage::Bitmap& addresses,
                                            RecordPayloadSource& source);

}  // namespace data
}  // namespace recorder
