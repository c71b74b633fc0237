// JSONStore snapshots and recovery.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <spdlog/spdlog.h>
#include <spdlog/stopwatch.h>

#include "engine/core/address.h"
#include "server/engine_errors.h"
#include "server/json_store.h"

namespace quillmark {
namespace server {

using psfstore::core::Guid;
using psfstore::core::Status;

namespace {


// The engine ends a checkpoint on whichever thread completes its last phase, possibly
// a write worker, and calls the callbacks there just after the state is back at rest.
// A started checkpoint always ends, so this long bound only guards against a hang: a
// log checkpoint still waiting for its flush then is given up and reports failure.
constexpr auto kCheckpointEndWait = std::chrono::seconds{60};

// The end of one checkpoint as its callbacks report it. Shared with the callbacks so
// that a late call from another thread never writes into a finished snapshot.
struct CheckpointEnd {
  std::mutex mutex;
  std::condition_variable ended_signal;
  bool ended = false;
  Status status = Status::Ok;
  // What the snapshot's own session persisted.
  std::thread::id owner = std::this_thread::get_id();
  uint64_t serial_number = 0;
  uint32_t version = 0;

  void End(Status outcome) {
    std::lock_guard lock{mutex};
    ended = true;
    status = outcome;
    ended_signal.notify_all();
  }
  void SessionPersisted(Status outcome, uint64_t serial, uint32_t session_version) {
    if (std::this_thread::get_id() != owner) return;
    std::lock_guard lock{mutex};
    serial_number = serial;
    version = session_version;
    if (outcome != Status::Ok) status = outcome;
  }
  Status Wait(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock{mutex};
    if (!ended_signal.wait_until(lock, deadline, [this] { return ended; })) {
      spdlog::error("A checkpoint did not report its end within {} s", kCheckpointEndWait.count());
      return Status::Aborted;
    }
    return status;
  }
};

// Runs a checkpoint that `start` begins: a checkpoint that starts is driven to its end
// and reports how it ended; one that cannot start reports why, with no token.
template <typename Start>
JSONStore::CheckpointOutcome RunCheckpoint(RecordEngine& engine, CheckpointEnd& end, Start start) {
  JSONStore::CheckpointOutcome outcome;
  Guid token;
  Status started = start(token);
  if (started != Status::Ok) {
    outcome.status = started;
    return outcome;
  }
  // One bound for the whole checkpoint: driving it to rest (where a log checkpoint
  // waits for its flush) and hearing its end.
  auto deadline = std::chrono::steady_clock::now() + kCheckpointEndWait;
  if (!engine.CompleteActionBy(deadline)) {
    spdlog::error("A checkpoint still waited for the log to be written after {} s; it was given up",
                  kCheckpointEndWait.count());
  }
  outcome.status = end.Wait(std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds{1}));
  outcome.token = token;
  return outcome;
}

std::string TokenText(const std::optional<Guid>& token) { return token ? token->ToString() : "(none)"; }

Guid ParseToken(std::string_view text, const char* which) {
  std::optional<Guid> token = Guid::Parse(text);
  if (!token) {
    throw std::invalid_argument(std::string{"The "} + which + " token is not a UUID: \"" + std::string{text} + "\"");
  }
  return *token;
}

}  // namespace

JSONStore::SnapshotOutcome JSONStore::Snapshot() {
  SnapshotOutcome result;
  if (counters_.bytes.load() == 0) return result;
  result.has_data = true;
  ThrowIfFailed(engine_->TryStartSession(nullptr), "Unable to start a session");
  SessionScope session{*engine_};

  spdlog::stopwatch stopwatch;
  spdlog::debug("Checkpoint Index started...");
  auto index_end = std::make_shared<CheckpointEnd>();
  result.index = RunCheckpoint(*engine_, *index_end, [&](Guid& token) {
    return engine_->CheckpointIndex(token, [index_end](Status status) { index_end->End(status); });
  });
  spdlog::debug("Checkpoint Index {} in {}", TokenText(result.index.token), stopwatch);

  stopwatch.reset();
  spdlog::debug("Checkpoint Log started...");
  auto log_end = std::make_shared<CheckpointEnd>();
  result.log = RunCheckpoint(*engine_, *log_end, [&](Guid& token) {
    return engine_->CheckpointLog(
        token,
        [log_end](Status status, uint64_t serial, uint32_t version) {
          log_end->SessionPersisted(status, serial, version);
        },
        [log_end](Status status) { log_end->End(status); });
  });
  if (result.log.token) {
    std::lock_guard lock{log_end->mutex};
    result.serial_number = log_end->serial_number;
    result.version = log_end->version;
  }
  spdlog::debug("Checkpoint Log {} in {}", TokenText(result.log.token), stopwatch);
  if (result.index.status != Status::Ok || result.log.status != Status::Ok) {
    spdlog::warn("Snapshot incomplete: index {}, log {}", result.index.status.ToString(),
                 result.log.status.ToString());
  }
  return result;
}

std::pair<uint32_t, uint64_t> JSONStore::Recover(std::string_view index_token, std::string_view log_token,
                                                 std::optional<uint64_t> workers,
                                                 const std::function<void()>& pause) {
  if (IsRunning()) throw std::runtime_error("The server is already running");
  Guid index_guid = ParseToken(index_token, "index");
  Guid log_guid = ParseToken(log_token, "log");
  if (workers && *workers > IngestionService::kMaxWorkers) {
    throw std::invalid_argument("Too many write threads: " + std::to_string(*workers) + " (at most " +
                                std::to_string(IngestionService::kMaxWorkers) + ")");
  }
  // Replaying a checkpoint into a store that holds records or predicates of its own
  // would mix two logs: refuse before the engine is touched.
  if (EndAddress() != psfstore::core::Address::kFirstValidAddress || !GetAllProjections().empty()) {
    throw std::runtime_error(
        "Unable to recover: the store has already ingested records or created projections; "
        "recover into a new JSONStore over the checkpoint's directory");
  }
  spdlog::debug("Trying to recover from snapshot...");
  std::lock_guard change{projection_change_mutex_};
  RecoveredState state;
  Status status = engine_->Recover(index_guid, log_guid, state);
  if (status != Status::Ok) {
    spdlog::warn("Recovery from index {} and log {} failed: {}", index_guid.ToString(), log_guid.ToString(),
                 status.ToString());
    throw std::runtime_error("Unable to recover: " + status.ToString());
  }
  {
    // The recovered predicates already index every record: serve them as projections,
    // so that queries use their chains and `Projection` does not register them again.
    std::lock_guard lock{projections_mutex_};
    projections_.clear();
    for (const auto& [name, id] : state.projections) {
      auto active_from = state.active_from.find(name);
      projections_.emplace(name, ProjectionEntry{id, active_from != state.active_from.end() ? active_from->second
                                                                                          : EndAddress()});
    }
  }
  // Reset before the workers start: what they ingest from then on must count, or a
  // snapshot would find "nothing ingested" and take no checkpoint of it.
  counters_.bytes.store(0);
  counters_.records.store(0);
  uint64_t started = workers.value_or(state.session_count);
  service_->Start(listen_host_, port_, started);
  pause();
  return {state.version, started};
}

}  // namespace server
}  // namespace quillmark
