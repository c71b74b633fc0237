// PsfStore: the storage engine. It owns the epoch, the system state machine, the hash
// index, the hybrid log over a StoreDisk rooted at a directory, the predicate
// registry and one slot per thread id (two session contexts, the thread's parser and
// its insert staging).
//
// Writers use, per batch:  StartSession, BatchInsert, CompleteAction, StopSession.
// A projection is made by:  StartSession, RegisterProjection, ApplyPsfChange,
//                           CompleteAction, StopSession.
//
// Every operation acts for the calling thread (Thread::id()); a session is bound to the
// thread that started it. Inserts take no lock: records are placed by one fetch-and-add
// on the log's tail and linked into their hash chains by compare-and-swap, so every
// chain stays in strictly decreasing address order under any interleaving.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/padded_buffer.h"
#include "base/status.h"
#include "engine/core/address.h"
#include "engine/core/chain_segments.h"
#include "engine/core/guid.h"
#include "engine/core/internal_hash_table.h"
#include "engine/core/light_epoch.h"
#include "engine/core/predicate.h"
#include "engine/core/psf_registry.h"
#include "engine/core/state_machine.h"
#include "engine/core/system_state.h"
#include "engine/core/thread_context.h"
#include "engine/persistence/checkpoint/checkpointer.h"
#include "engine/persistence/checkpoint/log_identity.h"
#include "engine/persistence/checkpoint/recovery.h"
#include "engine/persistence/io/store_disk.h"
#include "engine/persistence/log/hybrid_log.h"
#include "engine/persistence/scan/scan_session.h"

namespace psfstore {
namespace core {

class BasicScanner;
class BasicFullScanner;

struct InsertStaging;
struct RecordInsertContext;

// A batch that BatchInsert refused as a whole: nothing of it reached the log and the
// session's serial number and offset are unchanged. `offset` is the byte offset in the
// batch of the fault (for a record that cannot be stored, the offset of its document).
class BatchRefused : public std::invalid_argument {
 public:
  BatchRefused(size_t offset, const std::string& message)
      : std::invalid_argument(message), offset_{offset} {}
  size_t offset() const { return offset_; }

 private:
  size_t offset_;
};

class PsfStore {
 public:
  using Disk = device::StoreDisk<LightEpoch>;
  using Log = PersistentMemoryMalloc<LightEpoch>;
  // Called once when a predicate-set change is complete, with the log's tail then.
  using PsfChangeCallback = std::function<void(Address tail)>;

  // The hash table size the record server configures.
  static constexpr uint64_t kDefaultTableSize = 4096;

  // `table_size`: number of hash buckets (a power of two). `log_size`: bytes of log
  // memory, a multiple of 32 MiB of at least six pages. `root_directory`: where the log
  // segments ("log.log0", ...) and checkpoints go; created when missing. Throws
  // std::invalid_argument for a bad size ("Log size must be a multiple of 32 MB",
  // "Must have at least 2 non-head pages", " Size is not a power of 2") and
  // std::runtime_error when the directory cannot be created.
  PsfStore(uint64_t table_size, uint64_t log_size, const std::string& root_directory);
  // No thread may hold a session any more.
  ~PsfStore();

  PsfStore(const PsfStore&) = delete;
  PsfStore& operator=(const PsfStore&) = delete;

  // Sessions ----------------------------------------------------------------------------

  // Opens a session for the calling thread and stores its id in `session` (when given).
  // Busy, changing nothing, when the system phase is not REST (a checkpoint, recovery or
  // predicate change is running). Throws std::runtime_error "Too many threads!" when
  // all thread ids are taken.
  Status TryStartSession(Guid* session = nullptr);
  // The same for callers that cannot wait: throws std::runtime_error "Can acquire only
  // in REST phase!" instead of returning Busy.
  Guid StartSession();
  // Completes the session's pending work, then leaves the epoch: the state machine no
  // longer waits for this thread.
  void StopSession();
  // Moves the calling thread's epoch forward and lets it take part in phase changes.
  void Refresh();
  // One or more passes over the session's pending work; true when nothing is pending
  // and the thread is at REST. With `wait` it repeats until that is so.
  bool CompletePending(bool wait = false);
  // Completes pending work until the system state is back at {None, REST}.
  void CompleteAction();
  // The same, but a log checkpoint still waiting for its flush at `deadline` stops
  // waiting and ends as failed (IOError). False when the wait had to be given up.
  bool CompleteAction(std::chrono::steady_clock::time_point deadline);
  // True when the calling thread holds a session.
  bool HasSession() const;

  // Inserts ------------------------------------------------------------------------------

