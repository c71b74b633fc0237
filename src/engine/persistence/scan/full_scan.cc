#include "engine/persistence/scan/full_scan.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/padded_buffer.h"

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

// What the walk of one page found, in address order.
struct PageMatches {
  std::vector<uint64_t> addresses;
  std::string listing;  // the payloads, one per line, when the scanner keeps a listing
};

// First byte offset to walk on `page_number`: the log begins at the begin address.
uint64_t FirstOffset(Address begin, uint64_t page_number) {
  return begin.page() == page_number ? begin.offset() : 0;
}

class SharedScan;

// One page's read from disk; the scan owns it from its completion until it is walked.
class PageReadContext : public AsyncReadContext {
 public:
  PageReadContext(SharedScan* scan, uint64_t page) : scan{scan}, page{page} {}
  PageReadContext(const PageReadContext& other) : AsyncReadContext(other), scan{other.scan}, page{other.page} {}
  SharedScan* scan;
  uint64_t page;
  Status status = Status::Ok;
  size_t bytes = 0;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

// The state every walker of one scan shares. Pages are taken by a counter that runs
// down from the newest page; each page's matches have a slot of their own, written by
// the one walker that took the page.
class SharedScan {
 public:
  SharedScan(HybridLog& log, BasicFullScanner& scanner, Address start, Address end, Address tail,
             uint64_t lowest_page, uint64_t last_page)
      : log{log},
        scanner{scanner},
        start{start},
        end{end},
        tail{tail},
        begin{log.GetBeginAddress()},
        lowest_page{lowest_page},
        last_page{last_page},
        pages(last_page - lowest_page + 1),
        next_page_{static_cast<int64_t>(last_page)} {}

  // The next page to walk, or -1 when every page is taken or the scan stopped.
  int64_t TakePage() {
    if (stopping()) return -1;
    int64_t page = next_page_.fetch_sub(1, std::memory_order_relaxed);
    return page >= static_cast<int64_t>(lowest_page) ? page : -1;
  }
  PageMatches& SlotOf(uint64_t page) { return pages[last_page - page]; }

  void PushReady(PageReadContext* read) {
    std::lock_guard<std::mutex> lock{ready_mutex_};
    ready_.push_back(read);
  }
  PageReadContext* TakeReady() {
    std::lock_guard<std::mutex> lock{ready_mutex_};
    if (ready_.empty()) return nullptr;
    PageReadContext* read = ready_.back();
    ready_.pop_back();
    return read;
  }

  // Ends the scan early: no further page is taken. The first cause is kept.
  void Stop(Status status, bool version_shift = false) {
    std::lock_guard<std::mutex> lock{stop_mutex_};
    if (!stopping_.load(std::memory_order_relaxed)) {
      result_ = status;
      version_shift_ = version_shift;
      stopping_.store(true, std::memory_order_release);
    }
  }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  bool version_shift() const { return version_shift_; }
  Status result() const { return result_; }

  // True when no page is left to take and no read of this walker's view is in flight.
  bool Finished() const {
    bool all_taken = stopping() || next_page_.load(std::memory_order_relaxed) < static_cast<int64_t>(lowest_page);
    return all_taken && reads_in_flight.load(std::memory_order_acquire) == 0;
  }

  HybridLog& log;
  BasicFullScanner& scanner;
  const Address start;
  const Address end;
  // The tail page is walked up to the tail as it was when the scan started; a record
  // reserved after that is newer than the scan.
  const Address tail;
  const Address begin;
  const uint64_t lowest_page;
  const uint64_t last_page;
  std::vector<PageMatches> pages;  // [0] is the newest page
  // Reads issued and not yet walked.
  std::atomic<uint32_t> reads_in_flight{0};

 private:
  std::atomic<int64_t> next_page_;
  std::mutex ready_mutex_;
  std::vector<PageReadContext*> ready_;
  std::mutex stop_mutex_;
  std::atomic<bool> stopping_{false};
  bool version_shift_ = false;
  Status result_ = Status::Ok;
};

void OnPageRead(IAsyncContext* context, Status result, size_t bytes_transferred) {
  auto* read = static_cast<PageReadContext*>(context);
  read->status = result;
  read->bytes = bytes_transferred;
  read->scan->PushReady(read);
}

// One thread's share of a scan: takes pages, walks those in memory, issues reads for
// the others and walks whatever read has arrived. Owns the JSON parser it checks with.
class PageWalker {
 public:
  PageWalker(SharedScan& scan, ScanSession& session, simdjson::ondemand::parser& parser)
      : scan_{scan}, session_{session}, parser_{parser} {}

