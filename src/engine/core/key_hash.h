// 64-bit hashes of predicate keys.
//
// Bits 0-47 choose the hash bucket, bits 48-61 are the 14-bit tag kept in the hash
// entry. Inserts, queries and recovery all hash keys with these two functions, so a
// key pointer's hash can always be recomputed from the record that holds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/value_polynomial.h"

namespace psfstore {
namespace core {

class KeyHash {
 public:
  static constexpr uint64_t kMultiplier = recorder::data::kValuePolynomialBase;
  static constexpr uint32_t kTagBits = 14;
  static constexpr uint64_t kTagMask = (uint64_t{1} << kTagBits) - 1;

  constexpr KeyHash() : control_{0} {}
  constexpr explicit KeyHash(uint64_t control) : control_{control} {}

  // Hash of a general-predicate key: the predicate id and the value's bytes.
  static KeyHash OfGeneralKey(uint32_t predicate_id, const void* bytes, size_t length) {
    return Finish(recorder::data::ContinueValuePolynomial(length * kMultiplier + predicate_id, bytes, length));
  }

  // The same hash from the bytes' polynomial (ContinueValuePolynomial from 0), made
  // while the bytes were at hand.
  static KeyHash OfGeneralKeyPolynomial(uint32_t predicate_id, size_t length, uint64_t polynomial) {
    return Finish((length * kMultiplier + predicate_id) * recorder::data::ValuePolynomialShift(length) + polynomial);
  }

  // Hash of an inline-predicate key: the predicate id and its 32-bit value.
  static constexpr KeyHash OfInlineKey(uint32_t predicate_id, uint32_t value) {
    uint64_t key = (uint64_t{predicate_id} << 32) + value;
    uint64_t hash = 8;
    for (int lane = 0; lane < 4; ++lane) {
      hash = hash * kMultiplier + ((key >> (16 * lane)) & 0xFFFF);
    }
    return KeyHash{RotateRight(hash * kMultiplier, 43)};
  }

  constexpr uint64_t control() const { return control_; }
  // Index of the bucket in a table of `table_size` buckets (a power of two).
  constexpr uint64_t BucketIndex(uint64_t table_size) const {
    return (control_ & 0xFFFFFFFFFFFFull) & (table_size - 1);
  }
  constexpr uint16_t tag() const { return static_cast<uint16_t>((control_ >> 48) & kTagMask); }

  constexpr bool operator==(KeyHash other) const { return control_ == other.control_; }
  constexpr bool operator!=(KeyHash other) const { return control_ != other.control_; }

 private:
  static constexpr uint64_t RotateRight(uint64_t value, unsigned bits) {
    return (value >> bits) | (value << (64 - bits));
  }

  static KeyHash Finish(uint64_t hash) { return KeyHash{RotateRight(hash * kMultiplier, 6)}; }

  uint64_t control_;
};

}  // namespace core
}  // namespace psfstore
