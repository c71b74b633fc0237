// Index and log checkpoints, driven through the system state machine.
//
// Index checkpoint: REST -> PREP_INDEX_CHKPT -> INDEX_CHKPT -> REST. Entering
// INDEX_CHKPT schedules the writes of "ht.dat" and "ofb.dat"; sessions poll the
// completions on refresh and acknowledge once both files are done; back at REST the
// metadata file is written and the callback told how it went.
//
// Log checkpoint: REST -> PREPARE -> IN_PROGRESS -> WAIT_PENDING -> WAIT_FLUSH ->
// PERSISTENCE_CALLBACK -> REST. Each session counts itself in during PREPARE and moves
// to the next version in IN_PROGRESS; entering WAIT_FLUSH freezes the log up to its
// tail (the final address) and writes the metadata and the origin file (which log, and
// where each active projection started indexing); each session writes its session
// file once the log is durable up to the final address, and reports its persisted
// serial number in PERSISTENCE_CALLBACK.
//
// A checkpoint that cannot write something (a file, a chunk, a flushed page) still
// runs to the end so no session is left waiting, and reports IOError to every
// callback instead of Ok.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "base/status.h"
#include "engine/core/guid.h"
#include "engine/core/internal_hash_table.h"
#include "engine/core/light_epoch.h"
#include "engine/core/psf_registry.h"
#include "engine/core/state_machine.h"
#include "engine/core/thread_context.h"
#include "engine/persistence/checkpoint/checkpoint_state.h"
#include "engine/persistence/checkpoint/index_checkpoint.h"
#include "engine/persistence/checkpoint/log_identity.h"
#include "engine/persistence/log/hybrid_log.h"

namespace psfstore {
namespace core {

class Checkpointer {
 public:
  using Log = PersistentMemoryMalloc<LightEpoch>;
  // Called once, on the thread that ends the index checkpoint.
  using IndexCallback = std::function<void(Status status)>;
  // Called by each session of a log checkpoint with the serial number it persisted and
  // the checkpoint's version.
  using LogCallback = std::function<void(Status status, uint64_t serial_number, uint32_t version)>;
  // Called once when either checkpoint is over, on the thread that ends it.
  using DoneCallback = std::function<void(Status status)>;

  // `root` ends in "/". All parts belong to the store and outlive the checkpointer.
  Checkpointer(std::string root, StateMachine& state_machine, InternalHashTable& table, Log& log,
               PsfRegistry& registry, device::Disk& disk, LogIdentity& identity,
               const std::map<uint16_t, uint64_t>& activation_addresses);

  // Start a checkpoint and return its token. Aborted, changing nothing, unless the
  // system is at rest with no action; IOError with the reason, back at rest and
  // without a started checkpoint, when its directory or naming file cannot be made.
  Status StartIndexCheckpoint(IndexCallback callback, Guid& token, DoneCallback done = {});
  Status StartLogCheckpoint(LogCallback callback, Guid& token, DoneCallback done = {});

  // Once-per-transition work (forwarded by the store's GlobalPhaseWork).
  void EnterPhase(SystemState state);
  // IOError when anything of the checkpoint failed.
  Status FinishAction(Action action);
  void ActionCompleted(Action action, Status status);

  // Per-session work (forwarded by the store's ThreadPhaseWork).
  bool IndexWritesCompleted();
  void JoinLogCheckpoint(uint32_t thread_id, const Guid& session);
  bool LogDurable();
  // Ends the wait of the running log checkpoint for a flush that does not come: the
  // checkpoint goes on to its end and reports IOError. Any thread, any time.
  void AbandonFlushWait() { flush_wait_abandoned_.store(true, std::memory_order_release); }
  void WriteSessionRecord(const SessionState& session);
  void CallPersistenceCallback(const SessionState& session);

  bool failed() const { return failed_.load(std::memory_order_acquire); }
  const IndexMetadata& index_metadata() const { return index_metadata_; }
  const LogMetadata& log_metadata() const { return log_metadata_; }

 private:
  void MarkFailed() { failed_.store(true, std::memory_order_release); }
  std::string IndexDirectory() const { return root_ + IndexCheckpointDirectory(index_token_); }
  std::string LogDirectory() const { return root_ + LogCheckpointDirectory(log_token_); }

  std::string root_;
  StateMachine& state_machine_;
  InternalHashTable& table_;
  Log& log_;
  PsfRegistry& registry_;
  device::Disk& disk_;
  LogIdentity& identity_;
  const std::map<uint16_t, uint64_t>& activation_addresses_;
  LogOrigin log_origin_;

  std::atomic<bool> failed_{false};
  std::atomic<bool> index_writes_issued_{false};
  // The state machine publishes WAIT_FLUSH before EnterPhase has taken the final address;
  // until it has, a thread seeing the phase must keep waiting, not test a stale address.
  std::atomic<bool> log_final_address_taken_{false};
  std::atomic<bool> flush_wait_abandoned_{false};
  IndexFiles index_files_;
  IndexMetadata index_metadata_;
  LogMetadata log_metadata_;
  Guid index_token_;
  Guid log_token_;
  IndexCallback index_callback_;
  LogCallback log_callback_;
  DoneCallback done_callback_;
  IndexCallback finished_index_callback_;
  DoneCallback finished_done_callback_;
};

}  // namespace core
}  // namespace psfstore
