#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/core/light_epoch.h"

using namespace psfstore::core;

namespace {

void CountCall(void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

// Runs `body` on a fresh thread (so it has its own epoch entry) and waits for it.
template <class Body>
void OnOtherThread(Body body) {
  std::thread thread(body);
  thread.join();
}

}  // namespace

TEST(LightEpochTest, DrainWithNobodyProtectedRunsEveryEarlierTrigger) {
  LightEpoch epoch;
  EXPECT_EQ(epoch.current_epoch(), 1u);
  EXPECT_EQ(epoch.safe_to_reclaim_epoch(), 0u);
  std::atomic<int> runs{0};
  // Registering at epoch 1 moves the epoch to 2; nobody is protected, so the next
  // drain with epoch 2 finds safe epoch 1 and runs it.
  EXPECT_EQ(epoch.BumpCurrentEpoch(CountCall, &runs), 2u);
  EXPECT_EQ(epoch.drain_count(), 1u);
  epoch.Drain(2);
  EXPECT_EQ(epoch.safe_to_reclaim_epoch(), 1u);
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(epoch.drain_count(), 0u);
  // A trigger registered at epoch e does not run on a drain capped at e.
  epoch.BumpCurrentEpoch(CountCall, &runs);  // registered at 2, epoch now 3
  epoch.Drain(2);
  EXPECT_EQ(epoch.safe_to_reclaim_epoch(), 1u);
  EXPECT_EQ(runs.load(), 1);
  epoch.Drain(3);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_TRUE(epoch.IsSafeToReclaim(2));
  EXPECT_FALSE(epoch.IsSafeToReclaim(3));
}

TEST(LightEpochTest, TriggerWaitsUntilEveryProtectedThreadMovesOn) {
  LightEpoch epoch;
  std::atomic<int> runs{0};
  std::atomic<int> step{0};
  std::thread holder([&] {
    epoch.Protect();  // holds epoch 1
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    epoch.Protect();  // moves on (and drains)
    step = 3;
    while (step.load() != 4) std::this_thread::yield();
    epoch.Unprotect();
    step = 5;
  });
  while (step.load() != 1) std::this_thread::yield();
  epoch.Protect();
  epoch.BumpCurrentEpoch(CountCall, &runs);  // registered at 1
  epoch.Protect();                           // main moves to 2; holder still at 1
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(epoch.safe_to_reclaim_epoch(), 0u);
  step = 2;
  while (step.load() != 3) std::this_thread::yield();
  // Holder protected epoch 2 and drained; main's own epoch 2 was above the trigger's.
  EXPECT_EQ(runs.load(), 1);

  // Unprotecting also releases: holder still at 2, trigger registered at 2.
  epoch.BumpCurrentEpoch(CountCall, &runs);
  epoch.Protect();
  EXPECT_EQ(runs.load(), 1);
  step = 4;
  while (step.load() != 5) std::this_thread::yield();
  epoch.Protect();
  EXPECT_EQ(runs.load(), 2);
  epoch.Unprotect();
  holder.join();
}

TEST(LightEpochTest, DrainListSurvivesMoreTriggersThanSlots) {
  LightEpoch epoch;
  std::atomic<int> runs{0};
  // Nobody protected: every bump finds ready or free slots.
  for (int i = 0; i < 1000; ++i) epoch.BumpCurrentEpoch(CountCall, &runs);
  epoch.Drain(epoch.current_epoch());
  EXPECT_EQ(runs.load(), 1000);
  EXPECT_EQ(epoch.drain_count(), 0u);

  // A protected thread pins every trigger: the list fills, the registering thread
  // waits, and it gets going again on its own once the pin is gone.
  runs = 0;
  std::atomic<bool> pinned{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    epoch.Protect();
    pinned = true;
    while (!release.load()) std::this_thread::yield();
    epoch.Unprotect();
  });
  while (!pinned.load()) std::this_thread::yield();
  constexpr int kTriggers = LightEpoch::kDrainListSize + 44;
  std::atomic<int> registered{0};
  std::thread bumper([&] {
    for (int i = 0; i < kTriggers; ++i) {
      epoch.BumpCurrentEpoch(CountCall, &runs);
      registered.fetch_add(1);
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (registered.load() < static_cast<int>(LightEpoch::kDrainListSize) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(registered.load(), static_cast<int>(LightEpoch::kDrainListSize));
  EXPECT_EQ(runs.load(), 0);
  release = true;
  bumper.join();
  holder.join();
  epoch.Drain(epoch.current_epoch());
  EXPECT_EQ(runs.load(), kTriggers);
  EXPECT_EQ(epoch.drain_count(), 0u);

  // Two threads that stay protected while registering more triggers than there are
  // slots must not wait for each other forever.
  runs = 0;
  auto protected_registrar = [&] {
    epoch.Protect();
    for (int i = 0; i < 200; ++i) epoch.BumpCurrentEpoch(CountCall, &runs);
    epoch.Unprotect();
  };
  std::thread first(protected_registrar), second(protected_registrar);
  first.join();
  second.join();
  epoch.Drain(epoch.current_epoch());
  EXPECT_EQ(runs.load(), 400);
}

TEST(LightEpochTest, DestructionRunsTriggersThatNeverBecameReady) {
  std::atomic<int> runs{0};
  {
    LightEpoch epoch;
    epoch.Protect();
    epoch.BumpCurrentEpoch(CountCall, &runs);
    epoch.BumpCurrentEpoch(CountCall, &runs);
    EXPECT_EQ(runs.load(), 0);
  }
  EXPECT_EQ(runs.load(), 2);
}

// Readers protect, follow a shared pointer and check that the object stays alive
// while they hold their epoch; writers replace the object and retire the old one
// through a trigger. A trigger that runs too early shows up as a dead object.
TEST(LightEpochTest, StressRetiredObjectsStayAliveWhileProtected) {
  struct Node {
    std::atomic<bool> alive{true};
    std::atomic<uint64_t> payload{0};
  };
  // The writers retire a fixed number of nodes, however long that takes on a loaded
  // or instrumented machine; the readers run until they are done.
  constexpr int kRetirements = 600;
  constexpr int kNodes = kRetirements + 1;
  std::vector<std::unique_ptr<Node>> pool;
  for (int i = 0; i < kNodes; ++i) pool.push_back(std::make_unique<Node>());
  LightEpoch epoch;
  std::atomic<Node*> shared{pool[0].get()};
  std::atomic<int> next_node{1};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> violations{0};
  std::atomic<uint64_t> retired{0};
  auto retire = [](void* context) {
    static_cast<Node*>(context)->alive.store(false);
  };

  auto reader = [&](unsigned seed) {
    std::mt19937 random(seed);
    while (!stop.load()) {
      epoch.Protect();
      Node* node = shared.load();
      for (int i = 0; i < 8; ++i) {
        if (!node->alive.load()) violations.fetch_add(1);
        node->payload.fetch_add(1);
        if (random() % 4 == 0) std::this_thread::yield();
      }
      if (random() % 3 == 0) epoch.Unprotect();
    }
    epoch.Unprotect();
  };
  auto writer = [&] {
    while (true) {
      int index = next_node.fetch_add(1);
      if (index > kRetirements) break;
      epoch.Protect();
      Node* old = shared.exchange(pool[index].get());
      epoch.BumpCurrentEpoch(retire, old);
      retired.fetch_add(1);
      epoch.Unprotect();
      std::this_thread::yield();
    }
  };
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < 3; ++i) readers.emplace_back(reader, i + 1);
  std::thread first_writer{writer};
  std::thread second_writer{writer};
  first_writer.join();
  second_writer.join();
  stop = true;
  for (auto& thread : readers) thread.join();
  EXPECT_EQ(violations.load(), 0u);
  epoch.Drain(epoch.current_epoch());
  EXPECT_EQ(epoch.drain_count(), 0u);
  uint64_t dead = 0;
  for (auto& node : pool) dead += node->alive.load() ? 0 : 1;
  EXPECT_EQ(dead, retired.load());
  EXPECT_EQ(retired.load(), static_cast<uint64_t>(kRetirements));
}

TEST(LightEpochTest, PhaseAcknowledgementCountsOnlyProtectedThreads) {
  LightEpoch epoch;
  epoch.Protect();
  std::atomic<int> step{0};
  std::thread other([&] {
    epoch.Protect();
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    EXPECT_TRUE(epoch.FinishThreadPhase(Phase::PREPARE));
    epoch.Unprotect();
    step = 3;
  });
  while (step.load() != 1) std::this_thread::yield();
  // The other thread has not finished PREPARE yet.
  EXPECT_FALSE(epoch.FinishThreadPhase(Phase::PREPARE));
  EXPECT_TRUE(epoch.HasThreadFinishedPhase(Phase::PREPARE));
  step = 2;
  while (step.load() != 3) std::this_thread::yield();
  other.join();
  // An unprotected thread is not waited for, whatever it finished last.
  EXPECT_TRUE(epoch.FinishThreadPhase(Phase::IN_PROGRESS));
  epoch.ResetPhaseFinished();
  EXPECT_TRUE(epoch.HasThreadFinishedPhase(Phase::REST));
  OnOtherThread([&] { EXPECT_FALSE(epoch.IsProtected()); });
  epoch.Unprotect();
}
