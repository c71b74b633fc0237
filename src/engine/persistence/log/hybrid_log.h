// The hybrid log: an append-only log of records whose newest pages live in a ring of
// 32 MiB in-memory pages and whose older pages live in the segmented log file.
//
//   begin .. head        on disk only, read through ReadFromDisk
//   head .. read-only    in memory, immutable, being or already written to disk
//   read-only .. tail    in memory, mutable
//
// Threads reserve space at the tail with one fetch-and-add and no lock. When the tail
// enters a new page the read-only and head markers follow it; what a marker move
// frees or freezes takes effect through the epoch, once every thread has left the
// epoch of the move (the "safe" copy of a marker is the value all threads respect).
// Pages behind the read-only marker are written to disk; pages behind the head are
// zeroed and their slots reused. The head never passes data that is not on disk.
//
// A page write that fails is retried; if it keeps failing the page stays in memory,
// the flushed-until marker stops before it, and FlushStatus reports IOError to anyone
// waiting for durability past it. The write is tried again whenever the tail needs
// its slot, so no data is dropped.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "base/platform.h"
#include "base/status.h"
#include "base/zeroed_memory.h"
#include "engine/core/address.h"
#include "engine/core/async_context.h"
#include "engine/persistence/io/aligned_buffer_pool.h"
#include "engine/persistence/io/store_disk.h"
#include "engine/persistence/log/read_cache.h"

namespace psfstore {
namespace core {

// Base of the contexts of disk reads. The log copies the context to the heap before
// it takes a buffer, so a copy starts without one.
class AsyncReadContext : public IAsyncContext {
 public:
  AsyncReadContext() = default;
  AsyncReadContext(const AsyncReadContext& other)
      : IAsyncContext(other), callback_{other.callback_}, outstanding_reads_{other.outstanding_reads_} {}

  // The bytes read; valid in the completion callback.
  SectorAlignedMemory record;

 private:
  template <class Epoch>
  friend class PersistentMemoryMalloc;
  AsyncIOCallback callback_ = nullptr;
  std::atomic<uint32_t>* outstanding_reads_ = nullptr;
};

template <class Epoch>
class PersistentMemoryMalloc {
 public:
  using Disk = device::StoreDisk<Epoch>;
  using LogFile = typename Disk::LogFile;

  static constexpr uint64_t kPageSize = Address::kPageSize;
  static constexpr uint32_t kSectorSize = 512;
  // Readable zero bytes after every page, so a record that ends at the page end can be
  // parsed in place by readers that look a little past their input.
  static constexpr uint64_t kPagePadding = kSectorSize;
  static constexpr uint32_t kMutablePages = 2;
  static constexpr uint32_t kHeadReservePages = 4;
  // Disk reads in flight at most. A sparse extraction's random 4 KiB reads come faster
  // with more queued at the device (the completion queue holds 512); readers with large
  // reads bound their bytes in flight themselves.
  static constexpr uint32_t kMaxOutstandingReads = 240;
  static constexpr uint32_t kFlushAttempts = 3;

  // Allocates every page up front, zeroed and resident. Throws std::invalid_argument
  // "Log size must be a multiple of 32 MB" or "Must have at least 2 non-head pages" (fewer
  // than six pages), and std::bad_alloc when the pages cannot be allocated or the log is
  // larger than the machine's physical memory. A log that starts at address 0 keeps its
  // first 64 bytes unused: the first record is at 64.
  PersistentMemoryMalloc(uint64_t log_size, Epoch& epoch, Disk& disk, Address start_address)
      : epoch_{epoch},
        disk_{disk},
        log_file_{disk.log()},
        read_buffer_pool_{1, kSectorSize},
        io_buffer_pool_{1, kSectorSize},
        tail_page_offset_{PageOffset{start_address}.control()} {
    if (log_size % kPageSize != 0) {
      throw std::invalid_argument("Log size must be a multiple of 32 MB");
    }
    if (log_size / kPageSize <= 5) throw std::invalid_argument("Must have at least 2 non-head pages");
    // Every page is touched below: a log the memory cannot hold would not fail here
    // but get the process killed.
    environment::CheckFitsPhysicalMemory(log_size, "A log of this size");
    buffer_size_ = static_cast<uint32_t>(log_size / kPageSize);
    pages_ = std::make_unique<uint8_t*[]>(buffer_size_);
    slots_ = std::make_unique<PageSlot[]>(buffer_size_);
    for (uint32_t slot = 0; slot < buffer_size_; ++slot) {
      // Resident from the start (on huge pages where the kernel gives them): the tail
      // never takes a page fault, and page-aligned memory suits direct I/O.
      pages_[slot] = static_cast<uint8_t*>(environment::AllocateResident(kPageSize + kPagePadding));
      if (pages_[slot] == nullptr) {
        FreePages();
        throw std::bad_alloc();
      }
      slots_[slot].status.store(kOpenAndFlushed, std::memory_order_relaxed);
    }
    if (start_address == Address{0}) {
      tail_page_offset_.fetch_add(Address::kFirstValidAddress);
      start_address = Address{Address::kFirstValidAddress};
    }
    for (auto* marker : {&begin_address_, &read_only_address_, &safe_read_only_address_,
                         &head_address_, &safe_head_address_}) {
      marker->store(start_address);
    }
  }