  // Runs to the end of the scan. A walk that throws leaves its page half walked: the
  // scan stops with an error and the walker goes on until no read of it is in flight.
  void RunToEnd() {
    for (;;) {
      try {
        return Run();
      } catch (const std::bad_alloc&) {
        scan_.Stop(Status::OutOfMemory);
      } catch (...) {
        scan_.Stop(Status::Aborted);
      }
    }
  }

 private:
  void Run() {
    for (;;) {
      if (PageReadContext* read = scan_.TakeReady()) {
        WalkRead(read);
        continue;
      }
      if (scan_.reads_in_flight.load(std::memory_order_relaxed) < kPagesInFlight) {
        if (int64_t page = scan_.TakePage(); page >= 0) {
          TakeOn(static_cast<uint64_t>(page));
          continue;
        }
      }
      if (scan_.Finished()) return;
      if (!scan_.log.disk().TryComplete()) std::this_thread::yield();
      session_.Refresh();
    }
  }

  void TakeOn(uint64_t page) {
    // The head is page-aligned once the log has wrapped; before that it equals the
    // begin address, inside the first page. A page at or above the head stays in memory
    // until this thread refreshes its epoch.
    if (page >= scan_.log.GetHeadAddress().page()) {
      uint64_t bound = page == scan_.tail.page() ? scan_.tail.offset() : Address::kPageSize;
      Finish(WalkPage(scan_.log.Get(Address{page, 0}), Address::kPageSize + HybridLog::kPagePadding, page,
                      bound, &session_));
      session_.Refresh();
      return;
    }
    scan_.reads_in_flight.fetch_add(1, std::memory_order_acq_rel);
    PageReadContext read{&scan_, page};
    Status status = scan_.log.ReadFromDisk(Address{page, 0}, static_cast<uint32_t>(Address::kPageSize),
                                           &OnPageRead, read, [this] { session_.Refresh(); });
    if (status != Status::Ok) {
      scan_.Stop(status);
      scan_.reads_in_flight.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

  void WalkRead(PageReadContext* read) {
    // The read stops counting once its buffer went back to the pool, even when the walk
    // throws: the scan waits for every read to be accounted for.
    struct Accounted {
      std::atomic<uint32_t>& in_flight;
      ~Accounted() { in_flight.fetch_sub(1, std::memory_order_acq_rel); }
    } accounted{scan_.reads_in_flight};
    std::unique_ptr<PageReadContext> owned{read};
    if (read->status != Status::Ok) {
      scan_.Stop(read->status);
    } else if (!scan_.stopping()) {
      // The pool keeps one zeroed sector after every buffer for the parser to read into.
      uint64_t readable = read->record.pool()->ClassBytes(read->record.size_class()) + HybridLog::kSectorSize -
                          read->record.valid_offset;
      uint64_t bound = std::min<uint64_t>(read->bytes, Address::kPageSize);
      Finish(WalkPage(read->record.valid_pointer(), readable, read->page, bound, nullptr));
    }
  }

  void Finish(PageWalk walk) {
    switch (walk) {
      case PageWalk::Finished: break;
      case PageWalk::Corrupt: scan_.Stop(Status::Corruption); break;
      case PageWalk::Failed: scan_.Stop(Status::Ok); break;  // the scanner holds the value error
      case PageWalk::VersionShift: scan_.Stop(Status::Ok, /*version_shift=*/true); break;
    }
  }

  // Walks the records of one page from its first offset up to byte `bound` and checks
  // those whose address lies in the scan's bounds. `readable` bytes from `page` may be
  // read (the parser's padding lies past the page's data). `live` pages are in the
  // log's memory and may hold records still being written; `live` is then the
  // walker's session.
  PageWalk WalkPage(const uint8_t* page, uint64_t readable, uint64_t page_number, uint64_t bound,
                    ScanSession* live) {
    PageMatches& matches = scan_.SlotOf(page_number);
    BasicFullScanner& scanner = scan_.scanner;
    uint64_t offset = FirstOffset(scan_.begin, page_number);
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
      if (address > scan_.end) return PageWalk::Finished;
      if (address >= scan_.start && !header.invalid()) {
        if (live != nullptr && live->phase() == Phase::PREPARE &&
            (live->version() % RecordHeader::kVersionModulus) < header.checkpoint_version()) {
          return PageWalk::VersionShift;
        }
        uint64_t payload = offset + header.payload_offset();
        const char* text = reinterpret_cast<const char*>(page + payload);
        uint64_t text_capacity = readable - payload;
        // The parser peeks at the byte after the text. On a live page that byte may be
        // the header of the next record, which another thread may be writing just now:
        // a text that ends exactly where its record ends is parsed from a copy.
        if (live != nullptr && payload + header.payload_size() == offset + size) {
          scratch_.Assign(text, header.payload_size());
          text = scratch_.data();
          text_capacity = scratch_.capacity();
        }
        if (scanner.Check(parser_, text, header.payload_size(), text_capacity)) {
          matches.addresses.push_back(address.control());
          if (scanner.keeps_listing() && scanner.ClaimListing(header.payload_size() + 1)) {
            matches.listing.append(text, header.payload_size());
            matches.listing.push_back('\n');
          }
        }
        if (scanner.failed()) return PageWalk::Failed;
      }
      offset += size;
    }
    return PageWalk::Finished;
  }

  SharedScan& scan_;
  ScanSession& session_;
  simdjson::ondemand::parser& parser_;
  PaddedBuffer scratch_;  // copies of live texts that end at their record's end
};

// A helper's view of the caller's session: the version and phase the caller had when
// the scan started (a record newer than that ends the scan with a version shift, as
// it would on the caller's thread), and its own place in the epoch.
class HelperSession : public ScanSession {
 public:
  HelperSession(const ScanSession& caller, LightEpoch& epoch)
      : version_{caller.version()}, phase_{caller.phase()}, epoch_{epoch} {}
  uint32_t version() const override { return version_; }
  Phase phase() const override { return phase_; }
  void Refresh() override { epoch_.Protect(); }

