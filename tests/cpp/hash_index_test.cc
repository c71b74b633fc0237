#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/chain_segments.h"
#include "engine/core/internal_hash_table.h"

using namespace psfstore::core;

namespace {

KeyHash HashOf(uint64_t bucket, uint16_t tag) { return KeyHash{(uint64_t{tag} << 48) | bucket}; }

std::string InitializeError(uint64_t size) {
  LightEpoch epoch;
  InternalHashTable table(epoch);
  try {
    table.Initialize(size);
  } catch (const std::invalid_argument& error) {
    return error.what();
  } catch (const std::bad_alloc&) {
    return "bad_alloc";
  }
  return "";
}

// Every non-empty entry of the chain starting at `bucket`, tentative ones included.
std::vector<HashBucketEntry> ChainEntries(InternalHashTable& table, uint64_t bucket) {
  std::vector<HashBucketEntry> entries;
  for (HashBucket* b = &table.buckets()[bucket]; b != nullptr;) {
    for (auto& slot : b->entries) {
      if (!slot.load().unused()) entries.push_back(slot.load());
    }
    uint64_t next = b->overflow_entry.load();
    b = next == 0 ? nullptr : &table.overflow_buckets().Get(next);
  }
  return entries;
}

// Each test thread protects its epoch for its whole life, as sessions do.
struct Protected {
  explicit Protected(LightEpoch& epoch) : epoch{epoch} { epoch.Protect(); }
  ~Protected() { epoch.Unprotect(); }
  LightEpoch& epoch;
};

}  // namespace

TEST(HashIndexTest, InitializeChecksTheSize) {
  EXPECT_EQ(InitializeError(1), "");
  EXPECT_EQ(InitializeError(2), "");
  EXPECT_EQ(InitializeError(4096), "");
  // 2^30 buckets (64 GiB of address space) pass the checks; the system may still refuse the memory.
  std::string huge = InitializeError(uint64_t{1} << 30);
  EXPECT_TRUE(huge == "" || huge == "bad_alloc") << huge;
  EXPECT_EQ(InitializeError(0), " Size is not a power of 2");
  EXPECT_EQ(InitializeError(3), " Size is not a power of 2");
  EXPECT_EQ(InitializeError((uint64_t{1} << 31) + 1), " Size is not a power of 2");
  EXPECT_EQ(InitializeError(uint64_t{1} << 31), " Cannot allocate such a large hash table ");

  // A refused size leaves a working table as it was.
  LightEpoch epoch;
  Protected guard(epoch);
  InternalHashTable table(epoch);
  table.Initialize(8);
  AtomicHashBucketEntry* slot;
  HashBucketEntry seen;
  ASSERT_EQ(table.FindOrCreateEntry(HashOf(3, 5), slot, seen), Status::Ok);
  EXPECT_THROW(table.Initialize(6), std::invalid_argument);
  EXPECT_EQ(table.size(), 8u);
  EXPECT_EQ(table.FindEntry(HashOf(3, 5)), slot);
  // Tables and overflow pages can be written to disk directly.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(table.buckets()) % InternalHashTable::kAlignment, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(table.overflow_buckets().page(0)) % 512, 0u);
}

TEST(HashIndexTest, EightTagsInOneBucketUseExactlyOneOverflowBucket) {
  LightEpoch epoch;
  Protected guard(epoch);
  InternalHashTable table(epoch);
  table.Initialize(16);
  std::vector<AtomicHashBucketEntry*> slots;
  for (uint16_t tag = 1; tag <= 8; ++tag) {
    AtomicHashBucketEntry* slot;
    HashBucketEntry seen;
    // Bits above the table size do not change the bucket.
    ASSERT_EQ(table.FindOrCreateEntry(HashOf(5 + 16 * tag, tag), slot, seen), Status::Ok);
    EXPECT_EQ(seen, HashBucketEntry(Address::Invalid(), tag, false));
    EXPECT_EQ(slot->load(), seen);
    slots.push_back(slot);
  }
  HashBucket& home = table.buckets()[5];
  for (uint32_t i = 0; i < HashBucket::kNumEntries; ++i) EXPECT_EQ(slots[i], &home.entries[i]);
  // The first overflow bucket handed out has address 1; address 0 means "none".
  ASSERT_EQ(home.overflow_entry.load(), 1u);
  HashBucket& overflow = table.overflow_buckets().Get(1);
  EXPECT_EQ(slots[7], &overflow.entries[0]);
  EXPECT_EQ(overflow.overflow_entry.load(), 0u);
  EXPECT_EQ(table.overflow_buckets().count(), 2u);

  // Finding again returns the same slots, with a chain head that others linked.
  HashBucketEntry linked{Address{4096}, 3, false};
  HashBucketEntry expected = slots[2]->load();
  ASSERT_TRUE(slots[2]->compare_exchange_strong(expected, linked));
  for (uint16_t tag = 1; tag <= 8; ++tag) {
    AtomicHashBucketEntry* slot;
    HashBucketEntry seen;
    ASSERT_EQ(table.FindOrCreateEntry(HashOf(5, tag), slot, seen), Status::Ok);
    EXPECT_EQ(slot, slots[tag - 1]);
    EXPECT_EQ(table.FindEntry(HashOf(5, tag)), slots[tag - 1]);
    if (tag == 3) {
      EXPECT_EQ(seen.address(), Address{4096});
    }
  }
  EXPECT_EQ(table.FindEntry(HashOf(5, 9)), nullptr);
  EXPECT_EQ(table.FindEntry(HashOf(6, 1)), nullptr);
  EXPECT_EQ(ChainEntries(table, 5).size(), 8u);
  EXPECT_EQ(table.overflow_buckets().count(), 2u);
}

