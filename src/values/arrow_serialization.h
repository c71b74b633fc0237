// Arrow tables as Base64 text: the form in which extractions reach Python.
#pragma once

#include <memory>
#include <string>

#include <arrow/api.h>

namespace recorder {
namespace data {

// Writes `table` as an Arrow IPC stream (default write options, into an in-memory
// stream of initial capacity 4096 bytes) and returns the stream's standard Base64 text
// with padding. Any Arrow failure throws std::runtime_error with Arrow's status text.
std::string SerializeTableAsBase64(const arrow::Table& table);

// Throws std::runtime_error with Arrow's text when `status` is not OK.
void ThrowIfArrowFailed(const arrow::Status& status);

template <typename T>
T ValueOrThrow(arrow::Result<T> result) {
  ThrowIfArrowFailed(result.status());
  return std::move(result).ValueOrDie();
}

}  // namespace data
}  // namespace recorder
