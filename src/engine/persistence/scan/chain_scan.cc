#include "engine/persistence/scan/chain_scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace psfstore {
namespace core {
namespace {

// Header words and chain links change under concurrent inserts (the invalid bit, a
// splice behind a newer record): read them as whole words.
uint64_t LoadWord(const uint8_t* memory) {
  return __atomic_load_n(reinterpret_cast<const uint64_t*>(memory), __ATOMIC_ACQUIRE);
}

KeyPointer LoadKeyPointer(const uint8_t* memory) {
  KeyPointer key_pointer;
  std::memcpy(static_cast<void*>(&key_pointer), memory, sizeof(KeyPointer));
  *key_pointer.word0_pointer() = LoadWord(memory);
  return key_pointer;
}

// From `address` back along the chain while it is in memory, the first key pointer
// whose record is valid and passes the check; or the first address below the head.
Address SkipToMatch(HybridLog& log, ChainScanContext& context, Address address,
                    RecordHeader* header) {
  while (address >= log.GetHeadAddress()) {
    const uint8_t* memory = log.Get(address);
    KeyPointer key_pointer = LoadKeyPointer(memory);
    const uint8_t* record = RecordOfKeyPointer(memory, key_pointer.position());
    *header = RecordHeader{LoadWord(record)};
    if (!header->invalid() && context.Check(key_pointer, record)) return address;
    address = key_pointer.previous_address();
  }
  return address;
}

Address RecordOf(HybridLog& log, Address key_pointer_address) {
  KeyPointer key_pointer = LoadKeyPointer(log.Get(key_pointer_address));
  return KeyPointer::RecordAddress(key_pointer_address, key_pointer.position());
}

// One disk read of the chain scan.
class ChainReadContext : public AsyncReadContext {
 public:
  ChainReadContext(HybridLog* log, ChainScanContext* scan, Address read_address)
      : log{log}, scan{scan}, read_address{read_address} {}
  HybridLog* log;
  ChainScanContext* scan;
  Address read_address;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

void HandBack(ChainScanContext* scan, Status result) {
  if (result != Status::Ok) scan->result = result;
  scan->completion_list->Push(scan);
}

void OnChainRead(IAsyncContext* context, Status result, size_t bytes_transferred);

void IssueRead(HybridLog& log, ChainScanContext* scan, uint64_t start, uint64_t end) {
  ChainReadContext read{&log, scan, Address{start}};
  Status status = log.ReadFromDisk(Address{start}, static_cast<uint32_t>(end - start), &OnChainRead, read, [] {});
  if (status != Status::Ok) HandBack(scan, status);
}

// Reads the block the prefetch level asks for around the key pointer at `address`. The
// chain descends, so the block ends just past the key pointer's record (as far as a
// typical record reaches) and extends down the log from there; it never leaves the page.
// The smallest read covers whole cache blocks, since a device reads 4 KiB as fast as a
// sector.
void IssueBlockRead(HybridLog& log, ChainScanContext* scan, Address address) {
  constexpr uint64_t kBlock = ReadCache::kBlockBytes;
  uint64_t page_start = Address{address.page(), 0}.control();
  uint64_t page_end = Address{address.page() + 1, 0}.control();
  uint64_t end = std::min(page_end, (address.control() + kRecordReach + kBlock - 1) & ~(kBlock - 1));
  uint64_t length = std::max<uint64_t>(kBlock, uint64_t{1} << kPrefetchBlockBits[scan->prefetch_level]);
  uint64_t start = end - page_start > length ? end - length : page_start;
  // The key pointer's record starts a little before it.
  start = std::min(start, std::max(page_start, (address.control() - kRecordLead) & ~(kBlock - 1)));
  IssueRead(log, scan, start, end);
}

// The bytes the disk part can use without a read: the block just read, then the read
// cache. Bytes copied out of the cache land in scratch memory, valid until the next Find.
class HeldBytes {
 public:
  HeldBytes(ReadCache& cache, const uint8_t* data, uint64_t base, uint64_t available)
      : cache_{cache}, data_{data}, base_{base}, available_{available} {}

  // Offers the cache the whole blocks around [address, address + length) that the block
  // just read holds: the records a chain passes, not everything a wide read brought in.
  void Keep(uint64_t address, uint64_t length) {
    if (data_ == nullptr) return;
    constexpr uint64_t kBlock = ReadCache::kBlockBytes;
    uint64_t from = std::max(base_, address & ~(kBlock - 1));
    uint64_t to = std::min(base_ + available_, (address + length + kBlock - 1) & ~(kBlock - 1));
    if (from < to) cache_.Insert(from, data_ + (from - base_), to - from);
  }

  const uint8_t* Find(uint64_t address, uint64_t length) {
    if (data_ != nullptr && address >= base_ && address + length <= base_ + available_) {
      return data_ + (address - base_);
    }
    if (scratch_.size() < length) scratch_.resize(length);
    return cache_.Copy(address, length, scratch_.data()) ? scratch_.data() : nullptr;
  }

