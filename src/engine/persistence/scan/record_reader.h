// Reads the JSON payload of the record at a log address, wherever the record is: from
// the log's memory above the head address, from the log file below it. A record below
// the head is never read from memory, whose page slot may hold a newer page by now.
//
// Disk reads are made in blocks of 64 KiB and the last block is kept, so a caller that
// asks for records in ascending address order (listings) reads each block of the log
// once. A record whose blocks the log's read cache holds is copied from there without a
// read; blocks read are offered to the cache.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/padded_buffer.h"
#include "engine/core/record.h"
#include "engine/persistence/scan/scan_session.h"

namespace psfstore {
namespace core {

// Ok when `header`, read at `address`, starts a valid record that ends inside its page;
// NotFound for empty space or a record still being written, Corruption for one that
// runs past its page.
Status CheckRecordHeader(RecordHeader header, Address address);

// Reads the payload of the record at `address` (a multiple of 8) from the log's read
// cache into the memory `room(size)` returns for it, with one lookup when the record ends
// inside its block. False when the cache lacks a block the record needs (the room, if
// asked for, then holds nothing useful); true otherwise, with `*status` Ok (the payload
// copied) or the header's check (no room asked for).
template <class Room>
bool ReadPayloadFromCache(ReadCache& cache, Address address, Room&& room, Status* status) {
  RecordHeader header{0};
  char* payload = nullptr;
  uint64_t copied = 0;  // payload bytes taken from the first block
  bool whole = false;
  bool held = cache.ReadInBlock(address.control(), [&](const uint8_t* bytes, uint64_t length) {
    header = RecordHeader{*reinterpret_cast<const uint64_t*>(bytes)};
    *status = CheckRecordHeader(header, address);
    if (*status != Status::Ok) {
      whole = true;
      return;
    }
    payload = room(header.payload_size());
    uint64_t payload_end = header.payload_offset() + header.payload_size();
    if (payload_end <= length) {
      whole = true;
      std::memcpy(payload, bytes + header.payload_offset(), header.payload_size());
    } else if (length > header.payload_offset()) {
      copied = length - header.payload_offset();
      std::memcpy(payload, bytes + header.payload_offset(), copied);
    }
  });
  if (!held) return false;
  if (whole) return true;
  // The record runs into the following blocks.
  uint64_t rest = address.control() + header.payload_offset() + copied;
  return cache.Copy(rest, header.payload_size() - copied, reinterpret_cast<uint8_t*>(payload) + copied);
}

class RecordReader {
 public:
  static constexpr uint32_t kBlockBytes = 64 * 1024;

  // The caller's session holds the epoch while it uses the reader.
  RecordReader(HybridLog& log, ScanSession& session) : log_{log}, session_{session} {}

  // Copies the payload of the record at `record_address` into `out`, which keeps the
  // JSON library's padding after it. NotFound when no valid record starts there (an
  // address outside the log, empty space, a record still being written); Corruption
  // when the header there describes a record that runs past its page; IOError (or
  // OutOfMemory) when the disk read fails. `out` is unchanged unless Ok.
  Status ReadPayload(Address record_address, PaddedBuffer& out);

 private:
  Status ReadFromMemory(Address record_address, PaddedBuffer& out);
  Status ReadFromLogFile(Address record_address, PaddedBuffer& out);
  // Reads [address, address + length) into the kept block, synchronously.
  Status ReadBlock(Address address, uint32_t length);
  bool BlockHolds(Address address, uint64_t length) const {
    return block_.buffer() != nullptr && address >= block_start_ &&
           address.control() + length <= block_start_.control() + block_length_;
  }
  const uint8_t* BlockAt(Address address) const {
    return block_.valid_pointer() + (address - block_start_);
  }

  HybridLog& log_;
  ScanSession& session_;
  PaddedBuffer cached_;  // a record read from the cache, swapped into the caller's buffer
  SectorAlignedMemory block_;
  Address block_start_{};
  uint64_t block_length_ = 0;
};

}  // namespace core
}  // namespace psfstore
