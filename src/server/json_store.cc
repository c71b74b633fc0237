#include "server/json_store.h"

#include <filesystem>
#include <stdexcept>

#include <spdlog/spdlog.h>
#include <spdlog/stopwatch.h>

#include "base/padded_buffer.h"
#include "server/engine_errors.h"
#include "server/psf_store_engine.h"
#include "values/field_paths.h"

namespace quillmark {
namespace server {

namespace {


// Refuses what no store could use, before anything is created: a path with a NUL
// character (the system would cut it there and use another directory) and a port
// beyond the TCP range (the service could never bind it).
void CheckConstructorArguments(const std::string& path, uint32_t port) {
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("The store path contains a NUL character");
  }
  if (port > 65535) throw std::invalid_argument("The port must be at most 65535, got " + std::to_string(port));
}

void CreateStoreDirectory(const std::string& path) {
  // Only the directory itself: a missing parent is an error, not something to create.
  std::filesystem::path directory{path};
  std::error_code error;
  std::filesystem::create_directory(directory, error);
  if (error) throw std::filesystem::filesystem_error("create_directory", directory, error);
}

}  // namespace

JSONStore::JSONStore(uint64_t log_size, const std::string& path, uint32_t port)
    : JSONStore(nullptr, path, port, RestWait{}) {
  engine_ = std::make_unique<PsfStoreEngine>(log_size, path);
  service_ = std::make_unique<IngestionService>(context_, *engine_, counters_);
}

JSONStore::JSONStore(std::unique_ptr<RecordEngine> engine, const std::string& path, uint32_t port,
                     RestWait rest_wait)
    : context_{}, port_{port} {
  CheckConstructorArguments(path, port);
  context_.set(zmq::ctxopt::io_threads, 1);
  context_.set(zmq::ctxopt::max_sockets, 1023);
  CreateStoreDirectory(path);
  if (!directory_lock_.TryLock((std::filesystem::path{path} / kLockFileName).string())) {
    throw std::runtime_error(kDirectoryInUse);
  }
  if (engine) {
    engine_ = std::move(engine);
    service_ = std::make_unique<IngestionService>(context_, *engine_, counters_, rest_wait);
  }
}

JSONStore::~JSONStore() {
  service_.reset();  // stops the service and closes the control publishers
  zap_handler_.reset();
  projections_.clear();
  context_.close();  // waits until every socket is closed
}

void JSONStore::Run(uint64_t workers, const std::function<void()>& pause) {
  service_->Start(listen_host_, port_, workers);
  pause();
  spdlog::info("Service started with {} write threads", workers);
}

void JSONStore::SetListenAddress(std::string host) {
  if (host.find('\0') != std::string::npos) throw std::invalid_argument("The listen address contains a NUL character");
  listen_host_ = std::move(host);
}

void JSONStore::SetMaxMessageSize(int64_t bytes) {
  if (bytes < -1) throw std::invalid_argument("The maximum message size must be -1 (any) or a number of bytes");
  front_options_.max_message_size = bytes;
  service_->SetFrontOptions(front_options_);
}

void JSONStore::EnableCurve(const std::string& server_secret_key, const std::vector<std::string>& admitted_client_keys) {
  std::string secret = DecodeCurveKey(server_secret_key);
  std::vector<std::string> admitted;
  for (const auto& key : admitted_client_keys) admitted.push_back(DecodeCurveKey(key));
  // The handler answers before the front socket can take its first handshake.
  if (zap_handler_) {
    zap_handler_->SetAdmittedKeys(std::move(admitted));
  } else {
    zap_handler_ = std::make_unique<ZapHandler>(context_, std::move(admitted));
  }
  front_options_.curve_secret_key = std::move(secret);
  front_options_.zap_domain = "quillmark";
  front_options_.prepare = [handler = zap_handler_.get()](zmq::socket_t& front) { handler->WatchHandshakes(front); };
  service_->SetFrontOptions(front_options_);
}

std::pair<uint64_t, uint64_t> JSONStore::Stats() const {
  uint64_t bytes = counters_.bytes.load();
  uint64_t records = counters_.records.load();
  spdlog::info("Service stats: {} bytes ingested and {} messages processed", bytes, records);
  return {bytes, records};
}

uint64_t JSONStore::Save(std::string_view data, const std::function<void()>& pause) {
  if (ingestion_locked_.load()) {
    spdlog::info("Ingestion of data is not allowed in Recovery mode");
    return 0;
  }
  spdlog::stopwatch stopwatch;
  const uint64_t count = Insert(data);
  spdlog::info("Direct save operation: {} bytes and {} records in {}", data.size(), count, stopwatch);
  pause();
  return count;
}

uint64_t JSONStore::Load(std::string_view data) {
  if (ingestion_locked_.load()) return 0;
  return Insert(data);
}

uint64_t JSONStore::Insert(std::string_view data) {
  // The parser reads past the text's end: text whose last page holds that padding is
  // read in place (nearly every batch), other text is copied into padded memory. The
  // calling thread keeps that memory between calls: a fresh buffer per batch would cost
  // an allocation and a page fault per 4 KiB. A copy larger than kKeptCopyBytes is let
  // go after the call, so one huge batch does not hold its memory for good.
  constexpr size_t kKeptCopyBytes = size_t{64} << 20;
  thread_local psfstore::core::PaddedBuffer buffer;
  struct ReleaseLargeCopy {
    ~ReleaseLargeCopy() {
      if (buffer.capacity() > kKeptCopyBytes) buffer = psfstore::core::PaddedBuffer{};
    }
  } release_large_copy;
  const psfstore::core::PaddedView text = buffer.InPlaceOrCopy(data);
  ThrowIfFailed(engine_->TryStartSession(nullptr), "Unable to start a session");
  SessionScope session{*engine_};
  const uint32_t count = engine_->BatchInsert(text, 1);
  counters_.bytes.fetch_add(data.size());
  counters_.records.fetch_add(count);
  engine_->CompleteAction();
  return count;
}

uint64_t JSONStore::Projection(const std::string& name) {
  if (name.empty()) {
    // The empty field name selects each whole document, never a scalar: every later
    // insert of an object or array would be refused.
    throw std::invalid_argument("A projection needs a field name such as \"/a\"; the empty name selects whole documents");
  }
  // A name no record can hold would take a predicate slot for good and index nothing; a
  // line break would also make every later snapshot unable to write its naming file.
  if (std::string fault = recorder::data::JsonPointerFault(name); !fault.empty()) {
    throw std::invalid_argument("Unable to create projection " + recorder::data::QuotedFieldPath(name) + ": " +
                                fault);
  }
  std::lock_guard change{projection_change_mutex_};
  {
    std::lock_guard lock{projections_mutex_};
    if (auto it = projections_.find(name); it != projections_.end()) return it->second.active_from;
  }
  spdlog::stopwatch stopwatch;
  uint16_t id = RecordEngine::kNoPsf;
  auto active_from = std::make_shared<std::atomic<uint64_t>>(kNoAddress);
  ChangeProjections(
      name,
      [&] {
        id = engine_->RegisterProjection(name);
        if (id == RecordEngine::kNoPsf) {
          throw std::runtime_error("Unable to create projection \"" + name + "\": the projection table is full");
        }
        return PsfChange{PsfChangeKind::AddGeneral, id};
      },
      [active_from](uint64_t address) { active_from->store(address); });
  spdlog::info("New projection \"{}\" with id {} ({})", name, id, stopwatch);
  uint64_t address = active_from->load();
  std::lock_guard lock{projections_mutex_};
  projections_.emplace(name, ProjectionEntry{id, address});
  return address;
}

void JSONStore::DeleteProjection(const std::string& name) {
  std::lock_guard change{projection_change_mutex_};
  uint16_t id;
  {
    std::lock_guard lock{projections_mutex_};
    auto it = projections_.find(name);
    if (it == projections_.end()) return;
    id = it->second.id;
  }
  ChangeProjections(name, [&] { return PsfChange{PsfChangeKind::RemoveGeneral, id}; }, nullptr);
  spdlog::info("Deleted projection \"{}\" with id {}", name, id);
  std::lock_guard lock{projections_mutex_};
  projections_.erase(name);
}

void JSONStore::ChangeProjections(const std::string& name, const std::function<PsfChange()>& make_change,
                                  std::function<void(uint64_t)> on_complete) {
  ThrowIfFailed(engine_->TryStartSession(nullptr), "Unable to start a session");
  SessionScope session{*engine_};
  if (!engine_->ApplyPsfChange(make_change(), std::move(on_complete))) {
    throw std::runtime_error("Unable to change projection \"" + name +
                             "\": a checkpoint or another projection change is running");
  }
  try {
    service_->Refresh();
  } catch (const std::exception& error) {
    // The change has started and must be completed; the word is only informative.
    spdlog::warn("Unable to tell the write threads about projection \"{}\": {}", name, error.what());
  }
  engine_->CompleteAction();
}

void JSONStore::DeleteAllProjections() {
  for (const auto& name : GetAllProjections()) DeleteProjection(name);
}

std::vector<std::string> JSONStore::GetAllProjections() const {
  std::lock_guard lock{projections_mutex_};
  std::vector<std::string> names;
  names.reserve(projections_.size());
  for (const auto& [name, entry] : projections_) names.push_back(name);
  return names;
}

bool JSONStore::ProjectionExists(const std::string& name) const { return FindProjection(name).has_value(); }

std::optional<uint16_t> JSONStore::FindProjection(const std::string& name) const {
  std::lock_guard lock{projections_mutex_};
  auto it = projections_.find(name);
  if (it == projections_.end()) return std::nullopt;
  return it->second.id;
}

}  // namespace server
}  // namespace quillmark
