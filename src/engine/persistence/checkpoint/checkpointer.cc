#include "engine/persistence/checkpoint/checkpointer.h"

#include <utility>

#include "engine/persistence/checkpoint/naming_checkpoint.h"

namespace psfstore {
namespace core {

Checkpointer::Checkpointer(std::string root, StateMachine& state_machine, InternalHashTable& table, Log& log,
                           PsfRegistry& registry, device::Disk& disk, LogIdentity& identity,
                           const std::map<uint16_t, uint64_t>& activation_addresses)
    : root_{std::move(root)},
      state_machine_{state_machine},
      table_{table},
      log_{log},
      registry_{registry},
      disk_{disk},
      identity_{identity},
      activation_addresses_{activation_addresses} {}

Status Checkpointer::StartIndexCheckpoint(IndexCallback callback, Guid& token, DoneCallback done) {
  if (!state_machine_.TryBeginAction(Action::CheckpointIndex)) return Status::Aborted;
  token = Guid::Create();
  index_token_ = token;
  if (Status made = RecreateDirectory(IndexDirectory()); made != Status::Ok) {
    state_machine_.ReturnToRest();
    return made;
  }
  failed_.store(false);
  index_writes_issued_.store(false);
  log_final_address_taken_.store(false);
  log_token_ = Guid{};
  index_metadata_.Reset();
  index_metadata_.version = state_machine_.state().version;
  index_metadata_.table_size = table_.size();
  index_metadata_.log_begin_address = log_.GetBeginAddress().control();
  index_metadata_.checkpoint_start_address = log_.GetTailAddress().control();
  log_metadata_.Reset();
  index_callback_ = std::move(callback);
  log_callback_ = nullptr;
  done_callback_ = std::move(done);
  state_machine_.EnterFirstPhase();
  return Status::Ok;
}

Status Checkpointer::StartLogCheckpoint(LogCallback callback, Guid& token, DoneCallback done) {
  if (!state_machine_.TryBeginAction(Action::CheckpointLog)) return Status::Aborted;
  token = Guid::Create();
  log_token_ = token;
  // The naming file is what lets a recovery evaluate the same predicates: a checkpoint
  // without it could not be recovered, so it does not start.
  Status made = RecreateDirectory(LogDirectory());
  if (made == Status::Ok) made = WriteNamingFile(root_ + NamingFileName(token), registry_);
  if (made != Status::Ok) {
    state_machine_.ReturnToRest();
    return Status{Status::IOError, made.message()};
  }
  failed_.store(false);
  index_token_ = Guid{};
  index_metadata_.Reset();
  log_final_address_taken_.store(false);
  flush_wait_abandoned_.store(false);
  log_metadata_.Begin(state_machine_.state().version);
  // The predicates cannot change while the checkpoint runs: their activations are
  // taken now, the log's identity once the final address is.
  log_origin_ = LogOrigin{};
  for (uint16_t id : registry_.active_configuration().general_set) {
    auto activation = activation_addresses_.find(id);
    log_origin_.activation_addresses[id] =
        activation != activation_addresses_.end() ? activation->second : log_.GetTailAddress().control();
  }
  log_callback_ = std::move(callback);
  index_callback_ = nullptr;
  done_callback_ = std::move(done);
  state_machine_.EnterFirstPhase();
  return Status::Ok;
}

void Checkpointer::EnterPhase(SystemState state) {
  if (state.action == Action::CheckpointIndex && state.phase == Phase::INDEX_CHKPT) {
    if (index_files_.StartWrite(table_, IndexDirectory(), disk_, index_metadata_) != Status::Ok) MarkFailed();
    index_writes_issued_.store(true, std::memory_order_release);
  } else if (state.action == Action::CheckpointLog && state.phase == Phase::WAIT_FLUSH) {
    log_metadata_.final_address = log_.MoveReadOnlyToTail().control();
    if (WriteRecordFile(LogDirectory() + "info.dat", log_metadata_) != Status::Ok) MarkFailed();
    // Every record below the final address was inserted after its store named its log.
    if (identity_.ForCheckpoint(log_origin_.log) != Status::Ok ||
        WriteLogOrigin(LogDirectory() + kLogOriginFileName, log_origin_) != Status::Ok) {
      MarkFailed();
    }
    log_final_address_taken_.store(true, std::memory_order_release);
  }
}

bool Checkpointer::IndexWritesCompleted() {
  if (!index_writes_issued_.load(std::memory_order_acquire)) return false;
  if (!index_files_.Poll(disk_)) return false;
  if (index_files_.failed()) MarkFailed();
  return true;
}

void Checkpointer::JoinLogCheckpoint(uint32_t thread_id, const Guid& session) {
  std::atomic_ref<uint32_t>{log_metadata_.session_count}.fetch_add(1);
  log_metadata_.guids[thread_id] = session;  // each thread owns its slot
}

bool Checkpointer::LogDurable() {
  if (!log_final_address_taken_.load(std::memory_order_acquire)) return false;
  Status status = log_.FlushStatus(Address{log_metadata_.final_address});
  if (status == Status::Pending && !flush_wait_abandoned_.load(std::memory_order_acquire)) {
    disk_.TryComplete();
    return false;
  }
  // A page that cannot be written, or a wait given up, ends the wait too: the
  // checkpoint reports failure.
  if (status != Status::Ok) MarkFailed();
  return true;
}

void Checkpointer::WriteSessionRecord(const SessionState& session) {
  SessionRecord record{session.serial_number, session.version, 0, session.guid};
  if (WriteRecordFile(LogDirectory() + SessionFileName(session.guid), record) != Status::Ok) MarkFailed();
}

void Checkpointer::CallPersistenceCallback(const SessionState& session) {
  if (log_callback_) log_callback_(failed() ? Status::IOError : Status::Ok, session.serial_number, session.version);
}

Status Checkpointer::FinishAction(Action action) {
  if (action == Action::CheckpointIndex) {
    if (WriteRecordFile(IndexDirectory() + "info.dat", index_metadata_) != Status::Ok) MarkFailed();
    index_writes_issued_.store(false);
  } else if (action != Action::CheckpointLog) {
    return Status::Ok;
  }
  // Taken before the word returns to rest, where the next checkpoint may store its own.
  finished_index_callback_ = std::move(index_callback_);
  finished_done_callback_ = std::move(done_callback_);
  index_callback_ = nullptr;
  log_callback_ = nullptr;
  done_callback_ = nullptr;
  return failed() ? Status::IOError : Status::Ok;
}

void Checkpointer::ActionCompleted(Action action, Status status) {
  if (action != Action::CheckpointIndex && action != Action::CheckpointLog) return;
  IndexCallback index_callback = std::move(finished_index_callback_);
  DoneCallback done = std::move(finished_done_callback_);
  finished_index_callback_ = nullptr;
  finished_done_callback_ = nullptr;
  if (index_callback) index_callback(status);
  if (done) done(status);
}

}  // namespace core
}  // namespace psfstore
