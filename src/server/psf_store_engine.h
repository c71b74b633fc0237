// PsfStoreEngine: the RecordEngine over the log-structured PsfStore, allocated on a
// 64-byte boundary and owned for the engine's whole life.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/psf_store.h"
#include "server/record_engine.h"

namespace quillmark {
namespace server {

class PsfStoreEngine : public RecordEngine {
 public:
  // A store of `log_size` bytes of log memory with its files under `directory`.
  // Throws std::invalid_argument for a log size the log refuses.
  PsfStoreEngine(uint64_t log_size, const std::string& directory);
  ~PsfStoreEngine() override;

  psfstore::core::Status TryStartSession(psfstore::core::Guid* session) override;
  void StopSession() override;
  uint32_t BatchInsert(psfstore::core::PaddedView batch, uint64_t serial_number) override;
  void CompleteAction() override;
  bool CompleteActionBy(std::chrono::steady_clock::time_point deadline) override;
  psfstore::core::Phase phase() const override;
  uint16_t RegisterProjection(std::string_view name) override;
  bool ApplyPsfChange(PsfChange change, std::function<void(uint64_t)> on_complete) override;
  uint64_t TailAddress() const override;
  psfstore::core::Status CheckpointIndex(psfstore::core::Guid& token, CheckpointDone done) override;
  psfstore::core::Status CheckpointLog(psfstore::core::Guid& token, SessionPersisted per_session,
                                       CheckpointDone done) override;
  psfstore::core::Status Recover(const psfstore::core::Guid& index_token, const psfstore::core::Guid& log_token,
                                 RecoveredState& state) override;
  psfstore::core::Status ChainScan(psfstore::core::BasicScanner& scanner, uint64_t start, uint64_t end) override;
  psfstore::core::Status FullScan(psfstore::core::BasicFullScanner& scanner, uint64_t start, uint64_t end) override;
  std::unique_ptr<recorder::data::RecordPayloadSource> OpenPayloadSource() override;
  ReadStatistics GetReadStatistics() override;

  psfstore::core::PsfStore& store() { return holder_->store; }

 private:
  struct alignas(64) Holder {
    Holder(uint64_t log_size, const std::string& directory)
        : store{psfstore::core::PsfStore::kDefaultTableSize, log_size, directory} {}
    psfstore::core::PsfStore store;
  };
  std::unique_ptr<Holder> holder_;
};

}  // namespace server
}  // namespace quillmark
