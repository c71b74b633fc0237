#include "engine/persistence/scan/chain_scan.h"

#include <cstring>

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

void IssueRead(HybridLog& log, ChainScanContext* scan, Address address, uint32_t length) {
  ChainReadContext read{&log, scan, address};
  Status status = log.ReadFromDisk(address, length, &OnChainRead, read, [] {});
  if (status != Status::Ok) HandBack(scan, status);
}

// Reads the block the prefetch level asks for around the key pointer at `address`.
void IssueBlockRead(HybridLog& log, ChainScanContext* scan, Address address) {
  uint32_t bits = kPrefetchBlockBits[scan->prefetch_level];
  uint64_t block = uint64_t{1} << bits;
  uint64_t aligned = address.control() & ~(block - 1);
  uint64_t length = std::max<uint64_t>(bits == 0 ? sizeof(KeyPointer) : block,
                                       address.control() - aligned + sizeof(KeyPointer));
  IssueRead(log, scan, Address{aligned}, static_cast<uint32_t>(length));
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
  auto in_block = [&](uint64_t address, uint64_t length) {
    return address >= base && address + length <= base + available;
  };

  Address address = scan->resume_address;
  Address begin = log.GetBeginAddress();
  while (true) {
    if (address < begin || address < scan->start_bound || address == Address::Invalid()) {
      return HandBack(scan, Status::Ok);
    }
    if (!in_block(address.control(), sizeof(KeyPointer))) {
      scan->resume_address = address;
      return IssueBlockRead(log, scan, address);
    }
    KeyPointer key_pointer;
    std::memcpy(static_cast<void*>(&key_pointer), data + (address.control() - base),
                sizeof(KeyPointer));
    Address record_address = KeyPointer::RecordAddress(address, key_pointer.position());
    if (record_address.page() != address.page()) return HandBack(scan, Status::Corruption);
    scan->resume_address = address;
    if (!in_block(record_address.control(), sizeof(RecordHeader))) {
      // The record starts before the block: read it from its start through the key
      // pointer; the header then tells whether more is needed.
      return IssueRead(log, scan, record_address,
                       static_cast<uint32_t>(address - record_address + sizeof(KeyPointer)));
    }
    const uint8_t* record = data + (record_address.control() - base);
    RecordHeader header{*reinterpret_cast<const uint64_t*>(record)};
    uint64_t size = header.record_size();
    if (header.IsNull() || key_pointer.position() >= header.key_pointer_count() ||
        record_address.offset() + size > Address::kPageSize) {
      return HandBack(scan, Status::Corruption);
    }
    if (!in_block(record_address.control(), size)) {
      return IssueRead(log, scan, record_address, static_cast<uint32_t>(size));
    }
    if (record_address <= scan->end_bound && record_address >= scan->start_bound &&
        !header.invalid() && scan->Check(key_pointer, record)) {
      scan->Touch(record_address);
    }
    Address previous = key_pointer.previous_address();
    if (previous >= begin && previous >= scan->start_bound && previous != Address::Invalid() &&
        !in_block(previous.control(), sizeof(KeyPointer))) {
      // The chain leaves the block: widen the next read while entries lie close.
      scan->prefetch_level = NextPrefetchLevel(scan->prefetch_level, address - previous);
    }
    address = previous;
  }
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
  IssueBlockRead(log, context, context->resume_address);
}

}  // namespace core
}  // namespace psfstore
