#include "engine/persistence/checkpoint/index_checkpoint.h"

#include <algorithm>
#include <memory>
#include <thread>


namespace psfstore {
namespace core {

namespace {

using OverflowBuckets = InternalHashTable::OverflowBuckets;

// The bucket table is cut into at most this many concurrent writes.
constexpr uint64_t kTableChunks = 256;

// Chunks of equal size that keep every transfer a multiple of the file's alignment.
uint64_t ChunkCount(uint64_t table_bytes, uint32_t alignment) {
  uint64_t chunks = kTableChunks;
  while (chunks > 1 && (table_bytes % chunks != 0 || (table_bytes / chunks) % alignment != 0)) chunks /= 2;
  return chunks;
}

uint64_t OverflowPages(uint64_t bucket_count) {
  return (bucket_count + OverflowBuckets::kItemsPerPage - 1) / OverflowBuckets::kItemsPerPage;
}

// Size of the file at `path`, or -1 when it cannot be read.
int64_t FileSize(device::Disk& disk, const std::string& path) {
  uint64_t size = 0;
  return disk.FileSize(path, &size) == Status::Ok ? static_cast<int64_t>(size) : -1;
}

}  // namespace

class FileTransfers::TransferContext : public IAsyncContext {
 public:
  TransferContext(FileTransfers* owner, uint32_t length) : owner{owner}, length{length} {}
  FileTransfers* owner;
  uint32_t length;

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

Status FileTransfers::Open(const std::string& path, device::Disk& disk) {
  file_ = device::DiskFile{&disk, path, device::FileOptions{}};
  failed_.store(false);
  pending_.store(1);  // held until SealAndCloseWhenDone
  Status status = file_.Open();
  if (status != Status::Ok) MarkFailed();
  return status;
}

Status FileTransfers::Read(uint64_t offset, void* buffer, uint32_t length) {
  return Schedule(false, offset, buffer, length);
}

Status FileTransfers::Write(uint64_t offset, const void* buffer, uint32_t length) {
  return Schedule(true, offset, const_cast<void*>(buffer), length);
}

Status FileTransfers::Schedule(bool write, uint64_t offset, void* buffer, uint32_t length) {
  TransferContext context{this, length};
  pending_.fetch_add(1, std::memory_order_acq_rel);
  Status status = write ? file_.WriteAsync(offset, buffer, length, &OnTransferDone, context)
                        : file_.ReadAsync(offset, buffer, length, &OnTransferDone, context);
  if (status != Status::Ok) {
    MarkFailed();
    pending_.fetch_sub(1, std::memory_order_acq_rel);  // the seal is still held: never the last
  }
  return status;
}

void FileTransfers::SealAndCloseWhenDone() {
  if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) Release();
}

void FileTransfers::OnTransferDone(IAsyncContext* context, Status result, size_t bytes) {
  std::unique_ptr<TransferContext> transfer{static_cast<TransferContext*>(context)};
  FileTransfers* owner = transfer->owner;
  // A short transfer (a read past the end of a truncated file) is a failure too.
  if (result != Status::Ok || bytes != transfer->length) owner->MarkFailed();
  if (owner->pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) owner->Release();
}

void FileTransfers::Release() {
  if (file_.is_open()) {
    // O_DIRECT bypasses the page cache but not the device's cache: make the data
    // durable before the checkpoint counts as written.
    if (!failed() && file_.Sync() != Status::Ok) MarkFailed();
    if (file_.Close() != Status::Ok) MarkFailed();
  }
  file_ = device::DiskFile{};
  // Published last: whoever sees done() also sees the failed flag.
  pending_.store(0, std::memory_order_release);
}

uint64_t OverflowBucketsInUse(const InternalHashTable& table) {
  uint64_t count = table.overflow_buckets().count();
  return count <= 1 ? 0 : count;
}

Status IndexFiles::StartWrite(InternalHashTable& table, const std::string& directory,
                              device::Disk& disk, IndexMetadata& metadata) {
  metadata.table_size = table.size();
  metadata.hash_table_bytes = 0;
  metadata.overflow_bytes = 0;
  metadata.overflow_bucket_count = 0;
  Status result = Status::Ok;
  auto keep_first = [&result](Status status) {
    if (result == Status::Ok) result = status;
  };

  uint64_t table_bytes = table.size() * sizeof(HashBucket);
  Status status = table_file_.Open(directory + "ht.dat", disk);
  keep_first(status);
  if (status == Status::Ok) {
    uint64_t chunks = ChunkCount(table_bytes, table_file_.alignment());
    uint64_t chunk_bytes = table_bytes / chunks;
    const auto* bytes = reinterpret_cast<const uint8_t*>(table.buckets());
    for (uint64_t i = 0; i < chunks && status == Status::Ok; ++i) {
      status = table_file_.Write(i * chunk_bytes, bytes + i * chunk_bytes, static_cast<uint32_t>(chunk_bytes));
    }
    keep_first(status);
    if (status == Status::Ok) metadata.hash_table_bytes = table_bytes;
  }
  table_file_.SealAndCloseWhenDone();

  // Buckets beyond the count read now may be linked while the pages are written; the
  // log replay at recovery relinks their keys.
  uint64_t bucket_count = OverflowBucketsInUse(table);
  status = overflow_file_.Open(directory + "ofb.dat", disk);
  keep_first(status);
  if (status == Status::Ok) {
    for (uint64_t page = 0; page < OverflowPages(bucket_count) && status == Status::Ok; ++page) {
      status = overflow_file_.Write(page * OverflowBuckets::kPageBytes, table.overflow_buckets().page(page),
                                    static_cast<uint32_t>(OverflowBuckets::kPageBytes));
    }
    keep_first(status);
    if (status == Status::Ok) {
      metadata.overflow_bucket_count = bucket_count;
      metadata.overflow_bytes = bucket_count * sizeof(HashBucket);
    }
  }
  overflow_file_.SealAndCloseWhenDone();
  return result;
}

Status IndexFiles::StartLoad(InternalHashTable& table, const std::string& directory,
                             device::Disk& disk, const IndexMetadata& metadata) {
  uint64_t size = metadata.table_size;
  if (size == 0 || (size & (size - 1)) != 0 || size > InternalHashTable::kMaxSize ||
      metadata.hash_table_bytes != size * sizeof(HashBucket) ||
      metadata.overflow_bytes != metadata.overflow_bucket_count * sizeof(HashBucket) ||
      metadata.overflow_bucket_count == 1 || metadata.overflow_bucket_count > (uint64_t{1} << 48)) {
    return Status::Corruption;
  }
  uint64_t pages = OverflowPages(metadata.overflow_bucket_count);
  // Files shorter than their recorded content were truncated: refuse before loading.
  int64_t table_file_size = FileSize(disk, directory + "ht.dat");
  int64_t overflow_file_size = FileSize(disk, directory + "ofb.dat");
  if (table_file_size < 0 || overflow_file_size < 0 ||
      static_cast<uint64_t>(table_file_size) < metadata.hash_table_bytes ||
      static_cast<uint64_t>(overflow_file_size) < pages * OverflowBuckets::kPageBytes) {
    return Status::IOError;
  }
  try {
    table.Initialize(size);  // zeroed buckets, an empty overflow allocator
  } catch (const std::exception&) {
    return Status::OutOfMemory;
  }
  if (metadata.overflow_bucket_count > 0 && !table.overflow_buckets().Restore(metadata.overflow_bucket_count)) {
    return Status::OutOfMemory;
  }

  Status result = Status::Ok;
  Status status = table_file_.Open(directory + "ht.dat", disk);
  if (status == Status::Ok) {
    uint64_t chunks = ChunkCount(metadata.hash_table_bytes, table_file_.alignment());
    uint64_t chunk_bytes = metadata.hash_table_bytes / chunks;
    auto* bytes = reinterpret_cast<uint8_t*>(table.buckets());
    for (uint64_t i = 0; i < chunks && status == Status::Ok; ++i) {
      status = table_file_.Read(i * chunk_bytes, bytes + i * chunk_bytes, static_cast<uint32_t>(chunk_bytes));
    }
  }
  result = status;
  table_file_.SealAndCloseWhenDone();
  if (result != Status::Ok) {
    overflow_file_.SealAndCloseWhenDone();
    return result;
  }
  status = overflow_file_.Open(directory + "ofb.dat", disk);
  for (uint64_t page = 0; page < pages && status == Status::Ok; ++page) {
    status = overflow_file_.Read(page * OverflowBuckets::kPageBytes, table.overflow_buckets().page(page),
                                 static_cast<uint32_t>(OverflowBuckets::kPageBytes));
  }
  overflow_file_.SealAndCloseWhenDone();
  return status == Status::Ok ? Status::Ok : Status::IOError;
}

bool IndexFiles::Poll(device::Disk& disk) {
  if (done()) return true;
  disk.TryComplete();
  return done();
}

Status IndexFiles::Wait(device::Disk& disk) {
  while (!done()) {
    if (!disk.TryComplete()) std::this_thread::yield();
  }
  return failed() ? Status::IOError : Status::Ok;
}

void RepairLoadedIndex(InternalHashTable& table) {
  const OverflowBuckets& overflow = table.overflow_buckets();
  const uint64_t buckets_in_use = overflow.count();
  auto repair = [buckets_in_use](HashBucket& bucket) {
    for (auto& slot : bucket.entries) {
      if (slot.load().tentative()) slot.store(HashBucketEntry{});
    }
    if (bucket.overflow_entry.load() >= buckets_in_use) {
      // The link word is a plain 64-bit atomic; the bucket type only lets it be set once.
      reinterpret_cast<std::atomic<uint64_t>*>(&bucket.overflow_entry)->store(0);
    }
  };
  for (uint64_t i = 0; i < table.size(); ++i) repair(table.buckets()[i]);
  // Address 0 is never a bucket.
  for (uint64_t address = 1; address < buckets_in_use; ++address) repair(overflow.Get(address));
}

}  // namespace core
}  // namespace psfstore
