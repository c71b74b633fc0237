#include "engine/core/state_machine.h"

namespace psfstore {
namespace core {

StateMachine::StateMachine(LightEpoch& epoch, GlobalPhaseWork* global_work)
    : epoch_{epoch}, global_work_{global_work} {}

bool StateMachine::TryBeginAction(Action action) {
  SystemState current = state();
  if (!current.IsRest() || action == Action::None) return false;
  SystemState begun{action, Phase::REST, current.version};
  uint64_t expected = current.control();
  if (!word_.compare_exchange_strong(expected, begun.control())) return false;
  epoch_.ResetPhaseFinished();
  return true;
}

void StateMachine::EnterFirstPhase() {
  SystemState current = state();
  if (current.phase != Phase::REST || !HasNextState(current)) return;
  word_.exchange(GetNextState(current).control());
}

bool StateMachine::StartAction(Action action) {
  if (!TryBeginAction(action)) return false;
  EnterFirstPhase();
  return true;
}

void StateMachine::ReturnToRest() {
  SystemState rest{Action::None, Phase::REST, state().version};
  word_.exchange(rest.control());
}

bool StateMachine::SetRecoveredVersion(uint32_t version) {
  SystemState current = state();
  if (current.action != Action::Recover || current.phase != Phase::REST) return false;
  uint64_t expected = current.control();
  return word_.compare_exchange_strong(expected, SystemState{Action::Recover, Phase::REST, version}.control());
}

bool StateMachine::GlobalMoveToNextState(SystemState expected, SystemState* found) {
  // A state with no successor must not be swapped for the all-ones word: that would
  // leave the store in a state nothing can leave.
  if (!HasNextState(expected)) {
    GetNextState(expected);  // logs the impossible transition
    if (found != nullptr) *found = state();
    return false;
  }
  SystemState next = GetNextState(expected);
  uint64_t word = expected.control();
  if (!word_.compare_exchange_strong(word, next.control())) {
    if (found != nullptr) *found = SystemState::FromControl(word);
    return false;
  }
  if (next.phase != Phase::REST) {
    if (global_work_ != nullptr) global_work_->EnterPhase(next);
    return true;
  }
  // The action is over: finish it, put the word back at rest, then report.
  Status status = global_work_ != nullptr ? global_work_->FinishAction(next.action, next.version) : Status::Ok;
  word_.exchange(SystemState{Action::None, Phase::REST, next.version}.control());
  if (global_work_ != nullptr) global_work_->ActionCompleted(next.action, status);
  return true;
}

void StateMachine::Refresh(ThreadPhaseWork& thread) {
  epoch_.Protect();
  SystemState global = state();
  if (global.phase == Phase::REST && thread.thread_phase() == Phase::REST) {
    if (thread.thread_version() != global.version) thread.SetThreadView(Phase::REST, global.version);
    return;
  }
  HandleSpecialPhases(thread);
}

namespace {

// Phases whose work is polled on every refresh until it can be acknowledged, so a
// thread may hold them as its view before it has acknowledged them.
bool IsPolledPhase(Phase phase) {
  return phase == Phase::INDEX_CHKPT || phase == Phase::WAIT_PENDING || phase == Phase::WAIT_FLUSH;
}

}  // namespace

SystemState StateMachine::CatchUpStart(SystemState global, Phase thread_phase, uint32_t thread_version,
                                       Phase finished_phase) {
  // Only a log checkpoint changes the version, on entering IN_PROGRESS.
  bool version_advanced = global.action == Action::CheckpointLog && global.phase != Phase::PREPARE;
  SystemState path_start{global.action, Phase::REST, global.version - (version_advanced ? 1u : 0u)};
  Phase before = Phase::REST;
  for (SystemState step = path_start;; step = GetNextState(step)) {
    if (step.phase == thread_phase && step.version == thread_version) {
      // A thread sets its view to a phase right after acknowledging it (or, for a
      // polled phase, after acknowledging the one before), and every thread's
      // acknowledgement was reset when this action began. A view that does not fit
      // the acknowledgement is left over from an earlier action.
      bool current = step.phase == Phase::REST || finished_phase == step.phase ||
                     (IsPolledPhase(step.phase) && finished_phase == before);
      return current ? step : path_start;
    }
    if (step == global || !HasNextState(step)) break;
    before = step.phase;
  }
  // The thread's view belongs to an action that ended while the thread was not
  // protected (or is not initialised): follow the current action from its start.
  return path_start;
}

void StateMachine::HandleSpecialPhases(ThreadPhaseWork& thread) {
  SystemState global = state();
  if (global.phase == Phase::REST) {
    thread.SetThreadView(Phase::REST, global.version);
    return;
  }
  SystemState step =
      CatchUpStart(global, thread.thread_phase(), thread.thread_version(), epoch_.ThreadFinishedPhase());
  if (step.phase != thread.thread_phase() || step.version != thread.thread_version()) {
    thread.SetThreadView(step.phase, step.version);
  }
  // At most one pass per phase of the longest action; CatchUpStart guarantees that
  // `global` lies ahead on the path.
  while (true) {
    Phase previous_phase = thread.thread_phase();
    if (step != global) step = GetNextState(step);
    DoThreadWork(step, previous_phase, thread);
    thread.SetThreadView(step.phase, step.version);
    if (step == global) break;
  }
}

void StateMachine::Acknowledge(SystemState step) {
  if (epoch_.FinishThreadPhase(step.phase)) GlobalMoveToNextState(step);
}

void StateMachine::DoThreadWork(SystemState step, Phase previous_phase, ThreadPhaseWork& thread) {
  switch (step.phase) {
    case Phase::PREP_INDEX_CHKPT:
      if (previous_phase == Phase::REST) Acknowledge(step);
      break;
    case Phase::INDEX_CHKPT:
      if (thread.IndexCheckpointWritesCompleted()) Acknowledge(step);
      break;
    case Phase::PREPARE:
      if (previous_phase != Phase::PREPARE) {
        thread.PrepareLogCheckpoint();
        Acknowledge(step);
      }
      break;
    case Phase::IN_PROGRESS:
      if (previous_phase == Phase::PREPARE) {
        thread.StartNewVersion(step.version);
        thread.SetThreadView(Phase::IN_PROGRESS, step.version);
        Acknowledge(step);
      }
      break;
    case Phase::WAIT_PENDING:
      if (!epoch_.HasThreadFinishedPhase(Phase::WAIT_PENDING) && thread.PreviousVersionIdle()) Acknowledge(step);
      break;
    case Phase::WAIT_FLUSH:
      if (!epoch_.HasThreadFinishedPhase(Phase::WAIT_FLUSH) && thread.LogDurableForCheckpoint()) {
        thread.WriteSessionRecord();
        Acknowledge(step);
      }
      break;
    case Phase::PERSISTENCE_CALLBACK:
      if (previous_phase == Phase::WAIT_FLUSH) {
        thread.CallPersistenceCallback();
        Acknowledge(step);
      }
      break;
    case Phase::PS_PENDING:
      if (previous_phase == Phase::REST) {
        thread.AdoptPredicateConfiguration();
        thread.SetThreadView(Phase::PS_PENDING, step.version);
      }
      Acknowledge(step);
      break;
    default:
      break;
  }
}

}  // namespace core
}  // namespace psfstore
