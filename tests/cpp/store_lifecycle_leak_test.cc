// Store lifecycles in loops, through the real engine: stores created, filled, queried and
// released (also when construction is refused); the ingestion service started and
// stopped with a client writing through it; scans, failing scans and extractions
// repeated; generations of snapshot and recovery. In the normal build these are quick
// functional loops; under `make check` LeakSanitizer reports whatever a loop leaves
// behind, and the thread and descriptor counts catch leaked threads and sockets here too.
#include <algorithm>
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "arrow_stream.h"
#include "engine/core/address.h"
#include "loopback_client.h"
#include "server/json_store.h"
#include "temp_directory.h"
#include "values/extractor.h"

namespace quillmark {
namespace server {
namespace {

using psfstore::test_support::TempDirectory;
using recorder::data::IntExtractor;
using recorder::data::RecordExtractor;
using recorder::data::StringExtractor;
using recorder::data::test_support::ReadBase64Stream;
using recorder::operations::ScanOperation;
using storage::Bitmap;
using test_support::Client;
using test_support::FreeLoopbackPort;
using Reply = std::vector<std::string>;

constexpr uint64_t kLogSize = 6 * psfstore::core::Address::kPageSize;  // the smallest log accepted
constexpr int kKinds = 5;

// Documents first .. first + count - 1: {"n": n, "kind": "k<n % 5>", "nested": {...}}.
std::string Batch(int64_t first, int count) {
  std::string text;
  for (int64_t n = first; n < first + count; ++n) {
    text += "{\"n\":" + std::to_string(n) + ",\"kind\":\"k" + std::to_string(n % kKinds) +
            "\",\"nested\":{\"n\":" + std::to_string(n) + "}}\n";
  }
  return text;
}

void NoPause() {}

// Entries of a /proc/self directory.
size_t CountEntries(const char* directory) {
  size_t count = 0;
  DIR* listing = opendir(directory);
  if (listing == nullptr) return 0;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(listing);
  return count;
}
size_t OpenDescriptors() { return CountEntries("/proc/self/fd") - 1; }  // less the listing's own
size_t LiveThreads() { return CountEntries("/proc/self/task"); }

// The messaging library closes a socket's descriptors on its own thread after the close
// call returns. CountReaching gives `count()` a moment to come down to `expected`;
// StableCount waits until it has not changed for a while.
size_t CountReaching(size_t (*count)(), size_t expected) {
  size_t now = count();
  for (int wait = 0; wait < 300 && now > expected; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
    now = count();
  }
  return now;
}
size_t StableCount(size_t (*count)()) {
  size_t now = count();
  for (int unchanged = 0, waits = 0; unchanged < 30 && waits < 300; ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
    size_t next = count();
    unchanged = next == now ? unchanged + 1 : 0;
    now = next;
  }
  return now;
}

// Full scans list their matches; the loops send the listing nowhere.
struct NullListing {
  std::FILE* file = std::fopen("/dev/null", "w");
  ~NullListing() { std::fclose(file); }
};

std::shared_ptr<RecordExtractor> NumberAndKind() {
  return std::make_shared<RecordExtractor>(std::vector<RecordExtractor::Column>{
      {"n", std::make_shared<IntExtractor>("/n", true, 64, std::nullopt, std::nullopt, std::nullopt)},
      {"kind", std::make_shared<StringExtractor>("/kind", std::nullopt)},
  });
}

class StoreLifecycleTest : public ::testing::Test {
 protected:
  TempDirectory directory{"/dev/shm"};
  std::string path = directory.path() + "/store";
  uint32_t port = FreeLoopbackPort();
  NullListing listing;

