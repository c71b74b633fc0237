// Buffers of JSON text that the parser may read past the end of.
//
// The JSON parser reads whole SIMD blocks and so may touch up to kPaddingBytes past the
// last byte of its input. `PaddedView` is the only way batch inserts accept text: it can
// be made from a `PaddedBuffer` (which always owns the padding) or from memory whose
// owner states its capacity, which is checked. Callers holding unpadded bytes (network
// frames, Python bytes) copy them into a `PaddedBuffer` kept across calls, so that in
// steady state the copy allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace psfstore {
namespace core {

class PaddedView {
 public:
  // Bytes past the end that must be readable; at least the JSON library's own padding
  // (checked where the library is included).
  static constexpr size_t kPaddingBytes = 64;

  constexpr PaddedView() = default;

  // Memory of `capacity` readable bytes starting at `data`, of which the first `size`
  // are the text. Throws std::invalid_argument when capacity leaves less than
  // kPaddingBytes after the text.
  static PaddedView FromPaddedMemory(const char* data, size_t size, size_t capacity) {
    if (capacity < size || capacity - size < kPaddingBytes) {
      throw std::invalid_argument("JSON text needs " + std::to_string(kPaddingBytes) +
                                  " readable bytes after its end");
    }
    return PaddedView{data, size};
  }

  // `text` read where it lies, when the kPaddingBytes after its end are in the memory
  // page of its last byte: memory is mapped in whole pages (4 KiB at least), so they can
  // be read, whatever they hold; readers of a view never take padding for text. Nothing
  // otherwise, and nothing under the address and thread sanitizers, which report reads
  // past an object (or of a neighbour another thread writes) by design.
  static std::optional<PaddedView> InPlace(std::string_view text) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return std::nullopt;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return std::nullopt;
#endif
#endif
    constexpr uintptr_t kSmallestPageBytes = 4096;
    if (text.empty()) return std::nullopt;
    const auto last = reinterpret_cast<uintptr_t>(text.data() + text.size() - 1);
    if (last / kSmallestPageBytes != (last + kPaddingBytes) / kSmallestPageBytes) return std::nullopt;
    return PaddedView{text.data(), text.size()};
  }

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view text() const { return {data_, size_}; }

 private:
  friend class PaddedBuffer;
  constexpr PaddedView(const char* data, size_t size) : data_{data}, size_{size} {}

  const char* data_ = nullptr;
  size_t size_ = 0;
};

// An owning, reusable buffer: its capacity only grows, and the kPaddingBytes after the
// text are always zero.
class PaddedBuffer {
 public:
  PaddedBuffer() = default;
  explicit PaddedBuffer(std::string_view text) { Assign(text); }
  PaddedBuffer(const PaddedBuffer&) = delete;
  PaddedBuffer& operator=(const PaddedBuffer&) = delete;
  PaddedBuffer(PaddedBuffer&&) noexcept = default;
  PaddedBuffer& operator=(PaddedBuffer&&) noexcept = default;

  // Replaces the contents with a copy of `text`.
  void Assign(std::string_view text) {
    std::memcpy(Resize(text.size()), text.data(), text.size());
  }
  void Assign(const void* bytes, size_t size) {
    Assign(std::string_view{static_cast<const char*>(bytes), size});
  }

  // Sets the text length to `size` and returns the text's first byte for the caller to
  // fill (the previous contents are not kept when the buffer grows).
  char* Resize(size_t size) {
    if (size > SIZE_MAX / 4) throw std::length_error("JSON text too large for a padded buffer");
    if (size + PaddedView::kPaddingBytes > capacity_) {
      size_t capacity = capacity_ == 0 ? 4096 : capacity_;
      while (capacity < size + PaddedView::kPaddingBytes) capacity *= 2;
      storage_.reset(new char[capacity]);
      capacity_ = capacity;
    }
    size_ = size;
    std::memset(storage_.get() + size, 0, PaddedView::kPaddingBytes);
    return storage_.get();
  }

  // `text` in place where PaddedView::InPlace allows it, else a copy in this buffer.
  PaddedView InPlaceOrCopy(std::string_view text) {
    if (std::optional<PaddedView> in_place = PaddedView::InPlace(text)) return *in_place;
    Assign(text);
    return view();
  }

  const char* data() const { return storage_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  PaddedView view() const { return PaddedView{storage_.get(), size_}; }
  operator PaddedView() const { return view(); }  // NOLINT: a padded buffer is a padded view

 private:
  std::unique_ptr<char[]> storage_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace core
}  // namespace psfstore