 private:
  ReadCache& cache_;
  const uint8_t* data_;
  uint64_t base_;
  uint64_t available_;
  std::vector<uint8_t> scratch_;
};

// Follows the chain from the scan's resume address through the bytes held, and issues
// the next read where they end; hands the scan back when the chain ends or fails.
void Walk(HybridLog& log, ChainScanContext* scan, HeldBytes& held) {
  Address address = scan->resume_address;
  Address begin = log.GetBeginAddress();
  while (true) {
    if (address < begin || address < scan->start_bound || address == Address::Invalid()) {
      return HandBack(scan, Status::Ok);
    }
    scan->resume_address = address;
    const uint8_t* key_pointer_bytes = held.Find(address.control(), sizeof(KeyPointer));
    if (key_pointer_bytes == nullptr) return IssueBlockRead(log, scan, address);
    KeyPointer key_pointer;
    std::memcpy(static_cast<void*>(&key_pointer), key_pointer_bytes, sizeof(KeyPointer));
    Address record_address = KeyPointer::RecordAddress(address, key_pointer.position());
    if (record_address.page() != address.page()) return HandBack(scan, Status::Corruption);
    const uint8_t* header_bytes = held.Find(record_address.control(), sizeof(RecordHeader));
    if (header_bytes == nullptr) {
      // A record with many key pointers starts further back than a block read reaches.
      constexpr uint64_t kBlock = ReadCache::kBlockBytes;
      uint64_t page_end = Address{address.page() + 1, 0}.control();
      return IssueRead(log, scan, record_address.control() & ~(kBlock - 1),
                       std::min(page_end, (address.control() + kRecordReach + kBlock - 1) & ~(kBlock - 1)));
    }
    RecordHeader header{*reinterpret_cast<const uint64_t*>(header_bytes)};
    uint64_t size = header.record_size();
    if (header.IsNull() || key_pointer.position() >= header.key_pointer_count() ||
        record_address.offset() + size > Address::kPageSize) {
      return HandBack(scan, Status::Corruption);
    }
    const uint8_t* record = held.Find(record_address.control(), size);
    if (record == nullptr) {
      // A record larger than a block: read it whole, in whole blocks the cache can keep.
      constexpr uint64_t kBlock = ReadCache::kBlockBytes;
      uint64_t page_end = Address{address.page() + 1, 0}.control();
      return IssueRead(log, scan, record_address.control() & ~(kBlock - 1),
                       std::min(page_end, (record_address.control() + size + kBlock - 1) & ~(kBlock - 1)));
    }
    held.Keep(record_address.control(), size);
    if (record_address <= scan->end_bound && record_address >= scan->start_bound &&
        !header.invalid() && scan->Check(key_pointer, record)) {
      scan->Touch(record_address);
    }
    Address previous = key_pointer.previous_address();
    if (previous >= begin && previous >= scan->start_bound && previous != Address::Invalid()) {
      // Widen the next read while entries lie close; a long hop starts small again.
      scan->prefetch_level = NextPrefetchLevel(scan->prefetch_level, address - previous);
    }
    address = previous;
  }
}

void OnChainRead(IAsyncContext* context, Status result, size_t bytes_transferred) {
  std::unique_ptr<ChainReadContext> read{static_cast<ChainReadContext*>(context)};
  ChainScanContext* scan = read->scan;
  HybridLog& log = *read->log;
  if (result != Status::Ok) return HandBack(scan, result);

  const uint8_t* data = read->record.valid_pointer();
  uint64_t available = read->record.available_bytes;
  // A read that ends at the end of the file transfers less than asked.
  if (bytes_transferred < uint64_t{read->record.valid_offset} + available) {
    available = bytes_transferred > read->record.valid_offset
                    ? bytes_transferred - read->record.valid_offset
                    : 0;
  }
  // Every read asks for bytes of whole pages already written, so a short one means the
  // file lost them; reading again would only repeat it.
  if (available < read->record.required_bytes) return HandBack(scan, Status::IOError);
  uint64_t base = read->read_address.control();
  HeldBytes held{log.read_cache(), data, base, available};
  Walk(log, scan, held);
}

}  // namespace

ScanStatus ChainScan(HybridLog& log, InternalHashTable& index, ScanSession& session,
                     ChainScanContext& context, Address start, Address end) {
  if (session.phase() != Phase::REST) session.Refresh();
  AtomicHashBucketEntry* entry = index.FindEntry(context.key_hash());
  if (entry == nullptr) return ScanStatus::Done;
  Address address = entry->load().address();

  // Entries of records newer than the end bound are passed over untested. A key
  // pointer lies after its record's start, so one at or below the end bound needs no
  // look at its record.
  while (address > end && address >= log.GetHeadAddress() && RecordOf(log, address) > end) {
    address = LoadKeyPointer(log.Get(address)).previous_address();
  }
  RecordHeader header;
  address = SkipToMatch(log, context, address, &header);
  if (address >= log.GetHeadAddress() && session.phase() == Phase::PREPARE &&
      (session.version() % RecordHeader::kVersionModulus) < header.checkpoint_version()) {
    return context.Suspend(session, address, Address{0}, Address::Max(), ScanStatus::VersionShift);
  }
  while (address >= start && address != Address::Invalid()) {
    if (address < log.GetHeadAddress()) {
      if (address < log.GetBeginAddress()) return ScanStatus::Done;
      return context.Suspend(session, address, start, end, ScanStatus::InProgress);
    }
    Address record_address = RecordOf(log, address);
    if (record_address < start) return ScanStatus::Done;
    context.Touch(record_address);
    address = SkipToMatch(log, context, LoadKeyPointer(log.Get(address)).previous_address(), &header);
  }
  return ScanStatus::Done;
}

void ContinueChainScanOnDisk(HybridLog& log, ChainScanContext* context) {
  context->prefetch_level = 0;
  // What the cache holds is walked at once; the first read goes where it ends.
  HeldBytes held{log.read_cache(), nullptr, 0, 0};
  Walk(log, context, held);
}

}  // namespace core
}  // namespace psfstore
