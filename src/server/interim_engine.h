// InterimEngine: a RecordEngine that keeps no records.
//
// It stands in for the log-structured engine until that one is wired behind
// RecordEngine. It does everything the server can observe: it validates each batch with
// the JSON adapter (all or nothing), refuses projected fields that are not scalars,
// counts records, advances a tail address by the size each record would take in the
// log (header, one key pointer per projected value, text, value bytes, rounded to 8),
// and runs predicate-set changes through the system state word, so that sessions are
// refused outside REST exactly as the engine refuses them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "server/record_engine.h"

namespace quillmark {
namespace server {

class InterimEngine : public RecordEngine {
 public:
  static constexpr uint64_t kPageSize = uint64_t{1} << 25;
  static constexpr uint64_t kFirstAddress = 64;
  static constexpr uint64_t kRecordHeaderSize = 8;
  static constexpr uint64_t kKeyPointerSize = 40;
  static constexpr uint32_t kMaxGeneralPsfs = 0x4000;

  // Checks the log size as the engine does: std::invalid_argument "Log size must be a
  // multiple of 32 MB" or "Must have at least 2 non-head pages" (fewer than 6 pages).
  explicit InterimEngine(uint64_t log_size);

  std::optional<psfstore::core::Guid> TryStartSession() override;
  void StopSession() override;
  uint32_t BatchInsert(psfstore::core::PaddedView batch, uint64_t serial_number) override;
  void CompleteAction() override;
  psfstore::core::Phase phase() const override;
  uint16_t RegisterProjection(std::string_view name) override;
  bool ApplyPsfChange(PsfChange change, std::function<void(uint64_t)> on_complete) override;
  uint64_t TailAddress() const override { return tail_.load(); }

  uint64_t record_count() const { return records_.load(); }

 private:
  struct ActiveSet {
    uint64_t version = 0;
    std::vector<std::string> fields;  // field names of the active predicates
  };
  const uint64_t instance_;  // tells thread-local parsers of different engines apart
  std::atomic<uint64_t> state_;
  std::atomic<uint32_t> open_sessions_{0};
  std::atomic<uint64_t> tail_{kFirstAddress};
  std::atomic<uint64_t> records_{0};

  mutable std::shared_mutex psf_mutex_;
  std::vector<std::string> psf_fields_;  // by general predicate id
  std::vector<bool> psf_active_;
  ActiveSet active_;

  // The change in progress, valid while the state is {ChangePsfSet, PS_PENDING}.
  PsfChange pending_change_{};
  std::function<void(uint64_t)> pending_callback_;
};

}  // namespace server
}  // namespace quillmark
