#include "engine/persistence/io/queue_io_handler.h"

#include <liburing.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/persistence/io/file.h"

// The kernel hands an I/O context from the submitting thread to the polling thread
// through the shared rings, which ThreadSanitizer cannot see: tell it.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define QUILLMARK_HANDOFF_RELEASE(address) __tsan_release(address)
#define QUILLMARK_HANDOFF_ACQUIRE(address) __tsan_acquire(address)
#else
#define QUILLMARK_HANDOFF_RELEASE(address) static_cast<void>(address)
#define QUILLMARK_HANDOFF_ACQUIRE(address) static_cast<void>(address)
#endif

namespace psfstore {
namespace environment {

using core::IAsyncContext;
using core::Status;

namespace {

// Submission queue entries; the completion ring is twice as large.
constexpr unsigned kRingEntries = 256;

}  // namespace

struct QueueIoHandler::IoContext {
  IAsyncContext* caller_context;
  core::AsyncIOCallback callback;
  IoOperation operation;
  uint32_t length;
  // Result of a transfer that already ran (synchronous path).
  Status result = Status::Ok;
  size_t bytes = 0;
  IoContext* next = nullptr;
};

struct QueueIoHandler::Ring {
  io_uring ring;
  unsigned completion_capacity = 0;
  // The submission queue has a single producer, the completion queue a single consumer.
  std::mutex submit_mutex;
  std::mutex complete_mutex;
};

QueueIoHandler::QueueIoHandler(IoMechanism requested) {
  if (requested == IoMechanism::kSynchronous) {
    spdlog::debug("Asynchronous I/O: synchronous transfers (requested)");
    return;
  }
  auto ring = std::make_unique<Ring>();
  io_uring_params params;
  std::memset(&params, 0, sizeof(params));
  int result = io_uring_queue_init_params(kRingEntries, &ring->ring, &params);
  if (result < 0) {
    spdlog::debug("Asynchronous I/O: synchronous transfers (io_uring refused: {})",
                  ErrorText(-result));
    return;
  }
  ring->completion_capacity = params.cq_entries;
  ring_ = std::move(ring);
  spdlog::debug("Asynchronous I/O: io_uring");
}

QueueIoHandler::~QueueIoHandler() {
  if (ring_ != nullptr) {
    while (in_ring_.load(std::memory_order_acquire) > 0) {
      io_uring_cqe* entry = nullptr;
      if (io_uring_wait_cqe(&ring_->ring, &entry) != 0 || entry == nullptr) break;
      auto* io_context = static_cast<IoContext*>(io_uring_cqe_get_data(entry));
      QUILLMARK_HANDOFF_ACQUIRE(io_context);
      io_uring_cqe_seen(&ring_->ring, entry);
      in_ring_.fetch_sub(1, std::memory_order_acq_rel);
      delete io_context->caller_context;
      delete io_context;
    }
    io_uring_queue_exit(&ring_->ring);
  }
  while (ready_head_ != nullptr) {
    IoContext* io_context = ready_head_;
    ready_head_ = io_context->next;
    delete io_context->caller_context;
    delete io_context;
  }
}

Status QueueIoHandler::RefuseSubmission(int error, int descriptor) {
  std::string message = "Failed to schedule async IO: " + ErrorText(error) + ", handle " +
                        std::to_string(descriptor);
  std::fprintf(stderr, "%s\n", message.c_str());
  return Status::IOError;
}

Status QueueIoHandler::ScheduleOperation(int descriptor, IoOperation operation, void* buffer,
                                         uint64_t offset, uint32_t length,
                                         core::AsyncIOCallback callback,
                                         IAsyncContext& context) {
  if (descriptor < 0) return RefuseSubmission(EBADF, descriptor);
  auto* io_context = new (std::nothrow) IoContext{nullptr, callback, operation, length};
  if (io_context == nullptr) return Status::OutOfMemory;
  Status copied = context.DeepCopy(io_context->caller_context);
  if (copied != Status::Ok) {
    delete io_context;
    return copied;
  }
  outstanding_.fetch_add(1, std::memory_order_acq_rel);
  if (ring_ != nullptr) {
    SubmitToRing(descriptor, io_context, buffer, offset);
  } else {
    RunTransferNow(descriptor, io_context, buffer, offset);
  }
  return Status::Ok;
}

void QueueIoHandler::RunTransferNow(int descriptor, IoContext* io_context, void* buffer,
                                    uint64_t offset) {
  size_t transferred = 0;
  int error = io_context->operation == IoOperation::kRead
                  ? ReadAt(descriptor, buffer, io_context->length, offset, &transferred)
                  : WriteAt(descriptor, buffer, io_context->length, offset, &transferred);
  io_context->result = error == 0 ? Status::Ok : Status::IOError;
  io_context->bytes = transferred;
  CompleteLater(io_context);
}

void QueueIoHandler::SubmitToRing(int descriptor, IoContext* io_context, void* buffer,
                                    uint64_t offset) {
  // Past the completion ring's capacity the kernel would have to hold completions
  // back; run the transfer here instead.
  if (in_ring_.fetch_add(1, std::memory_order_acq_rel) >= ring_->completion_capacity) {
    in_ring_.fetch_sub(1, std::memory_order_acq_rel);
    RunTransferNow(descriptor, io_context, buffer, offset);
    return;
  }
  std::lock_guard<std::mutex> lock{ring_->submit_mutex};
  io_uring_sqe* entry = io_uring_get_sqe(&ring_->ring);
  if (entry == nullptr) {
    io_uring_submit(&ring_->ring);
    entry = io_uring_get_sqe(&ring_->ring);
  }
  if (entry == nullptr) {
    in_ring_.fetch_sub(1, std::memory_order_acq_rel);
    RunTransferNow(descriptor, io_context, buffer, offset);
    return;
  }
  if (io_context->operation == IoOperation::kRead) {
    io_uring_prep_read(entry, descriptor, buffer, io_context->length, offset);
  } else {
    io_uring_prep_write(entry, descriptor, buffer, io_context->length, offset);
  }
  io_uring_sqe_set_data(entry, io_context);
  QUILLMARK_HANDOFF_RELEASE(io_context);
  // A failed submission leaves the entry in the submission ring, where the next
  // submission takes it along; the kernel reports per-operation errors through the
  // completion, so there is nothing to undo here.
  int submitted;
  do {
    submitted = io_uring_submit(&ring_->ring);
  } while (submitted == -EINTR);
}

void QueueIoHandler::PushPendingSubmissions() {
  // Entries left behind by a submission the kernel turned away (EAGAIN, EBUSY) go now.
  std::unique_lock<std::mutex> lock{ring_->submit_mutex, std::try_to_lock};
  if (lock.owns_lock() && io_uring_sq_ready(&ring_->ring) > 0) io_uring_submit(&ring_->ring);
}

void QueueIoHandler::CompleteLater(IoContext* io_context) {
  io_context->next = nullptr;
  std::lock_guard<std::mutex> lock{ready_mutex_};
  if (ready_tail_ == nullptr) {
    ready_head_ = io_context;
  } else {
    ready_tail_->next = io_context;
  }
  ready_tail_ = io_context;
  ready_nonempty_.store(true, std::memory_order_release);
}

void QueueIoHandler::Finish(IoContext* io_context, Status result, size_t bytes) {
  IAsyncContext* caller_context = io_context->caller_context;
  core::AsyncIOCallback callback = io_context->callback;
  delete io_context;
  outstanding_.fetch_sub(1, std::memory_order_acq_rel);
  callback(caller_context, result, bytes);
}

bool QueueIoHandler::TryComplete() {
  if (ready_nonempty_.load(std::memory_order_acquire)) {
    IoContext* io_context = nullptr;
    {
      std::lock_guard<std::mutex> lock{ready_mutex_};
      io_context = ready_head_;
      if (io_context != nullptr) {
        ready_head_ = io_context->next;
        if (ready_head_ == nullptr) {
          ready_tail_ = nullptr;
          ready_nonempty_.store(false, std::memory_order_release);
        }
      }
    }
    if (io_context != nullptr) {
      Finish(io_context, io_context->result, io_context->bytes);
      return true;
    }
  }
  if (ring_ == nullptr || in_ring_.load(std::memory_order_acquire) == 0) return false;

  IoContext* io_context = nullptr;
  int result = 0;
  {
    // Another poller holds the completion queue: it is making progress, do not wait.
    std::unique_lock<std::mutex> lock{ring_->complete_mutex, std::try_to_lock};
    if (!lock.owns_lock()) return false;
    io_uring_cqe* entry = nullptr;
    if (io_uring_peek_cqe(&ring_->ring, &entry) != 0 || entry == nullptr) {
      PushPendingSubmissions();
      return false;
    }
    io_context = static_cast<IoContext*>(io_uring_cqe_get_data(entry));
    QUILLMARK_HANDOFF_ACQUIRE(io_context);
    result = entry->res;
    io_uring_cqe_seen(&ring_->ring, entry);
  }
  in_ring_.fetch_sub(1, std::memory_order_acq_rel);
  Status status = Status::Ok;
  size_t bytes = 0;
  if (result < 0) {
    status = Status::IOError;
  } else {
    bytes = static_cast<size_t>(result);
    if (io_context->operation == IoOperation::kWrite && bytes != io_context->length) {
      status = Status::IOError;
    }
  }
  Finish(io_context, status, bytes);
  return true;
}

}  // namespace environment
}  // namespace psfstore
