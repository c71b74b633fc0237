// Small per-thread ids (0-95) that index the epoch table and the per-thread session
// contexts. A thread takes an id on first use and gives it back when it exits.
#pragma once

#include <cstdint>

namespace psfstore {
namespace core {

class Thread {
 public:
  static constexpr uint32_t kMaxThreads = 96;
  static constexpr uint32_t kInvalidId = UINT32_MAX;

  // The calling thread's id, claimed on first call. Throws std::runtime_error
  // "Too many threads!" when all 96 ids are held by live threads.
  static uint32_t id();

  // Number of ids currently held (for tests and diagnostics).
  static uint32_t HeldCount();
};

}  // namespace core
}  // namespace psfstore
