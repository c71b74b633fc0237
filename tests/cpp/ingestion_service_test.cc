// The ingestion service against an engine whose phase and failures the test controls:
// one reply per request whatever the engine does, workers that survive every failure,
// and start/stop cycles that never hang.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "loopback_client.h"
#include "server/engine_errors.h"
#include "server/json_store.h"
#include "values/generic_value.h"
#include "temp_directory.h"

namespace quillmark {
namespace server {
namespace {

using psfstore::core::Phase;
using psfstore::test_support::TempDirectory;
using test_support::Client;
using test_support::FreeLoopbackPort;

// Counts records by lines; the test decides the phase, refuses sessions on demand and
// makes batches throw.
class ControlledEngine : public RecordEngine {
 public:
  std::atomic<Phase> forced_phase{Phase::REST};
  std::atomic<int> sessions_to_refuse{0};
  std::atomic<int> open_sessions{0};
  std::atomic<uint64_t> records{0};
  std::atomic<bool> table_full{false};
  std::atomic<bool> change_refused{false};
  std::atomic<int> changes_applied{0};

  psfstore::core::Status TryStartSession(psfstore::core::Guid* session) override {
    if (forced_phase.load() != Phase::REST) return psfstore::core::Status::Busy;
    if (sessions_to_refuse.load() > 0) {
      sessions_to_refuse.fetch_sub(1);
      return psfstore::core::Status::Busy;
    }
    open_sessions.fetch_add(1);
    if (session != nullptr) *session = psfstore::core::Guid::Create();
    return psfstore::core::Status::Ok;
  }
  void StopSession() override { open_sessions.fetch_sub(1); }
  uint32_t BatchInsert(psfstore::core::PaddedView batch, uint64_t) override {
    std::string_view text = batch.text();
    if (text.starts_with("bad")) throw std::invalid_argument("malformed JSON at byte 0: bad");
    if (text.starts_with("boom")) throw std::runtime_error("device failed");
    if (text.starts_with("oom")) throw std::bad_alloc();
    if (text.starts_with("object")) throw recorder::data::NotScalarError();
    if (text.starts_with("misuse")) throw std::logic_error("a checkpoint needs a session");
    auto count = static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n'));
    records.fetch_add(count);
    return count;
  }
  void CompleteAction() override {}
  Phase phase() const override {
    phase_reads.fetch_add(1);
    return forced_phase.load();
  }
  mutable std::atomic<int> phase_reads{0};
  uint16_t RegisterProjection(std::string_view) override { return table_full ? kNoPsf : next_id++; }
  bool ApplyPsfChange(PsfChange, std::function<void(uint64_t)> on_complete) override {
    if (change_refused) return false;
    changes_applied.fetch_add(1);
    if (on_complete) on_complete(64);
    return true;
  }
  uint64_t TailAddress() const override { return 64; }

 private:
  uint16_t next_id = 0;
};

struct ServiceFixture : ::testing::Test {
  TempDirectory directory{"/tmp"};
  ControlledEngine* engine = new ControlledEngine;
  uint32_t port = FreeLoopbackPort();
  JSONStore store{std::unique_ptr<RecordEngine>(engine), directory.path() + "/store", port,
                  RestWait{std::chrono::milliseconds{20}, 3}};

