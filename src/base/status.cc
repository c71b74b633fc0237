#include "base/status.h"

namespace psfstore {
namespace core {

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok: return "Ok";
    case Status::Pending: return "Pending";
    case Status::NotFound: return "NotFound";
    case Status::OutOfMemory: return "OutOfMemory";
    case Status::IOError: return "IOError";
    case Status::Corruption: return "Corruption";
    case Status::Aborted: return "Aborted";
  }
  return "Unknown";
}

}  // namespace core
}  // namespace psfstore
