// RecordEngine: the operations of the storage engine that the record server uses.
//
// The server talks to the engine only through this interface so that the ingestion
// service, direct saves and projections do not depend on how the engine lays out its
// log. Every operation is called by a thread that holds a session, except
// TryStartSession itself, phase() and TailAddress().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/padded_buffer.h"
#include "base/status.h"
#include "engine/core/guid.h"
#include "engine/core/system_state.h"
#include "engine/persistence/scan/scan_context.h"
#include "values/table_assembly.h"

namespace quillmark {
namespace server {

// One entry of a predicate-set change.
enum class PsfChangeKind : uint8_t {
  AddGeneral = 2,     // activate the general predicate `id`
  RemoveGeneral = 3,  // deactivate the general predicate `id`
};

struct PsfChange {
  PsfChangeKind kind;
  uint16_t id;
};

// What a successful recovery brought back.
struct RecoveredState {
  uint32_t version = 0;         // the checkpoint's version
  uint64_t session_count = 0;   // sessions that took part in the checkpoint
  // Field name -> the lowest active predicate id over it: the projections to serve.
  std::map<std::string, uint16_t> projections;
  // Field name -> the log address from which that projection indexes records.
  std::map<std::string, uint64_t> active_from;
};

class RecordEngine {
 public:
  // RegisterProjection's answer when the predicate table is full.
  static constexpr uint16_t kNoPsf = 0xFFFF;

  virtual ~RecordEngine() = default;

  // Opens a session for the calling thread and stores its id in `session` when given.
  // Busy when the engine is not at rest (a checkpoint or predicate-set change is
  // running): no session was opened.
  virtual psfstore::core::Status TryStartSession(psfstore::core::Guid* session) = 0;
  virtual void StopSession() = 0;

  // Inserts every document of `batch` as one record, or none of them. Returns the
  // number of records inserted. A refused batch throws and inserts nothing:
  //   std::invalid_argument  malformed JSON ("malformed JSON at byte <offset>: ...")
  //   std::invalid_argument  also a record too large or a projected value no type holds
  //   recorder::data::NotScalarError  a projected object, array or null
  // Any other exception is a failure of the engine, not of the batch.
  virtual uint32_t BatchInsert(psfstore::core::PaddedView batch, uint64_t serial_number) = 0;

  // Drives pending work until the engine is back at {no action, REST}.
  virtual void CompleteAction() = 0;
  // The same, but a checkpoint still waiting for the log to be written at `deadline`
  // gives up waiting and ends as failed. False when it had to.
  virtual bool CompleteActionBy(std::chrono::steady_clock::time_point deadline) {
    (void)deadline;
    CompleteAction();
    return true;
  }

  // The phase byte of the system state word.
  virtual psfstore::core::Phase phase() const = 0;

  // Registers a general predicate over the field `name`; kNoPsf when the table is full.
  virtual uint16_t RegisterProjection(std::string_view name) = 0;

  // Starts a predicate-set change. `on_complete` is called once, with the log's tail
  // address, when the change has come back to REST. False when the change could not
  // start (not at rest); `on_complete` is then never called.
  virtual bool ApplyPsfChange(PsfChange change, std::function<void(uint64_t)> on_complete) = 0;

  // The address past the last record of the log.
  virtual uint64_t TailAddress() const = 0;

  // Durability. Engines without checkpoints refuse with Aborted.
  //
  // Start an index checkpoint or a fold-over log checkpoint and return its token in
  // `token`. Aborted, changing nothing, while another action runs; IOError when the
  // checkpoint's directory cannot be made. Once started, `done` runs exactly once, on
  // whichever thread ends the checkpoint, with Ok or IOError; `per_session` runs for
  // every session that took part, with its persisted serial number and version. Both
  // require a session; drive them with CompleteAction.
  using CheckpointDone = std::function<void(psfstore::core::Status)>;
  using SessionPersisted = std::function<void(psfstore::core::Status, uint64_t serial_number, uint32_t version)>;
  virtual psfstore::core::Status CheckpointIndex(psfstore::core::Guid& token, CheckpointDone done) {
    (void)token, (void)done;
    return psfstore::core::Status::Aborted;
  }
  virtual psfstore::core::Status CheckpointLog(psfstore::core::Guid& token, SessionPersisted per_session,
                                               CheckpointDone done) {
    (void)token, (void)per_session, (void)done;
    return psfstore::core::Status::Aborted;
  }
  // Recovers a fresh engine from two checkpoints, from a thread without a session.
  // On failure the engine is as fresh as before and the status says why.
  virtual psfstore::core::Status Recover(const psfstore::core::Guid& index_token,
                                         const psfstore::core::Guid& log_token, RecoveredState& state) {
    (void)index_token, (void)log_token, (void)state;
    return {psfstore::core::Status::Aborted, "this engine keeps no checkpoints"};
  }

  // Queries ------------------------------------------------------------------------------
  // An engine that keeps no readable log (test doubles) need not override these: they
  // throw std::logic_error.

  // Runs a chain or full scan for the calling thread's session to its end, reading from
  // disk what is no longer in memory. Bounds are inclusive 48-bit record addresses. Ok,
  // or the status that ended the scan early; the matches found are in the scanner.
  virtual psfstore::core::Status ChainScan(psfstore::core::BasicScanner& scanner, uint64_t start, uint64_t end) {
    (void)scanner, (void)start, (void)end;
    throw std::logic_error("This engine answers no queries");
  }
  virtual psfstore::core::Status FullScan(psfstore::core::BasicFullScanner& scanner, uint64_t start, uint64_t end) {
    (void)scanner, (void)start, (void)end;
    throw std::logic_error("This engine answers no queries");
  }
  // The payloads of records by address for the calling thread's session, which must
  // stay open while the source is used. Records below the head come from the log file;
  // reading in ascending address order reads each disk block once.
  virtual std::unique_ptr<recorder::data::RecordPayloadSource> OpenPayloadSource() {
    throw std::logic_error("This engine answers no queries");
  }

  // What reading below the head has cost since the engine started: reads issued to the
  // log file and their bytes, and lookups the read cache answered or not. Any thread.
  struct ReadStatistics {
    uint64_t device_reads = 0;
    uint64_t device_read_bytes = 0;
    uint64_t cache_hits = 0;
    uint64_t cache_misses = 0;
  };
  virtual ReadStatistics GetReadStatistics() { return {}; }
};

// Closes the calling thread's session when the scope that opened it ends, also when it
// ends by an exception.
class SessionScope {
 public:
  explicit SessionScope(RecordEngine& engine) : engine_{engine} {}
  ~SessionScope() { engine_.StopSession(); }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

 private:
  RecordEngine& engine_;
};

}  // namespace server
}  // namespace quillmark