  void Run(uint64_t workers) {
    store.SetListenAddress("127.0.0.1");
    store.Run(workers, [] {});
  }
};

using Reply = std::vector<std::string>;

TEST_F(ServiceFixture, EngineFailuresGetOneReplyAndTheWorkerKeepsServing) {
  Run(1);
  Client client{port};
  EXPECT_EQ(client.Request({"{}\n", "a"}), (Reply{"OK", "a"}));

  // Out of REST past the wait: ERR_BUSY, then served again once at rest.
  engine->forced_phase = Phase::PS_PENDING;
  EXPECT_EQ(client.Request({"{}\n", "b"}), (Reply{"ERR_BUSY", "b"}));
  engine->forced_phase = Phase::REST;
  EXPECT_EQ(client.Request({"{}\n", "c"}), (Reply{"OK", "c"}));

  // A session refused between the phase test and the session start is waited out.
  engine->sessions_to_refuse = 2;
  EXPECT_EQ(client.Request({"{}\n", "d"}), (Reply{"OK", "d"}));

  EXPECT_EQ(client.Request({"bad", "e"}), (Reply{"ERR_BAD_DATA", "e", "malformed JSON at byte 0: bad"}));
  EXPECT_EQ(client.Request({"boom", "f"}), (Reply{"ERR_INTERNAL", "f", "device failed"}));
  EXPECT_EQ(client.Request({"oom", "g"})[0], "ERR_INTERNAL");
  // Only a refused batch is bad data; a logic error of the program is not.
  EXPECT_EQ(client.Request({"object", "i"})[0], "ERR_BAD_DATA");
  EXPECT_EQ(client.Request({"misuse", "j"}), (Reply{"ERR_INTERNAL", "j", "a checkpoint needs a session"}));
  EXPECT_EQ(client.Request({"{}\n{}\n", "h"}), (Reply{"OK", "h"}));

  EXPECT_EQ(engine->open_sessions.load(), 0);  // every session was closed
  EXPECT_EQ(store.Stats(), (std::pair<uint64_t, uint64_t>{15, 5}));
  store.Stop();
}

TEST_F(ServiceFixture, StopEndsAWorkerWaitingForRestAndItsRequestIsAnswered) {
  // A wait of ten minutes: stop must not sit it out.
  uint32_t patient_port = FreeLoopbackPort();
  JSONStore patient{std::make_unique<ControlledEngine>(), directory.path() + "/patient", patient_port,
                    RestWait{std::chrono::milliseconds{60000}, 10}};
  static_cast<ControlledEngine&>(patient.engine()).forced_phase = Phase::INDEX_CHKPT;
  patient.SetListenAddress("127.0.0.1");
  patient.Run(1, [] {});
  Reply reply;
  std::thread writer{[&] {
    Client client{patient_port};
    reply = client.Request({"{}\n", "waiting"});
  }};
  // Stop once the worker is inside its wait for REST (bounded: the reply check below
  // fails if it never gets there).
  auto& held = static_cast<ControlledEngine&>(patient.engine());
  for (int i = 0; i < 500 && held.phase_reads.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  auto started = std::chrono::steady_clock::now();
  patient.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{5});
  writer.join();
  EXPECT_EQ(reply, (Reply{"ERR_BUSY", "waiting"}));
  EXPECT_FALSE(patient.IsRunning());
}

TEST_F(ServiceFixture, AWaitingWorkerGoesOnAsSoonAsTheEngineIsBackAtRest) {
  // Steps of two seconds, as in a real store: a checkpoint that ends a moment after the
  // worker began waiting must not cost the writer the rest of the step.
  uint32_t waiting_port = FreeLoopbackPort();
  JSONStore waiting{std::make_unique<ControlledEngine>(), directory.path() + "/waiting", waiting_port, RestWait{}};
  auto& held = static_cast<ControlledEngine&>(waiting.engine());
  held.forced_phase = Phase::INDEX_CHKPT;
  waiting.SetListenAddress("127.0.0.1");
  waiting.Run(1, [] {});
  Reply reply;
  std::chrono::steady_clock::time_point answered;
  std::thread writer{[&] {
    Client client{waiting_port};
    reply = client.Request({"{}\n", "w"});
    answered = std::chrono::steady_clock::now();
  }};
  for (int i = 0; i < 500 && held.phase_reads.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  std::this_thread::sleep_for(std::chrono::milliseconds{50});
  auto back_at_rest = std::chrono::steady_clock::now();
  held.forced_phase = Phase::REST;
  writer.join();
  EXPECT_EQ(reply, (Reply{"OK", "w"}));
  // Sleeping out the step would answer about 1.9 s after the return to rest; the bound
  // leaves room for a loaded or instrumented run without letting that through.
  EXPECT_LT(answered - back_at_rest, std::chrono::milliseconds{1500});
  waiting.Stop();
}

TEST_F(ServiceFixture, QuickStartStopCyclesNeverHangOrLeakEndpoints) {
  // No pause after start: workers may not have subscribed when the stop word goes out.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
  for (int cycle = 0; cycle < 30 && std::chrono::steady_clock::now() < deadline; ++cycle) {
    Run(2);
    if (cycle % 5 == 0) {
      Client client{port};
      EXPECT_EQ(client.Request({"{}\n", "x"}), (Reply{"OK", "x"}));
    }
    store.Stop();
    store.Stop();
    EXPECT_FALSE(store.IsRunning());
  }
}

// Runs `action` on its own thread and ends the test binary when it has not returned
// within `limit`: a hung call cannot be unwound, and the test must not hang with it.
void ReturnsWithin(std::chrono::seconds limit, const char* what, const std::function<void()>& action) {
  std::atomic<bool> returned{false};
  std::thread runner{[&] {
    action();
    returned = true;
  }};
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!returned.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds{5});
  }
  if (!returned.load()) {
    ADD_FAILURE() << what << " did not return within " << limit.count() << " s";
    std::fprintf(stderr, "%s hangs; ending the test binary\n", what);
    std::fflush(nullptr);
    std::_Exit(1);
  }
  runner.join();
}

TEST_F(ServiceFixture, StopWhileWritersKeepSendingReturns) {
  // Requests keep arriving while the workers leave: one that reaches the proxy after the
  // last worker has gone must not block the proxy (and with it Stop) forever.
  std::atomic<bool> done{false};
  std::atomic<uint64_t> acknowledged{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      while (!done.load()) {
        Client client{port, 200};
        for (int n = 0; !done.load(); ++n) {
          std::string tag = std::to_string(w) + "/" + std::to_string(n);
          Reply reply = client.Request({"{}\n", tag});
          if (reply == Reply{"OK", tag}) acknowledged.fetch_add(1);
          if (reply == Reply{"<timeout>"}) break;  // the socket waits for that reply forever
        }
      }
    });
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
  for (int cycle = 0; cycle < 25 && std::chrono::steady_clock::now() < deadline; ++cycle) {
    Run(2);
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
    ReturnsWithin(std::chrono::seconds{10}, "Stop under load", [&] { store.Stop(); });
    EXPECT_FALSE(store.IsRunning());
  }
  done = true;
  for (auto& writer : writers) writer.join();
  EXPECT_GT(acknowledged.load(), 0u);
  EXPECT_LE(acknowledged.load(), engine->records.load());  // nothing acknowledged but inserted
}

TEST_F(ServiceFixture, StopAndProjectionsFromDifferentThreads) {
  // A slow (instrumented) run may end at the deadline before all rounds: every round
  // that ran must have created all of its projections, whatever the count of rounds.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
  size_t rounds = 0;
  for (int round = 0; round < 10 && std::chrono::steady_clock::now() < deadline; ++round, ++rounds) {
    Run(2);
    std::atomic<bool> go{false};
    std::thread projector{[&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) store.Projection("/f" + std::to_string(round) + "_" + std::to_string(i));
    }};
    std::thread stopper{[&] {
      while (!go.load()) std::this_thread::yield();
      store.Stop();
    }};
    go = true;
    projector.join();
    stopper.join();
    EXPECT_FALSE(store.IsRunning());
  }
  EXPECT_GE(rounds, 1u);
  EXPECT_EQ(store.GetAllProjections().size(), 20 * rounds);
}

