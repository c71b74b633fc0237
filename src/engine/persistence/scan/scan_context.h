// Scanners and the pending contexts that carry a scan across disk reads.
//
// A scan reports every matching record to its scanner. The scanner a caller builds on
// its stack and every heap copy made of it for disk work share one match list, so the
// caller reads all matches (found in memory and on disk) from the scanner it passed in
// once its session has no pending work left.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "bitmap/bitmap.h"
#include "engine/core/address.h"
#include "engine/core/async_context.h"
#include "engine/core/key_hash.h"
#include "engine/core/record.h"
#include "engine/core/system_state.h"
#include "engine/persistence/scan/scan_session.h"
#include "values/generic_value.h"
#include "values/json_pointer.h"

namespace psfstore {
namespace core {

// Outcome of one in-memory pass of a scan.
enum class ScanStatus : uint8_t {
  Done,          // the scan completed; its matches are in the scanner
  InProgress,    // the rest of the scan waits for disk reads
  VersionShift,  // the session must move to the new version, then retry the scan
};

// Operation kinds of pending contexts that scans create.
enum class ScanKind : uint8_t { Chain = 2, Full = 3 };

// Record addresses a scan has touched, shared by a scanner and its heap copies. Only
// one thread appends at a time: the caller while the scan is in memory, then the
// thread that completes each disk read, one read after another.
class ScanMatches {
 public:
  void Add(Address record_address) { addresses_.push_back(record_address.control()); }
  uint64_t count() const { return addresses_.size(); }
  void Clear() { addresses_.clear(); }
  // The addresses, ascending, as a bitmap.
  quillmark::storage::Bitmap ToBitmap() const {
    std::vector<uint64_t> sorted = addresses_;
    // Full scans find their matches in address order and chain scans in reverse order:
    // neither needs a sort.
    if (!std::is_sorted(sorted.begin(), sorted.end())) {
      if (std::is_sorted(sorted.rbegin(), sorted.rend())) {
        std::reverse(sorted.begin(), sorted.end());
      } else {
        std::sort(sorted.begin(), sorted.end());
      }
    }
    quillmark::storage::Bitmap bitmap;
    bitmap.AddMany(sorted.data(), sorted.size());
    return bitmap;
  }
  const std::vector<uint64_t>& addresses() const { return addresses_; }

 private:
  std::vector<uint64_t> addresses_;
};

// What both kinds of scanner share: the match list, which every copy of a scanner
// shares with the one it was copied from, and the predicate on field values.
class MatchingScanner : public IAsyncContext {
 public:
  using Predicate = std::function<bool(const recorder::data::GenericValue&)>;

  uint64_t match_count() const { return matches_->count(); }
  quillmark::storage::Bitmap results() const { return matches_->ToBitmap(); }
  ScanMatches& matches() { return *matches_; }
  void Touch(Address record_address) { matches_->Add(record_address); }

 protected:
  explicit MatchingScanner(Predicate predicate)
      : matches_{std::make_shared<ScanMatches>()}, predicate_{std::move(predicate)} {}
  MatchingScanner(const MatchingScanner& other) = default;

  std::shared_ptr<ScanMatches> matches_;
  Predicate predicate_;
};

// Walks one predicate chain. The predicate receives the value held by a key pointer.
class BasicScanner : public MatchingScanner {
 public:
  static constexpr ScanKind kKind = ScanKind::Chain;

  BasicScanner(uint16_t predicate_id, KeyHash key_hash, Predicate predicate)
      : MatchingScanner{std::move(predicate)}, predicate_id_{predicate_id}, key_hash_{key_hash} {}
  BasicScanner(const BasicScanner& other) = default;

  uint16_t predicate_id() const { return predicate_id_; }
  KeyHash key_hash() const { return key_hash_; }
  // Key pointers hold scalars only: a chain scan never meets a value it cannot compare.
  bool failed() const { return false; }

  // True when the key pointer belongs to this chain (a general key pointer of this
  // predicate) and its value passes the predicate. `record` is the record holding it,
  // whole: its header, key pointers, payload and optional values.
  bool Check(const KeyPointer& key_pointer, const uint8_t* record) const {
    if (key_pointer.kind() != KeyPointer::Kind::General) return false;
    if (key_pointer.general_predicate_id() != predicate_id_) return false;
    const uint8_t* value_bytes = GeneralValueBytes(record, ReadRecordHeader(record), key_pointer);
    if (value_bytes == nullptr) return false;
    auto value = recorder::data::GenericValue::FromKeyPointerWords(key_pointer.value_words(),
                                                                   reinterpret_cast<const char*>(value_bytes));
    return predicate_(value);
  }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }

 private:
  uint16_t predicate_id_;
  KeyHash key_hash_;
};

// Parses each record's JSON payload for one field (a JSON Pointer such as "/a/b") and
// tests the field's value.
class BasicFullScanner : public MatchingScanner {
 public:
  static constexpr ScanKind kKind = ScanKind::Full;
  // Full scans follow no chain.
  KeyHash key_hash() const { return KeyHash{0}; }

