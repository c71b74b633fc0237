#include "engine/core/system_state.h"

#include <spdlog/spdlog.h>

namespace psfstore {
namespace core {

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::PREP_INDEX_CHKPT: return "PREP_INDEX_CHKPT";
    case Phase::INDEX_CHKPT: return "INDEX_CHKPT";
    case Phase::PREPARE: return "PREPARE";
    case Phase::IN_PROGRESS: return "IN_PROGRESS";
    case Phase::WAIT_PENDING: return "WAIT_PENDING";
    case Phase::WAIT_FLUSH: return "WAIT_FLUSH";
    case Phase::REST: return "REST";
    case Phase::PERSISTENCE_CALLBACK: return "PERSISTENCE_CALLBACK";
    case Phase::GC_IO_PENDING: return "GC_IO_PENDING";
    case Phase::GC_IN_PROGRESS: return "GC_IN_PROGRESS";
    case Phase::GROW_PREPARE: return "GROW_PREPARE";
    case Phase::GROW_IN_PROGRESS: return "GROW_IN_PROGRESS";
    case Phase::PS_PENDING: return "PS_PENDING";
    default: return "INVALID";
  }
}

const char* ActionName(Action action) {
  switch (action) {
    case Action::None: return "None";
    case Action::CheckpointIndex: return "CheckpointIndex";
    case Action::CheckpointLog: return "CheckpointLog";
    case Action::Recover: return "Recover";
    case Action::ChangePsfSet: return "ChangePsfSet";
    default: return "Unknown";
  }
}

namespace {

// Successor of `state`, or Invalid() when there is none.
SystemState NextOrInvalid(SystemState state) {
  SystemState next = state;
  switch (state.action) {
    case Action::CheckpointIndex:
      switch (state.phase) {
        case Phase::REST: next.phase = Phase::PREP_INDEX_CHKPT; return next;
        case Phase::PREP_INDEX_CHKPT: next.phase = Phase::INDEX_CHKPT; return next;
        case Phase::INDEX_CHKPT: next.phase = Phase::REST; return next;
        default: return SystemState::Invalid();
      }
    case Action::CheckpointLog:
      switch (state.phase) {
        case Phase::REST: next.phase = Phase::PREPARE; return next;
        case Phase::PREPARE:
          next.phase = Phase::IN_PROGRESS;
          ++next.version;
          return next;
        case Phase::IN_PROGRESS: next.phase = Phase::WAIT_PENDING; return next;
        case Phase::WAIT_PENDING: next.phase = Phase::WAIT_FLUSH; return next;
        case Phase::WAIT_FLUSH: next.phase = Phase::PERSISTENCE_CALLBACK; return next;
        case Phase::PERSISTENCE_CALLBACK: next.phase = Phase::REST; return next;
        default: return SystemState::Invalid();
      }
    case Action::ChangePsfSet:
      switch (state.phase) {
        case Phase::REST: next.phase = Phase::PS_PENDING; return next;
        case Phase::PS_PENDING: next.phase = Phase::REST; return next;
        default: return SystemState::Invalid();
      }
    default:
      return SystemState::Invalid();
  }
}

}  // namespace

SystemState GetNextState(SystemState state) {
  SystemState next = NextOrInvalid(state);
  if (next == SystemState::Invalid()) spdlog::error("Phase is {}", PhaseName(state.phase));
  return next;
}

bool HasNextState(SystemState state) { return NextOrInvalid(state) != SystemState::Invalid(); }

}  // namespace core
}  // namespace psfstore
