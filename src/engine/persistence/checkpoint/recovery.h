// Recovery of a fresh store from one index checkpoint and one log checkpoint.
//
// Order: both metadata files (their versions must agree), the session files, the
// checkpoint's origin (it must be of the log the files hold), the hash
// index files, the replay of the log from the index checkpoint's start address to the
// log checkpoint's final address (relinking chains, invalidating records written after
// the checkpoint), the newest log pages back into memory, and the predicate registry
// from the naming file. Each step runs only when the ones before it succeeded; a
// failed recovery leaves the registry empty and the system at rest.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/status.h"
#include "engine/core/guid.h"
#include "engine/core/internal_hash_table.h"
#include "engine/core/light_epoch.h"
#include "engine/core/psf_registry.h"
#include "engine/core/state_machine.h"
#include "engine/persistence/checkpoint/checkpoint_state.h"
#include "engine/persistence/checkpoint/log_identity.h"
#include "engine/persistence/io/store_disk.h"
#include "engine/persistence/log/hybrid_log.h"

namespace psfstore {
namespace core {

struct RecoveryResult {
  // The checkpoint's version; the system continues at version + 1.
  uint32_t version = 0;
  // The sessions that took part, in thread slot order, with what they persisted.
  std::vector<Guid> sessions;
  std::unordered_map<Guid, SessionRecord> session_records;
  // Field name -> lowest active projection id over it, from the naming file.
  std::map<std::string, uint16_t> projections;
  // Active general predicate id -> the address from which it indexes records; the
  // recovered tail for checkpoints that did not record it.
  std::map<uint16_t, uint64_t> activation_addresses;
};

// The parts of a store that recovery rebuilds.
struct RecoveryTarget {
  std::string root;  // ends in "/"
  StateMachine& state_machine;
  InternalHashTable& table;
  PersistentMemoryMalloc<LightEpoch>& log;
  device::StoreDisk<LightEpoch>& disk;
  PsfRegistry& registry;
  LogIdentity& identity;
};

// Pages the log replay keeps in flight.
constexpr uint32_t kReplayBufferPages = 4;

// Recovers `target` from the checkpoints `index_token` and `log_token`. A failure's
// status says in words what failed. Returns
// Aborted (nothing touched) unless the system is at rest with no action, the log is
// fresh (its tail at the first record address) and the registry empty; IOError for
// a missing, short or unreadable file; Corruption for disagreeing versions, a session
// count that does not match the session files, inconsistent metadata, a naming
// file that is malformed or names a library, or a checkpoint of another log than the
// one the files hold (or of content of it since overwritten). The caller holds the epoch and no other
// thread uses the store.
Status Recover(RecoveryTarget target, const Guid& index_token, const Guid& log_token, RecoveryResult& result);

}  // namespace core
}  // namespace psfstore
