// Column arrays: the typed Arrow arrays an extraction fills, one per output column.
//
// Each array owns one Arrow builder on the default memory pool and keeps a shared
// reference to its extractor. append() adds exactly one slot per call: the converted
// value, or the column's fallback when the value cannot be converted or does not fit
// (the extractor's default when it has one, otherwise a null). Bool and String columns
// have no default. If Arrow itself refuses an append (memory exhausted, a string column
// past its 2 GiB offset range) the array remembers it and finish() fails, so a table
// never silently lacks values.
//
// Temporal columns are plain integers counted in the extractor's resolution:
// timestamps since 1970-01-01T00:00:00 UTC, times since midnight, dates since
// 1970-01-01 (whole days for resolution "d"), durations as lengths.
#pragma once

#include <cstdint>
#include <memory>

#include <arrow/api.h>

#include "values/extractor.h"
#include "values/generic_value.h"

namespace recorder {
namespace data {
namespace private_data {

class ArrayFactory {
 public:
  virtual ~ArrayFactory() = default;

  // Appends one slot for `value`; never throws.
  virtual void append(const GenericValue& value) noexcept = 0;
  // Appends the column's fallback (its default, otherwise a null) for a value that no
  // value type holds, such as the number 1e400; never throws.
  virtual void append_fallback() noexcept = 0;
  // Finishes the builder into `out`. Throws std::runtime_error "Error finishing array"
  // (followed by Arrow's text) when Arrow fails or an earlier append was refused.
  virtual void finish(std::shared_ptr<arrow::Array>* out) = 0;
  // Drops everything appended so far.
  virtual void reset() = 0;
  // Makes room for `rows` further slots ahead of time; a failure only loses the hint.
  virtual void reserve(int64_t rows) = 0;
};

// The Arrow type of an extractor's column, fixed before any record is read: null for
// Raw and Record (the values decide), utf8, boolean, intN/uintN by width and sign,
// float32/float64 by width, int64 for timestamps, durations and dates, int32 for times
// in "s" and "ms" and int64 for times in "us" and "ns".
std::shared_ptr<arrow::DataType> ColumnType(const Extractor& extractor);

// The array for `extractor`. For Raw and Record the `inferred` type decides: boolean,
// int64, float64 or utf8; any other throws std::runtime_error "Type does not match a
// GenericValue::Type". A temporal default text is parsed here: a text that does not
// parse throws the parser's message, one whose value the column cannot hold throws
// "Default value does not fit the column".
std::unique_ptr<ArrayFactory> CreateArray(std::shared_ptr<const Extractor> extractor,
                                          const std::shared_ptr<arrow::DataType>& inferred);

}  // namespace private_data
}  // namespace data
}  // namespace recorder
