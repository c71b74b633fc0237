// Per-session state of one thread: what a log checkpoint saves (the first 32 bytes) and
// the bookkeeping of operations that wait for the device or must be retried.
//
// Each thread slot of the store holds two contexts: the current one, and the previous
// one that keeps the old version's pending work while a log checkpoint moves every
// thread to a new version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/core/address.h"
#include "engine/core/async_context.h"
#include "engine/core/guid.h"
#include "engine/core/key_hash.h"
#include "engine/core/system_state.h"

namespace psfstore {
namespace core {

// Bookkeeping of an engine operation that may have to wait (for a disk read, or for a
// retry): what it is and the thread's view of the state when it was issued.
class PendingContext : public IAsyncContext {
 public:
  enum class OperationKind : uint8_t { Insert = 0, Read = 1, Scan = 2 };

  PendingContext(OperationKind kind, Phase phase, uint32_t version)
      : kind{kind}, phase{phase}, version{version} {}

  OperationKind kind;
  Phase phase;
  uint32_t version;
  // The address the operation waits on; Address::Max() when none.
  Address address = Address::Max();

 protected:
  PendingContext(const PendingContext& other) = default;
};

// Completed I/O handed from the thread that polled the device to the session that
// issued it. Device completions may run on any thread.
class IoResponseQueue {
 public:
  void Push(IAsyncContext* context) {
    std::lock_guard<std::mutex> lock{mutex_};
    items_.push_back(context);
  }
  // Moves every queued context to `out` (appended); false when there was none.
  bool TakeAll(std::vector<IAsyncContext*>& out) {
    std::lock_guard<std::mutex> lock{mutex_};
    if (items_.empty()) return false;
    out.insert(out.end(), items_.begin(), items_.end());
    items_.clear();
    return true;
  }
  bool empty() const {
    std::lock_guard<std::mutex> lock{mutex_};
    return items_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<IAsyncContext*> items_;
};

// The part of a session context that a log checkpoint saves: 32 bytes, in this layout.
struct SessionState {
  uint64_t serial_number = 0;  // last batch whose records this session inserted
  uint32_t offset = 0;         // progress inside that batch: payload bytes inserted
  uint32_t version = 0;        // the thread's view of the system version
  Guid guid;                   // session id
};
static_assert(sizeof(SessionState) == 32 && offsetof(SessionState, offset) == 8 &&
                  offsetof(SessionState, version) == 12 && offsetof(SessionState, guid) == 16,
              "a checkpoint saves the first 32 bytes of a context");

struct ThreadContext : SessionState {
  // The thread's view of the system phase; INVALID until the session starts.
  Phase phase = Phase::INVALID;

  // Operations to run again later (scans); the context owns them.
  std::deque<PendingContext*> retry_requests;
  // Operations waiting for the device: I/O id -> key hash of the operation.
  uint64_t next_io_id = 0;
  std::unordered_map<uint64_t, KeyHash> pending_ios;
  uint32_t pending_io_count = 0;
  // Completed reads waiting to be handed back to their operations.
  IoResponseQueue io_responses;

  bool HasPendingWork() const { return pending_io_count > 0 || !retry_requests.empty(); }

  // Starts a session: the given view and guid, nothing pending.
  void Initialize(Phase new_phase, uint32_t new_version, const Guid& new_guid) {
    serial_number = 0;
    offset = 0;
    version = new_version;
    guid = new_guid;
    phase = new_phase;
    retry_requests.clear();
    next_io_id = 0;
    pending_ios.clear();
    pending_io_count = 0;
  }
};

}  // namespace core
}  // namespace psfstore
