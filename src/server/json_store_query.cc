// JSONStore's queries: scans over a projection's chain or the whole log, and
// extraction of the matching records into Arrow tables.
#include <stdexcept>
#include <string>

#include <spdlog/spdlog.h>

#include "engine/core/key_hash.h"
#include "engine/persistence/scan/scan_context.h"
#include "server/engine_errors.h"
#include "server/json_store.h"
#include "values/arrow_serialization.h"
#include "values/field_paths.h"
#include "values/table_assembly.h"

namespace quillmark {
namespace server {

namespace {

using psfstore::core::Status;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

constexpr const char* kScanFailed = "Error scanning projection";
constexpr uint64_t kLastAddress = (uint64_t{1} << 48) - 1;

void StartSessionOrThrow(RecordEngine& engine) {
  ThrowIfFailed(engine.TryStartSession(nullptr), "Unable to start a session");
}

// Writes a full scan's listing (the matches' JSON text, one per line, in address order)
// and flushes the stream once.
void WriteListing(const std::string& listing, std::FILE* stream) {
  if (stream == nullptr || listing.empty()) return;
  std::fwrite(listing.data(), 1, listing.size(), stream);
  std::fflush(stream);
}

// The source of an extraction over no addresses: never asked for a record.
class NoRecords : public recorder::data::RecordPayloadSource {
 public:
  Status ReadPayload(uint64_t, std::string_view*) override { return Status::NotFound; }
};

}  // namespace

storage::Bitmap JSONStore::Scan(const std::string& name, ScanOperation operation,
                                std::vector<recorder::data::Operand> operands, std::optional<uint64_t> start,
                                std::optional<uint64_t> end, std::FILE* listing) {
  const uint64_t start_bound = start.value_or(0);
  const uint64_t end_bound = end.value_or(kLastAddress);
  // Binding checks the operation and the operand count before the engine is touched.
  Comparator comparator{std::move(operands)};
  Comparator::Predicate predicate = Comparator::Bind(operation, comparator);
  // A name that no record can hold would scan the whole log to find nothing.
  if (std::string fault = recorder::data::JsonPointerFault(name); !fault.empty()) {
    throw std::invalid_argument("Unable to scan " + recorder::data::QuotedFieldPath(name) + ": " + fault);
  }
  std::optional<uint16_t> projection = FindProjection(name);

  if (projection && operation == ScanOperation::EQ) {
    std::string_view key = comparator.operands().front().bytes();
    psfstore::core::BasicScanner scanner{*projection,
                                         psfstore::core::KeyHash::OfGeneralKey(*projection, key.data(), key.size()),
                                         std::move(predicate)};
    StartSessionOrThrow(*engine_);
    Status status;
    {
      SessionScope session{*engine_};
      scan_serial_.fetch_add(1);
      status = engine_->ChainScan(scanner, start_bound, end_bound);
    }
    if (status != Status::Ok) throw std::runtime_error(kScanFailed);
    return scanner.results();
  }

  psfstore::core::BasicFullScanner scanner{name, std::move(predicate)};
  // The scan keeps the matches' text from the pages it reads, so nothing is read twice.
  if (listing != nullptr) scanner.KeepListing();
  StartSessionOrThrow(*engine_);
  SessionScope session{*engine_};
  scan_serial_.fetch_add(1);
  Status status = engine_->FullScan(scanner, start_bound, end_bound);
  // A field that is not a scalar abandons the query, and so does a scan that ended
  // early: nothing is listed or returned.
  scanner.ThrowIfFailed();
  if (status != Status::Ok) throw std::runtime_error(kScanFailed);
  WriteListing(scanner.listing(), listing);
  return scanner.results();
}

std::optional<std::string> JSONStore::Extract(const recorder::data::Extractor& extractor,
                                              const storage::Bitmap& records) {
  if (records.Cardinality() == 0) return std::nullopt;
  return recorder::data::SerializeTableAsBase64(*ExtractTable(extractor, records));
}

std::shared_ptr<arrow::Table> JSONStore::ExtractTable(const recorder::data::Extractor& extractor,
                                                      const storage::Bitmap& records) {
  if (records.Cardinality() == 0) {
    // Only the schema is wanted: no record is read, so the engine is not touched.
    NoRecords none;
    return recorder::data::AssembleTable(extractor, std::span<const uint64_t>{}, none);
  }
  StartSessionOrThrow(*engine_);
  SessionScope session{*engine_};
  auto source = engine_->OpenPayloadSource();
  return recorder::data::AssembleTable(extractor, records, *source);
}

}  // namespace server
}  // namespace quillmark