 private:
  uint32_t version_;
  Phase phase_;
  LightEpoch& epoch_;
};

// The helper thread of a scan, started with the scan and joined before it returns.
class ScanHelper {
 public:
  ScanHelper(SharedScan& scan, const ScanSession& caller) : session_{caller, scan.log.epoch()} {
    try {
      thread_ = std::thread{[this, &scan] { Run(scan); }};
    } catch (const std::system_error&) {
      done_.store(true, std::memory_order_release);  // no thread: the caller does it all
    }
  }
  // Lets the caller's epoch move on while the helper finishes its last page.
  void Wait(HybridLog& log, ScanSession& caller) {
    while (!done_.load(std::memory_order_acquire)) {
      if (!log.disk().TryComplete()) std::this_thread::yield();
      caller.Refresh();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(SharedScan& scan) {
    LightEpoch& epoch = scan.log.epoch();
    bool protecting = false;
    try {
      epoch.Protect();  // claims the thread's id: may find every id taken
      protecting = true;
    } catch (const std::exception&) {
    }
    if (protecting) {
      simdjson::ondemand::parser parser;
      PageWalker{scan, session_, parser}.RunToEnd();
      epoch.Unprotect();
    }
    done_.store(true, std::memory_order_release);
  }

  HelperSession session_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

ScanStatus FullScan(HybridLog& log, ScanSession& session, BasicFullScanner& scanner, Address start,
                    Address end, unsigned threads, Status* result) {
  *result = Status::Ok;
  Address tail = log.GetTailAddress();
  Address last = std::min(end, tail);
  Address begin = log.GetBeginAddress();
  if (start > last || last < begin) return ScanStatus::Done;
  SharedScan scan{log, scanner, start, end, tail, std::max(begin, start).page(), last.page()};
  {
    std::unique_ptr<ScanHelper> helper;
    if (threads > 1 && scan.last_page - scan.lowest_page + 1 >= kParallelPages) {
      helper = std::make_unique<ScanHelper>(scan, session);
    }
    PageWalker{scan, session, scanner.parser()}.RunToEnd();
    if (helper) helper->Wait(log, session);
  }
  if (scan.version_shift()) return ScanStatus::VersionShift;
  *result = scan.result();
  // Oldest page first: addresses ascending, and so the listing.
  for (auto page = scan.pages.rbegin(); page != scan.pages.rend(); ++page) {
    for (uint64_t address : page->addresses) scanner.Touch(Address{address});
    if (scanner.keeps_listing()) scanner.listing().append(page->listing);
  }
  return ScanStatus::Done;
}

}  // namespace core
}  // namespace psfstore