  uint64_t Count(JSONStore& store, const std::string& name, ScanOperation operation,
                 std::vector<recorder::data::Operand> operands) {
    return store.Scan(name, operation, std::move(operands), std::nullopt, std::nullopt, listing.file).Cardinality();
  }
  uint64_t CountAll(JSONStore& store) { return Count(store, "/n", ScanOperation::GE, {int64_t{0}}); }
};

TEST_F(StoreLifecycleTest, StoresCreatedFilledAndReleasedOverOneDirectory) {
  const size_t descriptors = StableCount(OpenDescriptors);
  auto extractor = NumberAndKind();
  for (int cycle = 0; cycle < 6; ++cycle) {
    {
      std::optional<Client> connected;  // outlives the store
      // Each store takes the directory the previous one let go of.
      JSONStore store{kLogSize, path, port};
      // Refused constructions give back what they took: the second store leaves the
      // directory to the first, and a store refused for its log size leaves no lock.
      EXPECT_THROW(JSONStore(kLogSize, path, port), std::runtime_error);
      store.Projection("/kind");
      EXPECT_EQ(store.Save(Batch(0, 200), NoPause), 200u);
      EXPECT_EQ(Count(store, "/kind", ScanOperation::EQ, {std::string{"k1"}}), 200u / kKinds);
      Bitmap all = store.Scan("/n", ScanOperation::GE, {int64_t{0}}, std::nullopt, std::nullopt, listing.file);
      ASSERT_EQ(all.Cardinality(), 200u);
      auto table = ReadBase64Stream(store.Extract(*extractor, all).value());
      EXPECT_EQ(table->num_rows(), 200);
      EXPECT_EQ(store.Stats(), (std::pair<uint64_t, uint64_t>{Batch(0, 200).size(), 200}));
      if (cycle % 2 == 1) {
        // Released with the service running and a client still connected: the
        // destructor stops the service and closes everything before the engine goes.
        store.SetListenAddress("127.0.0.1");
        store.Run(2, NoPause);
        connected.emplace(port, 10000);
        EXPECT_EQ(connected->Request({Batch(200, 10), "last"}), (Reply{"OK", "last"}));
      }
    }
    EXPECT_THROW(JSONStore(kLogSize + 1, path, port), std::invalid_argument);
  }
  EXPECT_LE(CountReaching(OpenDescriptors, descriptors), descriptors);
}

TEST_F(StoreLifecycleTest, ServiceStartedAndStoppedWithAClientWriting) {
  constexpr int kCycles = 15, kBatches = 3, kPerBatch = 20;
  JSONStore store{kLogSize, path, port};
  store.SetListenAddress("127.0.0.1");
  store.Projection("/kind");
  size_t threads = 0, descriptors = 0;
  int64_t next = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    store.Run(2, NoPause);
    {
      Client client{port, 10000};
      for (int b = 0; b < kBatches; ++b) {
        std::string tag = std::to_string(cycle) + "/" + std::to_string(b);
        ASSERT_EQ(client.Request({Batch(next, kPerBatch), tag}), (Reply{"OK", tag}));
        next += kPerBatch;
      }
    }
    store.Stop();
    EXPECT_FALSE(store.IsRunning());
    // After the first cycle (the messaging library starts its I/O thread then), every
    // stop must give back the threads and sockets that its start took.
    if (cycle == 0) {
      threads = StableCount(LiveThreads);
      descriptors = StableCount(OpenDescriptors);
    } else {
      // A loaded machine can close a socket of the first cycle only after its count was
      // taken: a lower count later lowers the bound; a leak still exceeds it.
      size_t live = CountReaching(LiveThreads, threads), open = CountReaching(OpenDescriptors, descriptors);
      EXPECT_LE(live, threads) << "cycle " << cycle;
      EXPECT_LE(open, descriptors) << "cycle " << cycle;
      threads = std::min(threads, live);
      descriptors = std::min(descriptors, open);
    }
  }
  EXPECT_EQ(store.Stats().second, uint64_t(next));
  EXPECT_EQ(CountAll(store), uint64_t(next));
  EXPECT_EQ(Count(store, "/kind", ScanOperation::EQ, {std::string{"k0"}}), uint64_t(next) / kKinds);
}

TEST_F(StoreLifecycleTest, ScansFailingScansAndExtractionsRepeated) {
  JSONStore store{kLogSize, path, port};
  store.Projection("/kind");
  for (int b = 0; b < 10; ++b) ASSERT_EQ(store.Save(Batch(b * 200, 200), NoPause), 200u);
  auto extractor = NumberAndKind();
  const Bitmap all = store.Scan("/n", ScanOperation::GE, {int64_t{0}}, std::nullopt, std::nullopt, listing.file);
  ASSERT_EQ(all.Cardinality(), 2000u);
  const std::string first_extraction = store.Extract(*extractor, all).value();
  for (int round = 0; round < 40; ++round) {
    Bitmap indexed = store.Scan("/kind", ScanOperation::EQ, {std::string{"k2"}}, std::nullopt, std::nullopt, listing.file);
    Bitmap listed = store.Scan("/kind", ScanOperation::IN, {std::string{"k2"}, std::string{"k3"}}, std::nullopt,
                               std::nullopt, listing.file);
    EXPECT_EQ(indexed.Cardinality(), 400u);
    EXPECT_TRUE(indexed.StrictSubsetOf(listed));
    Bitmap low = store.Scan("/n", ScanOperation::LT, {int64_t{1000}}, std::nullopt, std::nullopt, listing.file);
    EXPECT_EQ(low.Union(listed).Cardinality(), 1000u + 400u);

    // A bitmap round trip through its serialised form.
    std::string bytes(listed.PersistedSize(true, true, true), '\0');
    ASSERT_EQ(listed.Write(bytes.data(), bytes.size(), true), bytes.size());
    EXPECT_EQ(Bitmap::Read(bytes.data(), bytes.size(), true), listed);

    EXPECT_EQ(store.Extract(*extractor, all).value(), first_extraction);
    EXPECT_EQ(ReadBase64Stream(store.Extract(*extractor, low).value())->num_rows(), 1000);
    EXPECT_EQ(store.Extract(*extractor, Bitmap{}), std::nullopt);

    // Refused queries, before and after a session is opened, release what they took.
    EXPECT_THROW(store.Scan("/n", ScanOperation::DEF, {}, std::nullopt, std::nullopt, listing.file),
                 std::out_of_range);
    EXPECT_THROW(store.Scan("/n", ScanOperation::EQ, {}, std::nullopt, std::nullopt, listing.file),
                 std::invalid_argument);
    EXPECT_THROW(store.Scan("/nested", ScanOperation::EQ, {int64_t{1}}, std::nullopt, std::nullopt, listing.file),
                 std::logic_error);
  }
}

TEST_F(StoreLifecycleTest, GenerationsOfSnapshotAndRecovery) {
  constexpr int kGenerations = 4, kBatches = 4, kPerBatch = 50;
  std::string index_token, log_token;
  uint64_t records = 0;
  for (int generation = 0; generation < kGenerations; ++generation) {
    JSONStore store{kLogSize, path, port};
    store.SetListenAddress("127.0.0.1");
    if (generation == 0) {
      store.Projection("/kind");
      store.Run(2, NoPause);
    } else {
      auto [version, workers] = store.Recover(index_token, log_token, 2, NoPause);
      EXPECT_EQ(workers, 2u);
      EXPECT_EQ(store.GetAllProjections(), std::vector<std::string>{"/kind"});
      EXPECT_EQ(CountAll(store), records) << "generation " << generation;
    }
    {
      Client client{port, 10000};
      for (int b = 0; b < kBatches; ++b) {
        ASSERT_EQ(client.Request({Batch(int64_t(records), kPerBatch), "t"}), (Reply{"OK", "t"}));
        records += kPerBatch;
        if (b == 1) {
          // A snapshot while the service runs; the last one below, at rest, is recovered.
          EXPECT_TRUE(store.Snapshot().has_data);
        }
      }
    }
    store.Stop();
    JSONStore::SnapshotOutcome snapshot = store.Snapshot();
    ASSERT_TRUE(snapshot.has_data && snapshot.index.token && snapshot.log.token);
    ASSERT_EQ(snapshot.index.status, psfstore::core::Status::Ok);
    ASSERT_EQ(snapshot.log.status, psfstore::core::Status::Ok);
    index_token = snapshot.index.token->ToString();
    log_token = snapshot.log.token->ToString();
    EXPECT_EQ(Count(store, "/kind", ScanOperation::EQ, {std::string{"k4"}}), records / kKinds);
  }
}

}  // namespace
}  // namespace server
}  // namespace quillmark
