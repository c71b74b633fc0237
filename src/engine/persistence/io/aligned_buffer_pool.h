// Sector-aligned buffers for disk reads, pooled by power-of-two size classes.
#pragma once

#include <atomic>
#include <cstdint>

namespace psfstore {
namespace core {

class SectorAlignedBufferPool;

// A pooled buffer handed to a reader: `buffer() + valid_offset` is where the bytes the
// caller asked for start. Move-only; the buffer returns to its pool when released.
class SectorAlignedMemory {
 public:
  SectorAlignedMemory() = default;
  SectorAlignedMemory(uint8_t* buffer, uint32_t size_class, SectorAlignedBufferPool* pool)
      : buffer_{buffer}, size_class_{size_class}, pool_{pool} {}
  ~SectorAlignedMemory() { Release(); }

  SectorAlignedMemory(SectorAlignedMemory&& other) noexcept { *this = std::move(other); }
  SectorAlignedMemory& operator=(SectorAlignedMemory&& other) noexcept;
  SectorAlignedMemory(const SectorAlignedMemory&) = delete;
  SectorAlignedMemory& operator=(const SectorAlignedMemory&) = delete;

  // Gives the buffer back to its pool.
  void Release();

  uint8_t* buffer() const { return buffer_; }
  const uint8_t* valid_pointer() const { return buffer_ + valid_offset; }
  uint8_t* valid_pointer() { return buffer_ + valid_offset; }
  uint32_t size_class() const { return size_class_; }
  const SectorAlignedBufferPool* pool() const { return pool_; }

  // Where the wanted bytes start inside the buffer.
  uint32_t valid_offset = 0;
  // What the caller asked for.
  uint32_t required_bytes = 0;
  // Aligned bytes read minus the valid offset.
  uint32_t available_bytes = 0;

 private:
  uint8_t* buffer_ = nullptr;
  uint32_t size_class_ = 0;
  SectorAlignedBufferPool* pool_ = nullptr;
};

// A request for n bytes takes s = ceil(n * level / alignment) sectors; its class is 0
// for one sector, else ceil(log2(s)), and its buffer holds alignment << class bytes,
// followed by one more zeroed sector that readers may parse past the end into.
// Released buffers are kept in lock-free slots per class for the next request.
class SectorAlignedBufferPool {
 public:
  static constexpr uint32_t kSizeClasses = 32;
  // Enough for the reads an extraction on two threads holds at once (two announced
  // chunks of up to about eight 1 MiB reads each, per thread): a buffer freed and
  // allocated again costs fresh pages, zeroed by the kernel and pinned anew for O_DIRECT.
  static constexpr uint32_t kCachedPerClass = 40;
  // Buffers of at least this size (a full scan's page reads, an extraction's long
  // reads) come straight from the kernel on huge pages: the kernel pins a huge page for
  // a direct read at the cost of one small page, and the parser walks them with fewer
  // TLB misses.
  static constexpr uint64_t kHugeBufferBytes = uint64_t{2} << 20;

  SectorAlignedBufferPool(uint32_t level, uint32_t alignment);
  ~SectorAlignedBufferPool();
  SectorAlignedBufferPool(const SectorAlignedBufferPool&) = delete;
  SectorAlignedBufferPool& operator=(const SectorAlignedBufferPool&) = delete;

  // A buffer of at least `size` bytes; an empty record when memory runs out.
  SectorAlignedMemory Get(uint32_t size);
  // Puts a buffer of class `size_class` back.
  void Return(uint32_t size_class, uint8_t* buffer);

  uint32_t SizeClass(uint32_t size) const;
  uint64_t ClassBytes(uint32_t size_class) const { return uint64_t{alignment_} << size_class; }
  uint32_t alignment() const { return alignment_; }

 private:
  bool Huge(uint32_t size_class) const;
  void Free(uint32_t size_class, uint8_t* buffer) const;

  uint32_t level_;
  uint32_t alignment_;
  std::atomic<uint8_t*> cached_[kSizeClasses][kCachedPerClass];
};

}  // namespace core
}  // namespace psfstore
