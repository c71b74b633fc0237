// MemoryDisk: a disk whose files live in memory and which fails the transfers it is told
// to, for tests of what the log and the checkpoints do when a read or a write fails.
//
// Transfers run at submission and complete on a later TryComplete, as on the real disk.
// A failed transfer is torn: it moves the first half of its bytes, then completes with
// IOError, so a caller that trusts a failed read or write sees damaged data.
//
// Threading: every member may be called from any thread at the same time; callbacks run
// on the thread that calls TryComplete, outside the disk's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/persistence/io/disk.h"

namespace psfstore {
namespace device {

class MemoryDisk final : public Disk {
 public:
  static constexpr uint64_t kAnyOffset = std::numeric_limits<uint64_t>::max();
  static constexpr uint64_t kEvery = std::numeric_limits<uint64_t>::max();

  // Which transfers fail. A transfer matches when it is of `operation`, its file's path
  // ends with `file` (empty: every file) and it covers byte `offset` of the file
  // (kAnyOffset: any transfer). The first `skip` matching transfers succeed, the next
  // `count` fail, later ones succeed again.
  struct Fault {
    environment::IoOperation operation = environment::IoOperation::kWrite;
    std::string file;
    uint64_t offset = kAnyOffset;
    uint64_t skip = 0;
    uint64_t count = kEvery;
  };

  MemoryDisk() = default;
  ~MemoryDisk() override;

  // Adds a fault; faults are checked in the order they were added.
  void Inject(Fault fault);
  // Removes every fault: the disk works again.
  void Heal();
  // Transfers failed so far.
  uint64_t failed_transfers() const;

  // True while a file of this path exists (was opened and not deleted).
  bool Exists(const std::string& path) const;

  core::Status Open(const std::string& path, bool unbuffered,
                    environment::OpenedFile* file) override;
  core::Status Close(int handle) override;
  core::Status Sync(int) override { return core::Status::Ok; }
  core::Status Delete(const std::string& path) override;
  core::Status FileSize(const std::string& path, uint64_t* size) override;
  core::Status Schedule(int handle, environment::IoOperation operation, void* buffer,
                        uint64_t offset, uint32_t length, core::AsyncIOCallback callback,
                        core::IAsyncContext& context) override;
  bool TryComplete() override;
  uint64_t outstanding() const override;

 private:
  using Bytes = std::vector<uint8_t>;
  struct OpenFile {
    std::string path;
    std::shared_ptr<Bytes> bytes;
  };
  struct Completion {
    core::IAsyncContext* context;
    core::AsyncIOCallback callback;
    core::Status result;
    size_t bytes;
  };

  // True when the transfer must fail; counts it against the first fault it matches.
  bool ShouldFail(const std::string& path, environment::IoOperation operation, uint64_t offset,
                  uint32_t length);

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Bytes>> files_;
  std::map<int, OpenFile> handles_;
  int next_handle_ = 3;
  struct FaultState {
    Fault fault;
    uint64_t matched = 0;
  };
  std::vector<FaultState> faults_;
  uint64_t failed_ = 0;
  std::deque<Completion> completions_;
};

}  // namespace device
}  // namespace psfstore