  BasicFullScanner(std::string field_name, Predicate predicate)
      : MatchingScanner{std::move(predicate)},
        field_name_{std::move(field_name)},
        pointer_{field_name_},
        parser_{std::make_unique<simdjson::ondemand::parser>()},
        value_error_{std::make_shared<std::atomic<uint8_t>>(0)} {}
  BasicFullScanner(const BasicFullScanner& other)
      : MatchingScanner(other),
        field_name_{other.field_name_},
        pointer_{other.pointer_},
        parser_{std::make_unique<simdjson::ondemand::parser>()},
        value_error_{other.value_error_},
        keep_listing_{other.keep_listing_},
        listing_budget_{other.listing_budget_} {}

  const std::string& field_name() const { return field_name_; }
  simdjson::ondemand::parser& parser() { return *parser_; }

  // Listing bytes a scan keeps at most: a scan that matches much of a log far larger
  // than memory must not hold all its matches' text at once.
  static constexpr int64_t kKeptListingBytes = int64_t{64} << 20;

  // A scanner that keeps a listing collects the payload of every match, one per line
  // in address order, from the bytes the scan reads anyway, up to `budget_bytes`.
  // Past the budget it keeps nothing more (listing_overflowed()), and whoever wants the
  // listing reads the matches again.
  void KeepListing(int64_t budget_bytes = kKeptListingBytes) {
    keep_listing_ = true;
    listing_budget_->store(budget_bytes);
  }
  bool keeps_listing() const { return keep_listing_ && !listing_overflowed(); }
  // Takes `bytes` of the budget for one match's line; false, for good, once the budget
  // is spent. Safe from the scan's threads at once.
  bool ClaimListing(size_t bytes) const {
    return listing_budget_->fetch_sub(static_cast<int64_t>(bytes)) >= static_cast<int64_t>(bytes);
  }
  bool listing_overflowed() const { return keep_listing_ && listing_budget_->load() < 0; }
  std::string& listing() { return listing_; }

  // The first field value that could not be compared (an object, an array, null or a
  // malformed token); the scan stops at it. None while every value was a scalar.
  recorder::data::JsonValueError value_error() const {
    return static_cast<recorder::data::JsonValueError>(value_error_->load());
  }
  bool failed() const { return value_error_->load() != 0; }
  // Throws the error of the value that stopped the scan ("The field does not contain a
  // scalar type" for objects, arrays and null); does nothing when there was none.
  void ThrowIfFailed() const {
    if (failed()) recorder::data::GenericValue::ThrowJsonValueError(value_error());
  }

  // Parses the payload (`capacity` bytes readable from `payload`, at least the JSON
  // library's padding past its end) and answers whether the field is present and
  // passes the predicate. A non-scalar value records the error and answers false.
  bool Check(const char* payload, size_t size, size_t capacity) { return Check(*parser_, payload, size, capacity); }
  // The same with a parser of the calling thread's own: threads that share a scan
  // check records at the same time.
  bool Check(simdjson::ondemand::parser& parser, const char* payload, size_t size, size_t capacity) const {
    simdjson::ondemand::document document;
    simdjson::ondemand::value field;
    std::string_view leading = pointer_.LeadingScalar(std::string_view{payload, size});
    if (!leading.empty() && leading.size() <= kShortValueBytes) {
      // The field opens the record: its value alone is parsed, as an array's one element,
      // rather than the whole record.
      char wrapped[kShortValueBytes + 2 + simdjson::SIMDJSON_PADDING] = {};
      wrapped[0] = '[';
      std::memcpy(wrapped + 1, leading.data(), leading.size());
      wrapped[leading.size() + 1] = ']';
      if (parser.iterate(wrapped, leading.size() + 2, sizeof(wrapped)).get(document) != simdjson::SUCCESS ||
          document.at(0).get(field) != simdjson::SUCCESS) {
        return false;
      }
      return Decide(field);
    }
    if (parser.iterate(payload, size, capacity).get(document) != simdjson::SUCCESS) return false;
    if (pointer_.Find(document, payload + size, &field) != simdjson::SUCCESS) return false;
    return Decide(field);
  }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }

 private:
  // Values up to this long that open their record are parsed on their own.
  static constexpr size_t kShortValueBytes = 192;

  // Tests the field's value; a value that is no scalar records the error and answers false.
  bool Decide(simdjson::ondemand::value& field) const {
    recorder::data::GenericValue value;
    auto error = recorder::data::GenericValue::TryFromJson(field, &value);
    // Stored records are valid JSON: a number error is a number no value type holds
    // (1e400), read as Empty like an integer beyond 64 bits.
    if (error == recorder::data::JsonValueError::MalformedNumber) error = recorder::data::JsonValueError::None;
    if (error != recorder::data::JsonValueError::None) {
      uint8_t none = 0;
      value_error_->compare_exchange_strong(none, static_cast<uint8_t>(error));
      return false;
    }
    return predicate_(value);
  }

