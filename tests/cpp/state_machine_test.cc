#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/state_machine.h"

using namespace psfstore::core;

namespace {

// Records the entry work and completions in order.
class RecordingGlobalWork : public GlobalPhaseWork {
 public:
  void EnterPhase(SystemState state) override { Add(std::string("enter ") + PhaseName(state.phase)); }
  Status FinishAction(Action action, uint32_t) override {
    Add(std::string("finish ") + ActionName(action));
    return finish_status;
  }
  void ActionCompleted(Action action, Status status) override {
    Add(std::string("completed ") + ActionName(action) + " " + StatusName(status));
    completed.fetch_add(1);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(event));
  }

  Status finish_status = Status::Ok;
  std::atomic<int> completed{0};
  std::mutex mutex;
  std::vector<std::string> events;
};

// Records the thread work it is asked to do.
class RecordingThread : public ThreadView {
 public:
  bool IndexCheckpointWritesCompleted() override {
    events.push_back("index writes");
    return writes_completed;
  }
  void PrepareLogCheckpoint() override { events.push_back("prepare"); }
  void StartNewVersion(uint32_t version) override { events.push_back("version " + std::to_string(version)); }
  bool PreviousVersionIdle() override { return true; }
  bool LogDurableForCheckpoint() override { return durable; }
  void WriteSessionRecord() override { events.push_back("session record"); }
  void CallPersistenceCallback() override { events.push_back("persisted"); }
  void AdoptPredicateConfiguration() override { events.push_back("adopt"); }

  bool writes_completed = true;
  bool durable = true;
  std::vector<std::string> events;
};

// Fails the test instead of hanging when `body` does not return in time.
template <class Body>
void WithinSeconds(int seconds, Body body) {
  auto done = std::async(std::launch::async, body);
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish within " << seconds << " s";
    std::_Exit(1);
  }
  done.get();
}

}  // namespace

TEST(SystemStateTest, WordLayoutNamesAndTransitionTable) {
  EXPECT_EQ(SystemState::Initial().control(), 0x0000000100000600ull);
  SystemState state{Action::ChangePsfSet, Phase::PS_PENDING, 0xABCDEF01};
  EXPECT_EQ(state.control(), 0xABCDEF0100000C07ull);
  EXPECT_EQ(SystemState::FromControl(state.control()), state);
  EXPECT_STREQ(PhaseName(Phase::PREP_INDEX_CHKPT), "PREP_INDEX_CHKPT");
  EXPECT_STREQ(PhaseName(Phase::PS_PENDING), "PS_PENDING");
  EXPECT_STREQ(PhaseName(static_cast<Phase>(13)), "INVALID");
  EXPECT_STREQ(PhaseName(static_cast<Phase>(200)), "INVALID");

  auto path = [](Action action) {
    std::vector<std::pair<Phase, uint32_t>> steps;
    SystemState s{action, Phase::REST, 7};
    do {
      s = GetNextState(s);
      steps.emplace_back(s.phase, s.version);
    } while (s.phase != Phase::REST && steps.size() < 10);
    return steps;
  };
  using Steps = std::vector<std::pair<Phase, uint32_t>>;
  EXPECT_EQ(path(Action::CheckpointIndex),
            (Steps{{Phase::PREP_INDEX_CHKPT, 7}, {Phase::INDEX_CHKPT, 7}, {Phase::REST, 7}}));
  EXPECT_EQ(path(Action::CheckpointLog),
            (Steps{{Phase::PREPARE, 7}, {Phase::IN_PROGRESS, 8}, {Phase::WAIT_PENDING, 8}, {Phase::WAIT_FLUSH, 8},
                   {Phase::PERSISTENCE_CALLBACK, 8}, {Phase::REST, 8}}));
  EXPECT_EQ(path(Action::ChangePsfSet), (Steps{{Phase::PS_PENDING, 7}, {Phase::REST, 7}}));
  // Combinations outside the table have no successor.
  for (SystemState impossible : {SystemState{Action::None, Phase::REST, 1}, SystemState{Action::Recover, Phase::REST, 1},
                                 SystemState{Action::CheckpointIndex, Phase::PREPARE, 1},
                                 SystemState{Action::ChangePsfSet, Phase::IN_PROGRESS, 1}}) {
    EXPECT_EQ(GetNextState(impossible), SystemState::Invalid());
    EXPECT_FALSE(HasNextState(impossible));
  }
}

