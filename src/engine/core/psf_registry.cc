#include "engine/core/psf_registry.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace psfstore {
namespace core {

namespace {

// Sorted-vector set operations: the sets stay small and iterate in ascending order.
template <class T>
void InsertSorted(std::vector<T>& set, T id) {
  auto position = std::lower_bound(set.begin(), set.end(), id);
  if (position == set.end() || *position != id) set.insert(position, id);
}

template <class T>
void EraseSorted(std::vector<T>& set, T id) {
  auto position = std::lower_bound(set.begin(), set.end(), id);
  if (position != set.end() && *position == id) set.erase(position);
}

}  // namespace

PsfRegistry::PsfRegistry() = default;

std::optional<uint16_t> PsfRegistry::FindField(std::string_view field_name) const {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  auto found = field_ids_.find(std::string{field_name});
  if (found == field_ids_.end()) return std::nullopt;
  return found->second;
}

uint16_t PsfRegistry::AddFieldLocked(std::string_view field_name) {
  auto found = field_ids_.find(std::string{field_name});
  if (found != field_ids_.end()) return found->second;
  if (field_names_.size() >= kMaxFields) throw std::length_error("too many fields");
  auto id = static_cast<uint16_t>(field_names_.PushBack(std::string{field_name}));
  field_ids_.emplace(std::string{field_name}, id);
  return id;
}

uint16_t PsfRegistry::AddField(std::string_view field_name) {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  return AddFieldLocked(field_name);
}

uint16_t PsfRegistry::RegisterProjection(std::string_view field_name) {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  // Checked before the field is added, so that a refused registration adds nothing.
  if (general_psfs_.size() >= kMaxGeneralPsfs ||
      (field_ids_.find(std::string{field_name}) == field_ids_.end() && field_names_.size() >= kMaxFields)) {
    std::printf("Maximum # general PSF exceeded...\n");
    std::fflush(stdout);
    return kNoPsf;
  }
  uint16_t field_id = AddFieldLocked(field_name);
  return static_cast<uint16_t>(general_psfs_.PushBack(
      GeneralPsf{{field_id}, nullptr, kBuiltInLibrary, kProjectionFunctionName}));
}

uint16_t PsfRegistry::AddGeneralPsf(GeneralPsf psf) {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  if (general_psfs_.size() >= kMaxGeneralPsfs) throw std::length_error("general predicate table is full");
  for (uint16_t field : psf.fields) {
    if (field >= field_names_.size()) throw std::invalid_argument("predicate names unknown field id " + std::to_string(field));
  }
  return static_cast<uint16_t>(general_psfs_.PushBack(std::move(psf)));
}

uint32_t PsfRegistry::AddInlinePsf(InlinePsf psf) {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  for (uint16_t field : psf.fields) {
    if (field >= field_names_.size()) throw std::invalid_argument("predicate names unknown field id " + std::to_string(field));
  }
  return static_cast<uint32_t>(inline_psfs_.PushBack(std::move(psf)));
}

void PsfRegistry::AddLibrary(std::string path) {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  libraries_.push_back(std::move(path));
}

std::vector<std::string> PsfRegistry::libraries() const {
  std::lock_guard<std::mutex> guard{writer_mutex_};
  return libraries_;
}

void PsfRegistry::CheckChanges(std::span<const PsfChange> changes) const {
  for (size_t i = 0; i < changes.size(); ++i) {
    const PsfChange& change = changes[i];
    auto refuse = [&](const std::string& why) {
      throw std::invalid_argument("predicate change " + std::to_string(i) + ": " + why);
    };
    switch (change.operation) {
      case PsfChange::kAddGeneral:
        if (change.id > 0xFFFF || change.id >= general_psfs_.size()) {
          refuse("no general predicate with id " + std::to_string(change.id));
        }
        break;
      case PsfChange::kAddInline:
        if (change.id >= inline_psfs_.size()) refuse("no inline predicate with id " + std::to_string(change.id));
        break;
      case PsfChange::kRemoveGeneral:
        if (change.id > 0xFFFF) refuse("general predicate id " + std::to_string(change.id) + " is out of range");
        break;
      case PsfChange::kRemoveInline:
        break;
      default:
        refuse("unknown operation " + std::to_string(change.operation));
    }
  }
}

void PsfRegistry::BuildConfiguration(uint8_t slot, std::span<const PsfChange> changes) {
  CheckChanges(changes);
  PsfConfiguration& configuration = configurations_[slot & 1];
  for (const PsfChange& change : changes) {
    switch (change.operation) {
      case PsfChange::kAddInline:
        InsertSorted(configuration.inline_set, change.id);
        break;
      case PsfChange::kRemoveInline:
        EraseSorted(configuration.inline_set, change.id);
        break;
      case PsfChange::kAddGeneral:
        InsertSorted(configuration.general_set, static_cast<uint16_t>(change.id));
        break;
      case PsfChange::kRemoveGeneral:
        EraseSorted(configuration.general_set, static_cast<uint16_t>(change.id));
        break;
    }
  }
  std::vector<uint16_t> used_fields;
  for (uint32_t id : configuration.inline_set) {
    for (uint16_t field : inline_psfs_[id].fields) InsertSorted(used_fields, field);
  }
  for (uint16_t id : configuration.general_set) {
    for (uint16_t field : general_psfs_[id].fields) InsertSorted(used_fields, field);
  }
  configuration.parse_fields.clear();
  configuration.parse_field_ids.clear();
  for (uint16_t field : used_fields) {
    configuration.parse_fields.push_back(field_names_[field]);
    configuration.parse_field_ids.push_back(field);
  }
}

uint8_t PsfRegistry::ActivateChange(std::span<const PsfChange> changes) {
  if (change_in_progress_.load(std::memory_order_acquire)) {
    throw std::logic_error("a predicate change is already in progress");
  }
  uint8_t next = 1 - active_slot();
  BuildConfiguration(next, changes);
  change_in_progress_.store(true, std::memory_order_relaxed);
  active_slot_.store(next, std::memory_order_release);
  return next;
}

void PsfRegistry::FinishChange(std::span<const PsfChange> changes) {
  BuildConfiguration(1 - active_slot(), changes);
  change_in_progress_.store(false, std::memory_order_release);
}

}  // namespace core
}  // namespace psfstore
