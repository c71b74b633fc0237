// Epoch protection: lets threads agree on when memory that others may still be
// reading can be reused, without a lock.
//
// A thread calls Protect() before it touches shared engine memory and Unprotect()
// when it is done (or Protect() again now and then to move forward). Whoever retires
// memory unlinks it first and then calls BumpCurrentEpoch(action, context): the action
// runs, on some thread that drains or bumps, once every protected thread has protected
// an epoch newer than the one the trigger was registered in.
//
// Each thread also records the last phase of the system state machine it has finished
// (FinishThreadPhase), so the machine can tell when every protected thread has caught up.
//
// All operations act on the calling thread's entry (Thread::id()) and take no lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/core/system_state.h"
#include "engine/core/thread.h"

namespace psfstore {
namespace core {

class LightEpoch {
 public:
  // A deferred action; it receives the context it was registered with.
  using TriggerAction = void (*)(void* context);

  static constexpr uint32_t kTableSize = Thread::kMaxThreads;
  static constexpr uint32_t kDrainListSize = 256;
  // Local epoch of a thread that is not protected.
  static constexpr uint64_t kUnprotected = 0;
  // Drain slot markers.
  static constexpr uint64_t kFreeSlot = ~uint64_t{0};
  static constexpr uint64_t kLockedSlot = ~uint64_t{0} - 1;
  // A full drain list makes BumpCurrentEpoch pause this long after this many passes.
  static constexpr uint32_t kPassesBeforePause = 500;

  LightEpoch();
  // Runs every trigger still registered: no thread may use the engine any more.
  ~LightEpoch();

  LightEpoch(const LightEpoch&) = delete;
  LightEpoch& operator=(const LightEpoch&) = delete;

  // Protects the current epoch for the calling thread, runs ready triggers when there
  // are any, and returns the protected epoch.
  uint64_t Protect();
  // Marks the calling thread as not protected; it is no longer waited for.
  void Unprotect();
  bool IsProtected() const;
  // The calling thread's protected epoch (kUnprotected if none).
  uint64_t LocalEpoch() const;

  // Advances the current epoch without registering anything; returns the new epoch.
  uint64_t BumpCurrentEpoch();
  // Registers `action(context)` to run once every thread has left the current epoch,
  // then advances the epoch; returns the new epoch. When all 256 drain slots hold
  // triggers that are not ready yet it keeps retrying (and draining) until one frees
  // up; while it waits, a protected caller's epoch is moved to the current one, as
  // Protect() would, so the caller must not rely on memory retired by others before
  // the call staying alive after it.
  uint64_t BumpCurrentEpoch(TriggerAction action, void* context);

  // Recomputes the safe-to-reclaim epoch (capped at `epoch` - 1) and runs every
  // trigger that has become ready.
  void Drain(uint64_t epoch);

  uint64_t current_epoch() const { return current_epoch_.load(std::memory_order_seq_cst); }
  uint64_t safe_to_reclaim_epoch() const { return safe_to_reclaim_epoch_.load(std::memory_order_seq_cst); }
  // True when no thread can still be reading memory retired in `epoch`.
  bool IsSafeToReclaim(uint64_t epoch) const { return epoch <= safe_to_reclaim_epoch(); }
  // Number of registered triggers that have not run yet.
  uint32_t drain_count() const { return drain_count_.load(std::memory_order_seq_cst); }

  // Records that the calling thread has finished `phase`; true when every protected
  // thread has finished it.
  bool FinishThreadPhase(Phase phase);
  // True when the calling thread has already finished `phase`.
  bool HasThreadFinishedPhase(Phase phase) const;
  // The last phase the calling thread finished.
  Phase ThreadFinishedPhase() const;
  // Sets every thread's finished phase back to REST (done when an action starts).
  void ResetPhaseFinished();

 private:
  struct alignas(64) Entry {
    std::atomic<uint64_t> local_epoch{kUnprotected};
    std::atomic<Phase> phase_finished{Phase::REST};
  };
  static_assert(sizeof(Entry) == 64, "one cache line per thread");

  struct DrainSlot {
    std::atomic<uint64_t> epoch{kFreeSlot};
    std::atomic<TriggerAction> action{nullptr};
    std::atomic<void*> context{nullptr};
  };

  // Oldest epoch still protected by any thread, capped at `epoch`, minus one.
  uint64_t ComputeNewSafeToReclaimEpoch(uint64_t epoch);
  // One pass over the drain slots trying to place a trigger registered in `prior`.
  bool TryPlaceTrigger(uint64_t prior, TriggerAction action, void* context);

  alignas(64) Entry table_[kTableSize];
  alignas(64) std::atomic<uint64_t> current_epoch_{1};
  alignas(64) std::atomic<uint64_t> safe_to_reclaim_epoch_{0};
  alignas(64) std::atomic<uint32_t> drain_count_{0};
  DrainSlot drain_list_[kDrainListSize];
};

}  // namespace core
}  // namespace psfstore
