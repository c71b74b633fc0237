// BatchRecordReader: reads the payloads of many records whose addresses are all known
// before the first read, as an extraction's are.
//
// The caller announces each group of ascending addresses before it asks for them. The
// reader picks those below the head whose blocks the log's read cache lacks, coalesces
// neighbours into reads of up to 1 MiB within a page and issues them all at once through
// the log's asynchronous reads (the log bounds how many are outstanding), so the device
// works on many while the caller parses what has arrived. Payloads are then taken in
// ascending order and wait only for the read that holds them. Records above the head,
// in the cache, or larger than their read are read by a RecordReader instead.
//
// Threading: one thread, which holds its session while it uses the reader; completions
// may run on any thread that polls the disk. The destructor waits for reads in flight.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/persistence/scan/record_reader.h"

namespace psfstore {
namespace core {

class BatchRecordReader {
 public:
  // Neighbouring records whose gap is at most this many bytes share a read.
  static constexpr uint64_t kMergeGapBytes = 64 * 1024;
  static constexpr uint64_t kMaxReadBytes = 1024 * 1024;
  // A read for a record reaches this far past its start, so that a typical record comes
  // whole with it.
  static constexpr uint64_t kRecordReach = 2048;

  BatchRecordReader(HybridLog& log, ScanSession& session);
  ~BatchRecordReader();
  BatchRecordReader(const BatchRecordReader&) = delete;
  BatchRecordReader& operator=(const BatchRecordReader&) = delete;

  // Starts the reads for `addresses`, which ascend and lie above every address announced
  // before. A read that cannot be issued fails the records it would have held.
  void Announce(std::span<const uint64_t> addresses);

  // The payload of the record at `address`, as RecordReader::ReadPayload reads it; the
  // text stays valid, with the JSON library's padding after it, until the next call.
  // Addresses must be asked for in ascending order; one never announced is read alone.
  Status ReadPayload(Address address, std::string_view* payload);

 private:
  struct Read;
  struct Group {
    std::vector<std::unique_ptr<Read>> reads;  // ascending by start
    uint64_t last_address = 0;
  };

  void Issue(Read& read);
  void WaitFor(Read& read);
  // The read of the front group that covers `address`, or nullptr.
  Read* ReadCovering(uint64_t address);
  // True when the cache holds the whole record at `address` (so no read is needed).
  bool CacheHoldsRecord(uint64_t address);

  HybridLog& log_;
  ScanSession& session_;
  RecordReader reader_;
  PaddedBuffer buffer_;
  std::deque<Group> groups_;
};

}  // namespace core
}  // namespace psfstore
