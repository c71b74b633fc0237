#include "engine/persistence/checkpoint/log_replay.h"

#include <cstring>

namespace psfstore {
namespace core {

bool KeyPointerHash(const uint8_t* record, const RecordHeader& header, uint32_t position, KeyHash& hash) {
  const KeyPointer pointer = ReadKeyPointer(record, position);
  if (pointer.is_inline()) {
    hash = KeyHash::OfInlineKey(pointer.inline_predicate_id(), pointer.inline_value());
    return true;
  }
  const uint8_t* value = GeneralValueBytes(record, header, pointer);
  if (value == nullptr) return false;
  hash = KeyHash::OfGeneralKey(pointer.general_predicate_id(), value, pointer.value_size());
  return true;
}

Status ReplayPage(InternalHashTable& table, uint8_t* page, Address page_start, Address from, Address until,
                  uint32_t checkpoint_version, bool& modified) {
  const uint32_t newer_version = (checkpoint_version + 1) % RecordHeader::kVersionModulus;
  uint64_t offset = from.control() - page_start.control();
  const uint64_t end = std::min<uint64_t>(until.control() - page_start.control(), Address::kPageSize);
  while (offset + sizeof(RecordHeader) <= end) {
    uint8_t* record = page + offset;
    RecordHeader header = ReadRecordHeader(record);
    if (header.IsNull()) {
      offset += kRecordHeaderSize;
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
