#include "server/interim_engine.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "engine/core/simdjson_adapter.h"

namespace quillmark {
namespace server {

using psfstore::core::Action;
using psfstore::core::Phase;
using psfstore::core::SystemState;

namespace {

std::atomic<uint64_t> next_instance{1};

// One parser per thread, rebuilt when the thread meets another engine or another
// active predicate set.
struct ThreadParser {
  uint64_t instance = 0;
  uint64_t version = 0;
  std::unique_ptr<psfstore::adapter::SIMDJsonAdapter> adapter;
};
thread_local ThreadParser thread_parser;

uint64_t RoundUp8(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

}  // namespace

InterimEngine::InterimEngine(uint64_t log_size)
    : instance_{next_instance.fetch_add(1)}, state_{SystemState::Initial().control()} {
  if (log_size % kPageSize != 0) throw std::invalid_argument("Log size must be a multiple of 32 MB");
  if (log_size / kPageSize < 6) throw std::invalid_argument("Must have at least 2 non-head pages");
}

std::optional<psfstore::core::Guid> InterimEngine::TryStartSession() {
  // Announce the session first, then look at the state: a change that moved away from
  // REST before our test is seen here, and one that moves after it sees our session.
  open_sessions_.fetch_add(1);
  if (!SystemState::FromControl(state_.load()).IsRest()) {
    open_sessions_.fetch_sub(1);
    return std::nullopt;
  }
  return psfstore::core::Guid::Create();
}

void InterimEngine::StopSession() { open_sessions_.fetch_sub(1); }

uint32_t InterimEngine::BatchInsert(psfstore::core::PaddedView batch, uint64_t /*serial_number*/) {
  std::vector<std::string> fields;
  uint64_t version;
  {
    std::shared_lock lock{psf_mutex_};
    version = active_.version;
    if (thread_parser.instance != instance_ || thread_parser.version != version) fields = active_.fields;
  }
  if (thread_parser.instance != instance_ || thread_parser.version != version || !thread_parser.adapter) {
    thread_parser.adapter = std::make_unique<psfstore::adapter::SIMDJsonAdapter>(std::move(fields));
    thread_parser.instance = instance_;
    thread_parser.version = version;
  }
  auto& adapter = *thread_parser.adapter;
  if (adapter.Load(batch) != psfstore::core::Status::Ok) {
    throw std::invalid_argument(adapter.fault().Describe());
  }
  // Size every record before reserving anything, so a refused record leaves no trace.
  uint64_t total = 0;
  for (size_t i = 0; i < adapter.record_count(); ++i) {
    auto record = adapter.record(i);
    uint64_t size = kRecordHeaderSize + record.payload.size();
    for (const auto& field : record.fields) {
      if (field.value_error != recorder::data::JsonValueError::None) {
        throw std::logic_error("The field does not contain a scalar type");
      }
      size += kKeyPointerSize + field.token.size();
    }
    total += RoundUp8(size);
  }
  tail_.fetch_add(total);
  records_.fetch_add(adapter.record_count());
  return static_cast<uint32_t>(adapter.record_count());
}

void InterimEngine::CompleteAction() {
  auto state = SystemState::FromControl(state_.load());
  if (state.action != Action::ChangePsfSet) return;
  // The driver of the change (the only thread that holds a session while it is
  // pending and calls this) waits for sessions opened before the change to close.
  while (open_sessions_.load() > 1) std::this_thread::yield();
  std::function<void(uint64_t)> callback;
  {
    std::unique_lock lock{psf_mutex_};
    psf_active_[pending_change_.id] = pending_change_.kind == PsfChangeKind::AddGeneral;
    active_.fields.clear();
    for (size_t id = 0; id < psf_fields_.size(); ++id) {
      if (psf_active_[id]) active_.fields.push_back(psf_fields_[id]);
    }
    ++active_.version;
    callback = std::move(pending_callback_);
    pending_callback_ = nullptr;
  }
  uint64_t tail = tail_.load();
  state_.store(SystemState{Action::None, Phase::REST, state.version}.control());
  if (callback) callback(tail);
}

Phase InterimEngine::phase() const { return SystemState::FromControl(state_.load()).phase; }

uint16_t InterimEngine::RegisterProjection(std::string_view name) {
  std::unique_lock lock{psf_mutex_};
  if (psf_fields_.size() >= kMaxGeneralPsfs) {
    std::fputs("Maximum # general PSF exceeded...\n", stdout);
    return kNoPsf;
  }
  psf_fields_.emplace_back(name);
  psf_active_.push_back(false);
  return static_cast<uint16_t>(psf_fields_.size() - 1);
}

bool InterimEngine::ApplyPsfChange(PsfChange change, std::function<void(uint64_t)> on_complete) {
  {
    std::shared_lock lock{psf_mutex_};
    if (change.id >= psf_fields_.size()) throw std::invalid_argument("Unknown predicate id");
  }
  auto rest = SystemState::FromControl(state_.load());
  if (!rest.IsRest()) return false;
  SystemState pending{Action::ChangePsfSet, Phase::PS_PENDING, rest.version};
  uint64_t expected = rest.control();
  {
    std::unique_lock lock{psf_mutex_};
    if (!state_.compare_exchange_strong(expected, pending.control())) return false;
    pending_change_ = change;
    pending_callback_ = std::move(on_complete);
  }
  return true;
}

}  // namespace server
}  // namespace quillmark
