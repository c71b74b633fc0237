// Fuzzes PsfStore::BatchInsert with arbitrary bytes, on one store with two projections
// active and one with none; the first byte picks the store. A batch is all or nothing:
// when refused, the log's tail and the session's serial number are unchanged; when
// accepted, every document of the batch became one record and a batch of records
// becomes the session's serial number.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/padded_buffer.h"
#include "engine/psf_store.h"
#include "json/simdjson_adapter.h"

using psfstore::core::Address;
using psfstore::core::PaddedBuffer;
using psfstore::core::PsfChange;
using psfstore::core::PsfStore;

namespace {

struct Stores {
  Stores() {
    std::string pattern = "/dev/shm/quillmark-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    directory = pattern;
    plain = std::make_unique<PsfStore>(1024, 6 * Address::kPageSize, directory + "/plain");
    projected = std::make_unique<PsfStore>(1024, 6 * Address::kPageSize, directory + "/projected");
    // Sessions are per thread and per store; libFuzzer calls from one thread.
    plain->StartSession();
    projected->StartSession();
    std::vector<PsfChange> changes;
    for (const char* field : {"/a", "/b/0"}) {
      changes.push_back(PsfChange::AddGeneral(projected->RegisterProjection(field)));
    }
    if (projected->ApplyPsfChange(changes) == Address::Invalid()) std::abort();
    projected->CompleteAction();
  }
  ~Stores() {
    plain->StopSession();
    projected->StopSession();
    plain.reset();
    projected.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  std::string directory;
  std::unique_ptr<PsfStore> plain;
  std::unique_ptr<PsfStore> projected;
  uint64_t serial = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Stores stores;
  static psfstore::adapter::SIMDJsonAdapter counter({});
  if (size == 0) return 0;
  PsfStore& store = (data[0] & 1) ? *stores.projected : *stores.plain;
  PaddedBuffer buffer(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

  Address tail_before = store.tail_address();
  uint64_t serial_before = store.current_context().serial_number;
  bool accepted = false;
  uint32_t inserted = 0;
  try {
    inserted = store.BatchInsert(buffer, ++stores.serial);
    accepted = true;
  } catch (const psfstore::core::BatchRefused&) {
  } catch (const std::logic_error&) {
    // A predicate refused a record: a projected field that is not a scalar. (A number
    // the JSON library cannot convert, such as 1e400, is a BatchRefused above.)
  }
  bool splits = counter.Load(buffer) == psfstore::core::Status::Ok;
  if (accepted) {
    if (!splits || inserted != counter.record_count()) std::abort();
    // A batch of no records is not remembered: the serial number names the last batch
    // whose records the session inserted.
    if (inserted > 0) {
      if (store.current_context().serial_number != stores.serial) std::abort();
      if (!(store.tail_address() > tail_before)) std::abort();
    }
  } else {
    if (store.tail_address() != tail_before) std::abort();
    if (store.current_context().serial_number != serial_before) std::abort();
  }
  store.Refresh();
  return 0;
}
