#include "engine/persistence/scan_runner.h"

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

Status RunChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                    BasicScanner& scanner, Address start, Address end) {
  ChainScanContext context{scanner, start, end};
  ScanStatus status;
  while ((status = ChainScan(log, index, session, context, start, end)) == ScanStatus::VersionShift) {
    session.Refresh();
  }
  if (status == ScanStatus::Done) return context.result;
  ScanCompletionList list;
  ChainScanContext* copy = nullptr;
  if (Status copied = CopyForDisk(context, list, &copy); copied != Status::Ok) return copied;
  ContinueChainScanOnDisk(log, copy);
  return WaitForScans(log, session, list, 1);
}

Status RunFullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner,
                   Address start, Address end) {
  FullScanContext context{scanner, start, end};
  ScanStatus status;
  while ((status = FullScan(log, session, context, start, end)) == ScanStatus::VersionShift) {
    scanner.matches().Clear();
    session.Refresh();
  }
  if (status == ScanStatus::Done) return context.result;
  ScanCompletionList list;
  FullScanContext* copy = nullptr;
  if (Status copied = CopyForDisk(context, list, &copy); copied != Status::Ok) return copied;
  ContinueFullScanOnDisk(log, copy);
  return WaitForScans(log, session, list, 1);
}

}  // namespace core
}  // namespace psfstore
