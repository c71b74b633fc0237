// The log file: a run of 1 GiB segment files "log.log0", "log.log1", ... opened on
// demand and deleted when the log is truncated.
//
// Readers and writers find a segment's file through the current bundle pointer without
// a lock. Opening segments and truncating take the mutex, publish a new bundle and hand
// the old one to the epoch, which frees it once no thread can still be reading it.
// Threads that transfer through the log file therefore hold epoch protection.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/status.h"
#include "engine/core/async_context.h"
#include "engine/persistence/io/disk.h"
#include "engine/persistence/io/disk_file.h"
#include "engine/persistence/io/queue_io_handler.h"

namespace psfstore {
namespace device {

// The files of segments [begin, end); the file of segment k is files[k - begin].
// Bundles are immutable once published.
class SegmentBundle {
 public:
  SegmentBundle(uint64_t begin, uint64_t end)
      : begin{begin}, end{end}, files{std::make_unique<DiskFile[]>(end - begin)} {}
  // Closes the files only while this bundle owns them; a replaced bundle does not.
  ~SegmentBundle() {
    if (!owner) return;
    for (uint64_t segment = begin; segment < end; ++segment) file(segment).Close();
  }

  bool contains(uint64_t segment) const { return segment >= begin && segment < end; }
  DiskFile& file(uint64_t segment) { return files[segment - begin]; }
  const DiskFile& file(uint64_t segment) const { return files[segment - begin]; }

  const uint64_t begin;
  const uint64_t end;
  bool owner = true;
  std::unique_ptr<DiskFile[]> files;
};

// Called once truncated segments are deleted, with the log's new begin address on disk.
using TruncateCallback = void (*)(uint64_t new_begin_address);

template <class Epoch>
class SegmentedFile {
 public:
  static constexpr uint32_t kSegmentBits = 30;
  static constexpr uint64_t kSegmentSize = uint64_t{1} << kSegmentBits;

  SegmentedFile(std::string base_name, FileOptions options,
                          Disk& disk, Epoch& epoch)
      : base_name_{std::move(base_name)}, options_{options}, disk_{disk}, epoch_{epoch} {}

  ~SegmentedFile() { delete bundle_.load(std::memory_order_acquire); }

  SegmentedFile(const SegmentedFile&) = delete;
  SegmentedFile& operator=(const SegmentedFile&) = delete;

  // Transfers at a log address; the transfer must not cross a segment boundary. The
  // segment is opened first when needed; if it cannot be (it was truncated), the
  // status is returned and nothing is scheduled.
  core::Status ReadAsync(uint64_t address, void* buffer, uint32_t length,
                         core::AsyncIOCallback callback, core::IAsyncContext& context) {
    const DiskFile* file = nullptr;
    core::Status status = FileFor(address, length, &file);
    if (status != core::Status::Ok) return status;
    return file->ReadAsync(address & (kSegmentSize - 1), buffer, length, callback, context);
  }
  core::Status WriteAsync(uint64_t address, const void* buffer, uint32_t length,
                          core::AsyncIOCallback callback, core::IAsyncContext& context) {
    const DiskFile* file = nullptr;
    core::Status status = FileFor(address, length, &file);
    if (status != core::Status::Ok) return status;
    return file->WriteAsync(address & (kSegmentSize - 1), buffer, length, callback, context);
  }

  // Makes sure segment `segment` is in the bundle. Growing the bundle to a far segment
  // creates the (empty) files of every segment in between. IOError for a segment below
  // the begin segment. A file that fails to open stays closed in the bundle; transfers
  // to it are refused when scheduled.
  core::Status OpenSegment(uint64_t segment) {
    std::unique_lock<std::mutex> lock{mutex_};
    if (segment < begin_segment_.load(std::memory_order_acquire)) return core::Status::IOError;
    SegmentBundle* old_bundle = bundle_.load(std::memory_order_acquire);
    if (old_bundle != nullptr && old_bundle->contains(segment)) return core::Status::Ok;

    uint64_t begin = segment;
    uint64_t end = segment + 1;
    if (old_bundle != nullptr && old_bundle->begin < old_bundle->end) {
      begin = std::min(segment, old_bundle->begin);
      end = std::max(segment + 1, old_bundle->end);
    } else if (old_bundle != nullptr) {
      // An empty bundle left by truncation keeps its lower bound.
      begin = std::min(segment, old_bundle->begin);
    }
    auto* bundle = new (std::nothrow) SegmentBundle(begin, end);
    if (bundle == nullptr) return core::Status::OutOfMemory;
    for (uint64_t k = begin; k < end; ++k) {
      if (old_bundle != nullptr && old_bundle->contains(k)) {
        bundle->file(k) = old_bundle->file(k);
      } else {
        bundle->file(k) = DiskFile{&disk_, SegmentName(k), options_};
        bundle->file(k).Open();
      }
    }
    bundle_.store(bundle, std::memory_order_release);
    // The epoch may run other deferred actions right here, and those may open segments:
    // hand the old bundle over outside the lock.
    lock.unlock();
    if (old_bundle != nullptr) Retire(old_bundle, 0, 0, 0, nullptr);
    return core::Status::Ok;
  }

