// 64-bit hashes of predicate keys.
//
// Bits 0-47 choose the hash bucket, bits 48-61 are the 14-bit tag kept in the hash
// entry. Inserts, queries and recovery all hash keys with these two functions, so a
// key pointer's hash can always be recomputed from the record that holds it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace psfstore {
namespace core {

// base^k (mod 2^64).
constexpr uint64_t PowerOf(uint64_t base, int k) { return k == 0 ? 1 : base * PowerOf(base, k - 1); }

class KeyHash {
 public:
  static constexpr uint64_t kMultiplier = 40343;
  static constexpr uint32_t kTagBits = 14;
  static constexpr uint64_t kTagMask = (uint64_t{1} << kTagBits) - 1;

  constexpr KeyHash() : control_{0} {}
  constexpr explicit KeyHash(uint64_t control) : control_{control} {}

  // Hash of a general-predicate key: the predicate id and the value's bytes.
  static KeyHash OfGeneralKey(uint32_t predicate_id, const void* bytes, size_t length) {
    const auto* data = static_cast<const int8_t*>(bytes);
    // Bytes count as signed: 0x80 contributes -128.
    auto byte = [data](size_t i) { return static_cast<uint64_t>(static_cast<int64_t>(data[i])); };
    uint64_t hash = length * kMultiplier + predicate_id;
    // hash * M^8 + b0 * M^7 + ... + b7 is eight steps of the byte loop below in one: the
    // products are independent, so the multiplier's latency is paid once per 8 bytes.
    constexpr uint64_t m = kMultiplier, m2 = PowerOf(m, 2), m3 = PowerOf(m, 3), m4 = PowerOf(m, 4),
                       m5 = PowerOf(m, 5), m6 = PowerOf(m, 6), m7 = PowerOf(m, 7), m8 = PowerOf(m, 8);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
      hash = hash * m8 + byte(i) * m7 + byte(i + 1) * m6 + byte(i + 2) * m5 + byte(i + 3) * m4 + byte(i + 4) * m3 +
             byte(i + 5) * m2 + byte(i + 6) * m + byte(i + 7);
    }
    for (; i < length; ++i) hash = hash * kMultiplier + byte(i);
    return KeyHash{RotateRight(hash * kMultiplier, 6)};
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

  uint64_t control_;
};

}  // namespace core
}  // namespace psfstore
