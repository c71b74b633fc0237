#include "engine/persistence/io/disk_file.h"

#include <cerrno>

namespace psfstore {
namespace device {

using core::Status;

Status DiskFile::Open() {
  if (disk_ == nullptr) return Status{Status::IOError, "file " + filename_ + " has no disk"};
  environment::OpenedFile opened;
  Status status = disk_->Open(filename_, options_.unbuffered, &opened);
  if (status != Status::Ok) return status;
  descriptor_ = opened.descriptor;
  direct_ = opened.direct;
  alignment_ = opened.sector_size;
  open_ = true;
  return Status::Ok;
}

Status DiskFile::Close() {
  Status status = Status::Ok;
  if (descriptor_ >= 0) {
    status = disk_->Close(descriptor_);
    descriptor_ = -1;
  }
  open_ = false;
  return status;
}

Status DiskFile::Sync() const {
  if (!open_) return Status{Status::IOError, "sync of a closed file " + filename_};
  return disk_->Sync(descriptor_);
}

void DiskFile::Delete() {
  Close();
  if (disk_ != nullptr) disk_->Delete(filename_);
}

Status DiskFile::ReadAsync(uint64_t offset, void* buffer, uint32_t length,
                           core::AsyncIOCallback callback, core::IAsyncContext& context) const {
  return Schedule(environment::IoOperation::kRead, offset, buffer, length, callback, context);
}

Status DiskFile::WriteAsync(uint64_t offset, const void* buffer, uint32_t length,
                            core::AsyncIOCallback callback, core::IAsyncContext& context) const {
  // The disk only reads from the buffer of a write.
  return Schedule(environment::IoOperation::kWrite, offset, const_cast<void*>(buffer), length,
                  callback, context);
}

Status DiskFile::Schedule(environment::IoOperation operation, uint64_t offset, void* buffer,
                          uint32_t length, core::AsyncIOCallback callback,
                          core::IAsyncContext& context) const {
  if (!open_ || disk_ == nullptr) {
    return environment::QueueIoHandler::RefuseSubmission(EBADF, descriptor_);
  }
  uint64_t mask = alignment_ - 1;
  if ((offset & mask) != 0 || (length & mask) != 0 ||
      (reinterpret_cast<uintptr_t>(buffer) & mask) != 0) {
    return environment::QueueIoHandler::RefuseSubmission(EINVAL, descriptor_);
  }
  return disk_->Schedule(descriptor_, operation, buffer, offset, length, callback, context);
}

}  // namespace device
}  // namespace psfstore
