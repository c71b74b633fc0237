#include "server/psf_store_engine.h"

#include <cstring>
#include <stdexcept>

namespace quillmark {
namespace server {

using psfstore::core::Address;

namespace {

constexpr const char* kNotAtRest = "Can acquire only in REST phase!";

}  // namespace

PsfStoreEngine::PsfStoreEngine(uint64_t log_size, const std::string& directory)
    : holder_{std::make_unique<Holder>(log_size, directory)} {}

PsfStoreEngine::~PsfStoreEngine() = default;

std::optional<psfstore::core::Guid> PsfStoreEngine::TryStartSession() {
  try {
    return store().StartSession();
  } catch (const std::runtime_error& error) {
    // The engine says "not at rest" this way; other refusals ("Too many threads!") go on.
    if (std::strcmp(error.what(), kNotAtRest) == 0) return std::nullopt;
    throw;
  }
}

void PsfStoreEngine::StopSession() { store().StopSession(); }

uint32_t PsfStoreEngine::BatchInsert(psfstore::core::PaddedView batch, uint64_t serial_number) {
  return store().BatchInsert(batch, serial_number);
}

void PsfStoreEngine::CompleteAction() { store().CompleteAction(); }

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

}  // namespace server
}  // namespace quillmark
