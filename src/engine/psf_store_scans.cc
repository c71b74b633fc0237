// PsfStore's scan entry points: the scans of engine/persistence run over the store's
// log and hash index for the calling thread's session.
#include <stdexcept>

#include "engine/persistence/record_reader.h"
#include "engine/persistence/scan_runner.h"
#include "engine/psf_store.h"

namespace psfstore {
namespace core {
namespace {

// The calling thread's store session as the scans see it.
class StoreScanSession : public ScanSession {
 public:
  explicit StoreScanSession(PsfStore& store) : store_{store} {
    if (!store.HasSession()) throw std::logic_error("A scan needs a session");
  }
  uint32_t version() const override { return store_.current_context().version; }
  Phase phase() const override { return store_.current_context().phase; }
  void Refresh() override { store_.Refresh(); }

 private:
  PsfStore& store_;
};

}  // namespace

Status PsfStore::ChainScan(BasicScanner& scanner, Address start, Address end) {
  StoreScanSession session{*this};
  return RunChainScan(*log_, hash_index_, session, scanner, start, end);
}

Status PsfStore::FullScan(BasicFullScanner& scanner, Address start, Address end) {
  StoreScanSession session{*this};
  return RunFullScan(*log_, session, scanner, start, end);
}

Status PsfStore::ForEachPayload(std::span<const uint64_t> record_addresses,
                                const std::function<void(Address, PaddedView)>& visit) {
  StoreScanSession session{*this};
  RecordReader reader{*log_, session};
  PaddedBuffer payload;
  for (uint64_t address : record_addresses) {
    Status status = reader.ReadPayload(Address{address}, payload);
    if (status != Status::Ok) return status;
    visit(Address{address}, payload.view());
  }
  return Status::Ok;
}

}  // namespace core
}  // namespace psfstore
