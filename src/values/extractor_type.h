// The kinds of output column an extractor produces.
#pragma once

#include <cstdint>

namespace recorder {
namespace data {

enum class ExtractorType : uint8_t {
  Raw = 0,
  String = 1,
  Bool = 2,
  Int64 = 3,
  Double = 4,
  Timestamp = 5,
  Time = 6,
  Date = 7,
  Duration = 8,
  Record = 9,
};

}  // namespace data
}  // namespace recorder
