#include "engine/psf_store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "base/helper_threads.h"
#include "engine/core/chain_segments.h"
#include "engine/core/psf_evaluator.h"
#include "engine/core/record.h"
#include "engine/core/record_insert_context.h"
#include "engine/core/thread.h"
#include "json/simdjson_adapter.h"

namespace psfstore {
namespace core {

namespace {

std::atomic_ref<uint64_t> WordAt(uint8_t* memory) {
  return std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t*>(memory)};
}

// The tail runs through memory untouched since its page was last used, so every line
// written misses. Asking for the lines a record or two ahead of the record at `memory`
// (`size` bytes), for writing, overlaps those misses with its copy. (A prefetch past the
// page never faults.) A large record streams through its own copy: a few lines ahead of
// it are enough.
inline void PrefetchAheadForWriting(uint8_t* memory, uint64_t size) {
  constexpr uint64_t kWrittenAhead = 512;
  constexpr uint64_t kMostPrefetched = 1024;
  const uint64_t prefetch_end = size + kWrittenAhead + std::min(size, kMostPrefetched);
  for (uint64_t ahead = size + kWrittenAhead; ahead < prefetch_end; ahead += 64) {
    __builtin_prefetch(memory + ahead, 1);
  }
}

}  // namespace

// Result of one attempt at an internal operation.
enum class PsfStore::OperationStatus : uint8_t {
  Success = 0,
  RetryNow = 2,
  // A record of a newer version heads a target chain while this thread is still in
  // PREPARE: refresh (moving to the new version) and run the operation again.
  VersionShift = 8,
};

// One thread's part of the store: its two session contexts, its parser and evaluator
// for the configuration it adopted, and its insert staging. Only the owning thread
// touches a slot, so nothing in it is shared.
class PsfStore::ThreadSlot : public ThreadPhaseWork {
 public:
  PsfStore* store = nullptr;
  ThreadContext contexts[2];
  uint8_t current_index = 0;
  uint8_t configuration_index = 0;
  bool in_session = false;
  std::unique_ptr<adapter::SIMDJsonAdapter> parser;
  PsfEvaluator evaluator;
  InsertStaging staging;
  // What stages the second half of a large batch on a helper thread while this thread
  // stages the first; made on first use, used only while this thread waits for it.
  struct SecondHalf {
    std::unique_ptr<adapter::SIMDJsonAdapter> parser;
    PsfEvaluator evaluator;
    InsertStaging staging;
  };
  std::unique_ptr<SecondHalf> second_half;
  // Per key pointer of the record being inserted: its hash entry and the value seen.
  std::vector<AtomicHashBucketEntry*> entry_slots;
  std::vector<HashBucketEntry> entries_seen;
  // Inserts in runs: record_ends[i] is the log bytes of the batch's records before
  // record i; the run's chain segments, those of the part a helper writes apart.
  std::vector<uint64_t> record_ends;
  ChainSegments segments;
  ChainSegments helper_segments;

  ThreadContext& current() { return contexts[current_index]; }
  ThreadContext& previous() { return contexts[current_index ^ 1]; }

  // Takes the registry's active configuration; builds a new parser only when the fields
  // to extract differ from those of the parser at hand.
  void AdoptActiveConfiguration() {
    configuration_index = store->registry_.active_slot();
    const PsfConfiguration& configuration = store->registry_.configuration(configuration_index);
    if (parser == nullptr || parser->field_names() != configuration.parse_fields) {
      parser = std::make_unique<adapter::SIMDJsonAdapter>(configuration.parse_fields);
    }
  }

  Phase thread_phase() const override { return contexts[current_index].phase; }
  uint32_t thread_version() const override { return contexts[current_index].version; }
  void SetThreadView(Phase phase, uint32_t version) override {
    current().phase = phase;
    current().version = version;
  }
  void StartNewVersion(uint32_t new_version) override {
    // The old context keeps the old version's pending work; the new one continues the
    // session's progress.
    ThreadContext& old_context = current();
    current_index ^= 1;
    ThreadContext& new_context = current();
    new_context.Initialize(Phase::IN_PROGRESS, new_version, old_context.guid);
    new_context.serial_number = old_context.serial_number;
    new_context.offset = old_context.offset;
  }
  bool PreviousVersionIdle() override { return !previous().HasPendingWork(); }
  void AdoptPredicateConfiguration() override { AdoptActiveConfiguration(); }

