#include "engine/persistence/io/file_system_file.h"

#include <cerrno>

#include "engine/persistence/io/file.h"

namespace psfstore {
namespace device {

using core::Status;

Status FileSystemFile::Open(environment::QueueIoHandler* handler) {
  environment::OpenedFile opened;
  if (environment::OpenFile(filename_, options_.unbuffered, &opened) != 0) return Status::IOError;
  descriptor_ = opened.descriptor;
  direct_ = opened.direct;
  alignment_ = opened.sector_size;
  open_ = true;
  handler_ = handler;
  return Status::Ok;
}

void FileSystemFile::Close() {
  if (descriptor_ >= 0) {
    environment::CloseFile(descriptor_);
    descriptor_ = -1;
  }
  open_ = false;
}

void FileSystemFile::Delete() {
  Close();
  environment::DeleteFile(filename_);
}

Status FileSystemFile::ReadAsync(uint64_t offset, void* buffer, uint32_t length,
                                 core::AsyncIOCallback callback,
                                 core::IAsyncContext& context) const {
  return Schedule(environment::IoOperation::kRead, offset, buffer, length, callback, context);
}

Status FileSystemFile::WriteAsync(uint64_t offset, const void* buffer, uint32_t length,
                                  core::AsyncIOCallback callback,
                                  core::IAsyncContext& context) const {
  // The handler only reads from the buffer of a write.
  return Schedule(environment::IoOperation::kWrite, offset, const_cast<void*>(buffer), length,
                  callback, context);
}

Status FileSystemFile::Schedule(environment::IoOperation operation, uint64_t offset,
                                void* buffer, uint32_t length, core::AsyncIOCallback callback,
                                core::IAsyncContext& context) const {
  if (!open_ || handler_ == nullptr) {
    return environment::QueueIoHandler::RefuseSubmission(EBADF, descriptor_);
  }
  uint64_t mask = alignment_ - 1;
  if ((offset & mask) != 0 || (length & mask) != 0 ||
      (reinterpret_cast<uintptr_t>(buffer) & mask) != 0) {
    return environment::QueueIoHandler::RefuseSubmission(EINVAL, descriptor_);
  }
  return handler_->ScheduleOperation(descriptor_, operation, buffer, offset, length, callback,
                                     context);
}

}  // namespace device
}  // namespace psfstore
