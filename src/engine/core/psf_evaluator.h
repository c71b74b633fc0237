// PsfEvaluator: evaluates the predicates of one configuration on one parsed record.
//
// Each inserting thread keeps one evaluator next to its parser. The parser must have
// been built from the configuration's parse fields, so that a FieldRef's index j names
// parse field j. The field table and the argument list are kept between records and
// batches: in steady state an evaluation allocates nothing.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/core/psf_registry.h"
#include "json/simdjson_adapter.h"
#include "values/generic_value.h"

namespace psfstore {
namespace core {

class PsfEvaluator {
 public:

  // Calls general(psf id, value) for every general predicate of `configuration`, in set
  // order, that yields a non-Empty value for `record` (a sink that also takes a
  // const FieldRef* is given the field a projection's value came from, else nullptr),
  // then inline(psf id, value) for every inline predicate that yields one. A predicate
  // yields nothing when one of its fields is missing. A projection of an object, an
  // array or null throws std::logic_error "The field does not contain a scalar type"; a
  // predicate whose library function was never resolved throws std::runtime_error.
  template <class GeneralSink, class InlineSink>
  void Evaluate(const PsfRegistry& registry, const PsfConfiguration& configuration,
                const adapter::ParsedRecord& record, GeneralSink&& general, InlineSink&& inline_sink) {
    // Unset the previous record's fields: only those, not the whole table.
    for (uint16_t id : fields_set_) field_by_id_[id] = nullptr;
    fields_set_.clear();
    for (const adapter::FieldRef& field : record.fields) {
      uint16_t id = configuration.parse_field_ids[field.index];
      if (id >= field_by_id_.size()) field_by_id_.resize(size_t{id} + 1, nullptr);
      if (field_by_id_[id] != nullptr) continue;  // the first field of an id wins
      field_by_id_[id] = &field;
      fields_set_.push_back(id);
    }
    for (uint16_t id : configuration.general_set) {
      const GeneralPsf& psf = registry.general_psf(id);
      if (!GatherArguments(psf.fields)) continue;
      recorder::data::GenericValue value;
      const adapter::FieldRef* source = nullptr;
      if (psf.is_projection()) {
        source = &arguments_.front();
        if (source->value_error != recorder::data::JsonValueError::None) {
          recorder::data::GenericValue::ThrowJsonValueError(source->value_error);
        }
        value = source->value;
      } else {
        if (psf.evaluate == nullptr) ThrowUnresolved(psf.function_name);
        value = psf.evaluate(arguments_);
      }
      if (value.is_empty()) continue;
      if constexpr (std::is_invocable_v<GeneralSink, uint16_t, const recorder::data::GenericValue&,
                                        const adapter::FieldRef*>) {
        general(id, value, source);
      } else {
        general(id, value);
      }
    }
    for (uint32_t id : configuration.inline_set) {
      const InlinePsf& psf = registry.inline_psf(id);
      if (!GatherArguments(psf.fields)) continue;
      if (psf.evaluate == nullptr) ThrowUnresolved(psf.function_name);
      NullableUint32 result = psf.evaluate(arguments_);
      if (!result.is_null) inline_sink(id, result.value);
    }
  }

 private:
  // Fills the argument list with the record's field of each field id; false when one
  // is missing.
  bool GatherArguments(const std::vector<uint16_t>& fields) {
    arguments_.clear();
    for (uint16_t field : fields) {
      const adapter::FieldRef* found = field < field_by_id_.size() ? field_by_id_[field] : nullptr;
      if (found == nullptr) return false;
      arguments_.push_back(*found);
    }
    return true;
  }

  [[noreturn]] static void ThrowUnresolved(const std::string& function_name) {
    throw std::runtime_error("predicate function \"" + function_name + "\" is not loaded");
  }

  // The current record's field of each field id (nullptr: none), indexed by id, and the
  // ids set in it. Ids are small and dense, so a table beats a hash map here.
  std::vector<const adapter::FieldRef*> field_by_id_;
  std::vector<uint16_t> fields_set_;
  std::vector<adapter::FieldRef> arguments_;
};

}  // namespace core
}  // namespace psfstore