  // Checkpoint work. The session persists what its previous context (the checkpoint's
  // version) reached: records of the next version are dropped by a recovery.
  bool IndexCheckpointWritesCompleted() override { return store->checkpointer_->IndexWritesCompleted(); }
  void PrepareLogCheckpoint() override { store->checkpointer_->JoinLogCheckpoint(Thread::id(), current().guid); }
  bool LogDurableForCheckpoint() override { return store->checkpointer_->LogDurable(); }
  void WriteSessionRecord() override { store->checkpointer_->WriteSessionRecord(previous()); }
  void CallPersistenceCallback() override { store->checkpointer_->CallPersistenceCallback(previous()); }
};

// The store's once-per-transition work.
class PsfStore::ActionWork : public GlobalPhaseWork {
 public:
  explicit ActionWork(PsfStore& store) : store_{store} {}

  void EnterPhase(SystemState state) override { store_.checkpointer_->EnterPhase(state); }
  void ActionCompleted(Action action, Status status) override { store_.checkpointer_->ActionCompleted(action, status); }

  Status FinishAction(Action action, uint32_t version) override {
    (void)version;
    if (action == Action::CheckpointIndex || action == Action::CheckpointLog) {
      return store_.checkpointer_->FinishAction(action);
    }
    if (action == Action::ChangePsfSet) {
      // Every protected thread has adopted the new configuration: bring the other
      // slot up to date, then report the tail. Runs before the word returns to REST,
      // so whoever waits for REST sees the callback's effect.
      store_.registry_.FinishChange(changes_);
      const uint64_t tail = store_.log_->GetTailAddress().control();
      for (const PsfChange& change : changes_) {
        if (change.operation == PsfChange::kAddGeneral) store_.activation_addresses_[change.id] = tail;
        if (change.operation == PsfChange::kRemoveGeneral) store_.activation_addresses_.erase(change.id);
      }
      changes_.clear();
      PsfChangeCallback callback = std::move(callback_);
      callback_ = nullptr;
      // The callback runs on whichever thread completed the change, inside its
      // refresh; an exception escaping here would leave the state word short of REST.
      if (callback) {
        try {
          callback(store_.log_->GetTailAddress());
        } catch (const std::exception& error) {
          std::fprintf(stderr, "predicate change callback failed: %s\n", error.what());
        } catch (...) {
          std::fprintf(stderr, "predicate change callback failed\n");
        }
      }
    }
    return Status::Ok;
  }

  // Set by the starter between TryBeginAction and entering the first phase.
  std::vector<PsfChange> changes_;
  PsfChangeCallback callback_;

