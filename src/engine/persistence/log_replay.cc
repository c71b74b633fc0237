#include "engine/persistence/log_replay.h"

#include <cstring>

namespace psfstore {
namespace core {

bool KeyPointerHash(const uint8_t* record, const RecordHeader& header, uint32_t position, KeyHash& hash) {
  KeyPointer pointer;
  std::memcpy(&pointer, record + 8 + 40 * uint64_t{position}, sizeof(KeyPointer));
  if (pointer.is_inline()) {
    hash = KeyHash::OfInlineKey(pointer.inline_predicate_id(), pointer.inline_value());
    return true;
  }
  uint64_t value_end = uint64_t{pointer.value_offset()} + pointer.value_size();
  if (value_end > uint64_t{header.payload_size()} + header.optional_size()) return false;
  const uint8_t* payload = record + 8 + 40 * uint64_t{header.key_pointer_count()};
  hash = KeyHash::OfGeneralKey(pointer.general_predicate_id(), payload + pointer.value_offset(), pointer.value_size());
  return true;
}

Status ReplayPage(InternalHashTable& table, uint8_t* page, Address page_start, Address from, Address until,
                  uint32_t checkpoint_version, bool& modified) {
  const uint32_t newer_version = (checkpoint_version + 1) % RecordHeader::kVersionModulus;
  uint64_t offset = from.control() - page_start.control();
  const uint64_t end = std::min<uint64_t>(until.control() - page_start.control(), Address::kPageSize);
  while (offset + sizeof(RecordHeader) <= end) {
    uint8_t* record = page + offset;
    RecordHeader header;
    std::memcpy(&header, record, sizeof(header));
    if (header.IsNull()) {
      offset += 8;
      continue;
    }
    uint64_t size = header.record_size();
    if (offset + size > Address::kPageSize) return Status::Corruption;
    if (header.invalid()) {
      offset += size;
      continue;
    }
    if (header.checkpoint_version() == newer_version) {
      header.set_invalid(true);
      std::memcpy(record, &header, sizeof(header));
      modified = true;
      offset += size;
      continue;
    }
    for (uint32_t position = 0; position < header.key_pointer_count(); ++position) {
      KeyHash hash;
      if (!KeyPointerHash(record, header, position, hash)) return Status::Corruption;
      AtomicHashBucketEntry* slot = nullptr;
      HashBucketEntry seen;
      Status status = table.FindOrCreateEntry(hash, slot, seen);
      if (status != Status::Ok) return status;
      Address pointer_address = KeyPointer::KeyPointerAddress(page_start + offset, position);
      slot->store(HashBucketEntry{pointer_address, hash.tag(), false});
    }
    offset += size;
  }
  return Status::Ok;
}

}  // namespace core
}  // namespace psfstore
