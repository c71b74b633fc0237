#include "engine/core/light_epoch.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace psfstore {
namespace core {

// Every access below is sequentially consistent: a thread's store of its local epoch
// and a drainer's scan of the table must not be reordered with each other, or a
// trigger could free memory that a thread which has just protected is about to read.

LightEpoch::LightEpoch() = default;

LightEpoch::~LightEpoch() {
  for (auto& slot : drain_list_) {
    uint64_t epoch = slot.epoch.load();
    if (epoch != kFreeSlot && epoch != kLockedSlot) {
      TriggerAction action = slot.action.exchange(nullptr);
      void* context = slot.context.exchange(nullptr);
      slot.epoch.store(kFreeSlot);
      if (action != nullptr) action(context);
    }
  }
}

uint64_t LightEpoch::Protect() {
  uint64_t epoch = current_epoch_.load();
  table_[Thread::id()].local_epoch.store(epoch);
  if (drain_count_.load() != 0) Drain(epoch);
  return epoch;
}

void LightEpoch::Unprotect() { table_[Thread::id()].local_epoch.store(kUnprotected); }

bool LightEpoch::IsProtected() const { return LocalEpoch() != kUnprotected; }

uint64_t LightEpoch::LocalEpoch() const { return table_[Thread::id()].local_epoch.load(); }

uint64_t LightEpoch::BumpCurrentEpoch() {
  uint64_t next = current_epoch_.fetch_add(1) + 1;
  if (drain_count_.load() != 0) Drain(next);
  return next;
}

uint64_t LightEpoch::BumpCurrentEpoch(TriggerAction action, void* context) {
  uint64_t prior = current_epoch_.fetch_add(1);
  if (drain_count_.load() != 0) Drain(prior + 1);

  uint32_t passes = 0;
  while (!TryPlaceTrigger(prior, action, context)) {
    // Every slot holds a trigger that is not ready. The caller's own protection may
    // be what holds them back (two protected threads waiting here would block each
    // other forever), so move it to the current epoch; then recompute the safe epoch,
    // running what became ready, since nobody else may drain.
    auto& own = table_[Thread::id()].local_epoch;
    if (own.load() != kUnprotected) own.store(current_epoch_.load());
    Drain(current_epoch_.load());
    if (++passes == kPassesBeforePause) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      std::fprintf(stderr, "Slowdown: Unable to add trigger to epoch\n");
      passes = 0;
    }
  }
  return prior + 1;
}

bool LightEpoch::TryPlaceTrigger(uint64_t prior, TriggerAction action, void* context) {
  for (auto& slot : drain_list_) {
    uint64_t slot_epoch = slot.epoch.load();
    if (slot_epoch == kFreeSlot) {
      if (slot.epoch.compare_exchange_strong(slot_epoch, kLockedSlot)) {
        slot.action.store(action);
        slot.context.store(context);
        // Count the trigger before publishing it, so that a drainer never sees the
        // count drop to zero while a published trigger is still waiting.
        drain_count_.fetch_add(1);
        slot.epoch.store(prior);
        return true;
      }
    } else if (slot_epoch <= safe_to_reclaim_epoch_.load()) {
      // The slot's trigger is ready but nobody has run it yet: take its place and run it.
      if (slot.epoch.compare_exchange_strong(slot_epoch, kLockedSlot)) {
        TriggerAction ready_action = slot.action.exchange(action);
        void* ready_context = slot.context.exchange(context);
        slot.epoch.store(prior);
        ready_action(ready_context);
        return true;
      }
    }
  }
  return false;
}

uint64_t LightEpoch::ComputeNewSafeToReclaimEpoch(uint64_t epoch) {
  uint64_t oldest = epoch;
  for (const auto& entry : table_) {
    uint64_t local = entry.local_epoch.load();
    if (local != kUnprotected && local < oldest) oldest = local;
  }
  safe_to_reclaim_epoch_.exchange(oldest - 1);
  return oldest - 1;
}

void LightEpoch::Drain(uint64_t epoch) {
  uint64_t safe = ComputeNewSafeToReclaimEpoch(epoch);
  for (auto& slot : drain_list_) {
    uint64_t slot_epoch = slot.epoch.load();
    // Free and locked markers are larger than any real epoch.
    if (slot_epoch > safe) continue;
    if (!slot.epoch.compare_exchange_strong(slot_epoch, kLockedSlot)) continue;
    TriggerAction action = slot.action.exchange(nullptr);
    void* context = slot.context.exchange(nullptr);
    slot.epoch.store(kFreeSlot);
    action(context);
    if (drain_count_.fetch_sub(1) == 1) break;
  }
}

bool LightEpoch::FinishThreadPhase(Phase phase) {
  table_[Thread::id()].phase_finished.exchange(phase);
  for (const auto& entry : table_) {
    if (entry.local_epoch.load() != kUnprotected && entry.phase_finished.load() != phase) return false;
  }
  return true;
}

bool LightEpoch::HasThreadFinishedPhase(Phase phase) const {
  return table_[Thread::id()].phase_finished.load() == phase;
}

Phase LightEpoch::ThreadFinishedPhase() const { return table_[Thread::id()].phase_finished.load(); }

void LightEpoch::ResetPhaseFinished() {
  for (auto& entry : table_) entry.phase_finished.store(Phase::REST);
}

}  // namespace core
}  // namespace psfstore