  std::string field_name_;
  recorder::data::JsonPointer pointer_;
  std::unique_ptr<simdjson::ondemand::parser> parser_;
  std::shared_ptr<std::atomic<uint8_t>> value_error_;
  bool keep_listing_ = false;
  std::shared_ptr<std::atomic<int64_t>> listing_budget_ = std::make_shared<std::atomic<int64_t>>(0);
  std::string listing_;
};

class AsyncPendingScanContext;

// Scans whose disk work has ended, handed back to the session that owns them. Any
// thread may push (the one that completed the last read); the owner takes them all at
// once. Lock-free: a stack of contexts linked through their own `next` field.
class ScanCompletionList {
 public:
  void Push(AsyncPendingScanContext* context);
  // Everything pushed so far, oldest first.
  std::vector<AsyncPendingScanContext*> TakeAll();
  bool empty() const { return head_.load(std::memory_order_acquire) == nullptr; }

 private:
  std::atomic<AsyncPendingScanContext*> head_{nullptr};
};

// The state a chain scan keeps while it waits for disk reads. (Full scans never go
// pending: they wait for their page reads on their own threads, see full_scan.h.)
class AsyncPendingScanContext : public IAsyncContext {
 public:
  static constexpr uint8_t kMaxPrefetchLevel = 4;

  AsyncPendingScanContext(ScanKind kind, Address start, Address end)
      : kind{kind}, start_bound{start}, end_bound{end} {}
  AsyncPendingScanContext(const AsyncPendingScanContext& other) = default;

  // The chain's key hash.
  virtual KeyHash key_hash() const = 0;
  virtual void Touch(Address record_address) = 0;
  // Called by the owning session once the disk part of the scan has ended.
  virtual void Finish() {}

  // Notes where the in-memory part stopped, its bounds and the session's view at that
  // moment, and returns `status` (InProgress or VersionShift).
  ScanStatus Suspend(const ScanSession& session, Address resume, Address start, Address end,
                     ScanStatus status) {
    session_version = session.version();
    session_phase = session.phase();
    resume_address = resume;
    start_bound = start;
    end_bound = end;
    return status;
  }

  // Session view when the scan went pending.
  uint32_t session_version = 0;
  Phase session_phase = Phase::REST;
  ScanKind kind;
  // Ok, or why the disk part stopped early (IOError, OutOfMemory, Corruption).
  Status result = Status::Ok;
  Address resume_address{};
  Address start_bound;
  Address end_bound;
  // Chain scans: log2 of the block read below the next key pointer is
  // kPrefetchBlockBits[prefetch_level].
  uint8_t prefetch_level = 0;
  // Where the disk part hands the context back when it ends.
  ScanCompletionList* completion_list = nullptr;

 private:
  friend class ScanCompletionList;
  AsyncPendingScanContext* next_ = nullptr;
};

inline void ScanCompletionList::Push(AsyncPendingScanContext* context) {
  AsyncPendingScanContext* head = head_.load(std::memory_order_relaxed);
  do {
    context->next_ = head;
  } while (!head_.compare_exchange_weak(head, context, std::memory_order_release,
                                        std::memory_order_relaxed));
}

inline std::vector<AsyncPendingScanContext*> ScanCompletionList::TakeAll() {
  AsyncPendingScanContext* head = head_.exchange(nullptr, std::memory_order_acquire);
  std::vector<AsyncPendingScanContext*> taken;
  for (; head != nullptr; head = head->next_) taken.push_back(head);
  std::reverse(taken.begin(), taken.end());
  return taken;
}

// A chain scan in flight; owns a copy of its scanner (sharing the caller's matches).
// The scanner says which chain it walks and how a record is checked.
template <class Scanner>
class PendingScanContext : public AsyncPendingScanContext {
 public:
  PendingScanContext(Scanner& scanner, Address start, Address end)
      : AsyncPendingScanContext(Scanner::kKind, start, end), scanner_{&scanner} {}
  PendingScanContext(const PendingScanContext& other)
      : AsyncPendingScanContext(other), owned_{std::make_unique<Scanner>(*other.scanner_)} {
    scanner_ = owned_.get();
  }

  KeyHash key_hash() const override { return scanner_->key_hash(); }
  void Touch(Address record_address) override { scanner_->Touch(record_address); }
  template <class... Record>
  bool Check(const Record&... record) const {
    return scanner_->Check(record...);
  }
  bool failed() const { return scanner_->failed(); }
  Scanner& scanner() { return *scanner_; }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }

 private:
  std::unique_ptr<Scanner> owned_;
  Scanner* scanner_;
};

}  // namespace core
}  // namespace psfstore
