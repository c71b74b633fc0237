#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/core/light_epoch.h"
#include "engine/persistence/io/memory_disk.h"
#include "engine/persistence/log/hybrid_log.h"
#include "temp_directory.h"

using namespace psfstore;
using core::Address;
using core::AsyncReadContext;
using core::IAsyncContext;
using core::Status;
using environment::IoMechanism;
using core::LightEpoch;
using test_support::TempDirectory;

namespace psfstore::core {
void PrintTo(Address address, std::ostream* out) {
  *out << "page " << address.page() << " offset " << address.offset();
}
}  // namespace psfstore::core

namespace {

using Disk = device::StoreDisk<LightEpoch>;
using Log = core::PersistentMemoryMalloc<LightEpoch>;
constexpr uint64_t kPage = Log::kPageSize;
constexpr uint64_t kSixPages = 6 * kPage;

// The byte a test record holds at `address`: a function of the address, so any byte
// read back tells whether it came from the right place.
uint8_t PatternByte(uint64_t address) {
  uint64_t mixed = address * 0x9E3779B97F4A7C15ull;
  return static_cast<uint8_t>(mixed >> 56);
}

void FillRecord(Log& log, Address address, uint32_t size) {
  uint8_t* memory = log.Get(address);
  for (uint32_t i = 0; i < size; ++i) memory[i] = PatternByte(address.control() + i);
}

// Checks the invariants that hold between the markers at any moment.
void ExpectMarkerOrder(const Log& log) {
  Address flushed = log.GetFlushedUntilAddress();
  Address head = log.GetHeadAddress();
  EXPECT_LE(log.GetSafeHeadAddress(), head);
  EXPECT_LE(head, std::max(Address{flushed.page(), 0}, log.GetBeginAddress()))
      << "head passed data that is not on disk";
  EXPECT_LE(log.GetSafeReadOnlyAddress(), log.GetReadOnlyAddress());
  EXPECT_LE(log.GetReadOnlyAddress(), log.GetTailAddress());
}

struct ReadResult {
  std::atomic<int> done{0};
  Status status = Status::Aborted;
  std::vector<uint8_t> bytes;
};

class RecordRead : public AsyncReadContext {
 public:
  explicit RecordRead(ReadResult* result) : result{result} {}
  ReadResult* result;

  static void Done(IAsyncContext* context, Status status, size_t) {
    std::unique_ptr<RecordRead> read{static_cast<RecordRead*>(context)};
    read->result->status = status;
    const uint8_t* bytes = read->record.valid_pointer();
    read->result->bytes.assign(bytes, bytes + read->record.required_bytes);
    read->result->done.store(1);
  }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

// A log of six pages over a disk in a fresh directory.
class LogFixture {
 public:
  LogFixture(const std::string& parent, IoMechanism mechanism, bool unbuffered = true,
             uint64_t log_size = kSixPages)
      : directory{parent},
        disk{std::make_unique<Disk>(directory.path(), epoch, mechanism,
                                    device::FileOptions{unbuffered})},
        log{std::make_unique<Log>(log_size, epoch, *disk, Address{0})} {
    epoch.Protect();  // the test thread works on the log like a session
  }
  // A log of six pages over a disk in memory that fails what it is told to.
  explicit LogFixture(device::MemoryDisk*& memory)
      : directory{"/tmp"},
        disk{MakeMemoryDisk(directory.path(), epoch, memory)},
        log{std::make_unique<Log>(kSixPages, epoch, *disk, Address{0})} {
    epoch.Protect();
  }
  static std::unique_ptr<Disk> MakeMemoryDisk(const std::string& root, LightEpoch& epoch,
                                              device::MemoryDisk*& memory) {
    auto owned = std::make_unique<device::MemoryDisk>();
    memory = owned.get();
    return std::make_unique<Disk>(root, epoch, std::move(owned));
  }
  ~LogFixture() {
    epoch.Unprotect();
    log.reset();
  }

  // What a session does while the tail waits: move its epoch forward (running the
  // deferred actions that became ready).
  auto Refresher() {
    return [this] { epoch.Protect(); };
  }

  Address Reserve(uint32_t size) { return log->ReserveRecordSpace(size, Refresher()); }

  // Freezes and writes everything up to the tail, and waits until it is on disk.
  Address FlushAll() {
    Address tail = log->MoveReadOnlyToTail();
    epoch.Protect();
    while (log->FlushStatus(tail) == Status::Pending) {
      disk->TryComplete();
      epoch.Protect();
    }
    return tail;
  }

