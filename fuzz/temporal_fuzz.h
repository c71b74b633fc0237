// Shared body of the temporal parser fuzz targets: the non-throwing parser must never read
// past its text (AddressSanitizer sees the exact-size input) and the throwing form must
// agree with it: same value when it succeeds, an exception exactly when it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "values/temporal_parsing.h"

namespace quillmark {
namespace fuzzing {

template <typename TryParse, typename Parse>
void CheckParserAgreement(const uint8_t* data, size_t size, TryParse try_parse, Parse parse) {
  // A private copy so the parser sees exactly `size` readable bytes, never a terminator.
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(data[i]);
  int64_t value = 0;
  bool parsed = try_parse(text.get(), size, &value) == recorder::data::TemporalError::None;
  try {
    int64_t thrown_value = parse(text.get(), size);
    if (!parsed || thrown_value != value) std::abort();
  } catch (const std::runtime_error&) {
    if (parsed) std::abort();
  }
}

}  // namespace fuzzing
}  // namespace quillmark