  // Runs this log's deferred marker actions and waits for its page writes and disk
  // reads. No other thread may hold the epoch any more.
  ~PersistentMemoryMalloc() {
    while (pending_actions_.load() > 0 || writes_in_flight_.load() > 0 ||
           outstanding_reads_.load() > 0) {
      if (pending_actions_.load() > 0) {
        epoch_.BumpCurrentEpoch();
        if (epoch_.IsProtected()) epoch_.Protect();
        epoch_.Drain(epoch_.current_epoch());
      }
      if (!disk_.TryComplete()) std::this_thread::yield();
    }
    FreePages();
  }

  PersistentMemoryMalloc(const PersistentMemoryMalloc&) = delete;
  PersistentMemoryMalloc& operator=(const PersistentMemoryMalloc&) = delete;

  // Space for a record of `size` bytes at the tail, always inside one page. A thread
  // that holds the epoch calls it; `refresh` refreshes that thread's epoch (and lets it
  // take part in phase changes) while the tail waits for a new page. Returns the
  // invalid address for a record larger than a page, which could never be placed.
  // The tail may wait for every other thread that holds the epoch to refresh, so no
  // thread may block (on a lock, a barrier, a join) while it holds the epoch.
  template <class Refresh>
  Address ReserveRecordSpace(uint32_t size, Refresh&& refresh) {
    if (size > kPageSize) return Address::Invalid();
    uint64_t page_filled = 0;
    Address result = TryReserve(size, &page_filled);
    while (result < read_only_address_.load()) {
      refresh();
      if (result == Address::Invalid()) {
        while (!OpenNextPage(page_filled)) refresh();
      }
      result = TryReserve(size, &page_filled);
    }
    return result;
  }

  // Space for a run of records in one piece, inside one page: as many of them as fit in
  // what the tail page has left, or else the first alone at the start of the next page.
  // `fit(room)` returns the bytes of the longest run of whole records that fits in `room`
  // bytes (0 when the first does not); `first_size` is the first record's size, at most
  // a page. `*reserved` receives the bytes taken. Refreshes as ReserveRecordSpace does,
  // and under the same contract.
  template <class Fit, class Refresh>
  Address ReserveRun(Fit&& fit, uint32_t first_size, uint64_t* reserved, Refresh&& refresh) {
    for (;;) {
      uint64_t seen = tail_page_offset_.load();
      const PageOffset old{seen};
      // An offset past the page end is a page that filled up and waits for the next.
      const uint64_t bytes = old.offset() < kPageSize ? fit(kPageSize - old.offset()) : 0;
      if (bytes == 0) {
        *reserved = first_size;
        return ReserveRecordSpace(first_size, refresh);
      }
      if (!tail_page_offset_.compare_exchange_weak(seen, seen + bytes)) continue;
      const Address result{old.page(), old.offset()};
      if (result >= read_only_address_.load()) {
        *reserved = bytes;
        return result;
      }
      // Frozen by a checkpoint before anything was written to it: the space stays
      // empty, as it does for a single record.
      refresh();
    }
  }

  // Memory of the byte at `address`; valid for head <= address < tail.
  uint8_t* Get(Address address) const {
    return pages_[address.page() % buffer_size_] + address.offset();
  }

