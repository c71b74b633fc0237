// Layout of a record in the hybrid log (and, byte for byte, in the log's segment files).
//
//   header (8 bytes) | key pointers (40 bytes each) | JSON payload | optional values | padding
//
// Hash entries and chain links point at key pointers, not at record starts; from a key
// pointer at address A with position p the record header is at A - 40 * p - 8.
//
// This file is the only one that knows the byte arithmetic of a record: everything else
// goes through RecordHeader's offsets, KeyPointer's builders, RecordWriter and the
// readers at the end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/core/address.h"
#include "values/generic_value.h"

namespace psfstore {
namespace core {

inline constexpr uint64_t kRecordHeaderSize = 8;
inline constexpr uint64_t kKeyPointerSize = 40;

class RecordHeader {
 public:
  static constexpr uint32_t kMaxKeyPointerCount = (1u << 15) - 1;
  static constexpr uint32_t kMaxPayloadSize = (1u << 25) - 1;
  static constexpr uint32_t kMaxOptionalSize = (1u << 8) - 1;
  static constexpr uint32_t kVersionModulus = 1u << 13;

  constexpr RecordHeader() : control_{0} {}
  constexpr explicit RecordHeader(uint64_t control) : control_{control} {}
  // A header as written by an insert: bit 63 set, invalid until the record is linked.
  constexpr RecordHeader(uint32_t key_pointer_count, uint32_t payload_size, uint32_t optional_size,
                         uint32_t checkpoint_version, bool invalid)
      : control_{(uint64_t{key_pointer_count} & kMaxKeyPointerCount) |
                 ((uint64_t{payload_size} & kMaxPayloadSize) << 15) |
                 ((uint64_t{optional_size} & kMaxOptionalSize) << 40) |
                 ((uint64_t{checkpoint_version} % kVersionModulus) << 48) |
                 (uint64_t{invalid} << 61) | (uint64_t{1} << 63)} {}

  constexpr uint64_t control() const { return control_; }
  // A zero word marks empty (zero-filled) log space, not a record.
  constexpr bool IsNull() const { return control_ == 0; }
  constexpr uint32_t key_pointer_count() const { return control_ & kMaxKeyPointerCount; }
  constexpr uint32_t payload_size() const { return (control_ >> 15) & kMaxPayloadSize; }
  constexpr uint32_t optional_size() const { return (control_ >> 40) & kMaxOptionalSize; }
  constexpr uint32_t checkpoint_version() const { return (control_ >> 48) & (kVersionModulus - 1); }
  constexpr bool invalid() const { return (control_ >> 61) & 1; }

  void set_invalid(bool invalid) {
    control_ = (control_ & ~(uint64_t{1} << 61)) | (uint64_t{invalid} << 61);
  }

  // Bytes from a record's start to its key pointer `position`, and to its payload (which
  // follows the last key pointer; the optional values follow the payload).
  static constexpr uint64_t KeyPointerOffset(uint64_t position) {
    return kRecordHeaderSize + kKeyPointerSize * position;
  }
  static constexpr uint64_t PayloadOffset(uint64_t key_pointer_count) {
    return KeyPointerOffset(key_pointer_count);
  }
  constexpr uint64_t payload_offset() const { return PayloadOffset(key_pointer_count()); }
  // Payload and optional values: the area a general key pointer's value offset indexes.
  constexpr uint64_t value_area_size() const { return uint64_t{payload_size()} + optional_size(); }

  // Size of the whole record, rounded up to 8 bytes.
  static constexpr uint64_t RecordSize(uint64_t key_pointer_count, uint64_t payload_size,
                                       uint64_t optional_size) {
    return (PayloadOffset(key_pointer_count) + payload_size + optional_size + 7) & ~uint64_t{7};
  }
  constexpr uint64_t record_size() const {
    return RecordSize(key_pointer_count(), payload_size(), optional_size());
  }

