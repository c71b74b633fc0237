#include "values/table_assembly.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "values/arrow_serialization.h"
#include "values/column_array.h"
#include "values/field_paths.h"
#include "values/generic_value.h"
#include "values/json_pointer.h"

namespace recorder {
namespace data {

namespace {

using private_data::ArrayFactory;

// Lookup errors that mean "the record has no such field".
bool IsMissingField(simdjson::error_code error) {
  return error == simdjson::NO_SUCH_FIELD || error == simdjson::INDEX_OUT_OF_BOUNDS ||
         error == simdjson::INVALID_JSON_POINTER || error == simdjson::INCORRECT_TYPE;
}

std::shared_ptr<arrow::DataType> InferredType(const GenericValue& value) {
  switch (value.type()) {
    case GenericValue::Type::Bool:
      return arrow::boolean();
    case GenericValue::Type::Int64:
      return arrow::int64();
    case GenericValue::Type::Double:
      return arrow::float64();
    case GenericValue::Type::String:
      return arrow::utf8();
    case GenericValue::Type::Empty:
      break;
  }
  return nullptr;
}

[[noreturn]] void ThrowUnreadableRecord(uint64_t address, const std::string& reason) {
  throw std::runtime_error("Cannot read the record at address " + std::to_string(address) + ": " + reason);
}

std::vector<std::string> FieldsOf(const RecordExtractor& extractor) {
  std::vector<std::string> fields;
  for (const auto& column : extractor.columns()) fields.push_back(column.second->field());
  return fields;
}

class TableAssembler {
 public:
  TableAssembler(const RecordExtractor& extractor, size_t row_count)
      : row_count_{row_count},
        paths_{FieldsOf(extractor)},
        values_(extractor.columns().size()),
        unrepresentable_(extractor.columns().size(), false) {
    const auto& columns = extractor.columns();
    if (!paths_.walkable()) {
      for (const auto& column : columns) pointers_.emplace_back(column.second->field());
    }
    columns_.reserve(columns.size());
    for (const auto& [name, column_extractor] : columns) {
      Column column{name, column_extractor, private_data::ColumnType(*column_extractor), nullptr, 0};
      if (column.type->id() != arrow::Type::NA) CreateArray(&column);
      columns_.push_back(std::move(column));
    }
  }

  bool has_columns() const { return !columns_.empty(); }

  void AddRecord(uint64_t address, std::string_view payload) {
    simdjson::ondemand::document document;
    auto error = parser_.iterate(payload.data(), payload.size(), payload.size() + kRecordPayloadPadding)
                     .get(document);
    if (error) ThrowUnreadableRecord(address, simdjson::error_message(error));

    for (GenericValue& value : values_) value = GenericValue{};
    std::fill(unrepresentable_.begin(), unrepresentable_.end(), false);
    const char* end = payload.data() + payload.size();
    if (paths_.walkable()) {
      error = paths_.Read(document, end, [&](size_t column, simdjson::ondemand::value& token) {
        values_[column] = ValueOf(address, column, token);
      });
      if (error) ThrowUnreadableRecord(address, simdjson::error_message(error));
    } else {
      for (size_t column = 0; column < columns_.size(); ++column) {
        simdjson::ondemand::value token;
        error = pointers_[column].Find(document, end, &token);
        if (error == simdjson::SUCCESS) {
          values_[column] = ValueOf(address, column, token);
        } else if (!IsMissingField(error)) {
          ThrowUnreadableRecord(address, simdjson::error_message(error));
        }
      }
    }
    for (size_t column = 0; column < columns_.size(); ++column) {
      if (unrepresentable_[column] && columns_[column].array) {
        columns_[column].array->append_fallback();
      } else {
        Append(&columns_[column], values_[column]);
      }
    }
  }

  std::shared_ptr<arrow::Table> Finish() {
    std::vector<std::shared_ptr<arrow::Field>> fields;
    std::vector<std::shared_ptr<arrow::Array>> arrays;
    fields.reserve(columns_.size());
    arrays.reserve(columns_.size());
    for (Column& column : columns_) {
      std::shared_ptr<arrow::Array> array;
      if (column.array) {
        column.array->finish(&array);
        column.array.reset();
      } else if (row_count_ == 0) {
        array = std::make_shared<arrow::NullArray>(0);  // no record, so nothing to type a Raw column by
      } else {
        throw std::runtime_error("Type does not match a GenericValue::Type");
      }
      fields.push_back(arrow::field(column.name, column.type, /*nullable=*/true));
      arrays.push_back(std::move(array));
    }
    return arrow::Table::Make(arrow::schema(std::move(fields)), std::move(arrays),
                              static_cast<int64_t>(row_count_));
  }

 private:
  struct Column {
    std::string name;
    std::shared_ptr<const Extractor> extractor;
    std::shared_ptr<arrow::DataType> type;  // null until a Raw column's values decide it
    std::unique_ptr<ArrayFactory> array;
    size_t rows_before_type = 0;            // Raw rows seen before the type was known
  };

  // The value of a column's field token; missing and unrepresentable numbers are Empty.
  GenericValue ValueOf(uint64_t address, size_t column, simdjson::ondemand::value& token) {
    GenericValue value;
    switch (GenericValue::TryFromJson(token, &value)) {
      case JsonValueError::None:
        if (value.type() == GenericValue::Type::String) value = DecodedText(address, token, value);
        break;
      case JsonValueError::MalformedNumber:  // a number no value type holds, such as 1e400
        unrepresentable_[column] = true;   // the column's fallback, not what a missing field gives
        break;
      case JsonValueError::NotScalar:
        throw std::logic_error("The field does not contain a scalar type");
      case JsonValueError::UnexpectedToken:
      case JsonValueError::MalformedString:
        ThrowUnreadableRecord(address, "malformed value of " + columns_[column].extractor->field());
    }
    return value;
  }

