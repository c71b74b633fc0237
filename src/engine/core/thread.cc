#include "engine/core/thread.h"

#include <atomic>
#include <stdexcept>

namespace psfstore {
namespace core {

namespace {

std::atomic<uint32_t> next_start{0};
std::atomic<uint8_t> id_taken[Thread::kMaxThreads];

// Owns the calling thread's id and frees it when the thread exits.
struct ThreadIdSlot {
  uint32_t id = Thread::kInvalidId;
  ~ThreadIdSlot() {
    if (id != Thread::kInvalidId) id_taken[id].store(0, std::memory_order_release);
  }
};

thread_local ThreadIdSlot slot;

uint32_t ClaimId() {
  uint32_t start = next_start.fetch_add(1, std::memory_order_relaxed);
  for (uint32_t i = start; i < start + 2 * Thread::kMaxThreads; ++i) {
    uint32_t candidate = i % Thread::kMaxThreads;
    uint8_t expected = 0;
    if (id_taken[candidate].compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
      return candidate;
    }
  }
  throw std::runtime_error("Too many threads!");
}

}  // namespace

uint32_t Thread::id() {
  if (slot.id == kInvalidId) slot.id = ClaimId();
  return slot.id;
}

uint32_t Thread::HeldCount() {
  uint32_t count = 0;
  for (auto& taken : id_taken) count += taken.load(std::memory_order_acquire);
  return count;
}

}  // namespace core
}  // namespace psfstore