  ReadResult& ReadBack(Address address, uint32_t size, ReadResult& result) {
    RecordRead context{&result};
    EXPECT_EQ(log->ReadFromDisk(address, size, RecordRead::Done, context, Refresher()), Status::Ok);
    while (result.done.load() == 0) disk->TryComplete();
    return result;
  }

  // A record below the head comes back from disk byte for byte; above it, it is
  // still in memory.
  void ExpectRecordIntact(Address address, uint32_t size) {
    std::vector<uint8_t> expected(size);
    for (uint32_t b = 0; b < size; ++b) expected[b] = PatternByte(address.control() + b);
    if (address < log->GetHeadAddress()) {
      ReadResult result;
      ReadBack(address, size, result);
      ASSERT_EQ(result.status, Status::Ok);
      ASSERT_EQ(result.bytes, expected) << "record at " << address.control();
    } else {
      ASSERT_EQ(std::memcmp(log->Get(address), expected.data(), size), 0)
          << "record at " << address.control();
    }
  }

  LightEpoch epoch;
  TempDirectory directory;
  std::unique_ptr<Disk> disk;
  std::unique_ptr<Log> log;
};

TEST(HybridLogTest, SizesFirstAddressAndPageBoundaries) {
  TempDirectory directory{"/tmp"};
  LightEpoch epoch;
  Disk disk{directory.path(), epoch};
  auto expect_refused = [&](uint64_t size, const char* message) {
    try {
      Log log{size, epoch, disk, Address{0}};
      ADD_FAILURE() << "log of " << size << " bytes accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), message);
    }
  };
  expect_refused(160ull << 20, "Must have at least 2 non-head pages");
  expect_refused(100ull << 20, "Log size must be a multiple of 32 MB");
  expect_refused(0, "Must have at least 2 non-head pages");

  LogFixture fixture{"/tmp", IoMechanism::kAutomatic};
  Log& log = *fixture.log;
  EXPECT_EQ(log.GetBeginAddress(), Address{64});
  EXPECT_EQ(log.GetHeadAddress(), Address{64});
  EXPECT_EQ(log.GetFlushedUntilAddress(), Address{0});
  // A record that could never fit a page is refused instead of spinning forever.
  EXPECT_EQ(fixture.Reserve(kPage + 1), Address::Invalid());

  // Exactly filling page 0 stays on page 0.
  EXPECT_EQ(fixture.Reserve(static_cast<uint32_t>(kPage - 64)), (Address{0, 64}));
  EXPECT_EQ(fixture.Reserve(8), (Address{1, 0}));
  // One byte more than what is left moves the record to the next page.
  EXPECT_EQ(fixture.Reserve(static_cast<uint32_t>(kPage - 8 + 1)), (Address{2, 0}));
  // The page's padding after its end reads as zeros.
  EXPECT_EQ(std::memcmp(log.Get(Address{2, 0}) + kPage, std::vector<uint8_t>(64, 0).data(), 64), 0);
  fixture.epoch.Protect();
  EXPECT_EQ(log.GetReadOnlyAddress(), Address{64}) << "tail page 2 keeps everything mutable";

  EXPECT_EQ(fixture.Reserve(static_cast<uint32_t>(kPage)), (Address{3, 0}));
  EXPECT_EQ(log.GetReadOnlyAddress(), (Address{1, 0}));
  fixture.epoch.Protect();
  EXPECT_EQ(log.GetSafeReadOnlyAddress(), (Address{1, 0}));
  // A marker move takes effect only once every thread has left the epoch.
  log.MoveReadOnlyMarker(4);
  EXPECT_EQ(log.GetReadOnlyAddress(), (Address{2, 0}));
  EXPECT_EQ(log.GetSafeReadOnlyAddress(), (Address{1, 0}));
  fixture.epoch.Protect();
  EXPECT_EQ(log.GetSafeReadOnlyAddress(), (Address{2, 0}));
  ExpectMarkerOrder(log);
}

// Disk or tmpfs directory, io_uring or synchronous transfers, page cache bypassed or not.
using LogParameters = std::tuple<const char*, IoMechanism, bool>;

class HybridLogDeviceTest : public ::testing::TestWithParam<LogParameters> {};

TEST_P(HybridLogDeviceTest, FillsTheRingSeveralTimesAndReadsOldRecordsBackFromDisk) {
  LogFixture fixture{std::get<0>(GetParam()), std::get<1>(GetParam()), std::get<2>(GetParam())};
  Log& log = *fixture.log;
  std::mt19937 random{42};
  std::uniform_int_distribution<uint32_t> size_of{1, 8192};
  std::vector<std::pair<Address, uint32_t>> records;
  // Sixteen pages through a ring of six: every slot is flushed, closed, zeroed and
  // reused at least twice.
  while (log.GetTailAddress().page() < 16) {
    uint32_t size = size_of(random) * 8;
    if (random() % 256 == 0) size = static_cast<uint32_t>(kPage / 2 + 8);  // forces page ends
    Address address = fixture.Reserve(size);
    ASSERT_GE(address, log.GetReadOnlyAddress());
    ASSERT_EQ(address.page(), (address + (size - 1)).page()) << "record crosses a page";
    FillRecord(log, address, size);
    records.emplace_back(address, size);
    ExpectMarkerOrder(log);
  }
  // A slot reused for the tail page came back zeroed beyond the tail.
  Address tail = log.GetTailAddress();
  const uint8_t* beyond = log.Get(tail);
  EXPECT_TRUE(std::all_of(beyond, beyond + (kPage - tail.offset()), [](uint8_t b) { return b == 0; }));

  Address flushed = fixture.FlushAll();
  EXPECT_GE(log.GetFlushedUntilAddress(), flushed);
  EXPECT_EQ(log.FlushStatus(flushed), Status::Ok);
  Address head = log.GetHeadAddress();
  EXPECT_GE(head.page(), 10u);
  EXPECT_TRUE(std::filesystem::exists(fixture.directory.path() + "/log.log0"));

  size_t read_back = 0;
  for (size_t i = 0; i < records.size(); i += 17) {
    ASSERT_NO_FATAL_FAILURE(fixture.ExpectRecordIntact(records[i].first, records[i].second));
    if (records[i].first < head) ++read_back;
  }
  EXPECT_GT(read_back, 50u);
  EXPECT_EQ(log.outstanding_reads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    AllDevices, HybridLogDeviceTest,
    ::testing::Combine(::testing::ValuesIn(test_support::kTestParents),
                       ::testing::Values(IoMechanism::kAutomatic, IoMechanism::kSynchronous),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<LogParameters>& info) {
      std::string name = std::string{std::get<0>(info.param)} == "/tmp" ? "Disk" : "Tmpfs";
      name += std::get<1>(info.param) == IoMechanism::kAutomatic ? "Ring" : "Synchronous";
      return name + (std::get<2>(info.param) ? "Direct" : "Buffered");
    });

TEST(HybridLogTest, FlushedUntilWaitsForTheGapAndWholePagesAreWritten) {
  // Synchronous transfers complete in submission order, so the test chooses the order.
  LogFixture fixture{"/tmp", IoMechanism::kSynchronous};
  Log& log = *fixture.log;
  fixture.Reserve(static_cast<uint32_t>(kPage - 64));
  fixture.Reserve(static_cast<uint32_t>(kPage));
  Address on_page_two = fixture.Reserve(4096);
  ASSERT_EQ(on_page_two, (Address{2, 0}));
  FillRecord(log, on_page_two, 4096);

  ASSERT_EQ(log.AsyncFlushPages(1, Address{2, 0}), Status::Ok);
  while (fixture.disk->TryComplete()) {
  }
  EXPECT_EQ(log.GetFlushedUntilAddress(), Address{0}) << "page 1 finished before page 0";
  EXPECT_EQ(log.FlushStatus(Address{2, 0}), Status::Pending);

  // A flush that ends inside page 2 writes the whole page.
  ASSERT_EQ(log.AsyncFlushPages(2, Address{2, 4096}), Status::Ok);
  ASSERT_EQ(log.AsyncFlushPages(0, Address{1, 0}), Status::Ok);
  while (fixture.disk->TryComplete()) {
  }
  EXPECT_EQ(log.GetFlushedUntilAddress(), (Address{2, 4096}));
  EXPECT_EQ(std::filesystem::file_size(fixture.directory.path() + "/log.log0"), 3 * kPage);
  ReadResult result;
  fixture.ReadBack(on_page_two + 100, 3000, result);
  ASSERT_EQ(result.status, Status::Ok);
  for (uint32_t b = 0; b < 3000; ++b) {
    ASSERT_EQ(result.bytes[b], PatternByte(on_page_two.control() + 100 + b));
  }

  // Writing more of page 2 while its earlier write is queued: the later end wins and
  // the marker never moves back.
  Address more = fixture.Reserve(8192);
  FillRecord(log, more, 8192);
  ASSERT_EQ(log.AsyncFlushPages(2, more + 8192), Status::Ok);
  ASSERT_EQ(log.AsyncFlushPages(2, Address{2, 512}), Status::Ok);
  while (fixture.disk->TryComplete()) {
  }
  EXPECT_EQ(log.GetFlushedUntilAddress(), more + 8192);
}

TEST(HybridLogTest, FailedPageWritesAreRetriedAndNeverReportedDurable) {
  device::MemoryDisk* memory = nullptr;
  LogFixture fixture{memory};
  Log& log = *fixture.log;
  // Every write that touches page 1 fails (torn: half of it lands) until the disk heals.
  memory->Inject({environment::IoOperation::kWrite, "log.log0", kPage});

  std::vector<std::pair<Address, uint32_t>> records;
  auto fill_until_page = [&](uint64_t page) {
    while (log.GetTailAddress().page() < page) {
      Address address = fixture.Reserve(1 << 20);
      FillRecord(log, address, 1 << 20);
      records.emplace_back(address, 1 << 20);
      while (fixture.disk->TryComplete()) {
      }
    }
  };
  fill_until_page(4);  // read-only reaches page 2: pages 0 and 1 are written
  fixture.epoch.Protect();
  while (fixture.disk->TryComplete()) {
  }
  EXPECT_GT(memory->failed_transfers(), 0u);
  EXPECT_EQ(log.GetFlushedUntilAddress(), (Address{1, 0})) << "failed page counted as durable";
  EXPECT_EQ(log.FlushStatus(Address{2, 0}), Status::IOError);
  EXPECT_EQ(log.FlushStatus(Address{1, 0}), Status::Ok);
  ExpectMarkerOrder(log);

  // The device recovers: the tail, waiting for page 1's slot, writes it again.
  memory->Heal();
  fill_until_page(9);
  Address flushed = fixture.FlushAll();
  EXPECT_EQ(log.FlushStatus(flushed), Status::Ok);
  ASSERT_GT(log.GetHeadAddress(), (Address{2, 0}));
  for (auto [address, size] : records) {
    if (address.page() != 1) continue;
    ReadResult result;
    fixture.ReadBack(address, size, result);
    ASSERT_EQ(result.status, Status::Ok);
    for (uint32_t b = 0; b < size; b += 4093) {
      ASSERT_EQ(result.bytes[b], PatternByte(address.control() + b));
    }
  }

  // A read that fails (torn: half its bytes arrive) ends with IOError, not with the
  // half it got; the disk counted it, and the next read of the record is whole.
  auto [address, size] = *std::find_if(records.begin(), records.end(),
                                       [](const auto& record) { return record.first.page() == 1; });
  memory->Inject({environment::IoOperation::kRead, "log.log0", address.control(), 0, 1});
  ReadResult failed;
  fixture.ReadBack(address, size, failed);
  EXPECT_EQ(failed.status, Status::IOError);
  ReadResult again;
  fixture.ReadBack(address, size, again);
  ASSERT_EQ(again.status, Status::Ok);
  EXPECT_EQ(again.bytes[size - 1], PatternByte(address.control() + size - 1));
}

TEST(HybridLogTest, ConcurrentWritersWhilePagesAreFlushedClosedAndReused) {
  LogFixture fixture{"/dev/shm", IoMechanism::kAutomatic};
  Log& log = *fixture.log;
  constexpr int kThreads = 3;
  constexpr uint64_t kLastPage = 14;
  std::vector<std::vector<std::pair<Address, uint32_t>>> written(kThreads);
  fixture.epoch.Unprotect();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      fixture.epoch.Protect();
      std::mt19937 random{static_cast<uint32_t>(100 + t)};
      while (log.GetTailAddress().page() < kLastPage) {
        uint32_t size = (random() % 2048 + 1) * 8;
        Address address = fixture.Reserve(size);
        // The page cannot be frozen, written or zeroed under us while we hold the
        // epoch in which we reserved it.
        FillRecord(log, address, size);
        written[t].emplace_back(address, size);
        if (written[t].size() % 16 == 0) fixture.epoch.Protect();
      }
      fixture.epoch.Unprotect();
    });
  }
  for (auto& thread : threads) thread.join();
  fixture.epoch.Protect();
  fixture.FlushAll();
  Address head = log.GetHeadAddress();
  ASSERT_GT(head.page(), 5u);
  for (auto& list : written) {
    for (size_t i = 0; i < list.size(); i += 23) {
      ASSERT_NO_FATAL_FAILURE(fixture.ExpectRecordIntact(list[i].first, list[i].second));
    }
  }
}

