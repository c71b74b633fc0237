#include "engine/persistence/io/memory_disk.h"

#include <algorithm>
#include <cstring>

namespace psfstore {
namespace device {

using core::Status;
using environment::IoOperation;

MemoryDisk::~MemoryDisk() {
  // As on the real disk, completions nobody polled for free their contexts unrun.
  for (Completion& completion : completions_) delete completion.context;
}

void MemoryDisk::Inject(Fault fault) {
  std::lock_guard<std::mutex> lock{mutex_};
  faults_.push_back(FaultState{std::move(fault)});
}

void MemoryDisk::Heal() {
  std::lock_guard<std::mutex> lock{mutex_};
  faults_.clear();
}

uint64_t MemoryDisk::failed_transfers() const {
  std::lock_guard<std::mutex> lock{mutex_};
  return failed_;
}

bool MemoryDisk::Exists(const std::string& path) const {
  std::lock_guard<std::mutex> lock{mutex_};
  return files_.count(path) != 0;
}

Status MemoryDisk::FileSize(const std::string& path, uint64_t* size) {
  std::lock_guard<std::mutex> lock{mutex_};
  auto found = files_.find(path);
  if (found == files_.end()) return Status{Status::IOError, "no file " + path};
  *size = found->second->size();
  return Status::Ok;
}

Status MemoryDisk::Open(const std::string& path, bool unbuffered, environment::OpenedFile* file) {
  std::lock_guard<std::mutex> lock{mutex_};
  std::shared_ptr<Bytes>& bytes = files_[path];
  if (bytes == nullptr) bytes = std::make_shared<Bytes>();
  int handle = next_handle_++;
  handles_[handle] = OpenFile{path, bytes};
  file->descriptor = handle;
  file->direct = unbuffered;
  file->sector_size = 512;
  return Status::Ok;
}

Status MemoryDisk::Close(int handle) {
  std::lock_guard<std::mutex> lock{mutex_};
  return handles_.erase(handle) == 1 ? Status::Ok : Status{Status::IOError, "no such handle"};
}

Status MemoryDisk::Delete(const std::string& path) {
  std::lock_guard<std::mutex> lock{mutex_};
  return files_.erase(path) == 1 ? Status::Ok : Status{Status::IOError, "no file " + path};
}

bool MemoryDisk::ShouldFail(const std::string& path, IoOperation operation, uint64_t offset,
                            uint32_t length) {
  for (FaultState& state : faults_) {
    const Fault& fault = state.fault;
    if (fault.operation != operation) continue;
    if (path.size() < fault.file.size() ||
        path.compare(path.size() - fault.file.size(), fault.file.size(), fault.file) != 0) {
      continue;
    }
    if (fault.offset != kAnyOffset && (fault.offset < offset || fault.offset >= offset + length)) {
      continue;
    }
    uint64_t index = state.matched++;
    if (index < fault.skip) return false;
    return fault.count == kEvery || index - fault.skip < fault.count;
  }
  return false;
}

Status MemoryDisk::Schedule(int handle, IoOperation operation, void* buffer, uint64_t offset,
                            uint32_t length, core::AsyncIOCallback callback,
                            core::IAsyncContext& context) {
  core::IAsyncContext* copy = nullptr;
  Status copied = context.DeepCopy(copy);
  if (copied != Status::Ok) return copied;
  std::lock_guard<std::mutex> lock{mutex_};
  auto found = handles_.find(handle);
  if (found == handles_.end()) {
    if (!context.from_deep_copy()) delete copy;
    return Status{Status::IOError, "transfer on a closed file"};
  }
  Bytes& bytes = *found->second.bytes;
  bool fail = ShouldFail(found->second.path, operation, offset, length);
  uint64_t moved = fail ? length / 2 : length;
  if (operation == IoOperation::kRead) {
    uint64_t available = offset < bytes.size() ? bytes.size() - offset : 0;
    moved = std::min(moved, available);
    if (moved > 0) std::memcpy(buffer, bytes.data() + offset, moved);
  } else {
    if (bytes.size() < offset + moved) bytes.resize(offset + moved);
    if (moved > 0) std::memcpy(bytes.data() + offset, buffer, moved);
  }
  if (fail) ++failed_;
  completions_.push_back(Completion{copy, callback, fail ? Status::IOError : Status::Ok,
                                    static_cast<size_t>(moved)});
  return Status::Ok;
}

bool MemoryDisk::TryComplete() {
  Completion completion;
  {
    std::lock_guard<std::mutex> lock{mutex_};
    if (completions_.empty()) return false;
    completion = completions_.front();
    completions_.pop_front();
  }
  completion.callback(completion.context, completion.result, completion.bytes);
  return true;
}

uint64_t MemoryDisk::outstanding() const {
  std::lock_guard<std::mutex> lock{mutex_};
  return completions_.size();
}

}  // namespace device
}  // namespace psfstore
