#include "engine/persistence/scan/record_reader.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace psfstore {
namespace core {
namespace {

void CopyPayload(const uint8_t* record, RecordHeader header, PaddedBuffer& out) {
  out.Assign(RecordPayload(record, header), header.payload_size());
}

struct BlockRead {
  std::atomic<bool> done{false};
  Status status = Status::Ok;
  size_t bytes = 0;
  SectorAlignedMemory memory;
};

class BlockReadContext : public AsyncReadContext {
 public:
  explicit BlockReadContext(BlockRead* target) : target{target} {}
  BlockRead* target;

  static void Done(IAsyncContext* context, Status status, size_t bytes) {
    std::unique_ptr<BlockReadContext> read{static_cast<BlockReadContext*>(context)};
    read->target->status = status;
    read->target->bytes = bytes;
    read->target->memory = std::move(read->record);
    read->target->done.store(true, std::memory_order_release);
  }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

}  // namespace

Status CheckRecordHeader(RecordHeader header, Address address) {
  if (header.IsNull() || header.invalid()) return Status::NotFound;
  if (address.offset() + header.record_size() > Address::kPageSize) return Status::Corruption;
  return Status::Ok;
}

Status RecordReader::ReadPayload(Address record_address, PaddedBuffer& out) {
  if (record_address < log_.GetBeginAddress() || record_address >= log_.GetTailAddress() ||
      record_address.control() % 8 != 0) {
    return Status::NotFound;
  }
  if (record_address >= log_.GetHeadAddress()) return ReadFromMemory(record_address, out);
  return ReadFromLogFile(record_address, out);
}

Status RecordReader::ReadFromMemory(Address record_address, PaddedBuffer& out) {
  // The epoch keeps the page in its slot until this thread refreshes, even if the head
  // passes it meanwhile.
  const uint8_t* record = log_.Get(record_address);
  RecordHeader header{__atomic_load_n(reinterpret_cast<const uint64_t*>(record), __ATOMIC_ACQUIRE)};
  Status status = CheckRecordHeader(header, record_address);
  if (status == Status::Ok) CopyPayload(record, header, out);
  return status;
}

Status RecordReader::ReadFromLogFile(Address record_address, PaddedBuffer& out) {
  if (!BlockHolds(record_address, sizeof(RecordHeader))) {
    Status status;
    auto room = [this](uint32_t size) { return cached_.Resize(size); };
    if (ReadPayloadFromCache(log_.read_cache(), record_address, room, &status) && status == Status::Ok) {
      std::swap(out, cached_);
      return status;
    }
    uint64_t start = record_address.control() & ~uint64_t{kBlockBytes - 1};
    uint64_t page_end = Address{record_address.page() + 1, 0}.control();
    uint64_t length = std::min<uint64_t>(kBlockBytes, page_end - start);
    if (Status status = ReadBlock(Address{start}, static_cast<uint32_t>(length)); status != Status::Ok) {
      return status;
    }
    if (!BlockHolds(record_address, sizeof(RecordHeader))) return Status::IOError;
  }
  RecordHeader header{*reinterpret_cast<const uint64_t*>(BlockAt(record_address))};
  Status status = CheckRecordHeader(header, record_address);
  if (status != Status::Ok) return status;
  if (!BlockHolds(record_address, header.record_size())) {
    status = ReadBlock(record_address, static_cast<uint32_t>(header.record_size()));
    if (status != Status::Ok) return status;
    if (!BlockHolds(record_address, header.record_size())) return Status::IOError;
  }
  CopyPayload(BlockAt(record_address), header, out);
  return Status::Ok;
}

Status RecordReader::ReadBlock(Address address, uint32_t length) {
  block_.Release();
  block_length_ = 0;
  BlockRead read;
  BlockReadContext context{&read};
  Status status = log_.ReadFromDisk(address, length, &BlockReadContext::Done, context,
                                    [this] { session_.Refresh(); });
  if (status != Status::Ok) return status;
  while (!read.done.load(std::memory_order_acquire)) {
    if (!log_.disk().TryComplete()) std::this_thread::yield();
    session_.Refresh();
  }
  if (read.status != Status::Ok) return read.status;
  block_ = std::move(read.memory);
  block_start_ = address;
  uint64_t transferred = read.bytes > block_.valid_offset ? read.bytes - block_.valid_offset : 0;
  block_length_ = std::min<uint64_t>(block_.available_bytes, transferred);
  log_.read_cache().Insert(address.control(), block_.valid_pointer(), block_length_);
  return Status::Ok;
}

}  // namespace core
}  // namespace psfstore
