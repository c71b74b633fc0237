// The thin layer between the engine and the operating system. The rest of the engine
// calls these functions instead of the system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace psfstore {
namespace environment {

// Fills `size` bytes with the kernel's random bytes (getrandom). Throws
// std::runtime_error when the kernel cannot supply them.
void FillRandom(void* buffer, size_t size);

// Bytes of physical memory the machine has (0 when the system cannot tell).
uint64_t PhysicalMemoryBytes();

// A memory request refused before anything was allocated, because the machine could
// never satisfy it: with overcommitted memory the allocation itself would succeed and
// the process would be killed when the pages are first touched. Carries a message,
// unlike std::bad_alloc, and is caught as one.
class MemoryRequestTooLarge : public std::bad_alloc {
 public:
  explicit MemoryRequestTooLarge(std::string message) : message_{std::move(message)} {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Throws MemoryRequestTooLarge, naming `what`, when `bytes` exceed the physical memory.
void CheckFitsPhysicalMemory(uint64_t bytes, const char* what);

// Pins the calling thread to one processor. Returns false when the system refuses
// (for example when the processor does not exist); the thread then runs unpinned.
bool PinCurrentThread(uint32_t processor);

// An exclusive advisory lock (flock) on a file, held from a successful TryLock until
// Unlock or destruction. The lock belongs to this object's own open file, so two locks
// on one path conflict even inside one process, and it is never inherited by programs
// the process starts. The kernel drops it when the process dies, so a crashed owner
// leaves nothing to clean up.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept : descriptor_{other.descriptor_} { other.descriptor_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;

  // Creates `path` when missing and locks it without waiting. Returns false when another
  // lock holds it; throws std::runtime_error naming the path when the file cannot be
  // opened or locked for any other reason. An already held lock is released first.
  bool TryLock(const std::string& path);
  void Unlock();
  bool held() const { return descriptor_ >= 0; }

 private:
  int descriptor_ = -1;
};

}  // namespace environment
}  // namespace psfstore