TEST(HybridLogTest, ConcurrentReservationsAndRunsHandOutEveryByteOnce) {
  LogFixture fixture{"/dev/shm", IoMechanism::kAutomatic};
  Log& log = *fixture.log;
  constexpr int kThreads = 4;
  constexpr uint64_t kLastPage = 14;
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> reserved(kThreads);
  fixture.epoch.Unprotect();  // only the reserving threads hold the epoch
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      fixture.epoch.Protect();
      std::mt19937 random{static_cast<uint32_t>(t + 1)};
      while (log.GetTailAddress().page() < kLastPage) {
        if (random() % 4 == 0) {
          // A run of records in one piece: as many as fit in the tail page, or the
          // first alone on the next.
          std::vector<uint32_t> sizes(random() % 64 + 1);
          for (uint32_t& size : sizes) size = (random() % 4096 + 1) * 8;
          auto fit = [&](uint64_t room) {
            uint64_t bytes = 0;
            for (uint32_t size : sizes) {
              if (bytes + size > room) break;
              bytes += size;
            }
            return bytes;
          };
          uint64_t taken = 0;
          Address address = log.ReserveRun(fit, sizes[0], &taken, fixture.Refresher());
          for (uint32_t size : sizes) {
            if (taken == 0) break;
            ASSERT_LE(size, taken) << "a run ends inside a record";
            reserved[t].emplace_back(address.control(), size);
            address += size;
            taken -= size;
          }
          continue;
        }
        uint32_t size = (random() % 4096 + 1) * 8;
        if (random() % 512 == 0) size = static_cast<uint32_t>(kPage / 3);
        Address address = fixture.Reserve(size);
        reserved[t].emplace_back(address.control(), size);
      }
      fixture.epoch.Unprotect();
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::pair<uint64_t, uint32_t>> all;
  for (auto& list : reserved) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  // Within a page the reservations tile it from its first byte with no gap and no
  // overlap; only the rest of a page after its last record is left unused.
  uint64_t expected_next = 64;
  for (auto [start, size] : all) {
    Address address{start};
    ASSERT_EQ(address.page(), Address{start + size - 1}.page()) << "crosses a page: " << start;
    if (start != expected_next) {
      ASSERT_EQ(address.offset(), 0u) << "gap or overlap at " << start << ", expected "
                                      << expected_next;
      ASSERT_GT(start, expected_next) << "overlap at " << start;
      ASSERT_EQ(address.page(), Address{expected_next}.page() + 1) << "a page was skipped";
    }
    expected_next = start + size;
  }
  ExpectMarkerOrder(log);
}

}  // namespace

