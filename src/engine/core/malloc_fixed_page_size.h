// A lock-free allocator of fixed-size items (overflow hash buckets) in large
// zero-filled pages. Items are named by a 48-bit address: page = address >> kPageBits,
// slot = address & (items per page - 1). Address 0 is taken at Initialize and never
// handed out, so 0 can mean "none" wherever an address is stored.
//
// Pages are never freed while the allocator lives. The array of page pointers grows by
// doubling; the old array is freed through the epoch, because threads may still be
// reading through it. Every call must come from a thread that is epoch-protected.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <new>
#include <stdexcept>

#include "base/zeroed_memory.h"
#include "engine/core/light_epoch.h"
#include "engine/core/thread.h"

namespace psfstore {
namespace core {

template <class T, uint32_t kPageBits = 20>
class MallocFixedPageSize {
 public:
  static constexpr uint64_t kItemsPerPage = uint64_t{1} << kPageBits;
  static constexpr uint64_t kSlotMask = kItemsPerPage - 1;
  static constexpr uint64_t kPageBytes = kItemsPerPage * sizeof(T);
  static constexpr uint64_t kAlignment = 512;
  static constexpr uint64_t kInitialCapacity = 2;
  // Never handed out; Allocate returns it when memory runs out.
  static constexpr uint64_t kNullAddress = 0;

  static_assert(alignof(T) <= kAlignment && kAlignment % alignof(T) == 0);

  MallocFixedPageSize() = default;
  ~MallocFixedPageSize() { Release(); }

  MallocFixedPageSize(const MallocFixedPageSize&) = delete;
  MallocFixedPageSize& operator=(const MallocFixedPageSize&) = delete;

  // Sets up an empty allocator (page array of capacity 2) and takes address 0.
  // Throws std::bad_alloc when the first page cannot be allocated.
  void Initialize(LightEpoch& epoch) {
    Release();
    epoch_ = &epoch;
    PageArray* array = PageArray::Create(kInitialCapacity);
    if (array == nullptr) throw std::bad_alloc();
    array_.store(array);
    count_.store(0);
    if (Allocate() != kNullAddress || array->pages()[0].load() == nullptr) {
      Release();
      throw std::bad_alloc();
    }
  }

  // The item at `address` (any address below count()).
  T& Get(uint64_t address) const {
    const PageArray* array = array_.load(std::memory_order_acquire);
    return array->pages()[address >> kPageBits].load(std::memory_order_acquire)[address & kSlotMask];
  }

  // A zeroed (never used, or given back unused) item's address; kNullAddress when
  // the memory for a new page or a larger page array cannot be had.
  uint64_t Allocate() {
    std::deque<FreeItem>& free_list = free_lists_[Thread::id()];
    if (!free_list.empty() && epoch_->IsSafeToReclaim(free_list.front().removal_epoch)) {
      uint64_t address = free_list.front().address;
      free_list.pop_front();
      return address;
    }
    uint64_t index = count_.fetch_add(1);
    uint64_t page = index >> kPageBits;
    PageArray* array = array_.load(std::memory_order_acquire);
    if (page >= array->capacity) {
      array = ExpandArray(array, page);
      if (array == nullptr) return kNullAddress;
    }
    // Allocate the next page ahead of need, so that the common path never waits for one.
    if ((index & kSlotMask) == 0 && page + 1 < array->capacity) EnsurePage(array, page + 1);
    if (EnsurePage(array, page) == nullptr) return kNullAddress;
    return index;
  }

  // Gives `address` back to the calling thread's free list; it is handed out again
  // once `removal_epoch` is safe to reclaim (0: at once). The item must be zeroed.
  void FreeAtEpoch(uint64_t address, uint64_t removal_epoch) {
    free_lists_[Thread::id()].push_back(FreeItem{address, removal_epoch});
  }

  // Recovery: makes items [0, count) handed out and their pages present (zeroed, for
  // the caller to fill from a checkpoint), so that Allocate continues at `count`.
  // Only while no other thread uses the allocator. False when memory runs out.
  bool Restore(uint64_t count) {
    if (count == 0) return false;  // address 0 is always taken
    uint64_t last_page = (count - 1) >> kPageBits;
    PageArray* array = array_.load(std::memory_order_acquire);
    if (last_page >= array->capacity && (array = ExpandArray(array, last_page)) == nullptr) return false;
    for (uint64_t page = 0; page <= last_page; ++page) {
      if (EnsurePage(array, page) == nullptr) return false;
    }
    for (auto& free_list : free_lists_) free_list.clear();
    count_.store(count);
    return true;
  }