TEST(StateMachineTest, OneThreadDrivesEveryActionToCompletion) {
  LightEpoch epoch;
  RecordingGlobalWork global;
  StateMachine machine(epoch, &global);
  RecordingThread thread;

  ASSERT_TRUE(machine.StartAction(Action::CheckpointIndex));
  EXPECT_EQ(machine.state(), (SystemState{Action::CheckpointIndex, Phase::PREP_INDEX_CHKPT, 1}));
  thread.writes_completed = false;
  machine.Refresh(thread);  // acknowledges PREP_INDEX_CHKPT; the word moves on
  EXPECT_EQ(machine.state().phase, Phase::INDEX_CHKPT);
  machine.Refresh(thread);  // writes still running
  EXPECT_EQ(machine.state().phase, Phase::INDEX_CHKPT);
  thread.writes_completed = true;
  machine.Refresh(thread);
  EXPECT_EQ(machine.state(), SystemState::Initial());
  EXPECT_EQ(global.Events(), (std::vector<std::string>{"enter INDEX_CHKPT", "finish CheckpointIndex",
                                                       "completed CheckpointIndex Ok"}));

  global.events.clear();
  ASSERT_TRUE(machine.StartAction(Action::CheckpointLog));
  EXPECT_EQ(machine.state().phase, Phase::PREPARE);
  thread.durable = false;
  for (int i = 0; i < 4; ++i) machine.Refresh(thread);
  EXPECT_EQ(machine.state(), (SystemState{Action::CheckpointLog, Phase::WAIT_FLUSH, 2}));
  thread.durable = true;
  machine.Refresh(thread);
  machine.Refresh(thread);
  EXPECT_EQ(machine.state(), (SystemState{Action::None, Phase::REST, 2}));
  EXPECT_EQ(global.Events(),
            (std::vector<std::string>{"enter IN_PROGRESS", "enter WAIT_PENDING",
                                      "enter WAIT_FLUSH", "enter PERSISTENCE_CALLBACK", "finish CheckpointLog",
                                      "completed CheckpointLog Ok"}));
  machine.Refresh(thread);
  EXPECT_EQ(thread.thread_version(), 2u);
  EXPECT_EQ(thread.thread_phase(), Phase::REST);

  global.events.clear();
  global.finish_status = Status::IOError;
  ASSERT_TRUE(machine.StartAction(Action::ChangePsfSet));
  EXPECT_EQ(machine.state().phase, Phase::PS_PENDING);
  machine.Refresh(thread);
  EXPECT_EQ(machine.state(), (SystemState{Action::None, Phase::REST, 2}));
  EXPECT_EQ(global.Events(), (std::vector<std::string>{"finish ChangePsfSet", "completed ChangePsfSet IOError"}));
  EXPECT_EQ(thread.events,
            (std::vector<std::string>{"index writes", "index writes", "prepare", "version 2",
                                      "session record", "persisted", "adopt"}));
  epoch.Unprotect();
}

TEST(StateMachineTest, StartersFailCleanlyOutsideRest) {
  LightEpoch epoch;
  StateMachine machine(epoch);
  ThreadView thread;
  machine.Refresh(thread);

  ASSERT_TRUE(machine.StartAction(Action::CheckpointLog));
  SystemState during = machine.state();
  EXPECT_FALSE(machine.StartAction(Action::ChangePsfSet));
  EXPECT_FALSE(machine.StartAction(Action::CheckpointIndex));
  EXPECT_FALSE(machine.TryBeginAction(Action::Recover));
  EXPECT_EQ(machine.state(), during);
  while (!machine.state().IsRest()) machine.Refresh(thread);

  ASSERT_TRUE(machine.StartAction(Action::ChangePsfSet));
  EXPECT_FALSE(machine.StartAction(Action::CheckpointIndex));
  EXPECT_FALSE(machine.StartAction(Action::CheckpointLog));
  EXPECT_EQ(machine.state().phase, Phase::PS_PENDING);
  machine.Refresh(thread);
  EXPECT_TRUE(machine.state().IsRest());

  // A starter whose preparation fails goes back to rest; None is not an action.
  EXPECT_FALSE(machine.TryBeginAction(Action::None));
  ASSERT_TRUE(machine.TryBeginAction(Action::CheckpointIndex));
  EXPECT_EQ(machine.state(), (SystemState{Action::CheckpointIndex, Phase::REST, 2}));
  machine.ReturnToRest();
  EXPECT_EQ(machine.state(), (SystemState{Action::None, Phase::REST, 2}));

  // Recovery keeps the phase at REST and adopts the recovered version.
  EXPECT_FALSE(machine.SetRecoveredVersion(9));
  ASSERT_TRUE(machine.TryBeginAction(Action::Recover));
  EXPECT_FALSE(machine.StartAction(Action::CheckpointLog));
  EXPECT_TRUE(machine.SetRecoveredVersion(9));
  EXPECT_EQ(machine.state(), (SystemState{Action::Recover, Phase::REST, 9}));
  machine.ReturnToRest();
  EXPECT_EQ(machine.state(), (SystemState{Action::None, Phase::REST, 9}));
  epoch.Unprotect();
}

