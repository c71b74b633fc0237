// Disk: the files a store opens, transfers, closes and deletes, behind one interface so
// that tests can put a disk that fails on purpose under the log and the checkpoints.
// FileSystemDisk is the real one; MemoryDisk keeps files in memory and fails the reads
// and writes it is told to.
//
// Calls are per file operation or per transfer, never per record, so the virtual call
// costs nothing next to the transfer it starts.
//
// Threading: every member may be called from any thread at the same time.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"
#include "engine/core/async_context.h"
#include "engine/persistence/io/file.h"
#include "engine/persistence/io/queue_io_handler.h"

namespace psfstore {
namespace device {

class Disk {
 public:
  virtual ~Disk() = default;

  // Opens or creates `path` without truncating it and fills `file` (its handle in
  // `descriptor`). With `unbuffered` transfers bypass the page cache where possible.
  // IOError when the file cannot be opened.
  virtual core::Status Open(const std::string& path, bool unbuffered,
                            environment::OpenedFile* file) = 0;
  // Releases a handle from Open.
  virtual core::Status Close(int handle) = 0;
  // Makes what was written through `handle` durable (the device's cache included).
  virtual core::Status Sync(int handle) = 0;
  // Removes a file by name; handles still open keep reading what it held.
  virtual core::Status Delete(const std::string& path) = 0;
  // Size in bytes of the file at `path`; IOError when there is none.
  virtual core::Status FileSize(const std::string& path, uint64_t* size) = 0;

  // Schedules `length` bytes at `offset` of `handle` from or into `buffer`, with the
  // contract of QueueIoHandler::ScheduleOperation: Ok means the callback runs from a
  // later TryComplete with (context, Ok or IOError, bytes transferred); anything else
  // means it never runs. A read that ends early at the end of the file is Ok with
  // fewer bytes; a write that transfers fewer bytes than asked is IOError.
  virtual core::Status Schedule(int handle, environment::IoOperation operation, void* buffer,
                                uint64_t offset, uint32_t length, core::AsyncIOCallback callback,
                                core::IAsyncContext& context) = 0;

  // Runs at most one completed transfer's callback without waiting; false when none
  // was ready.
  virtual bool TryComplete() = 0;

  // Transfers scheduled whose callbacks have not run yet.
  virtual uint64_t outstanding() const = 0;
};

// The operating system's files, with transfers on one completion queue (io_uring when
// the kernel allows it).
class FileSystemDisk final : public Disk {
 public:
  explicit FileSystemDisk(environment::IoMechanism mechanism = environment::IoMechanism::kAutomatic)
      : handler_{mechanism} {}

  core::Status Open(const std::string& path, bool unbuffered,
                    environment::OpenedFile* file) override;
  core::Status Close(int handle) override;
  core::Status Sync(int handle) override;
  core::Status Delete(const std::string& path) override;
  core::Status FileSize(const std::string& path, uint64_t* size) override;
  core::Status Schedule(int handle, environment::IoOperation operation, void* buffer,
                        uint64_t offset, uint32_t length, core::AsyncIOCallback callback,
                        core::IAsyncContext& context) override {
    return handler_.ScheduleOperation(handle, operation, buffer, offset, length, callback,
                                      context);
  }
  bool TryComplete() override { return handler_.TryComplete(); }
  uint64_t outstanding() const override { return handler_.outstanding(); }

  bool uses_io_uring() const { return handler_.uses_io_uring(); }

 private:
  environment::QueueIoHandler handler_;
};

}  // namespace device
}  // namespace psfstore