 private:
  uint64_t control_;
};
static_assert(sizeof(RecordHeader) == 8, "RecordHeader is one 64-bit word");
static_assert(RecordHeader::RecordSize(0, 1, 0) == 16, "smallest record");
static_assert(RecordHeader::RecordSize(2, 100, 0) == 192, "8 + 80 + 104");

// One member of one hash chain: five 64-bit words.
//   word 0: kind (bit 0), position in the record (bits 1-15), previous address (bits 16-63)
//   general (kind 0): word 1 = predicate id (0-13) | value offset (14-38) | value size (39-63),
//                     words 2-4 = the predicate's value (type byte, payload, length)
//   inline (kind 1):  word 1 = predicate id (0-31) | predicate value (32-63), words 2-4 zero
class KeyPointer {
 public:
  enum class Kind : uint8_t { General = 0, Inline = 1 };
  static constexpr uint32_t kMaxPosition = (1u << 15) - 1;
  static constexpr uint32_t kMaxGeneralPredicateId = (1u << 14) - 1;
  static constexpr uint32_t kMaxValueOffset = (1u << 25) - 1;
  static constexpr uint32_t kMaxValueSize = (1u << 25) - 1;

  KeyPointer() : words_{0, 0, 0, 0, 0} {}

  static KeyPointer General(uint32_t position, Address previous, uint32_t predicate_id,
                            uint32_t value_offset, uint32_t value_size) {
    KeyPointer pointer;
    pointer.words_[0] = MakeWord0(Kind::General, position, previous);
    pointer.words_[1] = (uint64_t{predicate_id} & kMaxGeneralPredicateId) |
                        ((uint64_t{value_offset} & kMaxValueOffset) << 14) |
                        ((uint64_t{value_size} & kMaxValueSize) << 39);
    return pointer;
  }
  // A general key pointer holding `value`. Stored words never carry a process address:
  // a String's view pointer is left zero, and readers take its bytes from the record
  // (GeneralValueBytes, GenericValue::FromKeyPointerWords).
  static KeyPointer General(uint32_t position, Address previous, uint32_t predicate_id,
                            uint32_t value_offset, const recorder::data::GenericValue& value) {
    KeyPointer pointer = General(position, previous, predicate_id, value_offset,
                                 static_cast<uint32_t>(value.bytes().size()));
    value.WriteWords(pointer.value_words());
    if (value.type() == recorder::data::GenericValue::Type::String) pointer.words_[3] = 0;
    return pointer;
  }
  static KeyPointer Inline(uint32_t position, Address previous, uint32_t predicate_id,
                           uint32_t value) {
    KeyPointer pointer;
    pointer.words_[0] = MakeWord0(Kind::Inline, position, previous);
    pointer.words_[1] = uint64_t{predicate_id} | (uint64_t{value} << 32);
    return pointer;
  }

  Kind kind() const { return static_cast<Kind>(words_[0] & 1); }
  bool is_inline() const { return kind() == Kind::Inline; }
  uint32_t position() const { return PositionOf(words_[0]); }
  Address previous_address() const { return PreviousOf(words_[0]); }
  void set_previous_address(Address previous) {
    words_[0] = (words_[0] & 0xFFFF) | (previous.control() << 16);
  }
  // Word 0 as one value, for compare-and-swap of the chain link by inserts.
  uint64_t word0() const { return words_[0]; }
  uint64_t* word0_pointer() { return &words_[0]; }
  static uint32_t PositionOf(uint64_t word0) { return (word0 >> 1) & kMaxPosition; }
  static Address PreviousOf(uint64_t word0) { return Address{word0 >> 16}; }
  static uint64_t WithPrevious(uint64_t word0, Address previous) {
    return (word0 & 0xFFFF) | (previous.control() << 16);
  }

  // General predicate fields.
  uint32_t general_predicate_id() const { return words_[1] & kMaxGeneralPredicateId; }
  uint32_t value_offset() const { return (words_[1] >> 14) & kMaxValueOffset; }
  uint32_t value_size() const { return (words_[1] >> 39) & kMaxValueSize; }
  // The 24-byte value image (words 2-4): type code byte, 64-bit payload, 64-bit length.
  const uint64_t* value_words() const { return &words_[2]; }
  uint64_t* value_words() { return &words_[2]; }

