// ArrowTable: an extracted table handed to Python in Arrow's own memory.
//
// Python readers take it through the Arrow PyCapsule stream protocol
// (`__arrow_c_stream__`): pyarrow.table(), DuckDB and polars read its columns where
// they are, with no serialisation and no copy. The table is immutable and shared, so
// it can be read any number of times, also after the store is gone.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include <arrow/api.h>

namespace quillmark {
namespace module {

class ArrowTable {
 public:
  explicit ArrowTable(std::shared_ptr<arrow::Table> table) : table_{std::move(table)} {}

  // A new ArrowArrayStream over the table in a capsule named "arrow_array_stream"; the
  // capsule releases the stream unless a reader has moved it out. Throws
  // std::runtime_error with Arrow's text when the export fails.
  pybind11::capsule ExportStream() const;

  const arrow::Table& table() const { return *table_; }

 private:
  std::shared_ptr<arrow::Table> table_;
};

}  // namespace module
}  // namespace quillmark
