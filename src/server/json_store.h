// JSONStore: the record server. One engine, one messaging context, the ingestion
// service over them, and the table of projections (named indexes over one field).
//
// Thread use: the constructor, destructor and most members run on a Python thread
// holding the interpreter lock. Stop, Projection and the projection-changing members
// also run without it, concurrently with each other and with queries; they are safe
// to call from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "base/platform.h"
#include "base/status.h"
#include "bitmap/bitmap.h"
#include "engine/core/guid.h"
#include "server/ingestion_service.h"
#include "server/record_engine.h"
#include "server/zap_handler.h"
#include "values/comparator.h"
#include "values/extractor.h"

namespace arrow {
class Table;
}  // namespace arrow

namespace quillmark {
namespace server {

class JSONStore {
 public:
  // The address `Projection` reports when no address is known.
  static constexpr uint64_t kNoAddress = ~uint64_t{0};
  static constexpr const char* kLockFileName = "LOCK";
  static constexpr const char* kDirectoryInUse = "store directory is in use";

  // Creates the messaging context, the directory `path` (not its parents; an existing
  // directory is fine), the engine over it and the control publishers. Starts no
  // thread. The store owns the directory while it lives: it holds an exclusive lock on
  // the file kLockFileName there, so that no second store writes into the same log and
  // checkpoints. Throws std::filesystem::filesystem_error ("create_directory"),
  // std::runtime_error kDirectoryInUse when another live store (in this process or
  // another) holds the directory, std::invalid_argument for a log size the engine
  // refuses, a path with a NUL character or a port above 65535, std::bad_alloc for a
  // log larger than the machine's memory, zmq::error_t.
  JSONStore(uint64_t log_size, const std::string& path, uint32_t port);
  // The same over a given engine, with the workers' wait for REST given (tests).
  JSONStore(std::unique_ptr<RecordEngine> engine, const std::string& path, uint32_t port,
            RestWait rest_wait);
  // Stops the service, closes the sockets, terminates the context, then destroys the
  // engine.
  ~JSONStore();
  JSONStore(const JSONStore&) = delete;
  JSONStore& operator=(const JSONStore&) = delete;

  // Starts the ingestion service with `workers` write threads, calls `pause` (the
  // bindings let other Python threads run there while the workers settle) and logs the
  // start. See IngestionService::Start for the errors; on error nothing runs.
  void Run(uint64_t workers, const std::function<void()>& pause);
  void Stop() { service_->Stop(); }
  // The interface the front socket listens on from the next Run: "*" (every interface,
  // the default) or an address such as "127.0.0.1". Throws std::invalid_argument for a
  // host with a NUL character: the messaging library would cut the endpoint there and
  // listen on another port than the store's.
  void SetListenAddress(std::string host);
  bool IsRunning() const { return service_->running(); }
  // The port the ingestion service listens on: the constructor's, or the one the system
  // chose for port 0 once the service has started (0 before).
  uint32_t ListeningPort() const { return port_ != 0 ? port_ : service_->listening_port(); }

  // Requests larger than `bytes` are dropped by the front socket before they are read
  // into memory (the writer's connection is closed); -1 takes any size. From the next
  // Run or Recover. Throws std::invalid_argument below -1.
  void SetMaxMessageSize(int64_t bytes);
  // From the next Run or Recover, the front socket requires CURVE with
  // `server_secret_key` and admits only the clients whose public keys are in
  // `admitted_client_keys` (all Z85 text, 40 characters); refusals are logged. Called
  // again, it replaces the keys. Throws std::invalid_argument for a key that is not Z85
  // text of 32 bytes, changing nothing.
  void EnableCurve(const std::string& server_secret_key, const std::vector<std::string>& admitted_client_keys);

  // (bytes ingested, records ingested), logged.
  std::pair<uint64_t, uint64_t> Stats() const;

  // Inserts the documents in `data` as one batch with serial number 1 and returns the
  // number of records, then calls `pause`. Returns 0 without inserting while ingestion
  // is locked. Throws std::runtime_error "Can acquire only in REST phase!" when a
  // checkpoint or change runs, std::invalid_argument for malformed JSON (with the byte
  // offset), std::logic_error for a projected value that is not a scalar; a refused
  // batch inserts nothing and leaves the counters unchanged.
  uint64_t Save(std::string_view data, const std::function<void()>& pause);
  // Inserts like Save, with the same refusals, counters and ingestion lock (0 while
  // locked), but without the pause and without logging: for callers that load a large
  // input batch after batch.
  uint64_t Load(std::string_view data);

  void LockDataIngestion() { ingestion_locked_.store(true); }
  void UnlockDataIngestion() { ingestion_locked_.store(false); }
  bool IsLocked() const { return ingestion_locked_.load(); }

  // Indexes the field `name` for every record inserted from now on and returns the log
  // address at which the index became active. A name already projected registers
  // nothing and returns the address of the existing projection. Throws
  // std::runtime_error when the engine is not at rest, when the change cannot start,
  // or when the predicate table is full (then nothing is changed), and
  // std::invalid_argument for the empty name and for a name that no record can hold
  // (see recorder::data::JsonPointerFault).
  uint64_t Projection(const std::string& name);
  // Stops indexing `name` (nothing when it is not projected); later queries on it scan.
  void DeleteProjection(const std::string& name);
  void DeleteAllProjections();
  // Projected names in byte order.
  std::vector<std::string> GetAllProjections() const;
  bool ProjectionExists(const std::string& name) const;
  // The predicate id of a projected name, for queries.
  std::optional<uint16_t> FindProjection(const std::string& name) const;