  // Page-aligned marker moves, made when the tail enters page `tail_page`.
  void MoveReadOnlyMarker(uint64_t tail_page) {
    if (tail_page <= kMutablePages) return;
    Address desired{tail_page - kMutablePages, 0};
    if (RaiseMarker(read_only_address_, desired)) {
      Defer(Marker::kReadOnly, desired);
    }
  }
  void MoveHeadMarker(uint64_t tail_page) {
    if (tail_page <= buffer_size_ - kHeadReservePages) return;
    Address desired{tail_page - buffer_size_ + kHeadReservePages, 0};
    Address flushed = flushed_until_address_.load();
    if (flushed < desired) desired = Address{flushed.page(), 0};
    if (RaiseMarker(head_address_, desired)) Defer(Marker::kHead, desired);
  }

  // Freezes everything up to the tail (the partly filled tail page included) and has it
  // written once the epoch moves on. Returns the tail address.
  Address MoveReadOnlyToTail() {
    Address tail = GetTailAddress();
    if (RaiseMarker(read_only_address_, tail)) Defer(Marker::kReadOnly, tail);
    return tail;
  }

  // Writes pages [start_page, page of `until`] to the log file; each page in full, with
  // `until` recording where its valid data ends. A page whose write is already in flight
  // is written again after it with the larger end. Returns the first error of a write
  // that could not be scheduled; such a write is retried like a failed one.
  Status AsyncFlushPages(uint64_t start_page, Address until) {
    uint64_t last_page = until.page() + (until.offset() != 0 ? 1 : 0);
    Status result = Status::Ok;
    for (uint64_t page = start_page; page < last_page; ++page) {
      Address until_for_page = std::min(until, Address{page + 1, 0});
      Status status = FlushPage(page, until_for_page);
      if (result == Status::Ok) result = status;
    }
    return result;
  }

  // Ok once everything below `until` is on disk (at once for `until` at or below the
  // begin address), IOError while a page write below it
  // has failed for good, Pending otherwise.
  Status FlushStatus(Address until) const {
    Address flushed = flushed_until_address_.load();
    // Nothing below the begin address is ever written: an empty log is durable as it is.
    if (flushed >= until || until <= begin_address_.load()) return Status::Ok;
    if (failed_pages_.load() == 0) return Status::Pending;
    uint64_t last_page = until.page() + (until.offset() != 0 ? 1 : 0);
    last_page = std::min<uint64_t>(last_page, flushed.page() + buffer_size_);
    for (uint64_t page = flushed.page(); page < last_page; ++page) {
      if ((slots_[page % buffer_size_].status.load() & kFlushMask) == kFlushFailed) {
        return Status::IOError;
      }
    }
    return Status::Pending;
  }

  // Reads `byte_count` bytes at `address` from the log file into a pooled buffer held by
  // the (heap copy of the) context's record; `callback` receives that copy. Applies
  // back-pressure first: while more than 120 reads are outstanding the thread polls
  // completions and refreshes its epoch. A read that cannot be scheduled returns its
  // status and never calls back.
  template <class Refresh>
  Status ReadFromDisk(Address address, uint32_t byte_count, AsyncIOCallback callback,
                      AsyncReadContext& context, Refresh&& refresh) {
    while (outstanding_reads_.load() > kMaxOutstandingReads) {
      disk_.TryComplete();
      std::this_thread::yield();
      refresh();
    }
    uint64_t aligned_start = address.control() & ~uint64_t{kSectorSize - 1};
    uint64_t aligned_end =
        (address.control() + byte_count + kSectorSize - 1) & ~uint64_t{kSectorSize - 1};
    uint32_t aligned_length = static_cast<uint32_t>(aligned_end - aligned_start);

    IAsyncContext* copy = nullptr;
    Status status = context.DeepCopy(copy);
    if (status != Status::Ok) return status;
    auto* read_context = static_cast<AsyncReadContext*>(copy);
    read_context->record = read_buffer_pool_.Get(aligned_length);
    if (read_context->record.buffer() == nullptr) {
      if (copy != &context) delete copy;
      return Status::OutOfMemory;
    }
    read_context->record.valid_offset = static_cast<uint32_t>(address.control() - aligned_start);
    read_context->record.required_bytes = byte_count;
    read_context->record.available_bytes = aligned_length - read_context->record.valid_offset;
    read_context->callback_ = callback;
    read_context->outstanding_reads_ = &outstanding_reads_;
    outstanding_reads_.fetch_add(1);
    device_reads_.fetch_add(1, std::memory_order_relaxed);
    device_read_bytes_.fetch_add(aligned_length, std::memory_order_relaxed);
    status = log_file_.ReadAsync(aligned_start, read_context->record.buffer(), aligned_length,
                                 &OnDiskRead, *read_context);
    if (status != Status::Ok) {
      outstanding_reads_.fetch_sub(1);
      if (copy != &context) delete copy;
    }
    return status;
  }

