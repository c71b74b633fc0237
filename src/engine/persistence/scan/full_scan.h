// The full scan: walks every record of the log whose address lies in [start, end],
// parses each valid record's payload for the scanner's field and reports the records
// whose field passes the predicate.
//
// Pages are handed out newest first to the scan's walkers: the calling thread and, for
// ranges of at least kParallelPages pages, one helper thread. A walker walks a page
// at or above the head in place, holding the epoch and refreshing it between pages;
// a page below the head it reads whole from disk, with up to kPagesInFlight page reads
// outstanding for the scan, and whichever walker is free walks a page once it arrived.
// Each page's matches (and, when the scanner keeps a listing, their payloads) are kept
// apart and joined in address order once every walker is done, so the answer does not
// depend on how the pages were shared out.
//
// Every page is walked from its start: record boundaries are known only from there.
// Zero words are empty space (the rest of a page a record did not fit in); a zero
// word followed by data further on in a page in memory is the header of a record an
// insert has reserved but not yet written, and the walk waits for it.
#pragma once

#include "engine/persistence/scan/scan_context.h"
#include "engine/persistence/scan/scan_session.h"

namespace psfstore {
namespace core {

// Page reads a scan keeps outstanding: enough that the device is never idle while a
// page is walked, few enough that their buffers stay a small part of memory.
inline constexpr uint32_t kPagesInFlight = 4;
// Ranges spanning fewer pages stay on the calling thread: starting a helper costs
// more than it saves there.
inline constexpr uint64_t kParallelPages = 2;

// Runs the scan's walkers until every page of the range is walked or the scan stopped.
// The caller holds the epoch through `session` and goes on refreshing it while it
// waits; a helper holds the epoch through its own thread. On Done the matches (and
// listing) are in the scanner, in address order; `result` is Ok or what ended the scan
// early (IOError from a failed read, OutOfMemory, Corruption for a malformed record),
// with the matches of the pages walked before. On VersionShift nothing was added: the
// session must move to the new version and the scan start again. `threads` is how
// many walkers may share the work (1: the calling thread only).
ScanStatus FullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner, Address start,
                    Address end, unsigned threads, Status* result);

}  // namespace core
}  // namespace psfstore
