// Session and checkpoint identifiers: 16 bytes in the platform GUID layout
// (u32, u16, u16, 8 single bytes, little-endian in memory and on disk).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace psfstore {
namespace core {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  // A new random (version 4) identifier, unique among those this process makes. Its bits
  // come from a per-thread generator keyed from the kernel's random source.
  static Guid Create();

  // Parses the 36-character text form, in upper or lower case; nullopt for anything else.
  static std::optional<Guid> Parse(std::string_view text);

  // The 36-character upper-case text form, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
  std::string ToString() const;

  bool IsNull() const;
  bool operator==(const Guid& other) const;
  bool operator!=(const Guid& other) const { return !(*this == other); }
};
static_assert(sizeof(Guid) == 16, "Guid is 16 bytes");

}  // namespace core
}  // namespace psfstore

template <>
struct std::hash<psfstore::core::Guid> {
  size_t operator()(const psfstore::core::Guid& guid) const noexcept;
};