  // Recovery of a fresh log: continues the log whose durable content on disk ends at
  // `tail` and starts at `begin`. Reads the newest pages (up to the buffer size less
  // the head reserve) back into memory and sets every marker as if they had just been
  // flushed: head at the first page read, read-only and flushed-until at `tail`. Drops
  // every block the read cache holds, since recovery may have rewritten them.
  // IOError when a page cannot be read in full (the markers are then unchanged).
  // Only while no other thread uses the log; the caller holds the epoch.
  Status RecoverTail(Address begin, Address tail) {
    read_cache_.Clear();
    uint64_t tail_page = tail.page() + (tail.offset() != 0 ? 1 : 0);
    uint64_t head_page = tail_page < buffer_size_ - kHeadReservePages ? 0 : tail_page - buffer_size_ + kHeadReservePages;
    head_page = std::max(head_page, begin.page());
    struct PageRead : public IAsyncContext {
      explicit PageRead(std::atomic<uint32_t>* remaining, std::atomic<bool>* failed)
          : remaining{remaining}, failed{failed} {}
      Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
      std::atomic<uint32_t>* remaining;
      std::atomic<bool>* failed;
      static void Done(IAsyncContext* context, Status result, size_t bytes) {
        std::unique_ptr<PageRead> read{static_cast<PageRead*>(context)};
        if (result != Status::Ok || bytes != kPageSize) read->failed->store(true);
        read->remaining->fetch_sub(1);
      }
    };
    std::atomic<uint32_t> remaining{0};
    std::atomic<bool> failed{false};
    for (uint64_t page = head_page; page < tail_page && !failed.load(); ++page) {
      PageRead context{&remaining, &failed};
      remaining.fetch_add(1);
      if (log_file_.ReadAsync(page * kPageSize, pages_[page % buffer_size_], static_cast<uint32_t>(kPageSize),
                              &PageRead::Done, context) != Status::Ok) {
        remaining.fetch_sub(1);
        failed.store(true);
      }
    }
    while (remaining.load() > 0) {
      if (!disk_.TryComplete()) std::this_thread::yield();
    }
    if (failed.load()) {
      for (uint64_t page = head_page; page < tail_page; ++page) std::memset(pages_[page % buffer_size_], 0, kPageSize);
      return Status::IOError;
    }
    for (uint64_t page = head_page; page < tail_page; ++page) {
      Address written = std::min(tail, Address{page + 1, 0});
      SlotOf(page).last_flushed_until.store(written);
      SlotOf(page).requested_until.store(written.control());
    }
    for (uint32_t slot = 0; slot < buffer_size_; ++slot) slots_[slot].status.store(kOpenAndFlushed);
    Address head = std::max(begin, Address{head_page, 0});
    if (head < Address{Address::kFirstValidAddress}) head = Address{Address::kFirstValidAddress};
    begin_address_.store(begin);
    head_address_.store(head);
    safe_head_address_.store(head);
    read_only_address_.store(tail);
    safe_read_only_address_.store(tail);
    flushed_until_address_.store(tail);
    tail_page_offset_.store(PageOffset{tail}.control());
    return Status::Ok;
  }

