// The thin layer between the engine and the operating system. The rest of the engine
// calls these functions instead of the system directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace psfstore {
namespace environment {

// Fills `size` bytes with the kernel's random bytes (getrandom). Throws
// std::runtime_error when the kernel cannot supply them.
void FillRandom(void* buffer, size_t size);

// Pins the calling thread to one processor. Returns false when the system refuses
// (for example when the processor does not exist); the thread then runs unpinned.
bool PinCurrentThread(uint32_t processor);

}  // namespace environment
}  // namespace psfstore
