// The engine's global state word: which action is running (checkpoint, predicate-set
// change, recovery), which phase it is in, and the version stamped into new records.
#pragma once

#include <cstdint>

namespace psfstore {
namespace core {

enum class Phase : uint8_t {
  PREP_INDEX_CHKPT = 0,
  INDEX_CHKPT = 1,
  PREPARE = 2,
  IN_PROGRESS = 3,
  WAIT_PENDING = 4,
  WAIT_FLUSH = 5,
  REST = 6,
  PERSISTENCE_CALLBACK = 7,
  GC_IO_PENDING = 8,
  GC_IN_PROGRESS = 9,
  GROW_PREPARE = 10,
  GROW_IN_PROGRESS = 11,
  PS_PENDING = 12,
  // A per-thread context that has not been initialised yet.
  INVALID = 13,
};

// "PREP_INDEX_CHKPT" ... "PS_PENDING"; "INVALID" for any value above 12.
const char* PhaseName(Phase phase);

enum class Action : uint8_t {
  None = 0,
  CheckpointIndex = 2,
  CheckpointLog = 3,
  Recover = 4,
  ChangePsfSet = 7,
};

const char* ActionName(Action action);

// One 64-bit word: action in byte 0, phase in byte 1, bytes 2-3 zero, version in
// bytes 4-7. Always read and written as a whole.
struct SystemState {
  Action action = Action::None;
  Phase phase = Phase::REST;
  uint32_t version = 1;

  static constexpr uint64_t kInvalidControl = ~uint64_t{0};

  constexpr uint64_t control() const {
    return uint64_t{static_cast<uint8_t>(action)} | (uint64_t{static_cast<uint8_t>(phase)} << 8) |
           (uint64_t{version} << 32);
  }
  static constexpr SystemState FromControl(uint64_t control) {
    return SystemState{static_cast<Action>(control & 0xFF), static_cast<Phase>((control >> 8) & 0xFF),
                       static_cast<uint32_t>(control >> 32)};
  }
  // The word a store starts with: {None, REST, 1} = 0x0000000100000600.
  static constexpr SystemState Initial() { return SystemState{Action::None, Phase::REST, 1}; }
  static constexpr SystemState Invalid() { return FromControl(kInvalidControl); }

  constexpr bool IsRest() const { return action == Action::None && phase == Phase::REST; }
  constexpr bool operator==(const SystemState& other) const { return control() == other.control(); }
  constexpr bool operator!=(const SystemState& other) const { return control() != other.control(); }
};
static_assert(SystemState::Initial().control() == 0x0000000100000600ull);

// The transition table. A combination with no successor logs "Phase is <name>" at
// error level and returns SystemState::Invalid().
SystemState GetNextState(SystemState state);

// True when `state` has a successor in the transition table (no logging).
bool HasNextState(SystemState state);

}  // namespace core
}  // namespace psfstore
