#include "base/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace psfstore {
namespace environment {

void FillRandom(void* buffer, size_t size) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t filled = 0;
  while (filled < size) {
    ssize_t got = getrandom(bytes + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
    }
    filled += static_cast<size_t>(got);
  }
}

uint64_t PhysicalMemoryBytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

void CheckFitsPhysicalMemory(uint64_t bytes, const char* what) {
  uint64_t physical = PhysicalMemoryBytes();
  if (physical != 0 && bytes > physical) {
    throw MemoryRequestTooLarge(std::string(what) + " needs " + std::to_string(bytes) +
                                " bytes, more than the machine's " + std::to_string(physical) +
                                " bytes of memory");
  }
}

bool PinCurrentThread(uint32_t processor) {
  if (processor >= CPU_SETSIZE) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(processor, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Unlock();
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
  }
  return *this;
}

bool FileLock::TryLock(const std::string& path) {
  Unlock();
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    throw std::runtime_error("cannot open lock file " + path + ": " + std::strerror(errno));
  }
  int result;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    int error = errno;
    ::close(descriptor);
    if (error == EWOULDBLOCK) return false;
    throw std::runtime_error("cannot lock " + path + ": " + std::strerror(error));
  }
  descriptor_ = descriptor;
  return true;
}

void FileLock::Unlock() {
  if (descriptor_ < 0) return;
  // Closing the only descriptor of the open file releases the lock.
  ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace environment
}  // namespace psfstore
