#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/core/async_context.h"
#include "engine/core/light_epoch.h"
#include "engine/persistence/io/store_disk.h"
#include "temp_directory.h"

using namespace psfstore;
using core::IAsyncContext;
using core::Status;
using core::StatusCode;
using device::FileOptions;
using device::DiskFile;
using environment::IoMechanism;
using core::LightEpoch;
using test_support::TempDirectory;

namespace {

using Disk = device::StoreDisk<LightEpoch>;
constexpr uint64_t kSegment = uint64_t{1} << 30;

// Counts completions and remembers the last result.
struct Completion {
  std::atomic<int> calls{0};
  std::atomic<StatusCode> result{StatusCode::Aborted};
  std::atomic<size_t> bytes{0};
};

class CompletionContext : public IAsyncContext {
 public:
  explicit CompletionContext(Completion* completion) : completion{completion} {}
  Completion* completion;

  static void Done(IAsyncContext* context, Status result, size_t bytes) {
    std::unique_ptr<CompletionContext> owned{static_cast<CompletionContext*>(context)};
    owned->completion->result.store(result.code());
    owned->completion->bytes.store(bytes);
    owned->completion->calls.fetch_add(1);
  }

 protected:
  Status DeepCopyInternal(IAsyncContext*& copy) override { return DeepCopyOf(*this, copy); }
};

struct AlignedFree {
  void operator()(void* pointer) const { free(pointer); }
};
using AlignedBuffer = std::unique_ptr<char, AlignedFree>;

AlignedBuffer Allocate(size_t size, char fill) {
  AlignedBuffer buffer{static_cast<char*>(aligned_alloc(4096, size))};
  std::memset(buffer.get(), fill, size);
  return buffer;
}

bool UsesIoUring(Disk& disk) {
  return static_cast<device::FileSystemDisk&>(disk.disk()).uses_io_uring();
}

void PollUntil(Disk& disk, Completion& completion, int calls) {
  while (completion.calls.load() < calls) disk.TryComplete();
}

// Every combination of parent directory (disk, tmpfs), transfer mechanism and
// page-cache use.
using DeviceParameters = std::tuple<const char*, IoMechanism, bool>;

class DeviceTest : public ::testing::TestWithParam<DeviceParameters> {
 protected:
  DeviceTest() : directory_{std::get<0>(GetParam())} {}
  std::unique_ptr<Disk> MakeDisk(std::string root) {
    return std::make_unique<Disk>(root, epoch_, std::get<1>(GetParam()),
                                  FileOptions{std::get<2>(GetParam())});
  }
  LightEpoch epoch_;
  TempDirectory directory_;
};

TEST_P(DeviceTest, WritesReadBackAcrossSegmentsAndSurviveReopen) {
  {
    auto disk = MakeDisk(directory_.path());
    bool expect_ring = std::get<1>(GetParam()) == IoMechanism::kAutomatic;
    if (!expect_ring) {
      EXPECT_FALSE(UsesIoUring(*disk));
    }
    EXPECT_FALSE(disk->TryComplete()) << "idle queue reports a completion";

    Completion writes;
    auto first = Allocate(8192, 'a');
    auto second = Allocate(4096, 'b');
    CompletionContext context{&writes};
    ASSERT_EQ(disk->log().WriteAsync(512, first.get(), 8192, CompletionContext::Done, context),
              Status::Ok);
    // The first write at 2^30 opens segment 1 and keeps segment 0 usable.
    ASSERT_EQ(disk->log().WriteAsync(kSegment, second.get(), 4096, CompletionContext::Done, context),
              Status::Ok);
    PollUntil(*disk, writes, 2);
    EXPECT_EQ(writes.result.load(), Status::Ok);
    EXPECT_EQ(writes.calls.load(), 2);
    EXPECT_TRUE(directory_.Exists("log.log0"));
    EXPECT_TRUE(directory_.Exists("log.log1"));
    EXPECT_FALSE(disk->TryComplete());
  }
  // A new disk over the same directory finds the data: opening never truncates.
  auto disk = MakeDisk(directory_.path() + "/");
  Completion reads;
  CompletionContext context{&reads};
  auto back = Allocate(8192, 0);
  ASSERT_EQ(disk->log().ReadAsync(512, back.get(), 8192, CompletionContext::Done, context),
            Status::Ok);
  PollUntil(*disk, reads, 1);
  EXPECT_EQ(reads.result.load(), Status::Ok);
  EXPECT_EQ(reads.bytes.load(), 8192u);
  EXPECT_EQ(std::memcmp(back.get(), Allocate(8192, 'a').get(), 8192), 0);

  ASSERT_EQ(disk->log().ReadAsync(kSegment, back.get(), 8192, CompletionContext::Done, context),
            Status::Ok);
  PollUntil(*disk, reads, 2);
  // A read past the end of the file succeeds with what is there.
  EXPECT_EQ(reads.result.load(), Status::Ok);
  EXPECT_EQ(reads.bytes.load(), 4096u);
  EXPECT_EQ(std::memcmp(back.get(), Allocate(4096, 'b').get(), 4096), 0);
}

TEST_P(DeviceTest, ConcurrentSubmittersAndPollersCompleteEachTransferOnce) {
  auto disk = MakeDisk(directory_.path());
  constexpr int kThreads = 4;
  constexpr int kWritesPerThread = 256;  // 4 MiB in all, read back in 1 MiB pieces
  constexpr uint32_t kBlock = 4096;
  std::vector<Completion> completions(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto block = Allocate(kBlock, static_cast<char>('A' + t));
      CompletionContext context{&completions[t]};
      for (int i = 0; i < kWritesPerThread; ++i) {
        uint64_t address = (uint64_t(i) * kThreads + t) * kBlock;
        ASSERT_EQ(disk->log().WriteAsync(address, block.get(), kBlock, CompletionContext::Done,
                                         context),
                  Status::Ok);
        disk->TryComplete();  // pollers run other threads' callbacks too
      }
      // Keep the block alive until every write from this thread finished.
      while (completions[t].calls.load() < kWritesPerThread) disk->TryComplete();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(disk->TryComplete());
  EXPECT_EQ(disk->disk().outstanding(), 0u);
  for (auto& completion : completions) {
    EXPECT_EQ(completion.calls.load(), kWritesPerThread);
    EXPECT_EQ(completion.result.load(), Status::Ok);
  }
  Completion reads;
  CompletionContext context{&reads};
  size_t total = size_t{kThreads} * kWritesPerThread * kBlock;
  auto back = Allocate(total, 0);
  for (size_t offset = 0; offset < total; offset += 1 << 20) {
    ASSERT_EQ(disk->log().ReadAsync(offset, back.get() + offset, 1 << 20, CompletionContext::Done,
                                    context),
              Status::Ok);
  }
  PollUntil(*disk, reads, static_cast<int>(total >> 20));
  for (size_t block = 0; block < total / kBlock; ++block) {
    char expected = static_cast<char>('A' + block % kThreads);
    ASSERT_EQ(back.get()[block * kBlock], expected) << "block " << block;
    ASSERT_EQ(back.get()[block * kBlock + kBlock - 1], expected) << "block " << block;
  }
}

TEST_P(DeviceTest, RefusedTransfersReportAndNeverCallBack) {
  auto disk = MakeDisk(directory_.path());
  Completion completion;
  CompletionContext context{&completion};
  auto buffer = Allocate(8192, 'x');

  // A file that was never opened.
  DiskFile closed = disk->NewFile("never-opened.dat");
  EXPECT_EQ(closed.WriteAsync(0, buffer.get(), 4096, CompletionContext::Done, context),
            Status::IOError);

  // Misaligned offset, length or buffer, on a buffered file too.
  DiskFile file = disk->NewFile("single.dat");
  ASSERT_EQ(file.Open(), Status::Ok);
  EXPECT_EQ(file.alignment(), 512u);
  EXPECT_EQ(file.WriteAsync(100, buffer.get(), 4096, CompletionContext::Done, context),
            Status::IOError);
  EXPECT_EQ(file.WriteAsync(0, buffer.get(), 100, CompletionContext::Done, context),
            Status::IOError);
  EXPECT_EQ(file.ReadAsync(0, buffer.get() + 1, 512, CompletionContext::Done, context),
            Status::IOError);
  // A transfer that would cross a segment boundary.
  EXPECT_EQ(disk->log().WriteAsync(kSegment - 512, buffer.get(), 1024, CompletionContext::Done,
                                   context),
            Status::IOError);

  for (int i = 0; i < 10; ++i) EXPECT_FALSE(disk->TryComplete());
  EXPECT_EQ(completion.calls.load(), 0);
  EXPECT_EQ(disk->disk().outstanding(), 0u);

  // A heap context handed in by the caller stays the caller's after a refusal.
  auto* heap = new CompletionContext{&completion};
  IAsyncContext* copy = nullptr;
  ASSERT_EQ(heap->DeepCopy(copy), Status::Ok);
  delete heap;
  EXPECT_EQ(closed.ReadAsync(0, buffer.get(), 512, CompletionContext::Done, *copy),
            Status::IOError);
  EXPECT_TRUE(copy->from_deep_copy());
  CompletionContext::Done(copy, Status::Ok, 0);  // frees it
  file.Delete();
  EXPECT_FALSE(directory_.Exists("single.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    AllDevices, DeviceTest,
    ::testing::Combine(::testing::ValuesIn(test_support::kTestParents),
                       ::testing::Values(IoMechanism::kAutomatic, IoMechanism::kSynchronous),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<DeviceParameters>& info) {
      std::string name = std::string{std::get<0>(info.param)} == "/tmp" ? "Disk" : "Tmpfs";
      name += std::get<1>(info.param) == IoMechanism::kAutomatic ? "Ring" : "Synchronous";
      name += std::get<2>(info.param) ? "Direct" : "Buffered";
      return name;
    });

TEST(SegmentedFileTest, NamesGrowthAndTruncation) {
  TempDirectory directory{"/tmp"};
  LightEpoch epoch;
  Disk with_separator{directory.path() + "/", epoch};
  Disk without_separator{directory.path(), epoch};
  EXPECT_EQ(with_separator.log().SegmentName(7), directory.path() + "/log.log7");
  EXPECT_EQ(without_separator.log().SegmentName(12), directory.path() + "/log.log12");
  EXPECT_EQ(without_separator.NewFile("ht.dat").filename(), directory.path() + "/ht.dat");

  auto& log = with_separator.log();
  EXPECT_FALSE(directory.Exists("log.log0")) << "nothing is opened before it is needed";
  ASSERT_EQ(log.OpenSegment(0), Status::Ok);
  // Segment 3 while the bundle covers only segment 0: 1 and 2 come along, empty.
  ASSERT_EQ(log.OpenSegment(3), Status::Ok);
  for (const char* name : {"log.log0", "log.log1", "log.log2", "log.log3"}) {
    EXPECT_TRUE(directory.Exists(name)) << name;
  }
  EXPECT_EQ(std::filesystem::file_size(directory.path() + "/log.log1"), 0u);
  epoch.Protect();  // from here on this thread is a reader that holds an old epoch

  // A reader on another thread holds the epoch from before the truncation.
  std::atomic<int> reader_step{0};
  std::thread reader{[&] {
    epoch.Protect();
    reader_step = 1;
    while (reader_step.load() != 2) std::this_thread::yield();
    epoch.Protect();  // moves on: the deferred deletion may run now
    epoch.Unprotect();
  }};
  while (reader_step.load() != 1) std::this_thread::yield();

  static std::atomic<uint64_t> reported{0};
  reported = 0;
  log.TruncateSegments(2, [](uint64_t begin) { reported = begin; });
  EXPECT_EQ(log.begin_segment(), 2u);
  // Until every thread moved on, the files stay (an old reader may still use them).
  EXPECT_EQ(epoch.drain_count(), 1u);
  EXPECT_TRUE(directory.Exists("log.log0"));
  EXPECT_TRUE(directory.Exists("log.log1"));
  EXPECT_EQ(reported.load(), 0u);
  EXPECT_EQ(log.OpenSegment(1), Status::IOError);
  Completion completion;
  CompletionContext context{&completion};
  auto buffer = Allocate(4096, 'z');
  EXPECT_EQ(log.WriteAsync(kSegment, buffer.get(), 4096, CompletionContext::Done, context),
            Status::IOError);
  EXPECT_EQ(completion.calls.load(), 0);
  // The other reader still holds its old epoch: moving this thread is not enough.
  epoch.Protect();
  EXPECT_TRUE(directory.Exists("log.log1"));
  reader_step = 2;
  reader.join();
  epoch.Protect();
  EXPECT_FALSE(directory.Exists("log.log0"));
  EXPECT_FALSE(directory.Exists("log.log1"));
  EXPECT_TRUE(directory.Exists("log.log2"));
  EXPECT_TRUE(directory.Exists("log.log3"));
  EXPECT_EQ(reported.load(), 2 * kSegment);

  // The kept segments still work, and truncating to an older point changes nothing.
  ASSERT_EQ(log.WriteAsync(3 * kSegment, buffer.get(), 4096, CompletionContext::Done, context),
            Status::Ok);
  while (completion.calls.load() < 1) with_separator.TryComplete();
  EXPECT_EQ(completion.result.load(), Status::Ok);
  log.TruncateSegments(1, [](uint64_t begin) { reported = begin; });
  EXPECT_EQ(reported.load(), 2 * kSegment);
  EXPECT_EQ(log.begin_segment(), 2u);

  // Truncating past every open segment leaves an empty bundle that grows again.
  log.TruncateSegments(5, [](uint64_t begin) { reported = begin; });
  epoch.Protect();
  EXPECT_EQ(reported.load(), 5 * kSegment);
  EXPECT_FALSE(directory.Exists("log.log3"));
  EXPECT_EQ(log.OpenSegment(4), Status::IOError);
  ASSERT_EQ(log.OpenSegment(6), Status::Ok);
  EXPECT_TRUE(directory.Exists("log.log5"));
  EXPECT_TRUE(directory.Exists("log.log6"));
}

TEST(SegmentedFileTest, TruncationBeforeAnySegmentReportsTheNewBegin) {
  TempDirectory directory{"/tmp"};
  LightEpoch epoch;
  Disk disk{directory.path(), epoch};
  static std::atomic<uint64_t> reported{0};
  disk.log().TruncateSegments(3, [](uint64_t begin) { reported = begin; });
  EXPECT_EQ(reported.load(), 3 * kSegment);
  EXPECT_EQ(disk.log().OpenSegment(2), Status::IOError);
  EXPECT_EQ(disk.log().OpenSegment(3), Status::Ok);
  EXPECT_TRUE(directory.Exists("log.log3"));
  EXPECT_FALSE(directory.Exists("log.log2"));
}

TEST(SegmentedFileTest, FileThatCannotBeOpenedIsRefusedAtTransfer) {
  TempDirectory directory{"/tmp"};
  LightEpoch epoch;
  Disk disk{directory.path() + "/missing-subdirectory", epoch};
  DiskFile file = disk.NewFile("x.dat");
  EXPECT_EQ(file.Open(), Status::IOError);
  EXPECT_FALSE(file.is_open());
  // The segment is entered in the bundle but left closed: its transfers are refused.
  EXPECT_EQ(disk.log().OpenSegment(0), Status::Ok);
  Completion completion;
  CompletionContext context{&completion};
  auto buffer = Allocate(4096, 'q');
  EXPECT_EQ(disk.log().WriteAsync(0, buffer.get(), 4096, CompletionContext::Done, context),
            Status::IOError);
  EXPECT_FALSE(disk.TryComplete());
  EXPECT_EQ(completion.calls.load(), 0);
}

}  // namespace

namespace {

TEST(SegmentedFileTest, ThreadsOpeningSegmentsTogetherShareOneFilePerSegment) {
  TempDirectory directory{"/dev/shm"};
  LightEpoch epoch;
  Disk disk{directory.path(), epoch};
  constexpr int kThreads = 4;
  constexpr uint64_t kSegments = 8;
  Completion completion;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto block = Allocate(4096, static_cast<char>('0' + t));
      CompletionContext context{&completion};
      // Each thread walks the segments in its own order, so openings interleave.
      for (uint64_t i = 0; i < kSegments; ++i) {
        uint64_t segment = (i * (2 * t + 1) + t) % kSegments;
        ASSERT_EQ(disk.log().WriteAsync(segment * kSegment + t * 4096, block.get(), 4096,
                                        CompletionContext::Done, context),
                  Status::Ok);
      }
      while (completion.calls.load() < kThreads * static_cast<int>(kSegments)) disk.TryComplete();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(completion.result.load(), Status::Ok);
  for (uint64_t segment = 0; segment < kSegments; ++segment) {
    std::string name = directory.path() + "/log.log" + std::to_string(segment);
    ASSERT_EQ(std::filesystem::file_size(name), kThreads * 4096u) << name;
    auto back = Allocate(kThreads * 4096, 0);
    Completion read;
    CompletionContext context{&read};
    ASSERT_EQ(disk.log().ReadAsync(segment * kSegment, back.get(), kThreads * 4096,
                                   CompletionContext::Done, context),
              Status::Ok);
    PollUntil(disk, read, 1);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(back.get()[t * 4096 + 17], '0' + t);
  }
}

}  // namespace

namespace {

// Makes io_uring_setup fail with `error` for the calling process, as restricted
// containers do.
bool RefuseIoUring(int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])),
                               filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// In a child process where the kernel refuses io_uring: the disk falls back to
// synchronous transfers and still writes and reads. Exit code 0 when all went well.
int RunWithoutIoUring(const std::string& root, int error) {
  if (!RefuseIoUring(error)) return 10;
  LightEpoch epoch;
  Disk disk{root, epoch};
  if (UsesIoUring(disk)) return 11;
  Completion completion;
  CompletionContext context{&completion};
  auto out = Allocate(4096, 'k');
  auto in = Allocate(4096, 0);
  if (disk.log().WriteAsync(kSegment + 4096, out.get(), 4096, CompletionContext::Done, context) !=
      Status::Ok) {
    return 12;
  }
  PollUntil(disk, completion, 1);
  if (disk.log().ReadAsync(kSegment + 4096, in.get(), 4096, CompletionContext::Done, context) !=
      Status::Ok) {
    return 13;
  }
  PollUntil(disk, completion, 2);
  if (completion.result.load() != Status::Ok) return 14;
  return std::memcmp(in.get(), out.get(), 4096) == 0 ? 0 : 15;
}

TEST(QueueIoHandlerTest, FallsBackToSynchronousTransfersWhenTheKernelRefusesIoUring) {
  for (int error : {EPERM, ENOSYS}) {
    TempDirectory directory{"/tmp"};
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(RunWithoutIoUring(directory.path(), error));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "errno " << error;
    EXPECT_TRUE(directory.Exists("log.log1"));
  }
}

}  // namespace
