// Writing the hash index to an index checkpoint's "ht.dat" and "ofb.dat", and loading
// it back.
//
// The bucket table goes out as up to 256 concurrent chunk writes, the overflow buckets
// as one write per 64 MiB allocator page; all are unbuffered and asynchronous, and the
// checkpoint is fuzzy: inserts go on while the table is written, and recovery repairs
// the loaded table by replaying the log from the checkpoint's start address. Whoever
// polls the disk's completion queue runs the completions, which touch only the
// counters and flags of the transfer they belong to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/status.h"
#include "engine/core/internal_hash_table.h"
#include "engine/persistence/checkpoint/checkpoint_state.h"
#include "engine/persistence/io/disk_file.h"
#include "engine/persistence/io/disk.h"

namespace psfstore {
namespace core {

// The transfers of one file: counted down by completions; the last one closes it.
class FileTransfers {
 public:
  FileTransfers() = default;
  FileTransfers(const FileTransfers&) = delete;
  FileTransfers& operator=(const FileTransfers&) = delete;

  // Opens `path` (unbuffered) on `disk`; IOError when it cannot be opened.
  Status Open(const std::string& path, device::Disk& disk);
  // Schedules one transfer of `length` bytes at `offset`. A transfer that cannot be
  // scheduled marks the file failed and returns the reason.
  Status Read(uint64_t offset, void* buffer, uint32_t length);
  Status Write(uint64_t offset, const void* buffer, uint32_t length);
  // No more transfers will be scheduled; the file closes once the scheduled ones end.
  void SealAndCloseWhenDone();

  bool done() const { return pending_.load(std::memory_order_acquire) == 0; }
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  void MarkFailed() { failed_.store(true, std::memory_order_release); }
  uint32_t alignment() const { return file_.alignment(); }

 private:
  class TransferContext;
  static void OnTransferDone(IAsyncContext* context, Status result, size_t bytes);
  Status Schedule(bool write, uint64_t offset, void* buffer, uint32_t length);
  void Release();

  device::DiskFile file_;
  // Scheduled transfers not yet completed, plus one until the file is sealed.
  std::atomic<uint32_t> pending_{0};
  std::atomic<bool> failed_{false};
};

// One index checkpoint or index load in flight: the bucket table file and the
// overflow bucket file.
class IndexFiles {
 public:
  // Schedules the writes of `table` into `directory` (absolute, ending in "/") and
  // fills the metadata's table size, byte counts and overflow bucket count. Returns
  // the first failure (files that cannot be opened, transfers that cannot be
  // scheduled); whatever was scheduled still completes and done() becomes true.
  Status StartWrite(InternalHashTable& table, const std::string& directory, device::Disk& disk,
                    IndexMetadata& metadata);

  // Replaces `table`'s contents by the checkpoint's: sizes the table from the metadata
  // and schedules the reads. Corruption when the metadata is inconsistent, IOError
  // when a file is missing, shorter than the metadata says or cannot be read.
  Status StartLoad(InternalHashTable& table, const std::string& directory, device::Disk& disk,
                   const IndexMetadata& metadata);

  // Polls one completion; true once every transfer of both files has ended.
  bool Poll(device::Disk& disk);
  // Polls until done; IOError when any transfer failed.
  Status Wait(device::Disk& disk);

  bool done() const { return table_file_.done() && overflow_file_.done(); }
  bool failed() const { return table_file_.failed() || overflow_file_.failed(); }

 private:
  FileTransfers table_file_;
  FileTransfers overflow_file_;
};

// Overflow buckets in use, as an index checkpoint records them: 0 when the allocator
// has handed out nothing beyond the address it reserves for "none".
uint64_t OverflowBucketsInUse(const InternalHashTable& table);

// Makes a table loaded from a fuzzy copy consistent: empties every entry a thread was
// claiming (tentative) when the table was copied, and cuts every overflow link to a
// bucket the allocator had not handed out when the overflow pages were copied (such
// a bucket would be handed out again). Every entry so dropped was made after the
// checkpoint started, so the log replay makes it again.
void RepairLoadedIndex(InternalHashTable& table);

}  // namespace core
}  // namespace psfstore