  // Inline predicate fields.
  uint32_t inline_predicate_id() const { return static_cast<uint32_t>(words_[1]); }
  uint32_t inline_value() const { return static_cast<uint32_t>(words_[1] >> 32); }

  // Address of the header of the record holding the key pointer at `address`.
  static Address RecordAddress(Address key_pointer_address, uint32_t position) {
    return key_pointer_address - RecordHeader::KeyPointerOffset(position);
  }
  // Address of key pointer `position` of the record at `record_address`.
  static Address KeyPointerAddress(Address record_address, uint32_t position) {
    return record_address + RecordHeader::KeyPointerOffset(position);
  }

 private:
  static uint64_t MakeWord0(Kind kind, uint32_t position, Address previous) {
    return uint64_t(kind) | ((uint64_t{position} & kMaxPosition) << 1) | (previous.control() << 16);
  }

  uint64_t words_[5];
};
static_assert(sizeof(KeyPointer) == kKeyPointerSize, "KeyPointer is five 64-bit words");

// Reading records in memory (a log page or a copy of one). Headers and key pointers are
// read by copy: log memory is not aligned for the compiler's wishes, and inserts may be
// changing a key pointer's word 0 (its chain link) meanwhile; readers that race with
// inserts load word 0 atomically themselves.
inline RecordHeader ReadRecordHeader(const uint8_t* record) {
  RecordHeader header;
  std::memcpy(static_cast<void*>(&header), record, sizeof(header));
  return header;
}
inline KeyPointer ReadKeyPointer(const uint8_t* record, uint32_t position) {
  KeyPointer pointer;
  std::memcpy(static_cast<void*>(&pointer), record + RecordHeader::KeyPointerOffset(position), sizeof(pointer));
  return pointer;
}
// The start of the record holding the key pointer at `key_pointer` with `position`.
inline const uint8_t* RecordOfKeyPointer(const uint8_t* key_pointer, uint32_t position) {
  return key_pointer - RecordHeader::KeyPointerOffset(position);
}
inline const uint8_t* RecordPayload(const uint8_t* record, RecordHeader header) {
  return record + header.payload_offset();
}
// The bytes of a general key pointer's value inside its record, or nullptr when its
// offset and size reach past the record's value area (a damaged record).
inline const uint8_t* GeneralValueBytes(const uint8_t* record, RecordHeader header, const KeyPointer& pointer) {
  if (uint64_t{pointer.value_offset()} + pointer.value_size() > header.value_area_size()) return nullptr;
  return RecordPayload(record, header) + pointer.value_offset();
}

// Writes one record into log space reserved for it: the header first (as given,
// normally invalid), then the payload with its optional values and the key pointers,
// and finally Publish, which marks it valid with release order so that a reader who
// sees a valid header sees the whole record. The writer owns no memory.
class RecordWriter {
 public:
  // The header word is stored atomically: full scans of live pages load it while the
  // record is being written, to step over it.
  RecordWriter(uint8_t* memory, RecordHeader header) : memory_{memory}, header_{header} {
    std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t*>(memory_)}.store(header_.control(),
                                                                          std::memory_order_relaxed);
  }

  // `header.payload_size()` bytes of payload, then `header.optional_size()` bytes of values.
  void WriteValues(const char* payload, const char* optional) {
    uint8_t* destination = memory_ + header_.payload_offset();
    std::memcpy(destination, payload, header_.payload_size());
    if (header_.optional_size() > 0) {
      std::memcpy(destination + header_.payload_size(), optional, header_.optional_size());
    }
  }
  // Writes key pointer `position` and returns its memory, which chain links then change.
  uint8_t* WriteKeyPointer(uint32_t position, const KeyPointer& pointer) {
    uint8_t* destination = memory_ + RecordHeader::KeyPointerOffset(position);
    std::memcpy(destination, &pointer, sizeof(pointer));
    return destination;
  }
  void Publish() {
    header_.set_invalid(false);
    std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t*>(memory_)}.store(header_.control(),
                                                                          std::memory_order_release);
  }

 private:
  uint8_t* memory_;
  RecordHeader header_;
};

}  // namespace core
}  // namespace psfstore