  // Parses `buffer` as a sequence of JSON documents (separated by any white space),
  // evaluates the thread's predicate configuration on each and appends one record per
  // document, linked into the chain of each predicate value. Returns the number of
  // records inserted; afterwards the session's serial number is `serial_number` and its
  // offset the total payload length of the batch.
  //
  // All or nothing: a batch that is not a sequence of complete JSON documents, holds a
  // record that cannot be stored (optional values over 255 bytes, record larger than a
  // page, a predicate value the JSON library cannot convert, such as the number 1e400)
  // or on which a predicate throws inserts nothing. The first three throw BatchRefused
  // naming the byte offset; another exception of a predicate (std::logic_error "The
  // field does not contain a scalar type", ...) passes through.
  // A large batch may be parsed and staged in two halves at once, and written to the log
  // in two parts at once, the second on a helper thread (see HalvesPlacement).
  // Requires a session. In steady state it allocates nothing but the handover of a half.
  uint32_t BatchInsert(PaddedView buffer, uint64_t serial_number);

  // Where the second half of a large batch is parsed and staged, and the second part of
  // a large run written: on a helper thread while a core is free (Automatic), never apart
  // from the first (Never), or on a helper for any batch that splits (Helper, for
  // tests). The results are the same.
  enum class HalvesPlacement { Automatic, Never, Helper };
  void set_halves_placement(HalvesPlacement placement) { halves_placement_ = placement; }

  // Predicates ---------------------------------------------------------------------------

  // Registers a projection of the field `field_name` (a JSON Pointer such as "/a/b");
  // returns its general predicate id, or PsfRegistry::kNoPsf when the table is full.
  // The projection is not evaluated until a change adds it.
  uint16_t RegisterProjection(std::string_view field_name);

  // Starts a change of the active predicate set: moves the state to {ChangePsfSet,
  // PS_PENDING}; every thread adopts the new set at its next refresh, and when all have,
  // the state returns to REST and `callback` (if any) runs once with the tail address,
  // on the thread that completes the change (an exception from it is reported on
  // standard error and does not stop the change).
  // Returns the tail address at the start, or Address::Invalid() when another action is
  // running (nothing changes). Throws std::invalid_argument, changing nothing, for a
  // change list the registry refuses. Requires a session; drive it with CompleteAction.
  Address ApplyPsfChange(std::span<const PsfChange> changes, PsfChangeCallback callback = {});

  // Checkpoints and recovery -------------------------------------------------------------

  // Starts an index checkpoint (the hash index to "index-checkpoints/<token>/") and
  // returns its token. Aborted, changing nothing, while another action runs; IOError
  // when its directory cannot be made. `callback` (if any) runs once when it is over,
  // with IOError if any of its writes failed. Requires a session; drive it with
  // CompleteAction.
  Status CheckpointIndex(Checkpointer::IndexCallback callback, Guid& token);
  // Starts a fold-over log checkpoint ("cpr-checkpoints/<token>/" and the naming file)
  // and returns its token; every session reports its persisted serial number through
  // `callback`, and `done` (if any) runs once at the end with the overall status.
  // Aborted or IOError as above; IOError too when the naming file cannot be written.
  Status CheckpointHybridLog(Checkpointer::LogCallback callback, Guid& token, Checkpointer::DoneCallback done = {});
  // Recovers this fresh store from two checkpoints; see Recover in recovery.h for the
  // statuses. Call it before any session exists, from a thread without a session.
  // On Ok the system version is the recovered version + 1.
  Status Recover(const Guid& index_token, const Guid& log_token, RecoveryResult& result);

  // Scans (defined in psf_store_scans.cc) ----------------------------------------------

  // Run a chain scan or a full scan for the calling thread's session to its end,
  // reading from the log file whatever lies below the head; the matches are in the
  // scanner. Bounds are inclusive record addresses. Returns Ok, or the status that ended
  // the scan early (IOError, OutOfMemory, Corruption), keeping the matches found before.
  // Throws std::logic_error "A scan needs a session" without one.
  Status ChainScan(BasicScanner& scanner, Address start, Address end);
  Status FullScan(BasicFullScanner& scanner, Address start, Address end);
  // Calls `visit` with the payload of each record, in the given order: from memory above
  // the head, from the log file below it (never from a memory slot that may hold a newer
  // page). The view is valid during the call and carries the JSON library's padding.
  // Stops at the first record that cannot be read and returns its status (NotFound
  // where no valid record starts). Requires a session, like the scans.
  Status ForEachPayload(std::span<const uint64_t> record_addresses,
                        const std::function<void(Address, PaddedView)>& visit);

