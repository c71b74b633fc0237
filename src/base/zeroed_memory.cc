#include "base/zeroed_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace psfstore {
namespace environment {

void* AllocateZeroed(size_t bytes) {
  if (bytes == 0) return nullptr;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void FreeZeroed(void* memory, size_t bytes) {
  if (memory != nullptr) munmap(memory, bytes);
}

namespace {

constexpr size_t kHugePageBytes = size_t{2} << 20;
#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14; older kernels refuse it and the pages are touched instead
#endif

}  // namespace

void* AllocateResident(size_t bytes) {
  if (bytes == 0) return nullptr;
  // Reserve a huge page more than needed and keep the 2 MiB-aligned part, so that every
  // whole huge page of the range can be backed by one.
  const size_t reserved = bytes + kHugePageBytes;
  void* mapping = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(mapping);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
  const size_t small_page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t end = (aligned + bytes + small_page - 1) & ~uintptr_t{small_page - 1};
  if (aligned > start) munmap(mapping, aligned - start);
  if (start + reserved > end) munmap(reinterpret_cast<void*>(end), start + reserved - end);
  auto* memory = reinterpret_cast<char*>(aligned);
  madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: refused where huge pages are off
  if (madvise(memory, bytes, MADV_POPULATE_WRITE) != 0) {
    for (size_t offset = 0; offset < bytes; offset += small_page) {
      reinterpret_cast<volatile char*>(memory)[offset] = 0;
    }
  }
  return memory;
}

void FreeResident(void* memory, size_t bytes) {
  if (memory != nullptr) munmap(memory, bytes);
}

}  // namespace environment
}  // namespace psfstore