  // Drops every segment below `new_begin_segment`: readers are turned away at once,
  // and the files are closed and deleted once all threads have left the current epoch.
  // `callback` then receives the log's new begin address on disk.
  void TruncateSegments(uint64_t new_begin_segment, TruncateCallback callback) {
    uint64_t begin = begin_segment_.load(std::memory_order_acquire);
    while (begin < new_begin_segment &&
           !begin_segment_.compare_exchange_weak(begin, new_begin_segment)) {
    }
    std::unique_lock<std::mutex> lock{mutex_};
    SegmentBundle* old_bundle = bundle_.load(std::memory_order_acquire);
    if (old_bundle == nullptr || old_bundle->begin >= new_begin_segment) {
      uint64_t begin_address =
          (old_bundle == nullptr ? new_begin_segment : old_bundle->begin) << kSegmentBits;
      lock.unlock();
      if (callback != nullptr) callback(begin_address);
      return;
    }
    uint64_t end = std::max(old_bundle->end, new_begin_segment);
    auto* bundle = new SegmentBundle(new_begin_segment, end);
    for (uint64_t k = new_begin_segment; k < old_bundle->end; ++k) {
      bundle->file(k) = old_bundle->file(k);
    }
    bundle_.store(bundle, std::memory_order_release);
    lock.unlock();
    Retire(old_bundle, old_bundle->begin, std::min(new_begin_segment, old_bundle->end),
           new_begin_segment, callback);
  }

  // Lowest segment that still exists.
  uint64_t begin_segment() const { return begin_segment_.load(std::memory_order_acquire); }
  // Sector size of the segment files (512 until a segment is open).
  uint32_t alignment() const {
    SegmentBundle* bundle = bundle_.load(std::memory_order_acquire);
    if (bundle == nullptr || bundle->begin == bundle->end) return 512;
    return bundle->file(bundle->begin).alignment();
  }
  // base name + decimal segment number, with no separator.
  std::string SegmentName(uint64_t segment) const { return base_name_ + std::to_string(segment); }
  Disk& disk() { return disk_; }

 private:
  // Frees a replaced bundle after the epoch moves on; first closes and deletes the
  // files of segments [delete_begin, delete_end) and, with a callback, reports the
  // new begin address.
  struct RetireContext : public core::IAsyncContext {
    RetireContext(SegmentBundle* bundle, uint64_t delete_begin, uint64_t delete_end,
                  uint64_t new_begin_segment, TruncateCallback callback)
        : bundle{bundle},
          delete_begin{delete_begin},
          delete_end{delete_end},
          new_begin_segment{new_begin_segment},
          callback{callback} {}
    core::Status DeepCopyInternal(core::IAsyncContext*& copy) override {
      return DeepCopyOf(*this, copy);
    }
    SegmentBundle* bundle;
    uint64_t delete_begin;
    uint64_t delete_end;
    uint64_t new_begin_segment;
    TruncateCallback callback;
  };

  static void RunRetire(void* context) {
    std::unique_ptr<RetireContext> retire{static_cast<RetireContext*>(context)};
    for (uint64_t k = retire->delete_begin; k < retire->delete_end; ++k) {
      retire->bundle->file(k).Delete();
    }
    uint64_t new_begin_address = retire->new_begin_segment << kSegmentBits;
    delete retire->bundle;
    if (retire->callback != nullptr) retire->callback(new_begin_address);
  }

  void Retire(SegmentBundle* bundle, uint64_t delete_begin, uint64_t delete_end,
              uint64_t new_begin_segment, TruncateCallback callback) {
    bundle->owner = false;
    auto* context =
        new RetireContext{bundle, delete_begin, delete_end, new_begin_segment, callback};
    epoch_.BumpCurrentEpoch(&RunRetire, context);
  }

  core::Status FileFor(uint64_t address, uint32_t length, const DiskFile** file) {
    uint64_t segment = address >> kSegmentBits;
    if (((address + length - 1) >> kSegmentBits) != segment && length > 0) {
      return environment::QueueIoHandler::RefuseSubmission(EINVAL, -1);
    }
    SegmentBundle* bundle = bundle_.load(std::memory_order_acquire);
    if (bundle == nullptr || !bundle->contains(segment)) {
      core::Status status = OpenSegment(segment);
      if (status != core::Status::Ok) return status;
      bundle = bundle_.load(std::memory_order_acquire);
      // A truncation may have dropped the segment in the meantime.
      if (!bundle->contains(segment)) return core::Status::IOError;
    }
    *file = &bundle->file(segment);
    return core::Status::Ok;
  }

  std::atomic<uint64_t> begin_segment_{0};
  std::atomic<SegmentBundle*> bundle_{nullptr};
  std::string base_name_;
  FileOptions options_;
  Disk& disk_;
  Epoch& epoch_;
  std::mutex mutex_;
};

}  // namespace device
}  // namespace psfstore
