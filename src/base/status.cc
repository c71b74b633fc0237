#include "base/status.h"

#include <ostream>

namespace psfstore {
namespace core {

Status::Status(StatusCode code, std::string_view message)
    : code_{code}, message_{message.empty() ? nullptr : std::make_shared<const std::string>(message)} {}

std::string Status::ToString() const {
  if (!message_) return StatusName(code_);
  return *message_ + " (" + StatusName(code_) + ")";
}

Status Status::Annotate(std::string_view context) const {
  if (!message_) return Status{code_, context};
  return Status{code_, std::string{context} + ": " + *message_};
}

const char* StatusName(StatusCode code) {
  switch (code) {
    case StatusCode::Ok: return "Ok";
    case StatusCode::Pending: return "Pending";
    case StatusCode::NotFound: return "NotFound";
    case StatusCode::OutOfMemory: return "OutOfMemory";
    case StatusCode::IOError: return "IOError";
    case StatusCode::Corruption: return "Corruption";
    case StatusCode::Aborted: return "Aborted";
    case StatusCode::Busy: return "Busy";
    case StatusCode::Refused: return "Refused";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& stream, const Status& status) { return stream << status.ToString(); }

}  // namespace core
}  // namespace psfstore
