// Runs a scan to its end on the calling thread: the in-memory part, then, when the
// scan went pending, its disk part, polling I/O completions and refreshing the epoch
// until the context comes back. A version shift makes the session refresh and the
// scan start again (a full scan from its bounds, with the matches found so far
// dropped, so nothing is counted twice).
//
// The caller holds the epoch (through its session) for the whole call.
#pragma once

#include "engine/persistence/scan/chain_scan.h"
#include "engine/persistence/scan/full_scan.h"

namespace psfstore {
namespace core {

// Ok, or the status that ended the scan early (IOError from a failed read,
// OutOfMemory when a context could not be copied, Corruption for a malformed record);
// matches found before an error stay in the scanner.
Status RunChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                    BasicScanner& scanner, Address start, Address end);
Status RunFullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner,
                   Address start, Address end);

// Completes the scans on `list`'s disk parts: polls I/O completions and refreshes the
// session until `count` contexts came back; returns the first error among them and
// frees them.
Status WaitForScans(HybridLog& log, ScanSession& session, ScanCompletionList& list, size_t count);

}  // namespace core
}  // namespace psfstore