namespace {

TEST(SectorAlignedBufferPoolTest, ClassesAlignmentAndExclusiveReuseAcrossThreads) {
  core::SectorAlignedBufferPool pool{1, 512};
  EXPECT_EQ(pool.SizeClass(1), 0u);
  EXPECT_EQ(pool.SizeClass(512), 0u);
  EXPECT_EQ(pool.SizeClass(513), 1u);
  EXPECT_EQ(pool.SizeClass(1024), 1u);
  EXPECT_EQ(pool.SizeClass(1025), 2u);
  EXPECT_EQ(pool.SizeClass(uint32_t{1} << 25), 16u);

  uint8_t* first;
  {
    core::SectorAlignedMemory memory = pool.Get(3000);
    first = memory.buffer();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 512, 0u);
    EXPECT_EQ(memory.size_class(), 3u);
    // The sector after the class's bytes is readable and zero.
    EXPECT_EQ(first[pool.ClassBytes(3)], 0);
    core::SectorAlignedMemory moved = std::move(memory);
    EXPECT_EQ(memory.buffer(), nullptr);
  }
  EXPECT_EQ(pool.Get(4096).buffer(), first) << "a released buffer is reused";

  // Buffers passed between threads are never held by two holders at once.
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        core::SectorAlignedMemory memory = pool.Get(512 * (1 + i % 3));
        auto* word = reinterpret_cast<std::atomic<uint64_t>*>(memory.buffer());
        uint64_t mine = (uint64_t(t) << 32) | uint64_t(i);
        word->store(mine);
        std::this_thread::yield();
        if (word->load() != mine) clashes.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
}

}  // namespace
