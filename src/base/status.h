// Result code of every engine operation.
#pragma once

#include <cstdint>

namespace psfstore {
namespace core {

enum class Status : uint8_t {
  Ok = 0,
  Pending = 1,
  NotFound = 2,
  OutOfMemory = 3,
  IOError = 4,
  Corruption = 5,
  Aborted = 6,
};

// "Ok", "Pending", ...: the names Python sees for the same values.
const char* StatusName(Status status);

}  // namespace core
}  // namespace psfstore
