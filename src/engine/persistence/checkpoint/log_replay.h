// Repairing a loaded (fuzzy) index checkpoint from the log.
//
// The index checkpoint was copied while inserts went on, so it may miss chain heads
// and hold entries a thread was claiming. Replaying every record between the index
// checkpoint's start address and the log checkpoint's final address links each key
// pointer into its entry again, oldest first, so every chain head ends up being the
// newest key pointer the checkpoint covers. Records of the version after the
// checkpoint were written once the checkpoint had closed its version: they are marked
// invalid, in the page and then on disk, so no scan returns them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "base/status.h"
#include "engine/core/address.h"
#include "engine/core/internal_hash_table.h"
#include "engine/core/record.h"
#include "engine/persistence/io/disk.h"

namespace psfstore {
namespace core {

// Replays the records of one page held in `page` (the page's memory, kPageSize bytes,
// whose first byte is at `page_start`) whose headers lie in [from, until). Records of
// version `checkpoint_version` + 1 (13-bit record versions, compared modulo 8192) get
// their invalid bit set and `modified` becomes true. Corruption when a record or a
// key pointer's value reaches past the page; OutOfMemory when an entry cannot be made.
// The caller holds the epoch.
Status ReplayPage(InternalHashTable& table, uint8_t* page, Address page_start, Address from, Address until,
                  uint32_t checkpoint_version, bool& modified);

// The key hash under which a stored key pointer was linked; false when the pointer's
// value does not lie inside its record.
bool KeyPointerHash(const uint8_t* record, const RecordHeader& header, uint32_t position, KeyHash& hash);

// Reads the log pages that hold [start, final) from `log` (the store's segmented log
// file) through `buffer_pages` page buffers, `buffer_pages` reads ahead, replays them
// into `table` and writes back every page in which a record was invalidated. Returns
// the first failure: IOError for a page that cannot be read or written in full. The
// caller holds the epoch and no other thread uses the table or the log.
template <class LogFile>
Status ReplayLog(LogFile& log, device::Disk& disk, InternalHashTable& table, Address start,
                 Address final_address, uint32_t checkpoint_version, uint32_t buffer_pages);

// ---------------------------------------------------------------------------------

namespace log_replay_detail {

// Page states, as completions leave them.
enum PageState : uint32_t { kIdle = 0, kReadIssued = 1, kReadDone = 2, kWriteIssued = 3, kWriteDone = 4 };

struct PageBuffer {
  static void Free(uint8_t* memory) { std::free(memory); }
  std::unique_ptr<uint8_t, decltype(&Free)> memory{nullptr, &Free};
};

template <class LogFile>
class Replay {
 public:
  Replay(LogFile& log, device::Disk& disk, uint64_t first_page, uint64_t end_page,
         uint32_t buffer_pages)
      : log_{log}, disk_{disk}, first_page_{first_page}, end_page_{end_page},
        states_(end_page - first_page), buffers_(buffer_pages) {}

  ~Replay() {
    // Transfers still in flight point at the buffers and states: wait them out.
    while (in_flight_.load() > 0) {
      if (!disk_.TryComplete()) std::this_thread::yield();
    }
  }

  Status Allocate() {
    for (PageBuffer& buffer : buffers_) {
      buffer.memory.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, Address::kPageSize)));
      if (buffer.memory == nullptr) return Status::OutOfMemory;
    }
    return Status::Ok;
  }

  uint8_t* BufferOf(uint64_t page) { return buffers_[page % buffers_.size()].memory.get(); }
  std::atomic<uint32_t>& StateOf(uint64_t page) { return states_[page - first_page_]; }
  bool failed() const { return failed_.load(); }

  Status Read(uint64_t page) { return Transfer(page, false); }
  // Writes the page back; once written, its buffer is reused for page + buffer count.
  Status WriteBack(uint64_t page) { return Transfer(page, true); }

  // Polls until `page` reaches `state` or a transfer fails.
  Status WaitFor(uint64_t page, PageState state) {
    while (StateOf(page).load() != state) {
      if (failed()) return Status::IOError;
      if (!disk_.TryComplete()) std::this_thread::yield();
    }
    return failed() ? Status::IOError : Status::Ok;
  }

