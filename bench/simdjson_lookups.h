// The practical limit of the insert path's front half: what simdjson alone does to find
// the projected fields of one document and make values of them.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <vector>

#include "values/generic_value.h"

// Looks up every field of `fields` (JSON Pointers) in `document` and makes a value of
// each found scalar; returns the total length of the values, to keep the work alive.
inline uint64_t LookUpFields(simdjson::ondemand::document_reference& document, const std::vector<std::string>& fields) {
  uint64_t total = 0;
  for (const auto& field : fields) {
    simdjson::ondemand::value value;
    if (document.at_pointer(field).get(value) == simdjson::SUCCESS) {
      recorder::data::GenericValue typed;
      if (recorder::data::GenericValue::TryFromJson(value, &typed) == recorder::data::JsonValueError::None) {
        total += typed.length();
      }
    }
  }
  return total;
}