TEST(HashIndexTest, TentativeEntriesAreInvisibleAndHoldBackCreation) {
  LightEpoch epoch;
  Protected guard(epoch);
  InternalHashTable table(epoch);
  table.Initialize(4);
  HashBucket& bucket = table.buckets()[2];
  // Another thread is claiming tag 7 in slot 3.
  bucket.entries[3].store(HashBucketEntry{Address::Invalid(), 7, true});
  EXPECT_EQ(table.FindEntry(HashOf(2, 7)), nullptr);

  std::atomic<bool> created{false};
  AtomicHashBucketEntry* slot = nullptr;
  std::thread creator([&] {
    Protected creator_guard(epoch);
    HashBucketEntry seen;
    EXPECT_EQ(table.FindOrCreateEntry(HashOf(2, 7), slot, seen), Status::Ok);
    created = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(created.load());  // it must not create a second entry for tag 7
  bucket.entries[3].store(HashBucketEntry{});  // the other thread gave up its claim
  creator.join();
  EXPECT_EQ(ChainEntries(table, 2), (std::vector<HashBucketEntry>{HashBucketEntry(Address::Invalid(), 7, false)}));
  EXPECT_EQ(table.FindEntry(HashOf(2, 7)), slot);
}

// Threads create the same few hundred (bucket, tag) pairs in a small table at once,
// so that they race for the same free slots and for linking overflow buckets.
TEST(HashIndexTest, StressRacingClaimsEndWithOneEntryPerTag) {
  constexpr int kThreads = 4;
  constexpr uint64_t kBuckets = 8;
  constexpr uint16_t kTags = 40;  // 40 tags per bucket: five overflow buckets per chain
  for (int round = 0; round < 5; ++round) {
    LightEpoch epoch;
    InternalHashTable table(epoch);
    table.Initialize(kBuckets);
    std::vector<std::map<uint64_t, AtomicHashBucketEntry*>> found(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        Protected guard(epoch);
        std::vector<KeyHash> hashes;
        for (uint64_t b = 0; b < kBuckets; ++b) {
          for (uint16_t tag = 0; tag < kTags; ++tag) hashes.push_back(HashOf(b, tag));
        }
        std::shuffle(hashes.begin(), hashes.end(), std::mt19937(round * 10 + t));
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (KeyHash hash : hashes) {
          AtomicHashBucketEntry* slot;
          HashBucketEntry seen;
          ASSERT_EQ(table.FindOrCreateEntry(hash, slot, seen), Status::Ok);
          found[t][hash.control()] = slot;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    Protected guard(epoch);
    for (uint64_t b = 0; b < kBuckets; ++b) {
      std::multiset<uint16_t> tags;
      for (HashBucketEntry entry : ChainEntries(table, b)) {
        EXPECT_FALSE(entry.tentative());
        tags.insert(entry.tag());
      }
      ASSERT_EQ(tags.size(), kTags) << "bucket " << b;
      for (uint16_t tag = 0; tag < kTags; ++tag) EXPECT_EQ(tags.count(tag), 1u) << b << " " << tag;
    }
    for (auto& [hash, slot] : found[0]) {
      for (int t = 1; t < kThreads; ++t) EXPECT_EQ(found[t][hash], slot);
      EXPECT_EQ(table.FindEntry(KeyHash{hash}), slot);
    }
  }
}

TEST(OverflowAllocatorTest, PageArrayGrowsWhenAllocationCrossesItsCapacity) {
  // Four buckets per page instead of 2^20, so the growth is reached quickly.
  using SmallPages = MallocFixedPageSize<HashBucket, 2>;
  LightEpoch epoch;
  Protected guard(epoch);
  SmallPages allocator;
  allocator.Initialize(epoch);
  EXPECT_EQ(allocator.count(), 1u);  // address 0 is taken
  EXPECT_EQ(allocator.capacity(), 2u);
  std::set<uint64_t> addresses;
  for (uint64_t i = 1; i < 2 * SmallPages::kItemsPerPage; ++i) addresses.insert(allocator.Allocate());
  EXPECT_EQ(*addresses.begin(), 1u);
  EXPECT_EQ(allocator.capacity(), 2u);
  EXPECT_EQ(epoch.drain_count(), 0u);
  // The first bucket of page 2 doubles the array; the old one waits for the epoch.
  EXPECT_EQ(allocator.Allocate(), 2 * SmallPages::kItemsPerPage);
  EXPECT_EQ(allocator.capacity(), 4u);
  EXPECT_EQ(epoch.drain_count(), 1u);
  epoch.Protect();
  EXPECT_EQ(epoch.drain_count(), 0u);
  for (uint64_t i = 0; i < 8 * SmallPages::kItemsPerPage; ++i) addresses.insert(allocator.Allocate());
  EXPECT_EQ(allocator.capacity(), 16u);
  EXPECT_EQ(addresses.size(), 10 * SmallPages::kItemsPerPage - 1);
  EXPECT_EQ(addresses.count(0), 0u);
  // Every bucket handed out is zeroed and distinct memory.
  for (uint64_t address : addresses) {
    HashBucket& bucket = allocator.Get(address);
    EXPECT_EQ(bucket.overflow_entry.load(), 0u);
    uint64_t linked;
    ASSERT_TRUE(bucket.overflow_entry.TryLink(address, linked));
  }
  for (uint64_t address : addresses) EXPECT_EQ(allocator.Get(address).overflow_entry.load(), address);
}

TEST(OverflowAllocatorTest, FullSizePagesGrowPastTwoPages) {
  LightEpoch epoch;
  Protected guard(epoch);
  MallocFixedPageSize<HashBucket> allocator;
  allocator.Initialize(epoch);
  constexpr uint64_t kTwoPages = 2 * (uint64_t{1} << 20);
  uint64_t last = 0;
  for (uint64_t i = 1; i < kTwoPages; ++i) last = allocator.Allocate();
  EXPECT_EQ(last, kTwoPages - 1);
  EXPECT_EQ(allocator.capacity(), 2u);
  EXPECT_EQ(allocator.Allocate(), kTwoPages);
  EXPECT_EQ(allocator.capacity(), 4u);
  allocator.Get(kTwoPages).entries[6].store(HashBucketEntry{42});
  EXPECT_EQ(allocator.Get(kTwoPages - 1).entries[6].load().control(), 0u);
}

TEST(OverflowAllocatorTest, RestoreContinuesAfterTheRecoveredBuckets) {
  using SmallPages = MallocFixedPageSize<HashBucket, 2>;
  LightEpoch epoch;
  Protected guard(epoch);
  SmallPages allocator;
  allocator.Initialize(epoch);
  EXPECT_FALSE(allocator.Restore(0));
  // 11 buckets span pages 0-2: the array must grow to 4 pages.
  ASSERT_TRUE(allocator.Restore(11));
  EXPECT_EQ(allocator.capacity(), 4u);
  for (uint64_t page = 0; page < 3; ++page) ASSERT_NE(allocator.page(page), nullptr);
  uint64_t linked;
  EXPECT_TRUE(allocator.Get(10).overflow_entry.TryLink(3, linked));
  EXPECT_EQ(allocator.Allocate(), 11u);
  EXPECT_EQ(allocator.Allocate(), 12u);
}

TEST(OverflowAllocatorTest, FreedBucketsComeBackOnlyOnceTheirEpochIsSafe) {
  using SmallPages = MallocFixedPageSize<HashBucket, 3>;
  LightEpoch epoch;
  SmallPages allocator;
  epoch.Protect();
  allocator.Initialize(epoch);
  uint64_t first = allocator.Allocate();
  uint64_t second = allocator.Allocate();
  allocator.FreeAtEpoch(first, epoch.current_epoch());
  EXPECT_NE(allocator.Allocate(), first);  // its epoch is still protected
  epoch.BumpCurrentEpoch();
  epoch.Protect();
  epoch.Drain(epoch.current_epoch());  // the removal epoch is now safe
  EXPECT_EQ(allocator.Allocate(), first);
  allocator.FreeAtEpoch(second, 0);
  EXPECT_EQ(allocator.Allocate(), second);
  epoch.Unprotect();
}

// Threads allocate concurrently across many array growths (tiny pages); every
// address must be handed out once and its memory must belong to it alone.
TEST(OverflowAllocatorTest, StressConcurrentAllocationAcrossGrowth) {
  using TinyPages = MallocFixedPageSize<HashBucket, 3>;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 3000;
  LightEpoch epoch;
  TinyPages allocator;
  {
    Protected guard(epoch);
    allocator.Initialize(epoch);
  }
  std::vector<std::vector<uint64_t>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kPerThread; ++i) {
        epoch.Protect();
        uint64_t address = allocator.Allocate();
        ASSERT_NE(address, 0u);
        uint64_t linked;
        EXPECT_TRUE(allocator.Get(address).overflow_entry.TryLink(address, linked)) << address;
        taken[t].push_back(address);
        if (random() % 4 == 0) epoch.Unprotect();
      }
      epoch.Unprotect();
    });
  }
  for (auto& thread : threads) thread.join();
  Protected guard(epoch);
  std::set<uint64_t> all;
  for (auto& list : taken) {
    for (uint64_t address : list) {
      EXPECT_TRUE(all.insert(address).second) << address;
      EXPECT_EQ(allocator.Get(address).overflow_entry.load(), address);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(allocator.count(), kThreads * kPerThread + 1u);
}

namespace {

// ChainSegments against a model: many runs (so that the table grows and is cleared
// again), hashes that differ but share a bucket and tag (one chain) and a table size
// that folds buckets together, and two parts of a run joined.
TEST(ChainSegmentsTest, LinksFollowEachChainAcrossGrowthClearsAndJoins) {
  constexpr uint64_t kTableSize = 64;
  std::mt19937_64 random{7};
  ChainSegments parts[2];
  for (int run = 0; run < 40; ++run) {
    // Runs of 1 to 3,000 key pointers over 1 to 2,000 chains, half of them in one bucket.
    const int count = static_cast<int>(random() % 3000) + 1;
    const uint64_t chains = random() % 2000 + 1;
    // Per part: chain -> (newest, oldest) key pointer.
    std::map<uint64_t, std::pair<Address, Address>> models[2];
    for (ChainSegments& part : parts) part.Clear(kTableSize);
    for (int i = 0; i < count; ++i) {
      const uint64_t chain = random() % chains;
      const uint64_t bucket = chain % 2 == 0 ? 5 : chain % kTableSize;
      // Bucket bits above the table size are not the chain's: they must not split it.
      const KeyHash hash = HashOf(bucket + kTableSize * (random() % 4), static_cast<uint16_t>(chain));
      const Address address{uint64_t{64} + 40 * static_cast<uint64_t>(i)};
      const int part = i < count / 2 ? 0 : 1;
      const Address previous = parts[part].Link(hash, address);
      auto [found, first] = models[part].try_emplace(chain, address, address);
      ASSERT_EQ(previous, first ? Address::Invalid() : found->second.first) << "run " << run << ", " << i;
      found->second.first = address;
    }
    size_t joins = 0;
    parts[0].Append(parts[1], [&](Address newer_oldest, Address older_newest) {
      ++joins;
      EXPECT_LT(older_newest, newer_oldest);
    });
    std::map<uint64_t, std::pair<Address, Address>> model = models[0];
    for (const auto& [chain, ends] : models[1]) {
      auto [found, first] = model.try_emplace(chain, ends);
      joins -= first ? 0 : 1;
      found->second.first = ends.first;
    }
    EXPECT_EQ(joins, 0u) << "run " << run;
    std::map<Address, Address> segments;  // newest -> oldest
    parts[0].ForEach([&](const ChainSegments::Segment& segment) { segments[segment.newest] = segment.oldest; });
    ASSERT_EQ(segments.size(), model.size()) << "run " << run;
    for (const auto& [chain, ends] : model) {
      ASSERT_EQ(segments.count(ends.first), 1u) << "chain " << chain << " lost its newest key pointer";
      EXPECT_EQ(segments[ends.first], ends.second) << "chain " << chain;
    }
  }
}

}  // namespace