 private:
  class Context : public IAsyncContext {
   public:
    Context(Replay* replay, uint64_t page, bool write) : replay{replay}, page{page}, write{write} {}
    Replay* replay;
    uint64_t page;
    bool write;

   protected:
    Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
  };

  Status Transfer(uint64_t page, bool write) {
    StateOf(page).store(write ? kWriteIssued : kReadIssued);
    Context context{this, page, write};
    in_flight_.fetch_add(1);
    uint64_t address = page * Address::kPageSize;
    auto length = static_cast<uint32_t>(Address::kPageSize);
    Status status = write ? log_.WriteAsync(address, BufferOf(page), length, &OnDone, context)
                          : log_.ReadAsync(address, BufferOf(page), length, &OnDone, context);
    if (status != Status::Ok) {
      in_flight_.fetch_sub(1);
      failed_.store(true);
    }
    return status;
  }

  static void OnDone(IAsyncContext* raw, Status result, size_t bytes) {
    std::unique_ptr<Context> context{static_cast<Context*>(raw)};
    Replay* replay = context->replay;
    if (result != Status::Ok || bytes != Address::kPageSize) {
      std::fprintf(stderr, "Error: %u\n", static_cast<unsigned>(result == Status::Ok ? Status::IOError : result.code()));
      replay->failed_.store(true);
    }
    replay->StateOf(context->page).store(context->write ? kWriteDone : kReadDone);
    uint64_t next = context->page + replay->buffers_.size();
    if (context->write && next < replay->end_page_ && !replay->failed()) replay->Read(next);
    replay->in_flight_.fetch_sub(1);
  }

  LogFile& log_;
  device::Disk& disk_;
  uint64_t first_page_;
  uint64_t end_page_;
  std::vector<std::atomic<uint32_t>> states_;
  std::vector<PageBuffer> buffers_;
  std::atomic<uint32_t> in_flight_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace log_replay_detail

template <class LogFile>
Status ReplayLog(LogFile& log, device::Disk& disk, InternalHashTable& table, Address start,
                 Address final_address, uint32_t checkpoint_version, uint32_t buffer_pages) {
  using namespace log_replay_detail;
  if (final_address <= start) return Status::Ok;
  uint64_t first_page = start.page();
  uint64_t end_page = final_address.page() + (final_address.offset() != 0 ? 1 : 0);
  buffer_pages = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint32_t>(buffer_pages, 1), end_page - first_page));
  Replay<LogFile> replay{log, disk, first_page, end_page, buffer_pages};
  Status status = replay.Allocate();
  if (status != Status::Ok) return status;
  for (uint64_t page = first_page; page < first_page + buffer_pages; ++page) {
    status = replay.Read(page);
    if (status != Status::Ok) return Status::IOError;
  }
  for (uint64_t page = first_page; page < end_page; ++page) {
    status = replay.WaitFor(page, kReadDone);
    if (status != Status::Ok) return status;
    Address from = page == first_page ? start : Address{page, 0};
    Address until = page + 1 == end_page ? final_address : Address{page + 1, 0};
    bool modified = false;
    status = ReplayPage(table, replay.BufferOf(page), Address{page, 0}, from, until, checkpoint_version, modified);
    if (status != Status::Ok) return status;
    if (modified) {
      // The write's completion reads the page that takes over this buffer.
      if (replay.WriteBack(page) != Status::Ok) return Status::IOError;
    } else if (page + buffer_pages < end_page) {
      replay.StateOf(page).store(kWriteDone);
      if (replay.Read(page + buffer_pages) != Status::Ok) return Status::IOError;
    } else {
      replay.StateOf(page).store(kWriteDone);
    }
  }
  for (uint64_t page = first_page; page < end_page; ++page) {
    status = replay.WaitFor(page, kWriteDone);
    if (status != Status::Ok) return status;
  }
  return Status::Ok;
}

}  // namespace core
}  // namespace psfstore
