// Logical addresses in the hybrid log.
//
// An Address is a 48-bit byte position in the log: the page number in bits 25-47 and
// the offset inside a 32 MiB page in bits 0-24. Words that embed an address (hash
// entries, key pointer links) use the top 16 bits for their own fields.
#pragma once

#include <cstdint>

namespace psfstore {
namespace core {

class Address {
 public:
  static constexpr uint32_t kOffsetBits = 25;
  static constexpr uint64_t kMaxOffset = (uint64_t{1} << kOffsetBits) - 1;
  static constexpr uint32_t kPageBits = 23;
  static constexpr uint64_t kMaxPage = (uint64_t{1} << kPageBits) - 1;
  static constexpr uint32_t kAddressBits = kOffsetBits + kPageBits;  // 48
  static constexpr uint64_t kMaxAddress = (uint64_t{1} << kAddressBits) - 1;
  static constexpr uint64_t kPageSize = uint64_t{1} << kOffsetBits;  // 32 MiB

  // Ends every hash chain; a claimed hash entry with no record yet carries it.
  static constexpr uint64_t kInvalidAddress = 1;
  // No upper bound.
  static constexpr uint64_t kNoAddress = kMaxAddress;
  // The log never hands out an address below this one.
  static constexpr uint64_t kFirstValidAddress = 64;

  constexpr Address() : control_{0} {}
  constexpr explicit Address(uint64_t control) : control_{control & kMaxAddress} {}
  constexpr Address(uint64_t page, uint64_t offset)
      : control_{((page & kMaxPage) << kOffsetBits) | (offset & kMaxOffset)} {}

  static constexpr Address Invalid() { return Address{kInvalidAddress}; }
  static constexpr Address Max() { return Address{kNoAddress}; }

  constexpr uint64_t control() const { return control_; }
  constexpr uint64_t page() const { return control_ >> kOffsetBits; }
  constexpr uint64_t offset() const { return control_ & kMaxOffset; }

  constexpr Address operator+(uint64_t delta) const { return Address{control_ + delta}; }
  constexpr Address operator-(uint64_t delta) const { return Address{control_ - delta}; }
  constexpr uint64_t operator-(Address other) const { return control_ - other.control_; }
  Address& operator+=(uint64_t delta) {
    control_ = (control_ + delta) & kMaxAddress;
    return *this;
  }

  constexpr bool operator==(Address other) const { return control_ == other.control_; }
  constexpr bool operator!=(Address other) const { return control_ != other.control_; }
  constexpr bool operator<(Address other) const { return control_ < other.control_; }
  constexpr bool operator<=(Address other) const { return control_ <= other.control_; }
  constexpr bool operator>(Address other) const { return control_ > other.control_; }
  constexpr bool operator>=(Address other) const { return control_ >= other.control_; }

 private:
  uint64_t control_;
};
static_assert(sizeof(Address) == 8, "Address is one 64-bit word");

// The hybrid log's tail counter: page in bits 41-63 and a 41-bit offset that may run
// past the page size while threads race to reserve space on a full page.
class PageOffset {
 public:
  static constexpr uint32_t kOffsetBits = 41;
  static constexpr uint64_t kMaxOffset = (uint64_t{1} << kOffsetBits) - 1;

  constexpr PageOffset() : control_{0} {}
  constexpr explicit PageOffset(uint64_t control) : control_{control} {}
  constexpr PageOffset(uint64_t page, uint64_t offset)
      : control_{(page << kOffsetBits) | (offset & kMaxOffset)} {}
  constexpr explicit PageOffset(Address address) : PageOffset(address.page(), address.offset()) {}

  constexpr uint64_t control() const { return control_; }
  constexpr uint64_t page() const { return control_ >> kOffsetBits; }
  constexpr uint64_t offset() const { return control_ & kMaxOffset; }

  // (page << 25) | min(offset, 2^25 - 1).
  constexpr Address ToAddress() const {
    return Address{page(), offset() < Address::kMaxOffset ? offset() : Address::kMaxOffset};
  }

 private:
  uint64_t control_;
};
static_assert(sizeof(PageOffset) == 8, "PageOffset is one 64-bit word");

}  // namespace core
}  // namespace psfstore