  // The next never-used address: items [0, count()) have been handed out.
  uint64_t count() const { return count_.load(); }
  uint64_t capacity() const { return array_.load(std::memory_order_acquire)->capacity; }
  // The memory of page `page` (kPageBytes, 512-byte aligned), or nullptr.
  T* page(uint64_t page) const {
    const PageArray* array = array_.load(std::memory_order_acquire);
    return page < array->capacity ? array->pages()[page].load(std::memory_order_acquire) : nullptr;
  }

 private:
  struct FreeItem {
    uint64_t address;
    uint64_t removal_epoch;
  };

  // {alignment, capacity} followed in the same allocation by `capacity` page pointers.
  struct PageArray {
    uint64_t alignment;
    uint64_t capacity;

    std::atomic<T*>* pages() { return reinterpret_cast<std::atomic<T*>*>(this + 1); }
    const std::atomic<T*>* pages() const { return reinterpret_cast<const std::atomic<T*>*>(this + 1); }

    static PageArray* Create(uint64_t capacity) {
      void* memory = ::operator new(sizeof(PageArray) + capacity * sizeof(std::atomic<T*>), std::nothrow);
      if (memory == nullptr) return nullptr;
      auto* array = new (memory) PageArray{kAlignment, capacity};
      for (uint64_t i = 0; i < capacity; ++i) new (&array->pages()[i]) std::atomic<T*>(nullptr);
      return array;
    }
    static void Destroy(void* array) { ::operator delete(array); }
  };
  static_assert(sizeof(PageArray) % alignof(std::atomic<T*>) == 0);

  // The page's memory, allocating and installing it when nobody has yet.
  T* EnsurePage(PageArray* array, uint64_t page) {
    T* memory = array->pages()[page].load(std::memory_order_acquire);
    if (memory != nullptr) return memory;
    auto* fresh = static_cast<T*>(environment::AllocateZeroed(kPageBytes));
    if (fresh == nullptr) return nullptr;
    if (array->pages()[page].compare_exchange_strong(memory, fresh, std::memory_order_acq_rel)) return fresh;
    environment::FreeZeroed(fresh, kPageBytes);  // another thread installed it first
    return memory;
  }

  // Replaces `current` by an array that can hold `page`; returns the array to use, or
  // nullptr when memory runs out.
  PageArray* ExpandArray(PageArray* current, uint64_t page) {
    uint64_t needed = uint64_t{1} << std::bit_width(page);  // the power of two above `page`
    while (current->capacity <= page) {
      PageArray* fresh = PageArray::Create(needed);
      if (fresh == nullptr) return nullptr;
      // Every page below the old capacity has been handed out from. Rather than wait
      // for the thread that owns a missing page (which may have failed to get
      // memory), allocate it here; whoever installs it first wins.
      for (uint64_t i = 0; i < current->capacity; ++i) {
        T* memory = EnsurePage(current, i);
        if (memory == nullptr) {
          PageArray::Destroy(fresh);
          return nullptr;
        }
        fresh->pages()[i].store(memory, std::memory_order_relaxed);
      }
      if (array_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
        // Other threads may still be reading through the old array.
        epoch_->BumpCurrentEpoch(&PageArray::Destroy, current);
        return fresh;
      }
      PageArray::Destroy(fresh);  // `current` now holds the array another thread installed
    }
    return current;
  }

  void Release() {
    PageArray* array = array_.exchange(nullptr);
    if (array != nullptr) {
      for (uint64_t i = 0; i < array->capacity; ++i) environment::FreeZeroed(array->pages()[i].load(), kPageBytes);
      PageArray::Destroy(array);
    }
    for (auto& free_list : free_lists_) free_list.clear();
    count_.store(0);
  }

  LightEpoch* epoch_ = nullptr;
  std::atomic<PageArray*> array_{nullptr};
  alignas(64) std::atomic<uint64_t> count_{0};
  std::deque<FreeItem> free_lists_[Thread::kMaxThreads];
};

}  // namespace core
}  // namespace psfstore
