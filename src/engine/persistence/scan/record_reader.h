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

#include "base/padded_buffer.h"
#include "engine/core/record.h"
#include "engine/persistence/scan/scan_session.h"

namespace psfstore {
namespace core {

// Ok when `header`, read at `address`, starts a valid record that ends inside its page;
// NotFound for empty space or a record still being written, Corruption for one that
// runs past its page.
Status CheckRecordHeader(RecordHeader header, Address address);

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
  // Ok when the read cache held the whole record (its payload is then in `out`);
  // NotFound when it did not; the header's check otherwise.
  Status ReadFromCache(Address record_address, PaddedBuffer& out);
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
  SectorAlignedMemory block_;
  Address block_start_{};
  uint64_t block_length_ = 0;
};

}  // namespace core
}  // namespace psfstore