  // The address past the last record of the log.
  uint64_t EndAddress() const { return engine_->TailAddress(); }

  RecordEngine& engine() { return *engine_; }

  // Durability (json_store_durability.cc) ---------------------------------------------

  // The outcome of one half of a snapshot. `token` is empty when the half did not
  // start (status Aborted) or nothing had been ingested (status NotFound).
  struct CheckpointOutcome {
    psfstore::core::Status status = psfstore::core::Status::NotFound;
    std::optional<psfstore::core::Guid> token;
  };
  struct SnapshotOutcome {
    bool has_data = false;  // false: nothing ingested, no checkpoint taken
    CheckpointOutcome index;
    CheckpointOutcome log;
    uint64_t serial_number = 0;  // what the calling thread's session persisted
    uint32_t version = 0;        // the log checkpoint's version
  };
  // Takes an index checkpoint, then a log checkpoint, while the write threads go on.
  // Returns the no-data outcome, touching nothing, when nothing has been ingested.
  // A half that failed reports IOError; a half that could not start reports Aborted.
  // Throws std::runtime_error "Can acquire only in REST phase!" when another action
  // runs at the start.
  SnapshotOutcome Snapshot();

  // Recovers this fresh store from the checkpoints named by `index_token` and
  // `log_token` (UUID text in either case), rebuilds the table of projections from the
  // recovered predicates, resets the counters and starts the ingestion service with
  // `workers` threads (by default one per recovered session), then calls `pause`.
  // Returns (recovered version, workers started). Throws, touching nothing:
  //   std::runtime_error "The server is already running"
  //   std::invalid_argument for a token that is not UUID text
  //   std::runtime_error when the store has ingested records or has projections
  //   std::runtime_error "Unable to recover: <what failed> (<status code name>)" when the
  //     engine fails (the store is then as fresh as before and the service stays stopped)
  std::pair<uint32_t, uint64_t> Recover(std::string_view index_token, std::string_view log_token,
                                        std::optional<uint64_t> workers, const std::function<void()>& pause);

  // Queries (json_store_query.cc) --------------------------------------------------------

  // The addresses of the records whose field `name` (a JSON Pointer) satisfies
  // `operation` against `operands`, between the inclusive bounds (absent: 0 and the
  // largest address). EQ on a projected name follows the projection's chain and so sees
  // only records inserted since the projection became active; any other query walks the
  // whole log and writes each match's JSON text to `listing`, one per line in address
  // order, flushed once when the listing ends (nothing is listed when it is nullptr; the
  // caller owns the choice of stream). Records no longer in memory are read from disk on
  // both paths.
  // Throws, before any session is opened: std::out_of_range "invalid map<K, T> key" for
  // DEF and BTW, std::invalid_argument for EQ..GE without an operand and for a
  // non-empty name that no record can hold (see recorder::data::JsonPointerFault). Then
  // std::runtime_error "Can acquire only in REST phase!" while a checkpoint or change
  // runs; std::logic_error "The field does not contain a scalar type" when the field of
  // a scanned record holds an object, array or null (nothing is listed); and
  // std::runtime_error "Error scanning projection" when the engine's scan fails.
  storage::Bitmap Scan(const std::string& name, recorder::operations::ScanOperation operation,
                       std::vector<recorder::data::Operand> operands, std::optional<uint64_t> start,
                       std::optional<uint64_t> end, std::FILE* listing);

  // The records at `records` as one Arrow table (see AssembleTable for the columns and
  // its errors), written as an IPC stream and returned as Base64 text; nullopt for an
  // empty set. Throws std::runtime_error "Can acquire only in REST phase!" like Scan.
  std::optional<std::string> Extract(const recorder::data::Extractor& extractor, const storage::Bitmap& records);
  // The same table as Extract builds, as it is. An empty set gives an empty table with
  // the columns' schema (a Raw column is then of the null type) and opens no session.
  // A large set is read by two threads, each in a session of its own, and their halves
  // joined in address order (the table then has two chunks per column).
  std::shared_ptr<arrow::Table> ExtractTable(const recorder::data::Extractor& extractor,
                                             const storage::Bitmap& records);

 private:
  struct ProjectionEntry {
    uint16_t id;
    uint64_t active_from;
  };

  // The insert shared by Save and Load.
  uint64_t Insert(std::string_view data);

  // Opens a session, applies the change that `make_change` returns (called inside the
  // session), tells the write threads and waits until the change is complete.
  void ChangeProjections(const std::string& name, const std::function<PsfChange()>& make_change,
                         std::function<void(uint64_t)> on_complete);

  // Declaration order is teardown order reversed: the service goes first, then the
  // context (its termination waits for every socket), then the engine; the directory is
  // given up only when nothing of the store can write into it any more.
  psfstore::environment::FileLock directory_lock_;
  std::unique_ptr<RecordEngine> engine_;
  zmq::context_t context_;
  const uint32_t port_;
  std::string listen_host_ = "*";
  IngestionCounters counters_;
  std::atomic<uint64_t> scan_serial_{0};
  std::atomic<bool> ingestion_locked_{false};

  std::mutex projection_change_mutex_;  // one projection change at a time
  mutable std::mutex projections_mutex_;  // guards projections_ for readers
  std::map<std::string, ProjectionEntry> projections_;

  FrontSocketOptions front_options_;
  std::unique_ptr<ZapHandler> zap_handler_;  // while CURVE is on; before the service goes
  std::unique_ptr<IngestionService> service_;
};

}  // namespace server
}  // namespace quillmark