 private:
  PsfStore& store_;
};

PsfStore::PsfStore(uint64_t table_size, uint64_t log_size, const std::string& root_directory)
    : root_directory_{device::StoreDisk<LightEpoch>::WithTrailingSeparator(root_directory)},
      action_work_{std::make_unique<ActionWork>(*this)},
      state_machine_{epoch_, action_work_.get()},
      hash_index_{epoch_} {
  hash_index_.Initialize(table_size);
  disk_ = std::make_unique<Disk>(root_directory_, epoch_);
  log_ = std::make_unique<Log>(log_size, epoch_, *disk_, Address{0});
  // Only after every size was accepted, so that bad arguments leave no trace on disk.
  std::error_code error;
  std::filesystem::create_directories(root_directory_, error);
  if (error) {
    throw std::runtime_error("cannot create the store directory \"" + root_directory_ + "\": " + error.message());
  }
  log_identity_ = std::make_unique<LogIdentity>(root_directory_ + kLogIdentityFileName);
  checkpointer_ = std::make_unique<Checkpointer>(root_directory_, state_machine_, hash_index_, *log_, registry_,
                                                 disk_->disk(), *log_identity_, activation_addresses_);
  slots_ = std::make_unique<ThreadSlot[]>(Thread::kMaxThreads);
  for (uint32_t i = 0; i < Thread::kMaxThreads; ++i) slots_[i].store = this;
}

PsfStore::~PsfStore() = default;

PsfStore::ThreadSlot& PsfStore::slot() { return slots_[Thread::id()]; }
const PsfStore::ThreadSlot& PsfStore::slot() const { return slots_[Thread::id()]; }

const ThreadContext& PsfStore::current_context() const {
  const ThreadSlot& own = slot();
  return own.contexts[own.current_index];
}
const ThreadContext& PsfStore::previous_context() const {
  const ThreadSlot& own = slot();
  return own.contexts[own.current_index ^ 1];
}

bool PsfStore::HasSession() const { return slot().in_session; }

Guid PsfStore::StartSession() {
  Guid guid;
  Status status = TryStartSession(&guid);
  if (status.IsBusy()) throw std::runtime_error("Can acquire only in REST phase!");
  return guid;
}

Status PsfStore::TryStartSession(Guid* session) {
  ThreadSlot& own = slot();
  if (own.in_session) throw std::logic_error("the calling thread already holds a session");
  // Protect before reading the state and the active configuration: once protected, a
  // predicate change that starts later waits for this thread's adoption before it
  // rewrites the configuration read here.
  epoch_.Protect();
  SystemState state = state_machine_.state();
  if (state.phase != Phase::REST) {
    epoch_.Unprotect();
    return Status{Status::Busy, std::string{"the store is not at rest (phase "} + PhaseName(state.phase) + ")"};
  }
  Guid guid = Guid::Create();
  own.current_index = 0;
  own.current().Initialize(state.phase, state.version, guid);
  own.previous().Initialize(Phase::REST, state.version, guid);
  try {
    own.AdoptActiveConfiguration();
  } catch (...) {
    epoch_.Unprotect();
    throw;
  }
  own.in_session = true;
  // An action may have begun since the state was read.
  if (own.thread_phase() != Phase::REST || state_machine_.state().phase != Phase::REST) {
    state_machine_.HandleSpecialPhases(own);
  }
  if (session != nullptr) *session = guid;
  return Status::Ok;
}

void PsfStore::StopSession() {
  ThreadSlot& own = slot();
  if (!own.in_session) return;
  while (own.thread_phase() != Phase::REST || own.current().HasPendingWork()) {
    CompletePending(false);
    std::this_thread::yield();
  }
  own.in_session = false;
  epoch_.Unprotect();
}

void PsfStore::Refresh() { state_machine_.Refresh(slot()); }

// Completed reads and retries belong to scans; inserts never produce them. Each pass
// below is where their handling goes: the response queues are drained and the retry
// lists rerun by the scan code.
bool PsfStore::CompletePending(bool wait) {
  ThreadSlot& own = slot();
  while (true) {
    disk_->TryComplete();
    Refresh();
    if (own.thread_phase() != Phase::REST) Refresh();
    bool done = !own.current().HasPendingWork();
    if (own.thread_phase() == Phase::REST && done) return true;
    if (!wait) return false;
    std::this_thread::yield();
  }
}

void PsfStore::CompleteAction() { CompleteAction(std::chrono::steady_clock::time_point::max()); }

bool PsfStore::CompleteAction(std::chrono::steady_clock::time_point deadline) {
  bool abandoned = false;
  while (true) {
    CompletePending(false);
    if (state_machine_.state().IsRest()) break;
    if (!abandoned && std::chrono::steady_clock::now() >= deadline) {
      // The only wait of an action that depends on no transfer of its own; the others
      // end with their transfers.
      checkpointer_->AbandonFlushWait();
      abandoned = true;
    }
    std::this_thread::yield();
  }
  CompletePending(false);
  return !abandoned;
}

uint16_t PsfStore::RegisterProjection(std::string_view field_name) {
  return registry_.RegisterProjection(field_name);
}

Status PsfStore::CheckpointIndex(Checkpointer::IndexCallback callback, Guid& token) {
  if (!slot().in_session) throw std::logic_error("a checkpoint needs a session on the calling thread");
  Status status = checkpointer_->StartIndexCheckpoint(std::move(callback), token);
  if (status == Status::Ok) Refresh();
  return status;
}

Status PsfStore::CheckpointHybridLog(Checkpointer::LogCallback callback, Guid& token, Checkpointer::DoneCallback done) {
  if (!slot().in_session) throw std::logic_error("a checkpoint needs a session on the calling thread");
  Status status = checkpointer_->StartLogCheckpoint(std::move(callback), token, std::move(done));
  if (status == Status::Ok) Refresh();
  return status;
}

Status PsfStore::Recover(const Guid& index_token, const Guid& log_token, RecoveryResult& result) {
  if (slot().in_session) throw std::logic_error("recovery runs before any session");
  epoch_.Protect();
  Status status = core::Recover(
      RecoveryTarget{root_directory_, state_machine_, hash_index_, *log_, *disk_, registry_, *log_identity_},
      index_token, log_token, result);
  if (status == Status::Ok) activation_addresses_ = result.activation_addresses;
  epoch_.Unprotect();
  return status;
}

Address PsfStore::ApplyPsfChange(std::span<const PsfChange> changes, PsfChangeCallback callback) {
  if (!slot().in_session) throw std::logic_error("a predicate change needs a session on the calling thread");
  registry_.CheckChanges(changes);
  if (!state_machine_.TryBeginAction(Action::ChangePsfSet)) return Address::Invalid();
  Address tail = log_->GetTailAddress();
  try {
    action_work_->changes_.assign(changes.begin(), changes.end());
    action_work_->callback_ = std::move(callback);
    registry_.ActivateChange(changes);
  } catch (...) {
    action_work_->changes_.clear();
    action_work_->callback_ = nullptr;
    state_machine_.ReturnToRest();
    throw;
  }
  state_machine_.EnterFirstPhase();
  Refresh();
  return tail;
}

namespace {

// Refuses a staged record that no header could describe or no page could hold.
void CheckRecordFits(const RecordInsertContext& record, size_t document_offset) {
  if (record.optional_size > RecordHeader::kMaxOptionalSize) {
    throw BatchRefused(document_offset,
                       "record at byte " + std::to_string(document_offset) + ": its projected values need " +
                           std::to_string(record.optional_size) + " bytes after the document, more than " +
                           std::to_string(RecordHeader::kMaxOptionalSize));
  }
  if (record.key_pointer_count > RecordHeader::kMaxKeyPointerCount) {
    throw BatchRefused(document_offset, "record at byte " + std::to_string(document_offset) + " has " +
                                            std::to_string(record.key_pointer_count) + " predicate values, more than " +
                                            std::to_string(RecordHeader::kMaxKeyPointerCount));
  }
  uint64_t size = RecordHeader::RecordSize(record.key_pointer_count, record.payload_size, record.optional_size);
  if (size > Address::kPageSize) {
    throw BatchRefused(document_offset, "record at byte " + std::to_string(document_offset) + " needs " +
                                            std::to_string(size) + " bytes, more than a log page");
  }
}

}  // namespace

namespace {

// Parses `text` with `parser` and stages its records in `staging` (cleared first), in
// document order. Throws as BatchInsert does, with offsets counted from `text`.
void StageRecords(const PsfRegistry& registry, const PsfConfiguration& configuration, adapter::SIMDJsonAdapter& parser,
                  PsfEvaluator& evaluator, InsertStaging& staging, PaddedView text) {
  if (Status loaded = parser.Load(text); loaded != Status::Ok) {
    throw BatchRefused(parser.fault_offset(), std::string{loaded.message()});
  }
  staging.Clear();
  uint32_t batch_offset = 0;
  while (parser.HasNext()) {
    adapter::ParsedRecord parsed = parser.NextRecord();
    const char* payload = parsed.payload.data();
    const char* payload_end = payload + parsed.payload.size();
    batch_offset += static_cast<uint32_t>(parsed.payload.size());
    RecordInsertContext record{payload,
                               static_cast<uint32_t>(parsed.payload.size()),
                               static_cast<uint32_t>(staging.key_pointers.size()),
                               0,
                               static_cast<uint32_t>(staging.optional_bytes.size()),
                               0,
                               batch_offset};
    const size_t document_offset = static_cast<size_t>(payload - text.data());
    try {
      evaluator.Evaluate(
          registry, configuration, parsed,
          [&](uint16_t id, const recorder::data::GenericValue& value, const adapter::FieldRef* source) {
            std::string_view bytes = value.bytes();
            const KeyHash hash = source != nullptr && source->has_value_polynomial
                                     ? KeyHash::OfGeneralKeyPolynomial(id, bytes.size(), source->value_polynomial)
                                     : KeyHash::OfGeneralKey(id, bytes.data(), bytes.size());
            uint64_t value_offset;
            if (value.type() == recorder::data::GenericValue::Type::String && bytes.data() >= payload &&
                bytes.data() <= payload_end) {
              value_offset = static_cast<uint64_t>(bytes.data() - payload);
            } else {
              value_offset = record.payload_size + record.optional_size;
              staging.optional_bytes.insert(staging.optional_bytes.end(), bytes.begin(), bytes.end());
              record.optional_size += static_cast<uint32_t>(bytes.size());
            }
            // The chain link (previous address) is set when the record is inserted.
            staging.key_pointers.push_back(
                {hash, KeyPointer::General(record.key_pointer_count, Address{0}, id,
                                     static_cast<uint32_t>(value_offset), value)});
            ++record.key_pointer_count;
          },
          [&](uint32_t id, uint32_t value) {
            staging.key_pointers.push_back(
                {KeyHash::OfInlineKey(id, value), KeyPointer::Inline(record.key_pointer_count, Address{0}, id, value)});
            ++record.key_pointer_count;
          });
    } catch (const simdjson::simdjson_error& error) {
      // Valid JSON whose projected value no GenericValue can hold (a number beyond the
      // double range, such as 1e400): the data is at fault, not the store.
      throw BatchRefused(document_offset, "record at byte " + std::to_string(document_offset) +
                                              ": a projected field holds a value that cannot be indexed (" +
                                              error.what() + ")");
    }
    CheckRecordFits(record, document_offset);
    staging.records.push_back(record);
  }
}

}  // namespace

bool PsfStore::StageHalvesAtOnce(ThreadSlot& own, const PsfConfiguration& configuration, PaddedView buffer) {
  // The halves are worth a handover only from this size on, and only while a core is
  // free (base/helper_threads.h); a split is taken only when both halves stand alone
  // as whole documents and stage without a fault. Anything else is decided by staging
  // the whole batch, which names the first fault as one thread would.
  if (buffer.size() < adapter::SIMDJsonAdapter::kHelperCheckBytes && halves_placement_ != HalvesPlacement::Helper) {
    return false;
  }
  if (halves_placement_ == HalvesPlacement::Never) return false;
  const size_t split = adapter::SIMDJsonAdapter::HalvingPoint(buffer);
  if (split == 0) return false;
  if (own.second_half == nullptr) own.second_half = std::make_unique<ThreadSlot::SecondHalf>();
  ThreadSlot::SecondHalf& half = *own.second_half;
  if (half.parser == nullptr || half.parser->field_names() != configuration.parse_fields) {
    half.parser = std::make_unique<adapter::SIMDJsonAdapter>(configuration.parse_fields);
  }
  constexpr size_t kPadding = PaddedView::kPaddingBytes;
  // The first half ends with a line feed, so nothing of it is read past its end; the
  // second has the batch's padding.
  const PaddedView first = PaddedView::FromPaddedMemory(buffer.data(), split, buffer.size() + kPadding);
  const PaddedView second =
      PaddedView::FromPaddedMemory(buffer.data() + split, buffer.size() - split, buffer.size() - split + kPadding);
  bool second_staged = false;
  environment::HelperTask helper;
  auto stage_second = [&] {
    try {
      StageRecords(registry_, configuration, *half.parser, half.evaluator, half.staging, second);
      second_staged = true;
    } catch (...) {
      // Staging the whole batch finds this again, at its offset in the batch.
    }
  };
  if (!helper.Start(stage_second, halves_placement_ == HalvesPlacement::Helper
                                      ? environment::HelperTask::Placement::Helper
                                      : environment::HelperTask::Placement::Automatic)) {
    return false;
  }
  bool first_staged = false;
  try {
    StageRecords(registry_, configuration, *own.parser, own.evaluator, own.staging, first);
    first_staged = true;
  } catch (...) {
  }
  helper.Wait();
  if (!first_staged || !second_staged) return false;
  // The second half's records follow the first's: their list positions and payload
  // offsets move up by what the first half holds.
  InsertStaging& staging = own.staging;
  const uint32_t key_pointer_base = static_cast<uint32_t>(staging.key_pointers.size());
  const uint32_t optional_base = static_cast<uint32_t>(staging.optional_bytes.size());
  const uint32_t payload_base = staging.records.empty() ? 0 : staging.records.back().batch_offset;
  staging.key_pointers.insert(staging.key_pointers.end(), half.staging.key_pointers.begin(),
                              half.staging.key_pointers.end());
  staging.optional_bytes.insert(staging.optional_bytes.end(), half.staging.optional_bytes.begin(),
                                half.staging.optional_bytes.end());
  for (RecordInsertContext record : half.staging.records) {
    record.first_key_pointer += key_pointer_base;
    record.first_optional_byte += optional_base;
    record.batch_offset += payload_base;
    staging.records.push_back(record);
  }
  return true;
}

uint32_t PsfStore::BatchInsert(PaddedView buffer, uint64_t serial_number) {
  if (buffer.empty()) return 0;
  ThreadSlot& own = slot();
  if (!own.in_session) throw std::logic_error("BatchInsert needs a session on the calling thread");
  // The session's offset into the batch is 32 bits wide.
  if (buffer.size() > UINT32_MAX) {
    throw BatchRefused(0, "batch of " + std::to_string(buffer.size()) + " bytes: at most 4 GiB - 1 per batch");
  }

  // The whole insert keeps this thread's core busy: the second half of a batch goes to
  // a helper only while another core is free of inserts (base/helper_threads.h).
  environment::BusyScope busy;
  // Parse and evaluate the whole batch first: a refusal must leave the log untouched.
  const PsfConfiguration& configuration = registry_.configuration(own.configuration_index);
  if (!StageHalvesAtOnce(own, configuration, buffer)) {
    StageRecords(registry_, configuration, *own.parser, own.evaluator, own.staging, buffer);
  }
  InsertStaging& staging = own.staging;

  // This store's first record starts a log of its own in the files: they must stop
  // naming the log they held before any of it can reach them.
  if (!staging.records.empty() && !log_identity_->owned() && log_identity_->ClaimForNewLog() != Status::Ok) {
    throw std::runtime_error("cannot write the log identity file " + root_directory_ + kLogIdentityFileName);
  }
  // While a checkpoint prepares, each record checks the versions heading its chains
  // (InternalInsert); otherwise the batch goes to the log in runs.
  if (staging.records.size() > 1 && own.thread_phase() != Phase::PREPARE) {
    InsertInRuns(own, serial_number);
    return static_cast<uint32_t>(staging.records.size());
  }
  // Insert in document order; the session's progress follows each record. The payloads
  // were read long ago: their first bytes are asked for a few records ahead of the copy.
  constexpr size_t kPrefetchedPayloads = 4;
  const size_t record_count = staging.records.size();
  for (size_t i = 0; i < record_count; ++i) {
    const RecordInsertContext& record = staging.records[i];
    if (i + kPrefetchedPayloads < record_count) __builtin_prefetch(staging.records[i + kPrefetchedPayloads].payload);
    OperationStatus status = InternalInsert(own, record);
    while (status == OperationStatus::VersionShift) {
      Refresh();
      status = InternalInsert(own, record);
    }
    own.current().serial_number = serial_number;
    own.current().offset = record.batch_offset;
  }
  return static_cast<uint32_t>(staging.records.size());
}

void PsfStore::InsertInRuns(ThreadSlot& own, uint64_t serial_number) {
  const InsertStaging& staging = own.staging;
  const size_t record_count = staging.records.size();
  std::vector<uint64_t>& ends = own.record_ends;
  ends.resize(record_count + 1);
  ends[0] = 0;
  for (size_t i = 0; i < record_count; ++i) {
    const RecordInsertContext& record = staging.records[i];
    ends[i + 1] = ends[i] + RecordHeader::RecordSize(record.key_pointer_count, record.payload_size, record.optional_size);
  }
  // The last record starting at `first` whose run of records ends within `room` bytes.
  auto run_end = [&ends](size_t first, uint64_t room) {
    return static_cast<size_t>(std::upper_bound(ends.begin() + first + 1, ends.end(), ends[first] + room) -
                               ends.begin()) - 1;
  };
  size_t first = 0;
  while (first < record_count) {
    uint64_t reserved = 0;
    // While the tail waits for a page, only the epoch moves on (see InternalInsert). No
    // record of the batch is left unwritten meanwhile: runs are reserved one at a time.
    const Address start = log_->ReserveRun(
        [&](uint64_t room) { return ends[run_end(first, room)] - ends[first]; },
        static_cast<uint32_t>(ends[first + 1] - ends[first]), &reserved, [this] { epoch_.Protect(); });
    const size_t last = run_end(first, reserved);
    WriteRun(own, first, last, start);
    own.current().serial_number = serial_number;
    own.current().offset = staging.records[last - 1].batch_offset;
    first = last;
  }
}

void PsfStore::WriteRun(ThreadSlot& own, size_t first, size_t last, Address start) {
  const std::vector<uint64_t>& ends = own.record_ends;
  const uint32_t version = own.thread_version();
  own.segments.Clear(hash_index_.size());
  // A large run is written in two parts at once, the newer on a helper while a core is
  // free: the parts meet only where a chain runs from one into the other.
  constexpr uint64_t kHelperRunBytes = uint64_t{256} << 10;
  bool written = false;
  if (last - first >= 2 && halves_placement_ != HalvesPlacement::Never &&
      (ends[last] - ends[first] >= kHelperRunBytes || halves_placement_ == HalvesPlacement::Helper)) {
    const size_t split = std::max<size_t>(
        first + 1, std::lower_bound(ends.begin() + first, ends.begin() + last, (ends[first] + ends[last]) / 2) -
                       ends.begin());
    const Address split_address = start + (ends[split] - ends[first]);
    own.helper_segments.Clear(hash_index_.size());
    environment::HelperTask helper;
    if (helper.Start([&] { WriteRecords(own.staging, split, last, split_address, version, own.helper_segments); },
                     halves_placement_ == HalvesPlacement::Helper ? environment::HelperTask::Placement::Helper
                                                                  : environment::HelperTask::Placement::Automatic)) {
      WriteRecords(own.staging, first, split, start, version, own.segments);
      helper.Wait();
      own.segments.Append(own.helper_segments, [this](Address newer_oldest, Address older_newest) {
        std::atomic_ref<uint64_t> word = WordAt(log_->Get(newer_oldest));
        word.store(KeyPointer::WithPrevious(word.load(std::memory_order_relaxed), older_newest),
                   std::memory_order_relaxed);
      });
      written = true;
    }
  }
  if (!written) WriteRecords(own.staging, first, last, start, version, own.segments);

  own.segments.ForEach([this](const ChainSegments::Segment& segment) { JoinChain(segment); });

  // Every key pointer is linked: the records become visible, oldest first.
  Address address = start;
  for (size_t i = first; i < last; ++i) {
    const RecordInsertContext& record = own.staging.records[i];
    RecordHeader header{record.key_pointer_count, record.payload_size, record.optional_size, version, false};
    WordAt(log_->Get(address)).store(header.control(), std::memory_order_release);
    address += ends[i + 1] - ends[i];
  }
}

void PsfStore::WriteRecords(const InsertStaging& staging, size_t first, size_t last, Address start, uint32_t version,
                            ChainSegments& segments) {
  constexpr size_t kPrefetchedPayloads = 4;
  Address address = start;
  for (size_t i = first; i < last; ++i) {
    const RecordInsertContext& record = staging.records[i];
    if (i + kPrefetchedPayloads < last) __builtin_prefetch(staging.records[i + kPrefetchedPayloads].payload);
    const uint32_t count = record.key_pointer_count;
    const uint64_t size = RecordHeader::RecordSize(count, record.payload_size, record.optional_size);
    uint8_t* memory = log_->Get(address);
    PrefetchAheadForWriting(memory, size);
    // Invalid, so invisible to scans, until the run's chains are joined.
    RecordWriter writer{memory, RecordHeader{count, record.payload_size, record.optional_size, version, true}};
    writer.WriteValues(record.payload, staging.optional_bytes.data() + record.first_optional_byte);
    const StagedKeyPointer* staged = staging.key_pointers.data() + record.first_key_pointer;
    for (uint32_t k = 0; k < count; ++k) {
      KeyPointer linked = staged[k].key_pointer;
      linked.set_previous_address(segments.Link(staged[k].hash, KeyPointer::KeyPointerAddress(address, k)));
      writer.WriteKeyPointer(k, linked);
    }
    address += size;
  }
}

void PsfStore::JoinChain(const ChainSegments::Segment& segment) {
  AtomicHashBucketEntry* slot;
  HashBucketEntry expected;
  if (hash_index_.FindOrCreateEntry(segment.hash, slot, expected) != Status::Ok) throw std::bad_alloc();
  std::atomic_ref<uint64_t> oldest_word = WordAt(log_->Get(segment.oldest));
  const HashBucketEntry desired{segment.newest, segment.hash.tag(), false};
  while (true) {
    if (expected.address() > segment.newest) {
      // Newer records head the chain already (none lies inside the run): splice the
      // segment in behind the last of them, keeping the chain in decreasing address order.
      SpliceBehindNewer(expected.address(), segment.newest, oldest_word);
      return;
    }
    oldest_word.store(KeyPointer::WithPrevious(oldest_word.load(std::memory_order_relaxed), expected.address()),
                      std::memory_order_relaxed);
    if (slot->compare_exchange_strong(expected, desired)) return;
    // Another record took the head meanwhile; `expected` holds it.
  }
}

void PsfStore::SpliceBehindNewer(Address head, Address newest, std::atomic_ref<uint64_t> oldest_word) {
  uint8_t* predecessor = log_->Get(head);
  uint64_t word = WordAt(predecessor).load(std::memory_order_acquire);
  while (true) {
    const Address next_address = KeyPointer::PreviousOf(word);
    if (newest < next_address) {
      predecessor = log_->Get(next_address);
      word = WordAt(predecessor).load(std::memory_order_acquire);
      continue;
    }
    oldest_word.store(KeyPointer::WithPrevious(oldest_word.load(std::memory_order_relaxed), next_address),
                      std::memory_order_relaxed);
    if (WordAt(predecessor).compare_exchange_strong(word, KeyPointer::WithPrevious(word, newest))) return;
    // `word` now holds what the predecessor links to; continue the walk from it.
  }
}

PsfStore::OperationStatus PsfStore::InternalInsert(ThreadSlot& own, const RecordInsertContext& record) {
  const uint32_t count = record.key_pointer_count;
  const StagedKeyPointer* staged = own.staging.key_pointers.data() + record.first_key_pointer;
  own.entry_slots.resize(count);
  own.entries_seen.resize(count);

  // Find (or claim) the hash entry of every chain first. In PREPARE, note the newest
  // checkpoint version among the records now heading them (only then does it matter,
  // and reading it costs a cache miss per chain).
  Address head = log_->GetHeadAddress();
  const bool preparing = own.thread_phase() == Phase::PREPARE;
  uint32_t newest_version = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (hash_index_.FindOrCreateEntry(staged[i].hash, own.entry_slots[i], own.entries_seen[i]) != Status::Ok) {
      throw std::bad_alloc();
    }
    Address chain_head = own.entries_seen[i].address();
    if (preparing && chain_head >= head && chain_head >= Address{Address::kFirstValidAddress}) {
      uint8_t* key_pointer = log_->Get(chain_head);
      uint32_t position = KeyPointer::PositionOf(WordAt(key_pointer).load(std::memory_order_acquire));
      RecordHeader header{WordAt(log_->Get(KeyPointer::RecordAddress(chain_head, position))).load()};
      newest_version = std::max(newest_version, header.checkpoint_version());
    }
  }
  if (preparing && newest_version > own.thread_version() % RecordHeader::kVersionModulus) {
    return OperationStatus::VersionShift;
  }