  // The tail as an address, its offset clamped to the page while threads overflow it.
  Address GetTailAddress() const { return PageOffset{tail_page_offset_.load()}.ToAddress(); }
  Address GetReadOnlyAddress() const { return read_only_address_.load(); }
  Address GetSafeReadOnlyAddress() const { return safe_read_only_address_.load(); }
  Address GetHeadAddress() const { return head_address_.load(); }
  Address GetSafeHeadAddress() const { return safe_head_address_.load(); }
  Address GetFlushedUntilAddress() const { return flushed_until_address_.load(); }
  Address GetBeginAddress() const { return begin_address_.load(); }
  uint32_t buffer_size() const { return buffer_size_; }
  uint32_t outstanding_reads() const { return outstanding_reads_.load(); }
  SectorAlignedBufferPool& io_buffer_pool() { return io_buffer_pool_; }
  // Blocks of the log file read before, for readers below the head.
  ReadCache& read_cache() { return read_cache_; }
  // Reads issued to the log file so far, and their bytes (sector-aligned).
  uint64_t device_reads() const { return device_reads_.load(std::memory_order_relaxed); }
  uint64_t device_read_bytes() const { return device_read_bytes_.load(std::memory_order_relaxed); }
  Disk& disk() { return disk_; }
  // The epoch that guards the log's pages: threads that help a scan protect it too.
  Epoch& epoch() { return epoch_; }

 private:
  // Slot status word: low byte flush state, high byte close state.
  static constexpr uint16_t kFlushed = 0x00;
  static constexpr uint16_t kFlushInProgress = 0x01;
  // Every attempt failed; the page waits in memory for another try.
  static constexpr uint16_t kFlushFailed = 0x02;
  static constexpr uint16_t kOpen = 0x0100;
  static constexpr uint16_t kOpenAndFlushed = kOpen | kFlushed;
  static constexpr uint16_t kFlushMask = 0x00FF;
  static constexpr uint16_t kCloseMask = 0xFF00;

  struct alignas(64) PageSlot {
    // Where the valid data of the page's last completed write ends (0 while writing).
    std::atomic<Address> last_flushed_until{Address{0}};
    std::atomic<uint16_t> status{0};
    // The largest end any caller asked this page to be written up to.
    std::atomic<uint64_t> requested_until{0};
  };

  // Context of an epoch-deferred marker action.
  // The markers whose safe copies trail them by an epoch: pages behind the safe
  // read-only marker are written, pages behind the safe head are closed.
  enum class Marker : uint8_t { kReadOnly, kHead };

  struct MarkerContext : public IAsyncContext {
    MarkerContext(PersistentMemoryMalloc* log, Marker marker, Address address)
        : log{log}, marker{marker}, address{address} {}
    Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
    PersistentMemoryMalloc* log;
    Marker marker;
    Address address;
  };

  // Context of one page write.
  struct PageWriteContext : public IAsyncContext {
    PageWriteContext(PersistentMemoryMalloc* log, uint64_t page, Address until, uint32_t attempt)
        : log{log}, page{page}, until{until}, attempt{attempt} {}
    Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
    PersistentMemoryMalloc* log;
    uint64_t page;
    Address until;
    uint32_t attempt;
  };

  void FreePages() {
    if (pages_ == nullptr) return;
    for (uint32_t slot = 0; slot < buffer_size_; ++slot) environment::FreeResident(pages_[slot], kPageSize + kPagePadding);
    pages_.reset();
  }

  PageSlot& SlotOf(uint64_t page) { return slots_[page % buffer_size_]; }

  Address TryReserve(uint32_t size, uint64_t* page_filled) {
    PageOffset old{tail_page_offset_.fetch_add(size)};
    if (old.offset() + size <= kPageSize) return Address{old.page(), old.offset()};
    *page_filled = old.page();
    return Address::Invalid();
  }

  // One attempt to move the tail past full page `page`. True once the tail is past it.
  bool OpenNextPage(uint64_t page) {
    uint64_t next_slot = (page + 1) % buffer_size_;
    if (page + 2 >= safe_head_address_.load().page() + buffer_size_ ||
        slots_[next_slot].status.load() != kOpenAndFlushed) {
      disk_.TryComplete();
      MoveReadOnlyMarker(page + 1);
      MoveHeadMarker(page + 1);
      RetryFailedFlush();
      return false;
    }
    uint64_t seen = tail_page_offset_.load();
    if (PageOffset{seen}.page() != page) return true;
    if (tail_page_offset_.compare_exchange_strong(seen, PageOffset{page + 1, 0}.control())) {
      MoveReadOnlyMarker(page + 1);
      MoveHeadMarker(page + 1);
      return false;  // the next attempt sees the tail on the new page
    }
    return PageOffset{seen}.page() > page;
  }

