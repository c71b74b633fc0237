#include "engine/persistence/scan/full_scan.h"

#include <atomic>
#include <memory>
#include <thread>

namespace psfstore {
namespace core {
namespace {

enum class PageWalk { Finished, Corrupt, Failed, VersionShift };

uint64_t LoadWord(const uint8_t* memory) {
  return __atomic_load_n(reinterpret_cast<const uint64_t*>(memory), __ATOMIC_ACQUIRE);
}

// Offset of the first non-zero word in [from, bound), or bound.
uint64_t NextData(const uint8_t* page, uint64_t from, uint64_t bound) {
  for (uint64_t offset = from; offset < bound; offset += 8) {
    if (LoadWord(page + offset) != 0) return offset;
  }
  return bound;
}

// Walks the records of one page between byte offsets [from, bound) and checks those
// whose address lies in [start, end]. `readable` bytes from `page` may be read (the
// parser's padding lies past the page's data). `live` pages are in the log's memory
// and may hold records still being written; `session` is then the caller's.
PageWalk WalkPage(FullScanContext& context, const uint8_t* page, uint64_t readable,
                  uint64_t page_number, uint64_t from, uint64_t bound, Address start,
                  Address end, ScanSession* live) {
  uint64_t offset = from;
  while (offset < bound) {
    RecordHeader header{LoadWord(page + offset)};
    if (header.IsNull()) {
      uint64_t data = NextData(page, offset + kRecordHeaderSize, bound);
      if (data == bound) return PageWalk::Finished;
      if (live == nullptr) {
        offset = data;  // settled data on disk: the zeros are empty space
        continue;
      }
      // An insert reserved this space and has not written its header yet; the data
      // further on belongs to later records. Its header comes next.
      while (LoadWord(page + offset) == 0) std::this_thread::yield();
      continue;
    }
    uint64_t size = header.record_size();
    if (offset + size > Address::kPageSize) return PageWalk::Corrupt;
    Address address{page_number, offset};
    if (address > end) return PageWalk::Finished;
    if (address >= start && !header.invalid()) {
      if (live != nullptr && live->phase() == Phase::PREPARE &&
          (live->version() % RecordHeader::kVersionModulus) < header.checkpoint_version()) {
        return PageWalk::VersionShift;
      }
      uint64_t payload = offset + header.payload_offset();
      const char* text = reinterpret_cast<const char*>(page + payload);
      if (context.Check(text, header.payload_size(), readable - payload)) context.Touch(address);
      if (context.failed()) return PageWalk::Failed;
    }
    offset += size;
  }
  return PageWalk::Finished;
}

// First byte offset to walk on `page_number`: the log begins at the begin address.
uint64_t FirstOffset(Address begin, uint64_t page_number) {
  return begin.page() == page_number ? begin.offset() : 0;
}

// The lowest page holding an address in [start, ...] that is still part of the log.
uint64_t LowestPage(Address begin, Address start) { return std::max(begin, start).page(); }

// The disk part reads one page ahead: the read of page p - 1 runs while page p is
// walked. Whichever of the two finishes second (the walk of p or the read of p - 1)
// goes on with page p - 1; `arrivals` counts them.
struct PageReadAhead;

class PageReadContext : public AsyncReadContext {
 public:
  PageReadContext(HybridLog* log, FullScanContext* scan, PageReadAhead* ahead, uint64_t page)
      : log{log}, scan{scan}, ahead{ahead}, page{page} {}
  HybridLog* log;
  FullScanContext* scan;
  PageReadAhead* ahead;
  uint64_t page;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

struct PageReadAhead {
  std::atomic<uint32_t> arrivals{1};  // the first read has no walk to wait for
  std::unique_ptr<PageReadContext> ready;
  Status ready_status = Status::Ok;
  size_t ready_bytes = 0;
  // Set when the walk ended the scan while the next read was still in flight.
  Status stop_status = Status::Ok;
  bool stopping = false;
};

// Ends the scan; no read of it is in flight any more.
void HandBack(FullScanContext* scan, PageReadAhead* ahead, Status result) {
  delete ahead;
  if (result != Status::Ok) scan->result = result;
  scan->completion_list->Push(scan);
}

void OnPageRead(IAsyncContext* context, Status result, size_t bytes_transferred);

Status ReadPage(HybridLog& log, FullScanContext* scan, PageReadAhead* ahead, uint64_t page) {
  PageReadContext read{&log, scan, ahead, page};
  return log.ReadFromDisk(Address{page, 0}, static_cast<uint32_t>(Address::kPageSize), &OnPageRead,
                          read, [] {});
}

// Walks the page whose read is ready, with the read of the page below it in flight.
// True when the next page's read has completed meanwhile and this thread walks it too.
bool WalkReadyPage(FullScanContext* scan, PageReadAhead* ahead) {
  // Everything the ready read left is taken before the next read can complete.
  std::unique_ptr<PageReadContext> read = std::move(ahead->ready);
  Status read_status = ahead->ready_status;
  size_t read_bytes = ahead->ready_bytes;
  ahead->arrivals.store(0, std::memory_order_relaxed);
  if (ahead->stopping) return HandBack(scan, ahead, ahead->stop_status), false;
  if (read_status != Status::Ok) return HandBack(scan, ahead, read_status), false;
  HybridLog& log = *read->log;
  uint64_t page_number = read->page;
  Address begin = log.GetBeginAddress();
  bool last_page = page_number <= LowestPage(begin, scan->start_bound);
  bool reading_next = false;
  if (!last_page) {
    Status status = ReadPage(log, scan, ahead, page_number - 1);
    if (status != Status::Ok) {
      ahead->stopping = true;
      ahead->stop_status = status;
    } else {
      reading_next = true;
    }
  }

  const uint8_t* page = read->record.valid_pointer();
  // The pool keeps one zeroed sector after every buffer for the parser to read into.
  uint64_t readable = read->record.pool()->ClassBytes(read->record.size_class()) +
                      HybridLog::kSectorSize - read->record.valid_offset;
  uint64_t bound = std::min<uint64_t>(read_bytes, Address::kPageSize);
  PageWalk walk = WalkPage(*scan, page, readable, page_number, FirstOffset(begin, page_number),
                           bound, scan->start_bound, scan->end_bound, nullptr);
  read.reset();  // give the page buffer back before the next one is walked
  if (walk == PageWalk::Corrupt && !ahead->stopping) {
    ahead->stopping = true;
    ahead->stop_status = Status::Corruption;
  }
  if (walk == PageWalk::Failed) ahead->stopping = true;
  if (!reading_next) {
    HandBack(scan, ahead, ahead->stopping ? ahead->stop_status : Status::Ok);
    return false;
  }
  // The read of the page below completes or has completed: the later of the two goes on.
  return ahead->arrivals.fetch_add(1, std::memory_order_acq_rel) == 1;
}

void OnPageRead(IAsyncContext* context, Status result, size_t bytes_transferred) {
  auto* read = static_cast<PageReadContext*>(context);
  PageReadAhead* ahead = read->ahead;
  FullScanContext* scan = read->scan;
  ahead->ready.reset(read);
  ahead->ready_status = result;
  ahead->ready_bytes = bytes_transferred;
  if (ahead->arrivals.fetch_add(1, std::memory_order_acq_rel) == 1) {
    while (WalkReadyPage(scan, ahead)) {
    }
  }
}

}  // namespace

ScanStatus FullScan(HybridLog& log, ScanSession& session, FullScanContext& context,
                    Address start, Address end) {
  auto suspend = [&](Address resume, ScanStatus status) {
    return context.Suspend(session, resume, start, end, status);
  };
  Address tail = log.GetTailAddress();
  Address last = std::min(end, tail);
  Address begin = log.GetBeginAddress();
  if (start > last || last < begin) return ScanStatus::Done;
  uint64_t lowest_page = LowestPage(begin, start);

  for (uint64_t page = last.page();; --page) {
    // The head is page-aligned once the log has wrapped; before that it equals the begin
    // address, inside the first page.
    if (page < log.GetHeadAddress().page()) {
      return suspend(Address{page, 0}, ScanStatus::InProgress);
    }
    // The tail page is walked up to the tail as it was when the scan started; a record
    // reserved after that is newer than the scan.
    uint64_t bound = page == tail.page() ? tail.offset() : Address::kPageSize;
    const uint8_t* memory = log.Get(Address{page, 0});
    PageWalk walk = WalkPage(context, memory, Address::kPageSize + HybridLog::kPagePadding, page,
                             FirstOffset(begin, page), bound, start, end, &session);
    if (walk == PageWalk::VersionShift) return suspend(Address{page, 0}, ScanStatus::VersionShift);
    if (walk == PageWalk::Corrupt) {
      context.result = Status::Corruption;
      return ScanStatus::Done;
    }
    if (walk == PageWalk::Failed || page <= lowest_page) return ScanStatus::Done;
    session.Refresh();
  }
}

void ContinueFullScanOnDisk(HybridLog& log, FullScanContext* context) {
  auto* ahead = new PageReadAhead;
  Status status = ReadPage(log, context, ahead, context->resume_address.page());
  if (status != Status::Ok) HandBack(context, ahead, status);
}

}  // namespace core
}  // namespace psfstore
