// Large zero-filled allocations (the hash table, overflow bucket pages). The memory
// comes straight from the kernel, page-aligned (so 512-byte aligned for direct I/O)
// and zeroed lazily, so a big table costs only what is touched.
#pragma once

#include <cstddef>

namespace psfstore {
namespace environment {

// Returns `bytes` of zeroed, page-aligned memory, or nullptr when the system refuses.
void* AllocateZeroed(size_t bytes);

// Gives back memory from AllocateZeroed; `bytes` must be the size it was asked for.
void FreeZeroed(void* memory, size_t bytes);

// Returns `bytes` of zeroed memory whose pages are all resident already, so that first
// writes take no page faults: huge pages (2 MiB, aligned) where the kernel gives them to
// memory that asks for them, else ordinary pages. nullptr when the system refuses.
void* AllocateResident(size_t bytes);

// Gives back memory from AllocateResident; `bytes` must be the size it was asked for.
void FreeResident(void* memory, size_t bytes);

}  // namespace environment
}  // namespace psfstore
