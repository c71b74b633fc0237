// Fuzzes the timestamp parser with arbitrary text: the non-throwing and throwing forms must
// agree, and the fields of every accepted timestamp must convert without overflow.
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "values/temporal_parsing.h"

using recorder::data::TemporalError;
using recorder::data::TimestampFields;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(data[i]);
  TimestampFields fields;
  TemporalError error = recorder::data::try_parse_timestamp(text.get(), size, &fields);
  TimestampFields thrown_fields;
  try {
    bool parsed = recorder::data::parse_timestamp(text.get(), size, &thrown_fields);
    if (parsed != (error == TemporalError::None)) std::abort();
    if (!parsed && error != TemporalError::InvalidTimestamp) std::abort();
  } catch (const std::runtime_error&) {
    if (error == TemporalError::None || error == TemporalError::InvalidTimestamp) std::abort();
  }
  if (error == TemporalError::None) {
    if (fields.ToUnixMicroseconds() != thrown_fields.ToUnixMicroseconds()) std::abort();
    if (fields.microseconds < 0 || fields.microseconds > 999999) std::abort();
  }
  return 0;
}