TEST_F(ServiceFixture, PipelinedWritersGetExactlyOneMatchingReplyPerRequest) {
  // Several DEALER writers keep many requests of every kind in flight while projections
  // publish control words: bursts cross the proxy and queued requests are taken by the
  // workers without a poll, and still every request gets one reply, its own.
  struct Kind {
    std::vector<std::string> frames;  // the tag goes last when the kind has one
    std::string answer;
  };
  const std::vector<Kind> kinds = {{{"{}\n{}\n"}, "OK"},
                                   {{"bad"}, "ERR_BAD_DATA"},
                                   {{""}, "ERR_NO_DATA"},
                                   {{"boom"}, "ERR_INTERNAL"},
                                   {{"{}\n", "extra", "frames"}, "ERR_MSG_COUNT"}};
  constexpr int kWriters = 3, kPerWriter = 600, kWindow = 16;
  Run(2);
  std::atomic<bool> writing{true};
  std::thread projector{[&] {
    for (int i = 0; writing.load() && i < 200; ++i) store.Projection("/p" + std::to_string(i));
  }};
  std::vector<std::thread> writers;
  std::vector<std::string> failures(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      zmq::context_t context;
      zmq::socket_t dealer{context, zmq::socket_type::dealer};
      dealer.set(zmq::sockopt::linger, 0);
      dealer.set(zmq::sockopt::rcvtimeo, 5000);
      dealer.connect("tcp://127.0.0.1:" + std::to_string(port));
      std::vector<int> replies(kPerWriter, 0);
      int sent = 0, received = 0;
      while (received < kPerWriter) {
        for (; sent < kPerWriter && sent - received < kWindow; ++sent) {
          const Kind& kind = kinds[sent % kinds.size()];
          std::vector<std::string> frames{""};  // the delimiter a REQ socket would add
          frames.insert(frames.end(), kind.frames.begin(), kind.frames.end());
          if (kind.answer != "ERR_MSG_COUNT") frames.push_back(std::to_string(sent));
          for (size_t i = 0; i < frames.size(); ++i) {
            dealer.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
          }
        }
        std::vector<zmq::message_t> reply;
        if (!zmq::recv_multipart(dealer, std::back_inserter(reply)) || reply.size() < 2) {
          failures[w] = "no reply after " + std::to_string(received);
          return;
        }
        ++received;
        std::string answer = reply[1].to_string();
        if (answer == "ERR_MSG_COUNT") continue;  // carries no tag to match
        std::string tag_text = reply.size() > 2 ? reply[2].to_string() : "";
        int tag = tag_text.empty() || tag_text.size() > 6 ? -1 : std::atoi(tag_text.c_str());
        if (tag < 0 || tag >= sent || ++replies[tag] != 1 || kinds[tag % kinds.size()].answer != answer) {
          failures[w] = "reply " + answer + " for tag " + tag_text;
          return;
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  projector.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  // Two records for each accepted request, and nothing of the refused ones.
  int accepted_per_writer = (kPerWriter + static_cast<int>(kinds.size()) - 1) / static_cast<int>(kinds.size());
  EXPECT_EQ(engine->records.load(), static_cast<uint64_t>(2 * kWriters * accepted_per_writer));
  EXPECT_EQ(engine->open_sessions.load(), 0);
  store.Stop();
}

TEST_F(ServiceFixture, StartFailuresLeaveTheServiceStopped) {
  store.SetListenAddress("127.0.0.1");
  EXPECT_THROW(store.Run(IngestionService::kMaxWorkers + 1, [] {}), std::invalid_argument);
  EXPECT_FALSE(store.IsRunning());
  zmq::context_t context;
  zmq::socket_t holder{context, zmq::socket_type::router};
  holder.bind("tcp://127.0.0.1:" + std::to_string(port));
  EXPECT_THROW(store.Run(2, [] {}), zmq::error_t);
  EXPECT_FALSE(store.IsRunning());
  holder.close();
  store.Run(1, [] {});
  EXPECT_TRUE(store.IsRunning());
  EXPECT_THROW(store.Run(1, [] {}), std::runtime_error);
  store.Stop();
}

TEST_F(ServiceFixture, RefusedProjectionsChangeNothingAndCloseTheirSession) {
  engine->forced_phase = Phase::INDEX_CHKPT;
  EXPECT_THROW(
      {
        try {
          store.Projection("/a");
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "Can acquire only in REST phase!");
          throw;
        }
      },
      std::runtime_error);
  engine->forced_phase = Phase::REST;

  engine->table_full = true;
  EXPECT_THROW(store.Projection("/a"), std::runtime_error);
  EXPECT_EQ(engine->changes_applied.load(), 0);  // a full table never reaches a change
  engine->table_full = false;

  engine->change_refused = true;
  EXPECT_THROW(store.Projection("/a"), std::runtime_error);
  engine->change_refused = false;
  EXPECT_TRUE(store.GetAllProjections().empty());
  EXPECT_EQ(engine->open_sessions.load(), 0);

  EXPECT_EQ(store.Projection("/a"), 64u);
  engine->change_refused = true;
  EXPECT_THROW(store.DeleteProjection("/a"), std::runtime_error);
  EXPECT_TRUE(store.ProjectionExists("/a"));  // still indexed: the name stays
  engine->change_refused = false;
  store.DeleteProjection("/a");
  EXPECT_FALSE(store.FindProjection("/a").has_value());
  EXPECT_EQ(engine->open_sessions.load(), 0);
}

// What callers see of an engine failure: the exception type their Python contract names
// and, for a busy store, the exact text they match.
TEST(EngineErrorsTest, StatusesBecomeTheExceptionsCallersExpect) {
  using psfstore::core::Status;
  auto thrown = [](const Status& status) -> std::string {
    try {
      ThrowIfFailed(status, "Unable to scan");
    } catch (const std::invalid_argument& error) {
      return std::string{"invalid_argument: "} + error.what();
    } catch (const std::bad_alloc&) {
      return "bad_alloc";
    } catch (const std::runtime_error& error) {
      return std::string{"runtime_error: "} + error.what();
    }
    return "nothing";
  };
  EXPECT_EQ(thrown(Status::Ok), "nothing");
  EXPECT_EQ(thrown(Status{Status::Busy, "phase PREPARE"}), "runtime_error: Can acquire only in REST phase!");
  EXPECT_EQ(thrown(Status{Status::Refused, "document too large"}), "invalid_argument: Unable to scan: document too large");
  EXPECT_EQ(thrown(Status::OutOfMemory), "bad_alloc");
  EXPECT_EQ(thrown(Status{Status::IOError, "cannot read page 3"}),
            "runtime_error: Unable to scan: cannot read page 3 (IOError)");
  EXPECT_EQ(thrown(Status::Corruption), "runtime_error: Unable to scan: Corruption");
}

}  // namespace
}  // namespace server
}  // namespace quillmark
