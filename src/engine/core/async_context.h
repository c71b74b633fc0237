// Contexts of asynchronous operations.
//
// An operation that must outlive its caller's stack frame (a scheduled I/O, a pending
// operation, a deferred epoch action) keeps its caller's context. The caller usually
// builds the context on its stack; the operation asks for a heap copy first, unless the
// context already is one.
#pragma once

#include <new>

#include "base/status.h"

namespace psfstore {
namespace core {

class IAsyncContext {
 public:
  IAsyncContext() : from_deep_copy_{false} {}
  virtual ~IAsyncContext() = default;

  // Sets `copy` to a heap copy of this context, or to this context itself when it
  // already lives on the heap. Returns OutOfMemory when the copy cannot be allocated.
  Status DeepCopy(IAsyncContext*& copy) {
    if (from_deep_copy_) {
      copy = this;
      return Status::Ok;
    }
    copy = nullptr;
    Status result = DeepCopyInternal(copy);
    if (result == Status::Ok) copy->from_deep_copy_ = true;
    return result;
  }

  // True when this context was made by DeepCopy (and is freed with delete).
  bool from_deep_copy() const { return from_deep_copy_; }

 protected:
  IAsyncContext(const IAsyncContext&) : from_deep_copy_{false} {}
  IAsyncContext& operator=(const IAsyncContext&) = delete;

  // Makes the heap copy; subclasses usually forward to DeepCopyOf(*this, copy).
  virtual Status DeepCopyInternal(IAsyncContext*& copy) = 0;

  // Copy-constructs `context` on the heap.
  template <class Context>
  static Status DeepCopyOf(const Context& context, IAsyncContext*& copy) {
    copy = new (std::nothrow) Context(context);
    return copy != nullptr ? Status::Ok : Status::OutOfMemory;
  }

 private:
  bool from_deep_copy_;
};

// Completion of a read or write: the caller's (heap) context, the result and the
// number of bytes the device transferred.
using AsyncIOCallback = void (*)(IAsyncContext* context, Status result, size_t bytes_transferred);

}  // namespace core
}  // namespace psfstore
