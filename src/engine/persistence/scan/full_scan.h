// The full scan: walks every record of the log whose address lies in [start, end],
// newest page first, parses each valid record's payload for the scanner's field and
// touches the records whose field passes the predicate.
//
// Pages from the tail down to the head are walked in memory on the caller's thread,
// refreshing its epoch between pages so the scan never holds back reclamation. Pages
// below the head are read whole from disk, one after another, by the disk part, which
// finally pushes the context onto its completion list.
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

using FullScanContext = PendingScanContext<BasicFullScanner>;

// The in-memory part. The caller holds the epoch. On InProgress the context holds the
// page to read next in its resume address; on VersionShift the scan must be run again
// from its bounds after the session moved to the new version. A record whose size
// runs past its page sets the context's result to Corruption and ends the scan.
ScanStatus FullScan(HybridLog& log, ScanSession& session, FullScanContext& context,
                    Address start, Address end);

// Starts the disk part of a heap context whose in-memory part returned InProgress.
// The context ends on its completion list, with its result set.
void ContinueFullScanOnDisk(HybridLog& log, FullScanContext* context);

}  // namespace core
}  // namespace psfstore