  // Raises `marker` to `desired`; true for the one caller whose swap raised it, which
  // learns the value it replaced.
  static bool RaiseMarker(std::atomic<Address>& marker, Address desired,
                          Address* replaced = nullptr) {
    Address current = marker.load();
    while (current < desired) {
      if (marker.compare_exchange_weak(current, desired)) {
        if (replaced != nullptr) *replaced = current;
        return true;
      }
    }
    return false;
  }

  void Defer(Marker marker, Address address) {
    pending_actions_.fetch_add(1);
    epoch_.BumpCurrentEpoch(&OnMarkerSafe, new MarkerContext{this, marker, address});
  }

  // Runs once no thread can still act on the marker's old value: raises its safe copy
  // and writes (read-only) or closes (head) the pages the safe copy passed.
  static void OnMarkerSafe(void* context) {
    std::unique_ptr<MarkerContext> marker{static_cast<MarkerContext*>(context)};
    PersistentMemoryMalloc* log = marker->log;
    log->pending_actions_.fetch_sub(1);
    bool read_only = marker->marker == Marker::kReadOnly;
    Address old_safe;
    if (!RaiseMarker(read_only ? log->safe_read_only_address_ : log->safe_head_address_,
                     marker->address, &old_safe)) {
      return;
    }
    if (read_only) {
      log->AsyncFlushPages(old_safe.page(), marker->address);
      return;
    }
    for (uint64_t page = old_safe.page(); page < marker->address.page(); ++page) {
      log->ClosePage(page);
    }
  }

  // Marks a page closed; zeroes and reopens its slot when its write already finished,
  // else the write's completion does.
  void ClosePage(uint64_t page) {
    std::atomic<uint16_t>& status = SlotOf(page).status;
    uint16_t old_status = status.load();
    while (!status.compare_exchange_weak(old_status, old_status & kFlushMask)) {
    }
    if ((old_status & kFlushMask) == kFlushed) Reopen(page);
  }

  void Reopen(uint64_t page) {
    std::memset(pages_[page % buffer_size_], 0, kPageSize);
    SlotOf(page).status.store(kOpenAndFlushed);
  }

  // Sets the flush byte from `from` to `to`, keeping the close byte; false when the flush
  // byte was not `from`. `old_status` receives the status word seen last.
  bool SwapFlushState(uint64_t page, uint16_t from, uint16_t to, uint16_t* old_status) {
    std::atomic<uint16_t>& status = SlotOf(page).status;
    uint16_t current = status.load();
    while ((current & kFlushMask) == from) {
      if (status.compare_exchange_weak(current, (current & kCloseMask) | to)) {
        *old_status = current;
        return true;
      }
    }
    *old_status = current;
    return false;
  }

  Status FlushPage(uint64_t page, Address until) {
    PageSlot& slot = SlotOf(page);
    uint64_t requested = slot.requested_until.load();
    while (requested < until.control() &&
           !slot.requested_until.compare_exchange_weak(requested, until.control())) {
    }
    uint16_t old_status;
    // A write in flight (or a failed one waiting for a retry) takes the new end along.
    if (!SwapFlushState(page, kFlushed, kFlushInProgress, &old_status)) return Status::Ok;
    return WritePage(page, 0);
  }

  // Writes the whole page, up to the largest end requested so far. The flush byte is
  // "in progress" and stays so until the write (or its last retry) completes.
  Status WritePage(uint64_t page, uint32_t attempt) {
    PageSlot& slot = SlotOf(page);
    Address until{slot.requested_until.load()};
    slot.last_flushed_until.store(Address{0});
    writes_in_flight_.fetch_add(1);
    PageWriteContext context{this, page, until, attempt};
    Status status = log_file_.WriteAsync(page * kPageSize, pages_[page % buffer_size_],
                                         static_cast<uint32_t>(kPageSize), &OnPageWritten, context);
    if (status != Status::Ok) {
      writes_in_flight_.fetch_sub(1);
      PageWritten(page, until, attempt, status);
    }
    return status;
  }

  static void OnPageWritten(IAsyncContext* context, Status result, size_t) {
    std::unique_ptr<PageWriteContext> write{static_cast<PageWriteContext*>(context)};
    write->log->writes_in_flight_.fetch_sub(1);
    write->log->PageWritten(write->page, write->until, write->attempt, result);
  }

