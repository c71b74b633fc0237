// The polynomial over a value's bytes that projection keys hash (engine/core/key_hash.h).
//
// It lives below the engine so that the JSON pass can fold a string's bytes while they
// are in the caches, long before the batch is staged: a key's hash combines the value's
// polynomial with its predicate id and length (KeyHash::OfGeneralKeyPolynomial), the same
// number as hashing the bytes then.
#pragma once

#include <cstddef>
#include <cstdint>

namespace recorder {
namespace data {

inline constexpr uint64_t kValuePolynomialBase = 40343;

// base^k (mod 2^64).
constexpr uint64_t PowerOfBase(uint64_t base, int k) { return k == 0 ? 1 : base * PowerOfBase(base, k - 1); }

// hash * B^n + b0 * B^(n-1) + ... + b(n-1) (mod 2^64) for the n bytes at `bytes`, which
// count as signed: 0x80 contributes -128.
inline uint64_t ContinueValuePolynomial(uint64_t hash, const void* bytes, size_t length) {
  const auto* data = static_cast<const int8_t*>(bytes);
  auto byte = [data](size_t i) { return static_cast<uint64_t>(static_cast<int64_t>(data[i])); };
  // Eight steps of the byte loop below in one: the products are independent, so the
  // multiplier's latency is paid once per 8 bytes.
  constexpr uint64_t m = kValuePolynomialBase, m2 = PowerOfBase(m, 2), m3 = PowerOfBase(m, 3),
                     m4 = PowerOfBase(m, 4), m5 = PowerOfBase(m, 5), m6 = PowerOfBase(m, 6), m7 = PowerOfBase(m, 7),
                     m8 = PowerOfBase(m, 8);
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    hash = hash * m8 + byte(i) * m7 + byte(i + 1) * m6 + byte(i + 2) * m5 + byte(i + 3) * m4 + byte(i + 4) * m3 +
           byte(i + 5) * m2 + byte(i + 6) * m + byte(i + 7);
  }
  for (; i < length; ++i) hash = hash * m + byte(i);
  return hash;
}

// B^n (mod 2^64) by squaring.
inline uint64_t ValuePolynomialShift(size_t length) {
  uint64_t result = 1;
  uint64_t power = kValuePolynomialBase;
  for (; length != 0; length >>= 1) {
    if (length & 1) result *= power;
    power *= power;
  }
  return result;
}

}  // namespace data
}  // namespace recorder