  // State and markers --------------------------------------------------------------------

  SystemState system_state() const { return state_machine_.state(); }
  Phase system_phase() const { return system_state().phase; }
  uint32_t system_version() const { return system_state().version; }

  Address begin_address() const { return log_->GetBeginAddress(); }
  Address head_address() const { return log_->GetHeadAddress(); }
  Address read_only_address() const { return log_->GetReadOnlyAddress(); }
  Address safe_read_only_address() const { return log_->GetSafeReadOnlyAddress(); }
  Address flushed_until_address() const { return log_->GetFlushedUntilAddress(); }
  Address tail_address() const { return log_->GetTailAddress(); }

  // The calling thread's current and previous session contexts.
  const ThreadContext& current_context() const;
  const ThreadContext& previous_context() const;

  // Parts, for the scan, checkpoint and recovery code and for tests.
  LightEpoch& epoch() { return epoch_; }
  StateMachine& state_machine() { return state_machine_; }
  InternalHashTable& hash_index() { return hash_index_; }
  Log& hlog() { return *log_; }
  Disk& disk() { return *disk_; }
  PsfRegistry& registry() { return registry_; }
  const PsfRegistry& registry() const { return registry_; }
  const std::string& root_directory() const { return root_directory_; }

 private:
  class ThreadSlot;
  class ActionWork;
  enum class OperationStatus : uint8_t;

  // Appends one staged record and links its key pointers into their chains.
  OperationStatus InternalInsert(ThreadSlot& slot, const RecordInsertContext& record);
  // Inserts the staged batch run by run: each run is reserved in one piece, written
  // (a large one in two parts at once), joined to its chains and then made visible.
  // Not while the thread prepares a checkpoint, where each record checks its chains.
  void InsertInRuns(ThreadSlot& slot, uint64_t serial_number);
  void WriteRun(ThreadSlot& slot, size_t first, size_t last, Address start);
  // Writes staged records [first, last) from `start` on, invalid, linking their key
  // pointers to each other through `segments`. Touches no shared state but that memory.
  void WriteRecords(const InsertStaging& staging, size_t first, size_t last, Address start, uint32_t version,
                    ChainSegments& segments);
  // Links a segment's oldest key pointer to its chain and makes the hash entry name its
  // newest, splicing it in behind newer records that head the chain already.
  void JoinChain(const ChainSegments::Segment& segment);
  // Links the key pointers from `newest` down to the one whose link is `oldest_word`
  // (none of them linked yet) into the chain headed at `head` by newer records: behind
  // the last key pointer above `newest`.
  void SpliceBehindNewer(Address head, Address newest, std::atomic_ref<uint64_t> oldest_word);
  // Parses and stages a large batch in two halves at once, the second on a helper, into
  // the slot's staging; false (staging undefined) when it does not split, no core is
  // free, or either half does not stage on its own.
  bool StageHalvesAtOnce(ThreadSlot& slot, const PsfConfiguration& configuration, PaddedView buffer);

  ThreadSlot& slot();
  const ThreadSlot& slot() const;

  std::string root_directory_;
  LightEpoch epoch_;
  std::unique_ptr<ActionWork> action_work_;
  StateMachine state_machine_;
  InternalHashTable hash_index_;
  std::unique_ptr<Disk> disk_;
  std::unique_ptr<Log> log_;
  PsfRegistry registry_;
  std::unique_ptr<LogIdentity> log_identity_;
  // Active general predicate id -> the tail when its activation completed. Written by
  // whoever completes a predicate change or a recovery, read when a log checkpoint
  // starts: the system state machine orders them.
  std::map<uint16_t, uint64_t> activation_addresses_;
  std::unique_ptr<Checkpointer> checkpointer_;
  std::unique_ptr<ThreadSlot[]> slots_;
  HalvesPlacement halves_placement_ = HalvesPlacement::Automatic;
};

// The calling thread's store session as scans and record readers see it. Throws
// std::logic_error "<purpose> needs a session" when the thread holds none. Lives on the
// calling thread's stack, for one scan or one series of reads.
class StoreScanSession : public ScanSession {
 public:
  StoreScanSession(PsfStore& store, const char* purpose) : store_{store} {
    if (!store.HasSession()) throw std::logic_error(std::string{purpose} + " needs a session");
  }
  uint32_t version() const override { return store_.current_context().version; }
  Phase phase() const override { return store_.current_context().phase; }
  void Refresh() override { store_.Refresh(); }

 private:
  PsfStore& store_;
};

}  // namespace core
}  // namespace psfstore
