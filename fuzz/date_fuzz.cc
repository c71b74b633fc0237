// Fuzzes the date parser with arbitrary text.
#include "temporal_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmark::fuzzing::CheckParserAgreement(
      data, size, recorder::data::try_parse_date,
      [](const char* text, size_t length) { return recorder::data::parse_date(text, length); });
  return 0;
}
