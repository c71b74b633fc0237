// Reading back what an extraction returns: Base64 text of one Arrow IPC stream.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/util/base64.h>

#include "values/arrow_serialization.h"

namespace recorder {
namespace data {
namespace test_support {

// The decoder returns a plain string in older Arrow releases and a Result in newer ones.
[[maybe_unused]] inline std::string Unwrap(std::string text) { return text; }
[[maybe_unused]] inline std::string Unwrap(arrow::Result<std::string> result) {
  return ValueOrThrow(std::move(result));
}

// The table of a Base64-encoded IPC stream; throws std::runtime_error on any Arrow error.
inline std::shared_ptr<arrow::Table> ReadBase64Stream(const std::string& text) {
  const std::string bytes = Unwrap(arrow::util::base64_decode(text));
  auto input = std::make_shared<arrow::io::BufferReader>(arrow::Buffer::FromString(bytes));
  auto reader = ValueOrThrow(arrow::ipc::RecordBatchStreamReader::Open(input));
  return ValueOrThrow(reader->ToTable());
}

}  // namespace test_support
}  // namespace data
}  // namespace recorder
