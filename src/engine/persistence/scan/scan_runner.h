// Runs a scan to its end: a chain scan's in-memory part on the calling thread, then,
// when the scan went pending, its disk part, polling I/O completions and refreshing the
// epoch until the context comes back; a full scan as full_scan.h describes. A version
// shift makes the session refresh and the scan start again (a full scan from its
// bounds, having added nothing, so nothing is counted twice).
//
// The caller holds the epoch (through its session) for the whole call.
#pragma once

#include "engine/persistence/scan/chain_scan.h"
#include "engine/persistence/scan/full_scan.h"

namespace psfstore {
namespace core {

// Walkers a full scan may use: two where the machine has two cores or more.
unsigned FullScanThreads();

// Ok, or the status that ended the scan early (IOError from a failed read,
// OutOfMemory when a context could not be copied, Corruption for a malformed record);
// matches found before an error stay in the scanner.
Status RunChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                    BasicScanner& scanner, Address start, Address end);
// Full scans over large ranges share their pages between the caller and a helper
// thread (`threads` 2) and report the same matches, in the same order, as with 1.
Status RunFullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner,
                   Address start, Address end, unsigned threads = FullScanThreads());

// Completes the scans on `list`'s disk parts: polls I/O completions and refreshes the
// session until `count` contexts came back; returns the first error among them and
// frees them.
Status WaitForScans(HybridLog& log, ScanSession& session, ScanCompletionList& list, size_t count);

}  // namespace core
}  // namespace psfstore
