#include "engine/persistence/io/aligned_buffer_pool.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/zeroed_memory.h"

namespace psfstore {
namespace core {

SectorAlignedMemory& SectorAlignedMemory::operator=(SectorAlignedMemory&& other) noexcept {
  if (this != &other) {
    Release();
    buffer_ = std::exchange(other.buffer_, nullptr);
    size_class_ = other.size_class_;
    pool_ = std::exchange(other.pool_, nullptr);
    valid_offset = other.valid_offset;
    required_bytes = other.required_bytes;
    available_bytes = other.available_bytes;
  }
  return *this;
}

void SectorAlignedMemory::Release() {
  if (buffer_ != nullptr && pool_ != nullptr) pool_->Return(size_class_, buffer_);
  buffer_ = nullptr;
  pool_ = nullptr;
}

SectorAlignedBufferPool::SectorAlignedBufferPool(uint32_t level, uint32_t alignment)
    : level_{level}, alignment_{alignment} {
  for (auto& size_class : cached_) {
    for (auto& slot : size_class) slot.store(nullptr, std::memory_order_relaxed);
  }
}

SectorAlignedBufferPool::~SectorAlignedBufferPool() {
  for (uint32_t size_class = 0; size_class < kSizeClasses; ++size_class) {
    for (auto& slot : cached_[size_class]) Free(size_class, slot.load(std::memory_order_acquire));
  }
}

bool SectorAlignedBufferPool::Huge(uint32_t size_class) const { return ClassBytes(size_class) >= kHugeBufferBytes; }

void SectorAlignedBufferPool::Free(uint32_t size_class, uint8_t* buffer) const {
  if (buffer == nullptr) return;
  if (Huge(size_class)) {
    environment::FreeResident(buffer, ClassBytes(size_class) + alignment_);
  } else {
    std::free(buffer);
  }
}

uint32_t SectorAlignedBufferPool::SizeClass(uint32_t size) const {
  uint64_t sectors = (uint64_t{size} * level_ + alignment_ - 1) / alignment_;
  if (sectors <= 1) return 0;
  return static_cast<uint32_t>(std::bit_width(sectors - 1));  // ceil(log2(sectors))
}

SectorAlignedMemory SectorAlignedBufferPool::Get(uint32_t size) {
  uint32_t size_class = SizeClass(size);
  if (size_class >= kSizeClasses) return {};
  for (auto& slot : cached_[size_class]) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    uint8_t* buffer = slot.exchange(nullptr, std::memory_order_acq_rel);
    if (buffer != nullptr) return SectorAlignedMemory{buffer, size_class, this};
  }
  uint64_t bytes = ClassBytes(size_class);
  uint8_t* buffer = nullptr;
  if (Huge(size_class)) {
    // Zeroed and resident already, on huge pages where the kernel gives them.
    buffer = static_cast<uint8_t*>(environment::AllocateResident(bytes + alignment_));
    if (buffer == nullptr) return {};
  } else {
    buffer = static_cast<uint8_t*>(std::aligned_alloc(alignment_, bytes + alignment_));
    if (buffer == nullptr) return {};
    std::memset(buffer + bytes, 0, alignment_);
  }
  return SectorAlignedMemory{buffer, size_class, this};
}

void SectorAlignedBufferPool::Return(uint32_t size_class, uint8_t* buffer) {
  for (auto& slot : cached_[size_class]) {
    uint8_t* expected = nullptr;
    if (slot.compare_exchange_strong(expected, buffer, std::memory_order_acq_rel)) return;
  }
  Free(size_class, buffer);  // every slot of the class is taken
}

}  // namespace core
}  // namespace psfstore
