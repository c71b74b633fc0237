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

  // Tells the source which addresses (ascending, above all announced before) it will be
  // asked for next, so that it can start reading them. A hint: sources may ignore it.
  virtual void Announce(std::span<const uint64_t> addresses) { (void)addresses; }
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
// The same for the members of `addresses` in [from, last], of which there are `rows`.
std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, const quillmark::storage::Bitmap& addresses,
                                            uint64_t from, uint64_t last, uint64_t rows, RecordPayloadSource& source);

}  // namespace data
}  // namespace recorder
