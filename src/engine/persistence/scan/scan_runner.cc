#include "engine/persistence/scan/scan_runner.h"

#include <algorithm>
#include <thread>

namespace psfstore {
namespace core {
namespace {

// Copies the context to the heap for its disk part; the copy shares the scanner's
// matches. Returns OutOfMemory when the copy cannot be made.
template <class Context>
Status CopyForDisk(Context& context, ScanCompletionList& list, Context** copy) {
  IAsyncContext* heap = nullptr;
  Status status = context.DeepCopy(heap);
  if (status != Status::Ok) return status;
  *copy = static_cast<Context*>(heap);
  (*copy)->completion_list = &list;
  return Status::Ok;
}

}  // namespace

Status WaitForScans(HybridLog& log, ScanSession& session, ScanCompletionList& list, size_t count) {
  Status result = Status::Ok;
  while (count > 0) {
    if (list.empty()) {
      if (!log.disk().TryComplete()) std::this_thread::yield();
      session.Refresh();
      continue;
    }
    for (AsyncPendingScanContext* context : list.TakeAll()) {
      context->Finish();
      if (result == Status::Ok) result = context->result;
      delete context;
      --count;
    }
  }
  return result;
}

namespace {

// The run loop of both scans: the in-memory pass, repeated after every version shift
// (once `restart` dropped what a repeated pass would find again), then, when the scan
// went pending, its disk part on a heap copy of the context.
template <class Context, class InMemory, class OnDisk, class Restart>
Status RunScan(HybridLog& log, ScanSession& session, Context& context, InMemory in_memory, OnDisk on_disk,
               Restart restart) {
  ScanStatus status;
  while ((status = in_memory()) == ScanStatus::VersionShift) {
    restart();
    session.Refresh();
  }
  if (status == ScanStatus::Done) return context.result;
  ScanCompletionList list;
  Context* copy = nullptr;
  if (Status copied = CopyForDisk(context, list, &copy); copied != Status::Ok) return copied;
  on_disk(copy);
  return WaitForScans(log, session, list, 1);
}

}  // namespace

Status RunChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                    BasicScanner& scanner, Address start, Address end) {
  ChainScanContext context{scanner, start, end};
  // A chain scan meets a version shift before it touches any record: nothing to drop.
  return RunScan(
      log, session, context, [&] { return ChainScan(log, index, session, context, start, end); },
      [&](ChainScanContext* copy) { ContinueChainScanOnDisk(log, copy); }, [] {});
}

Status RunFullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner, Address start,
                   Address end, unsigned threads) {
  Status result;
  // A version shift adds nothing to the scanner: the scan starts again from its bounds.
  while (FullScan(log, session, scanner, start, end, threads, &result) == ScanStatus::VersionShift) {
    session.Refresh();
  }
  return result;
}

unsigned FullScanThreads() {
  static const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
  return threads;
}

}  // namespace core
}  // namespace psfstore
