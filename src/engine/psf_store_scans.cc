// PsfStore's scan entry points: the scans of engine/persistence/scan/ run over the store's
// log and hash index for the calling thread's session.
#include <stdexcept>

#include "engine/persistence/scan/record_reader.h"
#include "engine/persistence/scan/scan_runner.h"
#include "engine/psf_store.h"

namespace psfstore {
namespace core {

Status PsfStore::ChainScan(BasicScanner& scanner, Address start, Address end) {
  StoreScanSession session{*this, "A scan"};
  return RunChainScan(*log_, hash_index_, session, scanner, start, end);
}

Status PsfStore::FullScan(BasicFullScanner& scanner, Address start, Address end) {
  StoreScanSession session{*this, "A scan"};
  return RunFullScan(*log_, session, scanner, start, end);
}

Status PsfStore::ForEachPayload(std::span<const uint64_t> record_addresses,
                                const std::function<void(Address, PaddedView)>& visit) {
  StoreScanSession session{*this, "A scan"};
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