TEST(StateMachineTest, GlobalMoveNeedsTheExpectedWordAndASuccessor) {
  LightEpoch epoch;
  RecordingGlobalWork global;
  StateMachine machine(epoch, &global);
  SystemState found;
  EXPECT_FALSE(machine.GlobalMoveToNextState(SystemState::Initial(), &found));
  EXPECT_EQ(found, SystemState::Initial());
  EXPECT_EQ(machine.state(), SystemState::Initial());

  ASSERT_TRUE(machine.StartAction(Action::CheckpointIndex));
  SystemState stale{Action::CheckpointIndex, Phase::INDEX_CHKPT, 1};
  EXPECT_FALSE(machine.GlobalMoveToNextState(stale, &found));
  EXPECT_EQ(found, (SystemState{Action::CheckpointIndex, Phase::PREP_INDEX_CHKPT, 1}));
  EXPECT_TRUE(machine.GlobalMoveToNextState(found));
  EXPECT_FALSE(machine.GlobalMoveToNextState(found));  // a second mover loses; entry work ran once
  EXPECT_EQ(global.Events(), (std::vector<std::string>{"enter INDEX_CHKPT"}));
}

TEST(StateMachineTest, ThreadBehindCatchesUpThroughEveryPhaseInOneRefresh) {
  LightEpoch epoch;
  StateMachine machine(epoch);
  ThreadView driver;
  RecordingThread late;  // not refreshed while the driver moves the state on
  machine.Refresh(driver);

  ASSERT_TRUE(machine.StartAction(Action::CheckpointLog));
  machine.Refresh(driver);  // PREPARE acknowledged: IN_PROGRESS, version 2
  EXPECT_EQ(machine.state(), (SystemState{Action::CheckpointLog, Phase::IN_PROGRESS, 2}));
  machine.HandleSpecialPhases(late);
  EXPECT_EQ(late.events, (std::vector<std::string>{"prepare", "version 2"}));
  EXPECT_EQ(late.thread_phase(), Phase::IN_PROGRESS);
  EXPECT_EQ(late.thread_version(), 2u);
  while (!machine.state().IsRest()) machine.Refresh(driver);

  // Index checkpoint: two phases behind.
  ASSERT_TRUE(machine.StartAction(Action::CheckpointIndex));
  machine.Refresh(driver);
  ASSERT_EQ(machine.state().phase, Phase::INDEX_CHKPT);
  late.events.clear();
  late.SetThreadView(Phase::REST, 2);
  machine.HandleSpecialPhases(late);  // acknowledges both phases: the checkpoint ends
  EXPECT_EQ(late.events, (std::vector<std::string>{"index writes"}));
  EXPECT_TRUE(machine.state().IsRest());
  epoch.Unprotect();
}

