#include "values/arrow_serialization.h"

#include <stdexcept>
#include <string_view>

#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/util/base64.h>

namespace recorder {
namespace data {

void ThrowIfArrowFailed(const arrow::Status& status) {
  if (!status.ok()) throw std::runtime_error(status.ToString());
}

std::string SerializeTableAsBase64(const arrow::Table& table) {
  auto stream = ValueOrThrow(arrow::io::BufferOutputStream::Create(4096));
  auto writer = ValueOrThrow(arrow::ipc::MakeStreamWriter(stream, table.schema()));
  ThrowIfArrowFailed(writer->WriteTable(table));
  ThrowIfArrowFailed(writer->Close());
  auto buffer = ValueOrThrow(stream->Finish());
  return arrow::util::base64_encode(
      std::string_view(reinterpret_cast<const char*>(buffer->data()), static_cast<size_t>(buffer->size())));
}

}  // namespace data
}  // namespace recorder
