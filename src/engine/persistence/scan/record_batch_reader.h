// BatchRecordReader: reads the payloads of many records whose addresses are all known
// before the first read, as an extraction's are.
//
// The caller announces each group of ascending addresses before it asks for them. The
// reader copies the records below the head that the log's read cache holds at once (one
// lookup each, into memory the group reuses), picks those whose blocks it lacks and
// coalesces neighbours into reads of up to 1 MiB within a page. Reads go to the device
// in address order while the log has room for more (see HybridLog::kMaxOutstandingReads)
// and the reader has fewer than kMaxBytesInFlight bytes on their way:
// whenever the caller asks for a payload, the reads that finished since make way for the
// next ones, so the device keeps working while the caller parses what has arrived.
// Payloads are taken in ascending order and wait only for the read that holds them.
// Records above the head, or larger than their read, are read by a RecordReader instead.
//
// Threading: one thread, which holds its session while it uses the reader; completions
// may run on any thread that polls the disk. The destructor waits for reads in flight.
#pragma once

#include <atomic>
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
  // Neighbouring records whose gap is at most this many bytes share a read: a random
  // read costs about what reading 16 KiB more does, so wider gaps are cheaper as two.
  static constexpr uint64_t kMergeGapBytes = 16 * 1024;
  static constexpr uint64_t kMaxReadBytes = 1024 * 1024;
  // Bytes of reads one reader has in flight at most (one read, however large, may go).
  static constexpr uint64_t kMaxBytesInFlight = 64 * 1024 * 1024;
  // Reads of at most this many bytes are a sparse extraction's, which a repeated query
  // makes again: the read cache keeps their records' blocks.
  static constexpr uint64_t kCachedReadBytes = 64 * 1024;
  // A read for a record reaches this far past its start unless the records at the head
  // show a shorter reach suffices (twice the longest of them, at least kMinRecordReach),
  // so that a typical record comes whole with it, in one block more often than not.
  static constexpr uint64_t kRecordReach = 2048;
  static constexpr uint64_t kMinRecordReach = 512;
  static constexpr uint32_t kSampledRecords = 64;

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
  // A record the cache held when it was announced: its payload lies in the group's arena
  // at `offset`, followed by the JSON library's padding.
  struct CachedRecord {
    uint64_t address;
    uint64_t offset;
    uint32_t size;
    Status status;
  };
  struct Group {
    std::vector<std::unique_ptr<Read>> reads;  // ascending by start
    size_t issued = 0;                         // reads[0, issued) went to the device
    std::vector<CachedRecord> cached;          // ascending by address
    std::vector<char> arena;
    uint64_t last_address = 0;
  };

  void Issue(Read& read);
  // Issues the announced reads that wait, in address order, while the log has room.
  void IssueWaiting();
  // Waits for `read`, issuing waiting reads (it among them) as the log has room.
  void WaitFor(Read& read);
  // How far a read reaches past a record's start, from the records at the head.
  uint64_t SampleRecordReach() const;
  // Drops the groups announced wholly below `address`; the front group then is the one
  // that may hold it (nullptr when none is left).
  Group* GroupFor(uint64_t address);
  // The read of `group` that covers `address`, or nullptr.
  static Read* ReadCovering(Group& group, uint64_t address);
  // Copies the record at `address` from the cache into `group`; false when the cache lacks it.
  bool TakeFromCache(Group& group, uint64_t address);

  HybridLog& log_;
  ScanSession& session_;
  RecordReader reader_;
  PaddedBuffer buffer_;
  std::deque<Group> groups_;
  std::vector<char> spare_arena_;  // a dropped group's arena, for the next group
  uint64_t record_reach_ = 0;      // sampled at the first announcement that reads
  bool draining_ = false;          // set by the destructor: nothing more is issued
  std::atomic<uint64_t> bytes_in_flight_{0};  // of reads issued and not completed
};

}  // namespace core
}  // namespace psfstore