// A thread whose view is left over from an action that ended while it was not
// protected must neither loop forever, nor skip the current action's work, nor redo
// the old action's work.
TEST(StateMachineTest, StaleThreadViewsCatchUpWithTheCurrentAction) {
  LightEpoch epoch;
  StateMachine machine(epoch);
  ThreadView driver;
  machine.Refresh(driver);
  ASSERT_TRUE(machine.StartAction(Action::CheckpointLog));
  while (!machine.state().IsRest()) machine.Refresh(driver);
  ASSERT_EQ(machine.state().version, 2u);

  // A protected thread that has not acknowledged yet holds the word in PS_PENDING
  // while the stale views below are brought up to date.
  std::atomic<int> step{0};
  std::thread holder([&] {
    epoch.Protect();
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    epoch.Unprotect();
  });
  while (step.load() != 1) std::this_thread::yield();
  ASSERT_TRUE(machine.StartAction(Action::ChangePsfSet));
  RecordingThread left_mid_checkpoint;
  left_mid_checkpoint.SetThreadView(Phase::IN_PROGRESS, 2);
  WithinSeconds(5, [&] { machine.HandleSpecialPhases(left_mid_checkpoint); });
  EXPECT_EQ(left_mid_checkpoint.events, (std::vector<std::string>{"adopt"}));
  EXPECT_EQ(left_mid_checkpoint.thread_phase(), Phase::PS_PENDING);

  RecordingThread old_version;
  old_version.SetThreadView(Phase::REST, 1);
  WithinSeconds(5, [&] { machine.HandleSpecialPhases(old_version); });
  EXPECT_EQ(old_version.events, (std::vector<std::string>{"adopt"}));
  EXPECT_EQ(old_version.thread_phase(), Phase::PS_PENDING);
  EXPECT_EQ(old_version.thread_version(), 2u);

  RecordingThread uninitialised;
  uninitialised.SetThreadView(Phase::INVALID, 0);
  WithinSeconds(5, [&] { machine.HandleSpecialPhases(uninitialised); });
  EXPECT_EQ(uninitialised.thread_phase(), Phase::PS_PENDING);
  EXPECT_EQ(machine.state().phase, Phase::PS_PENDING);
  step = 2;
  holder.join();
  machine.Refresh(driver);
  EXPECT_TRUE(machine.state().IsRest());

  // The view names the very phase the new action is in, but it is left over from an
  // earlier index checkpoint: the thread must still acknowledge, or the new
  // checkpoint would wait for it forever.
  std::atomic<int> stage{0};
  std::thread returning([&] {
    ThreadView view(Phase::PREP_INDEX_CHKPT, 2);
    epoch.Protect();
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    machine.Refresh(view);
    stage = 3;
    while (stage.load() != 4) std::this_thread::yield();
    epoch.Unprotect();
  });
  while (stage.load() != 1) std::this_thread::yield();
  ASSERT_TRUE(machine.StartAction(Action::CheckpointIndex));
  stage = 2;
  while (stage.load() != 3) std::this_thread::yield();
  machine.Refresh(driver);
  EXPECT_EQ(machine.state().phase, Phase::INDEX_CHKPT);
  stage = 4;
  returning.join();
  while (!machine.state().IsRest()) machine.Refresh(driver);
  epoch.Unprotect();
}

// Several threads refresh, drop protection and come back at random while a starter
// runs every kind of action; every action must complete, entry work must run once
// per transition and each thread must see the versions in order.
TEST(StateMachineTest, StressThreadsFollowActionsWhileJoiningAndLeaving) {
  LightEpoch epoch;
  RecordingGlobalWork global;
  StateMachine machine(epoch, &global);
  std::atomic<bool> stop{false};
  std::atomic<int> order_violations{0};

  class VersionChecker : public ThreadView {
   public:
    explicit VersionChecker(std::atomic<int>& violations) : violations_{violations} {}
    void StartNewVersion(uint32_t version) override {
      if (version <= last_) violations_.fetch_add(1);
      last_ = version;
    }
    uint32_t last_ = 1;
    std::atomic<int>& violations_;
  };

  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    VersionChecker view(order_violations);
    while (!stop.load()) {
      machine.Refresh(view);
      if (random() % 8 == 0) {
        epoch.Unprotect();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
      } else if (random() % 2 == 0) {
        std::this_thread::yield();
      }
    }
    epoch.Unprotect();
  };
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 3; ++i) threads.emplace_back(worker, 100 + i);

  const Action actions[] = {Action::CheckpointIndex, Action::CheckpointLog, Action::ChangePsfSet};
  int log_checkpoints = 0;
  ThreadView starter;
  for (int round = 0; round < 90; ++round) {
    Action action = actions[round % 3];
    ASSERT_TRUE(machine.StartAction(action)) << round;
    if (action == Action::CheckpointLog) ++log_checkpoints;
    WithinSeconds(10, [&] {
      while (global.completed.load() != round + 1) {
        machine.Refresh(starter);
        std::this_thread::yield();
      }
      epoch.Unprotect();  // this thread ends here
    });
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(order_violations.load(), 0);
  EXPECT_EQ(machine.state(), (SystemState{Action::None, Phase::REST, 1u + log_checkpoints}));
  int entered_index = 0, entered_flush = 0, finished = 0;
  for (const auto& event : global.Events()) {
    entered_index += event == "enter INDEX_CHKPT";
    entered_flush += event == "enter WAIT_FLUSH";
    finished += event.rfind("finish ", 0) == 0;
  }
  EXPECT_EQ(entered_index, 30);
  EXPECT_EQ(entered_flush, 30);
  EXPECT_EQ(finished, 90);
}