  uint64_t size = RecordHeader::RecordSize(count, record.payload_size, record.optional_size);
  // While the tail waits for a page, only the epoch moves on: taking part in a phase
  // change here could adopt a new predicate set in the middle of a batch evaluated
  // with the old one, and its remaining records would land after the change completed
  // without key pointers for the new predicates. Phase changes wait for the batch.
  Address address = log_->ReserveRecordSpace(static_cast<uint32_t>(size), [this] { epoch_.Protect(); });
  uint8_t* memory = log_->Get(address);
  PrefetchAheadForWriting(memory, size);

  // The record stays invalid (invisible to scans) until every key pointer is linked.
  RecordWriter writer{memory, RecordHeader{count, record.payload_size, record.optional_size, own.thread_version(), true}};
  writer.WriteValues(record.payload, own.staging.optional_bytes.data() + record.first_optional_byte);

  for (uint32_t i = 0; i < count; ++i) {
    Address own_address = KeyPointer::KeyPointerAddress(address, i);
    KeyPointer linked = staged[i].key_pointer;
    linked.set_previous_address(own.entries_seen[i].address());
    uint8_t* key_pointer = writer.WriteKeyPointer(i, linked);
    std::atomic_ref<uint64_t> own_word0 = WordAt(key_pointer);

    HashBucketEntry desired{own_address, staged[i].hash.tag(), false};
    HashBucketEntry expected = own.entries_seen[i];
    while (!own.entry_slots[i]->compare_exchange_strong(expected, desired)) {
      if (expected.address() < own_address) {
        // An older record took the head meanwhile: link behind it and try again.
        own_word0.store(KeyPointer::WithPrevious(own_word0.load(), expected.address()), std::memory_order_relaxed);
        continue;
      }
      // A newer record heads the chain already: splice this one in behind it.
      SpliceBehindNewer(expected.address(), own_address, own_word0);
      break;
    }
  }

  writer.Publish();
  return OperationStatus::Success;
}

}  // namespace core
}  // namespace psfstore
