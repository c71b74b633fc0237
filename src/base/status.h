// Result of every engine operation: a code and, for failures worth explaining, a message
// in words. The codes Ok ... Aborted are the ones Python sees as the enumeration
// `Status`; Busy and Refused are for callers inside the process.
//
// A Status is a value: copying shares its message. Code-only statuses (the hot paths:
// Ok, Pending, NotFound) allocate nothing. Threads may pass statuses to one another
// but never share one object.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace psfstore {
namespace core {

enum class StatusCode : uint8_t {
  Ok = 0,
  Pending = 1,
  NotFound = 2,
  OutOfMemory = 3,
  IOError = 4,
  Corruption = 5,
  Aborted = 6,
  // The system is not at rest: a checkpoint, recovery or projection change is running.
  // Nothing was done; the same call may succeed later.
  Busy = 7,
  // The input is not acceptable (malformed, too large): nothing was done, and the same
  // call will fail again.
  Refused = 8,
};

class Status {
 public:
  // The codes, so that `return Status::Ok;` and `status == Status::IOError` read as before.
  static constexpr StatusCode Ok = StatusCode::Ok;
  static constexpr StatusCode Pending = StatusCode::Pending;
  static constexpr StatusCode NotFound = StatusCode::NotFound;
  static constexpr StatusCode OutOfMemory = StatusCode::OutOfMemory;
  static constexpr StatusCode IOError = StatusCode::IOError;
  static constexpr StatusCode Corruption = StatusCode::Corruption;
  static constexpr StatusCode Aborted = StatusCode::Aborted;
  static constexpr StatusCode Busy = StatusCode::Busy;
  static constexpr StatusCode Refused = StatusCode::Refused;

  Status() noexcept = default;
  Status(StatusCode code) noexcept : code_{code} {}  // NOLINT: a code is a status
  // A failure with its reason, for example {Status::IOError, "cannot read info.dat"}.
  Status(StatusCode code, std::string_view message);

  StatusCode code() const { return code_; }
  bool ok() const { return code_ == StatusCode::Ok; }
  bool IsBusy() const { return code_ == StatusCode::Busy; }
  bool IsRefused() const { return code_ == StatusCode::Refused; }
  // The reason given with the failure; empty when there is none.
  std::string_view message() const { return message_ ? std::string_view{*message_} : std::string_view{}; }
  // "Ok", or the message followed by the code's name: "cannot read info.dat (IOError)".
  std::string ToString() const;

  // The same status with `context` before its message: "recovery: cannot read ...".
  Status Annotate(std::string_view context) const;

  // Statuses compare by code: the message explains, it does not distinguish.
  friend bool operator==(const Status& left, const Status& right) { return left.code_ == right.code_; }
  friend bool operator==(const Status& left, StatusCode right) { return left.code_ == right; }

 private:
  StatusCode code_ = StatusCode::Ok;
  std::shared_ptr<const std::string> message_;
};

// "Ok", "Pending", ...: the names Python sees for the same values.
const char* StatusName(StatusCode code);
inline const char* StatusName(const Status& status) { return StatusName(status.code()); }

std::ostream& operator<<(std::ostream& stream, const Status& status);

}  // namespace core
}  // namespace psfstore