  // Columns receive the text a JSON string stands for: escapes such as \" or \n are
  // decoded (into the parser's string buffer, valid until the next record).
  GenericValue DecodedText(uint64_t address, simdjson::ondemand::value& token, GenericValue raw) {
    if (std::memchr(raw.string_data_unchecked(), '\\', raw.length()) == nullptr) return raw;
    std::string_view text;
    if (token.get_string().get(text) != simdjson::SUCCESS) ThrowUnreadableRecord(address, "malformed string escape");
    return GenericValue::OfString(text);
  }

  void CreateArray(Column* column) {
    column->array = private_data::CreateArray(column->extractor, column->type);
    // The row count comes from the caller's bitmap, which may name far more addresses
    // than there are records: reserve no more than a modest table needs and let the
    // builders grow past that.
    constexpr size_t kMaxReservedRows = size_t{1} << 20;
    column->array->reserve(static_cast<int64_t>(std::min(row_count_, kMaxReservedRows)));
  }

  void Append(Column* column, const GenericValue& value) {
    if (!column->array) {
      column->type = InferredType(value);
      if (!column->type) {
        column->type = arrow::null();
        ++column->rows_before_type;
        return;
      }
      CreateArray(column);
      // Earlier records had no usable value: they get what a missing field gives.
      for (size_t row = 0; row < column->rows_before_type; ++row) column->array->append(GenericValue{});
    }
    column->array->append(value);
  }

  size_t row_count_;
  std::vector<Column> columns_;
  FieldPaths paths_;
  std::vector<JsonPointer> pointers_;  // per column, when the paths cannot be walked
  std::vector<GenericValue> values_;  // the current record's value per column
  std::vector<bool> unrepresentable_;  // per column: the current record's number fits no type
  simdjson::ondemand::parser parser_;
};

const RecordExtractor& AsRecordExtractor(const Extractor& extractor) {
  auto* record = dynamic_cast<const RecordExtractor*>(&extractor);
  if (record == nullptr) throw std::invalid_argument("Extraction needs a record extractor (Extractor.record)");
  return *record;
}

void ReadInto(TableAssembler* assembler, RecordPayloadSource& source, uint64_t address) {
  std::string_view payload;
  const psfstore::core::Status status = source.ReadPayload(address, &payload);
  if (status != psfstore::core::Status::Ok) ThrowUnreadableRecord(address, psfstore::core::StatusName(status));
  assembler->AddRecord(address, payload);
}

// Reads the addresses chunk by chunk, announcing each chunk to the source one chunk
// ahead of reading it, so that its reads run while the chunk before is parsed.
// `next_chunk` fills a chunk and returns its size, 0 at the end.
template <class NextChunk>
void ReadAnnounced(TableAssembler* assembler, RecordPayloadSource& source, NextChunk next_chunk) {
  constexpr size_t kChunk = 4096;
  std::vector<uint64_t> current(kChunk);
  std::vector<uint64_t> following(kChunk);
  size_t count = next_chunk(current.data(), kChunk);
  source.Announce(std::span<const uint64_t>{current.data(), count});
  while (count > 0) {
    size_t following_count = next_chunk(following.data(), kChunk);
    source.Announce(std::span<const uint64_t>{following.data(), following_count});
    for (size_t i = 0; i < count; ++i) ReadInto(assembler, source, current[i]);
    current.swap(following);
    count = following_count;
  }
}

}  // namespace

std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, std::span<const uint64_t> addresses,
                                            RecordPayloadSource& source) {
  TableAssembler assembler(AsRecordExtractor(extractor), addresses.size());
  if (!assembler.has_columns()) return assembler.Finish();
  size_t position = 0;
  ReadAnnounced(&assembler, source, [&](uint64_t* out, size_t capacity) {
    size_t count = std::min(capacity, addresses.size() - position);
    std::copy_n(addresses.begin() + static_cast<std::ptrdiff_t>(position), count, out);
    position += count;
    return count;
  });
  return assembler.Finish();
}

std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, const quillmark::storage::Bitmap& addresses,
                                            uint64_t from, uint64_t last, uint64_t rows, RecordPayloadSource& source) {
  TableAssembler assembler(AsRecordExtractor(extractor), rows);
  if (!assembler.has_columns()) return assembler.Finish();
  uint64_t next = from;
  bool ended = from > last;
  ReadAnnounced(&assembler, source, [&](uint64_t* out, size_t capacity) -> size_t {
    if (ended) return 0;
    size_t count = addresses.NextChunk(next, out, capacity);
    size_t inside = static_cast<size_t>(std::upper_bound(out, out + count, last) - out);
    if (inside < count || count < capacity || out[inside - 1] == last) {
      ended = true;
    } else {
      next = out[inside - 1] + 1;
    }
    return inside;
  });
  return assembler.Finish();
}

std::shared_ptr<arrow::Table> AssembleTable(const Extractor& extractor, const quillmark::storage::Bitmap& addresses,
                                            RecordPayloadSource& source) {
  return AssembleTable(extractor, addresses, 0, UINT64_MAX, addresses.Cardinality(), source);
}

}  // namespace data
}  // namespace recorder
