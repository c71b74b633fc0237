// Comparator: the operand list of one query and the comparison operations over it.
//
// A query converts its operands once, picks the operation from the operation table
// and binds it to its Comparator; the scan then calls the bound function once per
// candidate record value.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "values/generic_value.h"

namespace recorder {
namespace operations {

// Codes shared with Python's ScanOperation enumeration.
enum class ScanOperation : uint8_t {
  EQ = 0,
  NE = 1,
  LT = 2,
  LE = 3,
  GT = 4,
  GE = 5,
  IN = 6,
  NI = 7,
  DEF = 8,  // named only: the operation table has no entry, binding it fails
  BTW = 9,  // named only: the operation table has no entry, binding it fails
};

// Name of an operation ("EQ" ... "BTW"), for messages; "?" for other codes.
const char* ScanOperationName(ScanOperation operation);

class Comparator {
 public:
  using Predicate = std::function<bool(const data::GenericValue&)>;
  using Operation = bool (Comparator::*)(const data::GenericValue&) const;

  // Takes the query's operands and converts them, in order. String operands are viewed
  // in place, so the Comparator keeps the operand list for as long as it lives and is
  // neither copied nor moved (bound predicates hold its address).
  explicit Comparator(std::vector<data::Operand> operands);
  Comparator(const Comparator&) = delete;
  Comparator& operator=(const Comparator&) = delete;

  const std::vector<data::GenericValue>& operands() const { return values_; }

  // One function per operation; `value` is the record's value, `a` below operand 0.
  bool Equal(const data::GenericValue& value) const;           // equal(value, a)
  bool NotEqual(const data::GenericValue& value) const;        // !equal(value, a)
  bool Less(const data::GenericValue& value) const;            // less(value, a)
  bool LessOrEqual(const data::GenericValue& value) const;     // less || equal
  bool Greater(const data::GenericValue& value) const;         // !(less || equal)
  bool GreaterOrEqual(const data::GenericValue& value) const;  // !less
  bool In(const data::GenericValue& value) const;              // equal to some operand
  bool NotIn(const data::GenericValue& value) const;           // equal to no operand

  // The process-wide table: codes EQ..NI to their member functions, nothing else.
  static const std::map<uint8_t, Operation>& OperationTable();

  // Looks the operation up and binds it to `comparator`, which must outlive the result.
  // Throws std::out_of_range "invalid map<K, T> key" for DEF, BTW and unknown codes, and
  // std::invalid_argument when EQ..GE are given no operand. Both happen before any
  // record is read.
  static Predicate Bind(ScanOperation operation, const Comparator& comparator);

 private:
  const data::GenericValue& first() const { return values_.front(); }

  const std::vector<data::Operand> operands_;
  std::vector<data::GenericValue> values_;
};

}  // namespace operations
}  // namespace recorder
