// The chain scan: follows one predicate chain from its hash-index entry back through
// the log, newest key pointer first, and touches every record whose key pointer
// passes the scanner's check. Bounds are inclusive and apply to the records' addresses,
// as in the full scan, so both scans agree on a record that lies exactly at a bound.
//
// The in-memory part runs on the caller's thread under its epoch. When the chain
// continues below the head address the scan goes pending: the caller copies the
// context to the heap and starts the disk part, which walks what the log's read cache
// holds and reads the rest (blocks of 4 KiB up to 256 KiB below each missing entry,
// widening while chain entries lie close together) on whichever thread polls I/O
// completions; the blocks of every record it passes go into the cache. Finally it
// pushes the context onto its completion list.
#pragma once

#include "engine/persistence/scan/scan_context.h"
#include "engine/persistence/scan/scan_session.h"

namespace psfstore {
namespace core {

using ChainScanContext = PendingScanContext<BasicScanner>;

// Hops between chain entries up to this many bytes widen the next disk read.
constexpr uint64_t kNearHopBytes = 138840;
// log2 of the block read below a key pointer, per prefetch level.
constexpr uint32_t kPrefetchBlockBits[] = {12, 13, 14, 16, 18};
// A read for a key pointer reaches this far past it, so that its record's payload comes
// along, and starts at least this far before it, where its record's header is.
constexpr uint64_t kRecordReach = 2048;
constexpr uint64_t kRecordLead = 256;

// The in-memory part. The caller holds the epoch. On InProgress or VersionShift the
// context holds the resume address, bounds and session view.
ScanStatus ChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                     ChainScanContext& context, Address start, Address end);

// Starts the disk part of a heap context whose in-memory part returned InProgress.
// The context ends on its completion list, with its result set, whether or not the
// first read could be issued.
void ContinueChainScanOnDisk(HybridLog& log, ChainScanContext* context);

// The prefetch level after a hop of `hop_bytes` between two chain entries.
inline uint8_t NextPrefetchLevel(uint8_t level, uint64_t hop_bytes) {
  if (hop_bytes > kNearHopBytes) return 0;
  return level < AsyncPendingScanContext::kMaxPrefetchLevel ? level + 1 : level;
}

}  // namespace core
}  // namespace psfstore