  void PageWritten(uint64_t page, Address until, uint32_t attempt, Status result) {
    PageSlot& slot = SlotOf(page);
    uint16_t old_status;
    if (result != Status::Ok) {
      if (attempt + 1 < kFlushAttempts) {
        WritePage(page, attempt + 1);
        return;
      }
      std::fprintf(stderr, "AsyncFlushPages(), error: %u\n", static_cast<unsigned>(result.code()));
      failed_pages_.fetch_add(1);
      SwapFlushState(page, kFlushInProgress, kFlushFailed, &old_status);
      return;
    }
    slot.last_flushed_until.store(until);
    AdvanceFlushedUntil();
    if (slot.requested_until.load() > until.control()) {
      WritePage(page, 0);  // more of the page was asked for while this write ran
      return;
    }
    SwapFlushState(page, kFlushInProgress, kFlushed, &old_status);
    if ((old_status & kCloseMask) == 0) {
      Reopen(page);
      return;
    }
    // A request that came in after the check above found the write still running.
    if (slot.requested_until.load() > until.control() &&
        SwapFlushState(page, kFlushed, kFlushInProgress, &old_status)) {
      WritePage(page, 0);
    }
  }

  // Moves the flushed-until marker over the run of pages whose writes completed, from
  // the page it is on: a page that completes before an earlier one waits for it.
  void AdvanceFlushedUntil() {
    Address flushed = flushed_until_address_.load();
    Address reached = SlotOf(flushed.page()).last_flushed_until.load();
    if (reached < flushed) return;
    for (uint32_t step = 1; step < buffer_size_; ++step) {
      // Only a page written to its end lets the walk go on to the next one.
      if (reached.offset() != 0 || reached.page() != flushed.page() + step) break;
      Address next = SlotOf(flushed.page() + step).last_flushed_until.load();
      if (next < reached) break;
      reached = next;
    }
    RaiseMarker(flushed_until_address_, reached);
  }

  // The tail is waiting for the page the flushed-until marker stops at: write it again
  // if all of its attempts had failed (at most every 100 ms, so a dead device is not
  // hammered).
  void RetryFailedFlush() {
    if (failed_pages_.load() == 0) return;
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    auto last = last_retry_.load();
    if (now - last < std::chrono::nanoseconds{std::chrono::milliseconds{100}}.count()) return;
    if (!last_retry_.compare_exchange_strong(last, now)) return;
    uint64_t first_page = flushed_until_address_.load().page();
    for (uint64_t page = first_page; page < first_page + buffer_size_; ++page) {
      uint16_t old_status;
      if (SwapFlushState(page, kFlushFailed, kFlushInProgress, &old_status)) {
        failed_pages_.fetch_sub(1);
        WritePage(page, 0);
      }
    }
  }

  static void OnDiskRead(IAsyncContext* context, Status result, size_t bytes) {
    auto* read_context = static_cast<AsyncReadContext*>(context);
    read_context->outstanding_reads_->fetch_sub(1);
    read_context->callback_(context, result, bytes);
  }

  Epoch& epoch_;
  Disk& disk_;
  LogFile& log_file_;
  SectorAlignedBufferPool read_buffer_pool_;
  SectorAlignedBufferPool io_buffer_pool_;
  ReadCache read_cache_;

  std::atomic<Address> read_only_address_;
  std::atomic<Address> safe_read_only_address_;
  std::atomic<Address> head_address_;
  std::atomic<Address> safe_head_address_;
  std::atomic<Address> flushed_until_address_{Address{0}};
  std::atomic<Address> begin_address_;

  uint32_t buffer_size_ = 0;
  std::unique_ptr<uint8_t*[]> pages_;
  std::unique_ptr<PageSlot[]> slots_;

  alignas(64) std::atomic<uint64_t> tail_page_offset_;
  alignas(64) std::atomic<uint32_t> outstanding_reads_{0};
  std::atomic<uint32_t> writes_in_flight_{0};
  // Marker actions registered with the epoch that have not run yet.
  std::atomic<uint32_t> pending_actions_{0};
  std::atomic<uint32_t> failed_pages_{0};
  std::atomic<int64_t> last_retry_{0};
  std::atomic<uint64_t> device_reads_{0};
  std::atomic<uint64_t> device_read_bytes_{0};
};

}  // namespace core
}  // namespace psfstore
