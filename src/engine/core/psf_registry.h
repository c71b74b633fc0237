// The predicate registry: field names and their 16-bit ids, the tables of general and
// inline predicates, and the two predicate configurations (the active one, which
// threads adopt when they refresh, and the other one, prepared during a change).
//
// Field names and predicate tables only grow; inserting threads read them without
// locks. Registration and configuration changes are rare and may be called from any
// thread; a change must be driven by one caller at a time (the engine's state word
// serialises them), and the inactive configuration is written only while no thread
// uses it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/core/append_only_vector.h"
#include "engine/core/predicate.h"

namespace psfstore {
namespace core {

class PsfRegistry {
 public:
  // General predicate ids must fit the 14-bit id field of a key pointer.
  static constexpr uint32_t kMaxGeneralPsfs = 0x4000;
  // RegisterProjection's answer when no predicate was added. Never a valid id.
  static constexpr uint16_t kNoPsf = 0xFFFF;
  // Field ids are 16 bits; 0xFFFF is never one.
  static constexpr uint32_t kMaxFields = 0xFFFF;

  PsfRegistry();
  PsfRegistry(const PsfRegistry&) = delete;
  PsfRegistry& operator=(const PsfRegistry&) = delete;

  // Registers a projection of the field named `field_name` (a JSON Pointer) and returns
  // its general predicate id. The field gets an id on first use; registering the same
  // field again makes another predicate over the same field id. When the general table
  // is full, prints "Maximum # general PSF exceeded...\n" on standard output, adds
  // nothing and returns kNoPsf.
  uint16_t RegisterProjection(std::string_view field_name);

  // Tables as restored from a naming checkpoint. AddField returns the existing id of a
  // known name. The Add functions throw std::length_error when the table is full and
  // std::invalid_argument when a predicate names an unknown field.
  uint16_t AddField(std::string_view field_name);
  uint16_t AddGeneralPsf(GeneralPsf psf);
  uint32_t AddInlinePsf(InlinePsf psf);
  void AddLibrary(std::string path);

  size_t field_count() const { return field_names_.size(); }
  const std::string& field_name(uint16_t id) const { return field_names_[id]; }
  std::optional<uint16_t> FindField(std::string_view field_name) const;
  size_t general_psf_count() const { return general_psfs_.size(); }
  const GeneralPsf& general_psf(uint16_t id) const { return general_psfs_[id]; }
  size_t inline_psf_count() const { return inline_psfs_.size(); }
  const InlinePsf& inline_psf(uint32_t id) const { return inline_psfs_[id]; }
  std::vector<std::string> libraries() const;

  // Configurations.
  uint8_t active_slot() const { return active_slot_.load(std::memory_order_acquire); }
  const PsfConfiguration& configuration(uint8_t slot) const { return configurations_[slot & 1]; }
  const PsfConfiguration& active_configuration() const { return configuration(active_slot()); }

  // Throws std::invalid_argument, naming the step, when a change list has an unknown
  // operation or adds a predicate that is not registered (such as kNoPsf). Removing an
  // id that is not in the set is allowed and changes nothing.
  void CheckChanges(std::span<const PsfChange> changes) const;

  // Applies `changes` in order to the sets of configuration `slot` and recomputes its
  // parse fields from the predicates left in it. Checks the list first; a refused list
  // changes nothing.
  void BuildConfiguration(uint8_t slot, std::span<const PsfChange> changes);

  // The two halves of a predicate set change, as the state machine runs them. Activate
  // builds the inactive slot (which equals the active one) with `changes` and makes it
  // active; returns the new active slot. Finish, once every thread has adopted the new
  // slot, applies the same list to the now inactive slot so that both agree again.
  // Activating again before the previous change finished throws std::logic_error.
  uint8_t ActivateChange(std::span<const PsfChange> changes);
  void FinishChange(std::span<const PsfChange> changes);

 private:
  uint16_t AddFieldLocked(std::string_view field_name);

  // Serialises writers of the tables and of the field id map; readers of the tables do
  // not take it.
  mutable std::mutex writer_mutex_;
  AppendOnlyVector<std::string> field_names_;
  std::unordered_map<std::string, uint16_t> field_ids_;
  AppendOnlyVector<GeneralPsf> general_psfs_;
  AppendOnlyVector<InlinePsf> inline_psfs_;
  std::vector<std::string> libraries_;

  PsfConfiguration configurations_[2];
  std::atomic<uint8_t> active_slot_{0};
  std::atomic<bool> change_in_progress_{false};
};

}  // namespace core
}  // namespace psfstore
