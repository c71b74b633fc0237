// How engine failures reach the module's callers. The engine answers with a Status; the
// server raises the standard exception its Python contract names, in one place.
#pragma once

#include <string_view>

#include "base/status.h"

namespace quillmark {
namespace server {

// The text callers match when the store is busy with a checkpoint, a recovery or a
// projection change; the same call may succeed later.
inline constexpr const char* kNotAtRestMessage = "Can acquire only in REST phase!";

// Does nothing for Ok. Otherwise throws: Busy as std::runtime_error kNotAtRestMessage;
// Refused (the caller's input is at fault) as std::invalid_argument "<what>: <message>";
// OutOfMemory as std::bad_alloc; anything else as std::runtime_error
// "<what>: <message> (<code>)".
void ThrowIfFailed(const psfstore::core::Status& status, std::string_view what);

}  // namespace server
}  // namespace quillmark
