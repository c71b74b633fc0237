#include "engine/persistence/scan/record_batch_reader.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace psfstore {
namespace core {

struct BatchRecordReader::Read {
  uint64_t start = 0;
  uint64_t end = 0;
  bool issued = false;
  std::atomic<uint64_t>* bytes_in_flight = nullptr;
  std::atomic<bool> done{false};
  Status status = Status::Ok;
  SectorAlignedMemory memory;
  // Bytes from `start` that arrived.
  uint64_t available = 0;
};

namespace {

constexpr uint64_t kBlock = ReadCache::kBlockBytes;

class GroupReadContext : public AsyncReadContext {
 public:
  explicit GroupReadContext(void* target) : target{target} {}
  void* target;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

uint64_t PageEnd(uint64_t address) { return Address{Address{address}.page() + 1, 0}.control(); }

}  // namespace

BatchRecordReader::BatchRecordReader(HybridLog& log, ScanSession& session)
    : log_{log}, session_{session}, reader_{log, session} {}

BatchRecordReader::~BatchRecordReader() {
  draining_ = true;
  for (Group& group : groups_) {
    for (size_t index = 0; index < group.issued; ++index) WaitFor(*group.reads[index]);
  }
}

uint64_t BatchRecordReader::SampleRecordReach() const {
  // The records from the head on are settled up to the read-only address, and the
  // caller's epoch keeps the head's page in memory while it looks.
  const Address head = log_.GetHeadAddress();
  const Address read_only = log_.GetSafeReadOnlyAddress();
  if (head.offset() != 0 || read_only <= head) return kRecordReach;
  const uint8_t* page = log_.Get(head);
  const uint64_t bound = read_only.page() == head.page() ? read_only.offset() : Address::kPageSize;
  uint64_t offset = 0;
  uint64_t longest = 0;
  for (uint32_t sampled = 0; sampled < kSampledRecords && offset + sizeof(RecordHeader) <= bound; ++sampled) {
    RecordHeader header{__atomic_load_n(reinterpret_cast<const uint64_t*>(page + offset), __ATOMIC_ACQUIRE)};
    uint64_t size = header.record_size();
    if (header.IsNull() || size == 0 || offset + size > bound) break;
    longest = std::max(longest, size);
    offset += size;
  }
  if (longest == 0) return kRecordReach;
  return std::clamp<uint64_t>(2 * longest, kMinRecordReach, kRecordReach);
}

bool BatchRecordReader::TakeFromCache(Group& group, uint64_t address) {
  const uint64_t offset = group.arena.size();
  uint32_t size = 0;
  auto room = [&](uint32_t payload_size) {
    size = payload_size;
    group.arena.resize(offset + payload_size + PaddedView::kPaddingBytes);
    return group.arena.data() + offset;
  };
  Status status;
  if (!ReadPayloadFromCache(log_.read_cache(), Address{address}, room, &status)) {
    group.arena.resize(offset);
    return false;
  }
  group.cached.push_back(CachedRecord{address, offset, size, status});
  return true;
}

void BatchRecordReader::Announce(std::span<const uint64_t> addresses) {
  if (addresses.empty()) return;
  Group group;
  group.last_address = addresses.back();
  group.arena = std::move(spare_arena_);
  group.arena.clear();
  const uint64_t begin = log_.GetBeginAddress().control();
  const uint64_t head = log_.GetHeadAddress().control();
  Read* current = nullptr;
  for (uint64_t address : addresses) {
    if (address >= head || address < begin || address % 8 != 0) continue;
    if (TakeFromCache(group, address)) continue;
    if (record_reach_ == 0) record_reach_ = SampleRecordReach();
    uint64_t page_end = PageEnd(address);
    uint64_t start = address & ~(kBlock - 1);
    uint64_t end = std::min(page_end, (address + record_reach_ + kBlock - 1) & ~(kBlock - 1));
    if (current != nullptr && start <= current->end + kMergeGapBytes && PageEnd(current->start) == page_end &&
        end - current->start <= kMaxReadBytes) {
      current->end = std::max(current->end, end);
      continue;
    }
    group.reads.push_back(std::make_unique<Read>());
    current = group.reads.back().get();
    current->start = start;
    current->end = end;
  }
  groups_.push_back(std::move(group));
  IssueWaiting();
}

void BatchRecordReader::IssueWaiting() {
  if (draining_ || groups_.empty() || groups_.back().issued == groups_.back().reads.size()) return;
  // Reads count as outstanding until their completions are taken: take those ready.
  while (log_.disk().TryComplete()) {
  }
  for (Group& group : groups_) {
    while (group.issued < group.reads.size()) {
      const Read& next = *group.reads[group.issued];
      const uint64_t in_flight = bytes_in_flight_.load(std::memory_order_acquire);
      if (log_.outstanding_reads() >= HybridLog::kMaxOutstandingReads ||
          (in_flight > 0 && in_flight + (next.end - next.start) > kMaxBytesInFlight)) {
        return;
      }
      Issue(*group.reads[group.issued++]);
    }
  }
}

void BatchRecordReader::Issue(Read& read) {
  read.issued = true;
  read.bytes_in_flight = &bytes_in_flight_;
  bytes_in_flight_.fetch_add(read.end - read.start, std::memory_order_acq_rel);
  GroupReadContext context{&read};
  auto done = [](IAsyncContext* raw, Status result, size_t bytes) {
    std::unique_ptr<GroupReadContext> context{static_cast<GroupReadContext*>(raw)};
    Read& target = *static_cast<Read*>(context->target);
    target.status = result;
    uint64_t transferred = bytes > context->record.valid_offset ? bytes - context->record.valid_offset : 0;
    target.available = std::min<uint64_t>(context->record.available_bytes, transferred);
    target.memory = std::move(context->record);
    target.bytes_in_flight->fetch_sub(target.end - target.start, std::memory_order_acq_rel);
    target.done.store(true, std::memory_order_release);
  };
  Status status = log_.ReadFromDisk(Address{read.start}, static_cast<uint32_t>(read.end - read.start), done,
                                    context, [this] { session_.Refresh(); });
  if (status != Status::Ok) {
    bytes_in_flight_.fetch_sub(read.end - read.start, std::memory_order_acq_rel);
    read.status = status;
    read.done.store(true, std::memory_order_release);
  }
}

void BatchRecordReader::WaitFor(Read& read) {
  while (!read.done.load(std::memory_order_acquire)) {
    // Reads go out in address order: this one may still wait for room in the log, and
    // the reads after it go out as those before it finish, so the device never idles.
    IssueWaiting();
    if (!log_.disk().TryComplete()) std::this_thread::yield();
    session_.Refresh();
  }
}

BatchRecordReader::Group* BatchRecordReader::GroupFor(uint64_t address) {
  while (!groups_.empty() && groups_.front().last_address < address) {
    Group& front = groups_.front();
    for (size_t index = 0; index < front.issued; ++index) WaitFor(*front.reads[index]);
    spare_arena_ = std::move(groups_.front().arena);
    groups_.pop_front();
  }
  return groups_.empty() ? nullptr : &groups_.front();
}

BatchRecordReader::Read* BatchRecordReader::ReadCovering(Group& group, uint64_t address) {
  auto& reads = group.reads;
  auto after = std::upper_bound(reads.begin(), reads.end(), address,
                                [](uint64_t value, const std::unique_ptr<Read>& read) { return value < read->start; });
  if (after == reads.begin()) return nullptr;
  Read* read = std::prev(after)->get();
  return address < read->end ? read : nullptr;
}

Status BatchRecordReader::ReadPayload(Address address, std::string_view* payload) {
  IssueWaiting();
  bool plausible = address.control() % 8 == 0 && address >= log_.GetBeginAddress();
  Group* group = plausible ? GroupFor(address.control()) : nullptr;
  if (group != nullptr && !group->cached.empty()) {
    auto found = std::lower_bound(group->cached.begin(), group->cached.end(), address.control(),
                                  [](const CachedRecord& record, uint64_t value) { return record.address < value; });
    if (found != group->cached.end() && found->address == address.control()) {
      if (found->status != Status::Ok) return found->status;
      *payload = std::string_view{group->arena.data() + found->offset, found->size};
      return Status::Ok;
    }
  }
  if (Read* read = group != nullptr ? ReadCovering(*group, address.control()) : nullptr) {
    WaitFor(*read);
    if (read->status != Status::Ok) return read->status;
    uint64_t offset = address.control() - read->start;
    const uint8_t* bytes = read->memory.valid_pointer();
    if (offset + sizeof(RecordHeader) <= read->available) {
      RecordHeader header{*reinterpret_cast<const uint64_t*>(bytes + offset)};
      if (Status status = CheckRecordHeader(header, address); status != Status::Ok) return status;
      if (offset + header.record_size() <= read->available) {
        if (read->end - read->start <= kCachedReadBytes) {
          // Small reads are the sparse extractions a repeated query makes again: keep
          // the record's blocks.
          uint64_t from = std::max(read->start, address.control() & ~(kBlock - 1));
          uint64_t to = std::min(read->start + read->available,
                                 (address.control() + header.record_size() + kBlock - 1) & ~(kBlock - 1));
          log_.read_cache().Insert(from, bytes + (from - read->start), to - from);
        }
        const uint8_t* record = bytes + offset;
        *payload = std::string_view{reinterpret_cast<const char*>(RecordPayload(record, header)),
                                    header.payload_size()};
        return Status::Ok;
      }
    }
  }
  Status status = reader_.ReadPayload(address, buffer_);
  if (status == Status::Ok) *payload = buffer_.view().text();
  return status;
}

}  // namespace core
}  // namespace psfstore
