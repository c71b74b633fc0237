// A vector that readers index without locks while one writer at a time appends.
//
// Elements live in segments that never move (segment k holds kFirstSegmentSize << k
// elements), so a reference to an element stays valid for the vector's life. An append
// publishes the new size with release order after the element is built; a reader that
// sees index i < size() (acquire) sees element i whole. Appends from several threads
// are serialised by an internal mutex; elements are never removed or replaced.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

namespace psfstore {
namespace core {

template <class T>
class AppendOnlyVector {
 public:
  static constexpr size_t kFirstSegmentSize = 64;
  static constexpr size_t kSegmentCount = 26;  // room for about 4 billion elements

  AppendOnlyVector() = default;
  AppendOnlyVector(const AppendOnlyVector&) = delete;
  AppendOnlyVector& operator=(const AppendOnlyVector&) = delete;
  ~AppendOnlyVector() {
    size_t count = size_.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) Slot(i)->~T();
    for (auto& segment : segments_) {
      T* elements = segment.load(std::memory_order_relaxed);
      if (elements != nullptr) ::operator delete(elements, std::align_val_t{alignof(T)});
    }
  }

  size_t size() const { return size_.load(std::memory_order_acquire); }
  bool empty() const { return size() == 0; }

  // Requires index < size() as seen by this thread.
  const T& operator[](size_t index) const { return *Slot(index); }

  // Appends and returns the new element's index.
  size_t PushBack(T value) {
    std::lock_guard<std::mutex> guard{append_mutex_};
    size_t index = size_.load(std::memory_order_relaxed);
    auto [segment, offset] = Locate(index);
    if (segment >= kSegmentCount) throw std::length_error("append-only vector is full");
    T* elements = segments_[segment].load(std::memory_order_relaxed);
    if (elements == nullptr) {
      elements = static_cast<T*>(
          ::operator new(sizeof(T) * (kFirstSegmentSize << segment), std::align_val_t{alignof(T)}));
      segments_[segment].store(elements, std::memory_order_release);
    }
    new (elements + offset) T(std::move(value));
    size_.store(index + 1, std::memory_order_release);
    return index;
  }

 private:
  struct Position {
    size_t segment;
    size_t offset;
  };
  // Segment k starts at index kFirstSegmentSize * (2^k - 1).
  static Position Locate(size_t index) {
    size_t scaled = index / kFirstSegmentSize + 1;
    size_t segment = std::bit_width(scaled) - 1;
    return Position{segment, index - kFirstSegmentSize * ((size_t{1} << segment) - 1)};
  }
  T* Slot(size_t index) const {
    auto [segment, offset] = Locate(index);
    return segments_[segment].load(std::memory_order_acquire) + offset;
  }

  std::atomic<T*> segments_[kSegmentCount] = {};
  std::atomic<size_t> size_{0};
  std::mutex append_mutex_;
};

}  // namespace core
}  // namespace psfstore
