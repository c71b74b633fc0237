// The query operations of PsfStoreEngine: scans and record reads over the store.
#include <algorithm>
#include <stdexcept>

#include "engine/persistence/scan/record_batch_reader.h"
#include "engine/persistence/scan/scan_session.h"
#include "server/psf_store_engine.h"

namespace quillmark {
namespace server {

using psfstore::core::Address;
using psfstore::core::Status;

namespace {

// Bounds arrive as Python integers; anything past the largest 48-bit address means
// "to the end" rather than wrapping round to a small address.
Address ClampAddress(uint64_t address) {
  return Address{std::min<uint64_t>(address, Address::kMaxAddress)};
}

class StorePayloadSource : public recorder::data::RecordPayloadSource {
 public:
  explicit StorePayloadSource(psfstore::core::PsfStore& store)
      : session_{store, "Reading records"}, reader_{store.hlog(), session_} {}

  Status ReadPayload(uint64_t address, std::string_view* payload) override {
    // The previous payload has been copied out: let the epoch move on now and then, so
    // that a long extraction does not hold back page eviction for concurrent writers.
    if (++reads_ % kReadsPerRefresh == 0) session_.Refresh();
    return reader_.ReadPayload(Address{address}, payload);
  }

  void Announce(std::span<const uint64_t> addresses) override { reader_.Announce(addresses); }

 private:
  static constexpr uint64_t kReadsPerRefresh = 1024;

  psfstore::core::StoreScanSession session_;
  psfstore::core::BatchRecordReader reader_;
  uint64_t reads_ = 0;
};

}  // namespace

Status PsfStoreEngine::ChainScan(psfstore::core::BasicScanner& scanner, uint64_t start, uint64_t end) {
  return store().ChainScan(scanner, ClampAddress(start), ClampAddress(end));
}

Status PsfStoreEngine::FullScan(psfstore::core::BasicFullScanner& scanner, uint64_t start, uint64_t end) {
  return store().FullScan(scanner, ClampAddress(start), ClampAddress(end));
}

std::unique_ptr<recorder::data::RecordPayloadSource> PsfStoreEngine::OpenPayloadSource() {
  return std::make_unique<StorePayloadSource>(store());
}

RecordEngine::ReadStatistics PsfStoreEngine::GetReadStatistics() {
  auto& log = store().hlog();
  return {log.device_reads(), log.device_read_bytes(), log.read_cache().hits(), log.read_cache().misses()};
}

}  // namespace server
}  // namespace quillmark
