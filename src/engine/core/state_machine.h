// The system state machine: moves the global SystemState word through the phases of
// an index checkpoint, a log checkpoint and a predicate-set change.
//
// A starter moves the word off {None, REST}; from then on threads follow it when they
// Refresh(): each does the work its current phase asks of it and acknowledges, and the
// last protected thread to acknowledge moves the word to the next phase. The work
// itself (writing index files, flushing the log, swapping session contexts, adopting a
// new predicate configuration) is plugged in through two interfaces:
//   - ThreadPhaseWork: one thread's view of the state and its per-phase work;
//   - GlobalPhaseWork: work run once per transition by the thread that made it.
// Nothing here takes a lock: the word changes only by compare-and-swap or exchange.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/status.h"
#include "engine/core/light_epoch.h"
#include "engine/core/system_state.h"

namespace psfstore {
namespace core {

// One thread's side of the state machine. The session code implements it over the
// thread's execution contexts; the defaults acknowledge every phase at once.
class ThreadPhaseWork {
 public:
  virtual ~ThreadPhaseWork() = default;

  // The thread's view of the global state. It may live in an object that
  // StartNewVersion swaps out, so the machine re-reads it after every step.
  virtual Phase thread_phase() const = 0;
  virtual uint32_t thread_version() const = 0;
  virtual void SetThreadView(Phase phase, uint32_t version) = 0;

  // INDEX_CHKPT: polls for completed I/O; true once every write of the index
  // checkpoint (main table, then overflow buckets) has completed. A failed write
  // marks the checkpoint failed before this returns true.
  virtual bool IndexCheckpointWritesCompleted() { return true; }
  // PREPARE, first visit: locks the key hashes of the thread's pending requests for
  // the old version and counts the thread in the checkpoint metadata.
  virtual void PrepareLogCheckpoint() {}
  // IN_PROGRESS, coming from PREPARE: swaps the current and previous contexts so that
  // new records carry `new_version`.
  virtual void StartNewVersion(uint32_t new_version) { (void)new_version; }
  // WAIT_PENDING: true once the previous context has no pending I/O and no retries.
  virtual bool PreviousVersionIdle() { return true; }
  // WAIT_FLUSH: true once the log is durable up to the checkpoint's final address.
  virtual bool LogDurableForCheckpoint() { return true; }
  // WAIT_FLUSH, once durable: writes the thread's session record.
  virtual void WriteSessionRecord() {}
  // PERSISTENCE_CALLBACK, coming from WAIT_FLUSH: reports the persisted serial number.
  virtual void CallPersistenceCallback() {}
  // PS_PENDING, coming from REST: switches to the active predicate configuration.
  virtual void AdoptPredicateConfiguration() {}
};

// A participant with no work of its own: it only keeps its view.
class ThreadView : public ThreadPhaseWork {
 public:
  ThreadView() = default;
  ThreadView(Phase phase, uint32_t version) : phase_{phase}, version_{version} {}

  Phase thread_phase() const override { return phase_; }
  uint32_t thread_version() const override { return version_; }
  void SetThreadView(Phase phase, uint32_t version) override {
    phase_ = phase;
    version_ = version;
  }

 private:
  Phase phase_ = Phase::REST;
  uint32_t version_ = 1;
};

// Work that runs once per transition, on the thread whose compare-and-swap made it.
class GlobalPhaseWork {
 public:
  virtual ~GlobalPhaseWork() = default;

  // The word has just entered `state` (a phase other than REST). Index checkpoints
  // start writing the table on INDEX_CHKPT; log checkpoints start the flush of the
  // log and write their metadata on WAIT_FLUSH. Failures mark the checkpoint failed.
  virtual void EnterPhase(SystemState state) { (void)state; }
  // `action` has reached REST: finish it (close the index checkpoint, release the log
  // checkpoint's state, apply the predicate changes to the inactive configuration).
  // The result goes to ActionCompleted.
  virtual Status FinishAction(Action action, uint32_t version) {
    (void)action;
    (void)version;
    return Status::Ok;
  }
  // The word is back at {None, REST}; tells the action's starter how it ended.
  virtual void ActionCompleted(Action action, Status status) {
    (void)action;
    (void)status;
  }
};

class StateMachine {
 public:
  // `global_work` may be null (no entry work) and must outlive the machine.
  explicit StateMachine(LightEpoch& epoch, GlobalPhaseWork* global_work = nullptr);

  StateMachine(const StateMachine&) = delete;
  StateMachine& operator=(const StateMachine&) = delete;

  SystemState state() const { return SystemState::FromControl(word_.load(std::memory_order_seq_cst)); }

  // Starting an action takes two steps so that the starter can prepare in between:
  // TryBeginAction moves {None, REST, v} to {action, REST, v} and resets every
  // thread's finished phase; it returns false, changing nothing, from any other state.
  // EnterFirstPhase then moves the word to the action's first phase (no entry work).
  // A starter whose preparation fails calls ReturnToRest instead.
  bool TryBeginAction(Action action);
  void EnterFirstPhase();
  // Both steps at once, for starters with nothing to prepare.
  bool StartAction(Action action);

  // Sets the word to {None, REST, current version}: ends a recovery, or abandons an
  // action begun with TryBeginAction whose preparation failed.
  void ReturnToRest();
  // During recovery ({Recover, REST}) adopts the recovered version. False otherwise.
  bool SetRecoveredVersion(uint32_t version);

  // Moves the word from `expected` to its successor and runs the successor's entry
  // work. False when the word was not `expected` (the word found is stored in
  // `found` when given) or when `expected` has no successor.
  bool GlobalMoveToNextState(SystemState expected, SystemState* found = nullptr);

  // Protects the calling thread's epoch and, when a phase is in progress, brings the
  // thread up to the global state, doing the work of every phase it passes.
  void Refresh(ThreadPhaseWork& thread);
  // The catch-up part of Refresh; the calling thread must be protected.
  void HandleSpecialPhases(ThreadPhaseWork& thread);

  LightEpoch& epoch() { return epoch_; }

 private:
  // Where a thread's catch-up starts: its own view if that lies on the path of the
  // global action from REST to `global` and fits the phase the thread last finished,
  // else the REST that starts the path.
  static SystemState CatchUpStart(SystemState global, Phase thread_phase, uint32_t thread_version,
                                  Phase finished_phase);
  void DoThreadWork(SystemState step, Phase previous_phase, ThreadPhaseWork& thread);
  void Acknowledge(SystemState step);

  LightEpoch& epoch_;
  GlobalPhaseWork* global_work_;
  alignas(64) std::atomic<uint64_t> word_{SystemState::Initial().control()};
};

}  // namespace core
}  // namespace psfstore
