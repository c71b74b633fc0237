// JSONStore's queries: scans over a projection's chain or the whole log, and
// extraction of the matching records into Arrow tables.
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

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
// Extractions of at least this many records run on two threads; below it, starting a
// thread and a second session costs more than half the work saves.
constexpr uint64_t kTwoThreadExtractionRows = 32768;

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

// Writes the JSON text of every record in `records`, ascending, one per line, in
// writes of about 1 MiB, and flushes the stream once. Records below the head come from
// the log file. Called with the session open.
void ListRecords(RecordEngine& engine, const storage::Bitmap& records, std::FILE* stream) {
  if (stream == nullptr || records.Cardinality() == 0) return;
  constexpr size_t kChunkBytes = 1 << 20;
  auto source = engine.OpenPayloadSource();
  std::string chunk;
  chunk.reserve(kChunkBytes + 4096);
  Status failure = Status::Ok;
  uint64_t failed_address = 0;
  records.ForEach([&](uint64_t address) {
    if (failure != Status::Ok) return;
    std::string_view payload;
    failure = source->ReadPayload(address, &payload);
    if (failure != Status::Ok) {
      failed_address = address;
      return;
    }
    chunk.append(payload);
    chunk.push_back('\n');
    if (chunk.size() >= kChunkBytes) {
      std::fwrite(chunk.data(), 1, chunk.size(), stream);
      chunk.clear();
    }
  });
  if (!chunk.empty()) std::fwrite(chunk.data(), 1, chunk.size(), stream);
  std::fflush(stream);
  if (failure != Status::Ok) {
    throw std::runtime_error("Unable to read the matching record at address " + std::to_string(failed_address) +
                             ": " + failure.ToString());
  }
}

// The members of `records` in [from, last] (`rows` of them) as a table, read in the
// calling thread's session, which must be open.
std::shared_ptr<arrow::Table> ExtractRange(RecordEngine& engine, const recorder::data::Extractor& extractor,
                                           const storage::Bitmap& records, uint64_t from, uint64_t last,
                                           uint64_t rows) {
  auto source = engine.OpenPayloadSource();
  return recorder::data::AssembleTable(extractor, records, from, last, rows, *source);
}

std::shared_ptr<arrow::Table> ExtractRangeInSession(RecordEngine& engine, const recorder::data::Extractor& extractor,
                                                    const storage::Bitmap& records, uint64_t from, uint64_t last,
                                                    uint64_t rows) {
  StartSessionOrThrow(engine);
  SessionScope session{engine};
  return ExtractRange(engine, extractor, records, from, last, rows);
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
  storage::Bitmap results = scanner.results();
  // A listing larger than the scan may keep is read again, streamed, in address order.
  if (scanner.listing_overflowed()) {
    ListRecords(*engine_, results, listing);
  } else {
    WriteListing(scanner.listing(), listing);
  }
  return results;
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
  const uint64_t rows = records.Cardinality();
  if (rows < kTwoThreadExtractionRows || std::thread::hardware_concurrency() < 2) {
    return ExtractRangeInSession(*engine_, extractor, records, 0, UINT64_MAX, rows);
  }
  // The upper half of the addresses on a second thread, in a session of its own. Each
  // thread holds its session only while it reads, never while it waits for the other.
  const uint64_t middle = records.Nth(rows / 2);
  const uint64_t lower_rows = rows / 2;
  std::shared_ptr<arrow::Table> upper;
  std::exception_ptr upper_error;
  bool upper_started = false;
  std::thread worker{[&] {
    try {
      if (engine_->TryStartSession(nullptr) != Status::Ok) return;  // a checkpoint began: done below
      upper_started = true;
      SessionScope session{*engine_};
      upper = ExtractRange(*engine_, extractor, records, middle, UINT64_MAX, rows - lower_rows);
    } catch (...) {
      upper_error = std::current_exception();
    }
  }};
  std::shared_ptr<arrow::Table> lower;
  try {
    lower = ExtractRangeInSession(*engine_, extractor, records, 0, middle - 1, lower_rows);
  } catch (...) {
    worker.join();
    throw;  // the lower half's error is the one a single thread would have met first
  }
  worker.join();
  if (upper_error) std::rethrow_exception(upper_error);
  if (!upper_started) upper = ExtractRangeInSession(*engine_, extractor, records, middle, UINT64_MAX, rows - lower_rows);
  // A Raw column takes its type from its first value, so two halves may disagree where
  // one thread would not: then one thread answers.
  if (!lower->schema()->Equals(*upper->schema())) {
    return ExtractRangeInSession(*engine_, extractor, records, 0, UINT64_MAX, rows);
  }
  return recorder::data::ValueOrThrow(arrow::ConcatenateTables({lower, upper}));
}

}  // namespace server
}  // namespace quillmark
