#include "server/psf_store_engine.h"

#include <stdexcept>

namespace quillmark {
namespace server {

using psfstore::core::Address;
using psfstore::core::Status;

PsfStoreEngine::PsfStoreEngine(uint64_t log_size, const std::string& directory)
    : holder_{std::make_unique<Holder>(log_size, directory)} {}

PsfStoreEngine::~PsfStoreEngine() = default;

Status PsfStoreEngine::TryStartSession(psfstore::core::Guid* session) { return store().TryStartSession(session); }

void PsfStoreEngine::StopSession() { store().StopSession(); }

uint32_t PsfStoreEngine::BatchInsert(psfstore::core::PaddedView batch, uint64_t serial_number) {
  return store().BatchInsert(batch, serial_number);
}

void PsfStoreEngine::CompleteAction() { store().CompleteAction(); }

bool PsfStoreEngine::CompleteActionBy(std::chrono::steady_clock::time_point deadline) {
  return store().CompleteAction(deadline);
}

psfstore::core::Phase PsfStoreEngine::phase() const { return holder_->store.system_phase(); }

uint16_t PsfStoreEngine::RegisterProjection(std::string_view name) {
  return store().RegisterProjection(name);
}

bool PsfStoreEngine::ApplyPsfChange(PsfChange change, std::function<void(uint64_t)> on_complete) {
  psfstore::core::PsfChange entry{static_cast<uint8_t>(change.kind), change.id};
  psfstore::core::PsfStore::PsfChangeCallback callback;
  if (on_complete) {
    callback = [on_complete = std::move(on_complete)](Address tail) { on_complete(tail.control()); };
  }
  Address started = store().ApplyPsfChange({&entry, 1}, std::move(callback));
  return started.control() != Address::kInvalidAddress;
}

uint64_t PsfStoreEngine::TailAddress() const { return holder_->store.tail_address().control(); }

Status PsfStoreEngine::CheckpointIndex(psfstore::core::Guid& token, CheckpointDone done) {
  return store().CheckpointIndex(std::move(done), token);
}

Status PsfStoreEngine::CheckpointLog(psfstore::core::Guid& token, SessionPersisted per_session, CheckpointDone done) {
  return store().CheckpointHybridLog(std::move(per_session), token, std::move(done));
}

Status PsfStoreEngine::Recover(const psfstore::core::Guid& index_token, const psfstore::core::Guid& log_token,
                               RecoveredState& state) {
  psfstore::core::RecoveryResult result;
  Status status = store().Recover(index_token, log_token, result);
  state.version = result.version;
  state.session_count = result.sessions.size();
  for (const auto& [name, id] : result.projections) {
    auto activation = result.activation_addresses.find(id);
    if (activation != result.activation_addresses.end()) state.active_from[name] = activation->second;
  }
  state.projections = std::move(result.projections);
  return status;
}

}  // namespace server
}  // namespace quillmark
