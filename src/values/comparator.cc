#include "values/comparator.h"

#include <stdexcept>
#include <string>

namespace recorder {
namespace operations {

using data::GenericValue;

const char* ScanOperationName(ScanOperation operation) {
  static constexpr const char* kNames[] = {"EQ", "NE", "LT", "LE", "GT",
                                           "GE", "IN", "NI", "DEF", "BTW"};
  const auto code = static_cast<uint8_t>(operation);
  return code < std::size(kNames) ? kNames[code] : "?";
}

Comparator::Comparator(std::vector<data::Operand> operands) : operands_(std::move(operands)) {
  values_.reserve(operands_.size());
  for (const data::Operand& operand : operands_) values_.push_back(GenericValue::FromOperand(operand));
}

bool Comparator::Equal(const GenericValue& value) const { return data::equal(value, first()); }

bool Comparator::NotEqual(const GenericValue& value) const { return !data::equal(value, first()); }

bool Comparator::Less(const GenericValue& value) const { return data::less(value, first()); }

bool Comparator::LessOrEqual(const GenericValue& value) const {
  return data::less(value, first()) || data::equal(value, first());
}

// Deliberately the negation of LE rather than a "greater" test: across types, with a
// NaN or with Empty, GT and GE hold while LT, LE and EQ do not.
bool Comparator::Greater(const GenericValue& value) const { return !LessOrEqual(value); }

bool Comparator::GreaterOrEqual(const GenericValue& value) const { return !data::less(value, first()); }

bool Comparator::In(const GenericValue& value) const {
  for (const GenericValue& operand : values_) {
    if (data::equal(operand, value)) return true;
  }
  return false;
}

bool Comparator::NotIn(const GenericValue& value) const { return !In(value); }

const std::map<uint8_t, Comparator::Operation>& Comparator::OperationTable() {
  static const std::map<uint8_t, Operation> table = {
      {uint8_t(ScanOperation::EQ), &Comparator::Equal},
      {uint8_t(ScanOperation::NE), &Comparator::NotEqual},
      {uint8_t(ScanOperation::LT), &Comparator::Less},
      {uint8_t(ScanOperation::LE), &Comparator::LessOrEqual},
      {uint8_t(ScanOperation::GT), &Comparator::Greater},
      {uint8_t(ScanOperation::GE), &Comparator::GreaterOrEqual},
      {uint8_t(ScanOperation::IN), &Comparator::In},
      {uint8_t(ScanOperation::NI), &Comparator::NotIn},
  };
  return table;
}

Comparator::Predicate Comparator::Bind(ScanOperation operation, const Comparator& comparator) {
  const auto& table = OperationTable();
  const auto found = table.find(static_cast<uint8_t>(operation));
  // The text callers (and Python users) have always seen for an operation without entry.
  if (found == table.end()) throw std::out_of_range("invalid map<K, T> key");
  // EQ..GE read operand 0; refuse the query up front instead of reading past the list.
  if (comparator.values_.empty() && operation <= ScanOperation::GE) {
    throw std::invalid_argument(std::string("Operation ") + ScanOperationName(operation) +
                                " needs one operand, but the operand list is empty");
  }
  return std::bind_front(found->second, &comparator);
}

}  // namespace operations
}  // namespace recorder
