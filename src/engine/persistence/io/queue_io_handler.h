// The completion queue shared by every file of a store.
//
// Reads and writes are submitted without waiting; their completions are collected by
// whichever thread calls TryComplete, which never blocks and runs the operation's
// callback on the calling thread. The queue runs on io_uring. When the kernel refuses
// io_uring (EPERM or ENOSYS in restricted containers), or when asked to, it falls back
// to performing each transfer at submission and queueing its completion for the next
// poll, so callers see the same contract either way.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/status.h"
#include "engine/core/async_context.h"

namespace psfstore {
namespace environment {

enum class IoMechanism : uint8_t {
  // io_uring when the kernel allows it, else synchronous.
  kAutomatic,
  // Transfers run at submission; completions wait for the next poll.
  kSynchronous,
};

enum class IoOperation : uint8_t { kRead, kWrite };

class QueueIoHandler {
 public:
  explicit QueueIoHandler(IoMechanism requested = IoMechanism::kAutomatic);
  // Waits for transfers still in the kernel, then frees their contexts without calling
  // back: callers drain their own operations before they go away.
  ~QueueIoHandler();

  QueueIoHandler(const QueueIoHandler&) = delete;
  QueueIoHandler& operator=(const QueueIoHandler&) = delete;

  // Schedules `length` bytes at `offset` of `descriptor` from or into `buffer`. The
  // caller's context is copied to the heap unless it already is a heap copy. Ok means
  // the callback will run from a later TryComplete; any other result means it never
  // will. A refused submission prints "Failed to schedule async IO: <error>, handle
  // <descriptor>" on standard error and returns IOError.
  core::Status ScheduleOperation(int descriptor, IoOperation operation, void* buffer,
                                 uint64_t offset, uint32_t length, core::AsyncIOCallback callback,
                                 core::IAsyncContext& context);

  // Takes at most one completed operation without waiting and runs its callback with
  // (context, Ok or IOError, bytes transferred). Returns false when none was ready.
  // A write that transferred fewer bytes than asked for completes with IOError.
  bool TryComplete();

  // Reports a transfer that cannot be scheduled: prints "Failed to schedule async IO:
  // <error>, handle <descriptor>" on standard error and returns IOError.
  static core::Status RefuseSubmission(int error, int descriptor);

  // True while io_uring carries the transfers.
  bool uses_io_uring() const { return ring_ != nullptr; }

  // Operations scheduled whose callbacks have not run yet.
  uint64_t outstanding() const { return outstanding_.load(std::memory_order_acquire); }

 private:
  struct IoContext;
  struct Ring;

  void CompleteLater(IoContext* io_context);
  void RunTransferNow(int descriptor, IoContext* io_context, void* buffer, uint64_t offset);
  void PushPendingSubmissions();
  void SubmitToRing(int descriptor, IoContext* io_context, void* buffer, uint64_t offset);
  void Finish(IoContext* io_context, core::Status result, size_t bytes);

  std::unique_ptr<Ring> ring_;
  std::atomic<uint64_t> outstanding_{0};
  // Operations in the kernel; bounded so the completion ring never overflows.
  std::atomic<uint32_t> in_ring_{0};

  // Completions of transfers already done, oldest first (intrusive list through the
  // I/O contexts, so queueing allocates nothing).
  std::mutex ready_mutex_;
  IoContext* ready_head_ = nullptr;
  IoContext* ready_tail_ = nullptr;
  std::atomic<bool> ready_nonempty_{false};
};

}  // namespace environment
}  // namespace psfstore
