#include "engine/core/guid.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/platform.h"

namespace psfstore {
namespace core {

namespace {

// Every writer request opens a session with a new identifier, so identifiers come from a
// per-thread generator keyed once from the kernel's random source rather than from one
// system call each. A forked child draws a new key: it must not repeat its parent's ids.
std::atomic<uint64_t> fork_generation{1};

struct IdentifierSource {
  uint64_t key[2] = {0, 0};
  uint64_t counter = 0;
  uint64_t generation = 0;
};

// The SplitMix64 finaliser: a bijection on 64 bits that scatters neighbouring inputs.
uint64_t Scatter(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

}  // namespace

Guid Guid::Create() {
  static const bool fork_handler = [] {
    return pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1, std::memory_order_relaxed); }) == 0;
  }();
  (void)fork_handler;
  thread_local IdentifierSource source;
  uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (source.generation != generation) {
    environment::FillRandom(source.key, sizeof(source.key));
    source.counter = 0;
    source.generation = generation;
  }
  // The first word is a bijection of the counter, so a thread never repeats an id.
  uint64_t count = source.counter++;
  uint64_t words[2] = {Scatter(source.key[0] + count * 0x9E3779B97F4A7C15ull), Scatter(source.key[1] ^ count)};
  Guid guid;
  std::memcpy(&guid, words, sizeof(guid));
  // Version 4 in the top nibble of data3, RFC 4122 variant in the top bits of data4[0].
  guid.data3 = static_cast<uint16_t>((guid.data3 & 0x0FFF) | 0x4000);
  guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  return guid;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[*pos], advancing *pos; false on a non-hex character.
bool ReadHex(std::string_view text, size_t* pos, int digits, uint64_t* value) {
  uint64_t result = 0;
  for (int i = 0; i < digits; ++i) {
    int digit = HexDigit(text[*pos + i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint64_t>(digit);
  }
  *pos += digits;
  *value = result;
  return true;
}

}  // namespace

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  Guid guid;
  size_t pos = 0;
  uint64_t value;
  if (!ReadHex(text, &pos, 8, &value)) return std::nullopt;
  guid.data1 = static_cast<uint32_t>(value);
  ++pos;
  if (!ReadHex(text, &pos, 4, &value)) return std::nullopt;
  guid.data2 = static_cast<uint16_t>(value);
  ++pos;
  if (!ReadHex(text, &pos, 4, &value)) return std::nullopt;
  guid.data3 = static_cast<uint16_t>(value);
  ++pos;
  for (int i = 0; i < 8; ++i) {
    if (i == 2) ++pos;  // the hyphen between the second and third single bytes
    if (!ReadHex(text, &pos, 2, &value)) return std::nullopt;
    guid.data4[i] = static_cast<uint8_t>(value);
  }
  return guid;
}

std::string Guid::ToString() const {
  char buffer[37];
  std::snprintf(buffer, sizeof(buffer), "%.8X-%.4hX-%.4hX-%.2hhX%.2hhX-%.2hhX%.2hhX%.2hhX%.2hhX%.2hhX%.2hhX",
                data1, data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                data4[6], data4[7]);
  return std::string(buffer, 36);
}

bool Guid::IsNull() const {
  static const Guid kNull{};
  return *this == kNull;
}

bool Guid::operator==(const Guid& other) const { return std::memcmp(this, &other, sizeof(Guid)) == 0; }

}  // namespace core
}  // namespace psfstore

size_t std::hash<psfstore::core::Guid>::operator()(const psfstore::core::Guid& guid) const noexcept {
  uint64_t words[2];
  std::memcpy(words, &guid, sizeof(words));
  return std::hash<uint64_t>{}(words[0] * 0x9E3779B97F4A7C15ull ^ words[1]);
}
