#include "engine/persistence/full_scan.h"

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
      uint64_t data = NextData(page, offset + 8, bound);
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
      uint64_t payload = offset + 8 + 40 * uint64_t{header.key_pointer_count()};
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

class PageReadContext : public AsyncReadContext {
 public:
  PageReadContext(HybridLog* log, FullScanContext* scan) : log{log}, scan{scan} {}
  HybridLog* log;
  FullScanContext* scan;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

void HandBack(FullScanContext* scan, Status result) {
  if (result != Status::Ok) scan->result = result;
  scan->completion_list->Push(scan);
}

void OnPageRead(IAsyncContext* context, Status result, size_t bytes_transferred);

void ReadPage(HybridLog& log, FullScanContext* scan) {
  PageReadContext read{&log, scan};
  Address page_start{scan->resume_address.page(), 0};
  Status status = log.ReadFromDisk(page_start, static_cast<uint32_t>(Address::kPageSize),
                                   &OnPageRead, read, [] {});
  if (status != Status::Ok) HandBack(scan, status);
}

void OnPageRead(IAsyncContext* context, Status result, size_t bytes_transferred) {
  std::unique_ptr<PageReadContext> read{static_cast<PageReadContext*>(context)};
  FullScanContext* scan = read->scan;
  HybridLog& log = *read->log;
  if (result != Status::Ok) return HandBack(scan, result);

  uint64_t page_number = scan->resume_address.page();
  const uint8_t* page = read->record.valid_pointer();
  // The pool keeps one zeroed sector after every buffer for the parser to read into.
  uint64_t readable = read->record.pool()->ClassBytes(read->record.size_class()) +
                      HybridLog::kSectorSize - read->record.valid_offset;
  uint64_t bound = std::min<uint64_t>(bytes_transferred, Address::kPageSize);
  Address begin = log.GetBeginAddress();
  PageWalk walk = WalkPage(*scan, page, readable, page_number, FirstOffset(begin, page_number),
                           bound, scan->start_bound, scan->end_bound, nullptr);
  if (walk == PageWalk::Corrupt) return HandBack(scan, Status::Corruption);
  if (walk == PageWalk::Failed || page_number <= LowestPage(begin, scan->start_bound)) {
    return HandBack(scan, Status::Ok);
  }
  scan->resume_address = Address{page_number - 1, 0};
  read.reset();  // give the page buffer back before taking the next one
  ReadPage(log, scan);
}

}  // namespace

ScanStatus FullScan(HybridLog& log, ScanSession& session, FullScanContext& context,
                    Address start, Address end) {
  auto suspend = [&](Address resume, ScanStatus status) {
    context.session_version = session.version();
    context.session_phase = session.phase();
    context.resume_address = resume;
    context.start_bound = start;
    context.end_bound = end;
    return status;
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

void ContinueFullScanOnDisk(HybridLog& log, FullScanContext* context) { ReadPage(log, context); }

}  // namespace core
}  // namespace psfstore
