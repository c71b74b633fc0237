#include "base/zeroed_memory.h"

#include <sys/mman.h>

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

}  // namespace environment
}  // namespace psfstore
