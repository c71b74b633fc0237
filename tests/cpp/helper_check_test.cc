// The whole-batch check on a helper thread, beside the field walk, must judge every batch
// exactly as the check on the calling thread: same verdict, same fault offset, same
// records and fields, with several loaders at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/helper_threads.h"
#include "base/padded_buffer.h"
#include "json/simdjson_adapter.h"

using psfstore::adapter::FieldRef;
using psfstore::adapter::SIMDJsonAdapter;
using psfstore::core::PaddedBuffer;
using psfstore::core::Status;
using psfstore::environment::HelperTask;
using Placement = SIMDJsonAdapter::CheckPlacement;

namespace {

// What a load gives: the verdict and offset, or every record's text and fields.
std::string Outcome(SIMDJsonAdapter& adapter, const PaddedBuffer& buffer) {
  Status status = adapter.Load(buffer);
  if (status != Status::Ok) {
    EXPECT_FALSE(adapter.HasNext());
    return "refused at " + std::to_string(adapter.fault_offset()) + ": " + std::string{status.message()};
  }
  std::string outcome;
  while (adapter.HasNext()) {
    auto record = adapter.NextRecord();
    outcome.append(record.payload).append("|");
    for (const FieldRef& field : record.fields) outcome.append(std::to_string(field.index)).append(field.token);
    outcome += '\n';
  }
  return outcome;
}

struct Case {
  const char* name;
  std::string text;
  int64_t fault;  // -1: accepted
};

std::vector<Case> Cases() {
  std::string good;
  for (int i = 0; good.size() < SIMDJsonAdapter::kHelperCheckBytes + (300 << 10); ++i) {
    good += "{\"id\":" + std::to_string(i) + ",\"user\":{\"name\":\"u" + std::to_string(i % 97) +
            "\",\"tags\":[1,2.5,true,null]},\"note\":\"" + std::string(i % 40, 'x') + "\"}\n";
  }
  // A fault inserted at the start of the line nearest `fraction` of the batch.
  auto at = [&](double fraction, const std::string& inserted) {
    size_t line = fraction == 0 ? 0 : good.rfind('\n', static_cast<size_t>(good.size() * fraction)) + 1;
    return std::pair{good.substr(0, line) + inserted + good.substr(line), static_cast<int64_t>(line)};
  };
  std::vector<Case> cases{{"good", good, -1}};
  for (double fraction : {0.0, 0.5, 1.0}) {
    auto [missing_value, p1] = at(fraction, "{\"id\":}\n");
    cases.push_back({"missing value", missing_value, p1 + 6});
    auto [bad_utf8, p2] = at(fraction, "{\"id\":\"\xC3\x28\"}\n");
    cases.push_back({"invalid UTF-8", bad_utf8, p2 + 7});
    auto [bad_escape, p3] = at(fraction, "{\"user\":{\"name\":\"a\\q\"}}\n");
    cases.push_back({"bad escape in a field", bad_escape, p3 + 16});
    // Valid JSON the library's complete parser refuses: the checking walk accepts it.
    auto [big, p4] = at(fraction, "{\"id\":123456789012345678901234567890,\"x\":1e400}\n");
    cases.push_back({"numbers beyond machine range", big, -1});
  }
  cases.push_back({"truncated last document", good + "{\"id\":[1,", static_cast<int64_t>(good.size())});
  cases.push_back({"trailing garbage", good + "xyz", static_cast<int64_t>(good.size())});
  return cases;
}

}  // namespace

TEST(HelperCheckTest, ConcurrentCheckJudgesLargeBatchesLikeTheInlineCheck) {
  const std::vector<Case> cases = Cases();
  const std::vector<std::string> fields = {"/id", "/user/name", "/user/tags/3"};
  std::vector<PaddedBuffer> buffers;
  std::vector<std::string> expected;
  SIMDJsonAdapter inline_adapter{fields};
  inline_adapter.set_check_placement(Placement::Inline);
  for (const Case& c : cases) {
    buffers.emplace_back(c.text);
    expected.push_back(Outcome(inline_adapter, buffers.back()));
    if (c.fault < 0) {
      EXPECT_EQ(expected.back().rfind("refused", 0), std::string::npos) << c.name << ": " << expected.back();
    } else {
      EXPECT_EQ(expected.back().rfind("refused at " + std::to_string(c.fault) + ":", 0), 0u)
          << c.name << ": " << expected.back();
    }
  }
  // Loaders on several threads, each with adapters of both concurrent placements,
  // reusing them across good and refused batches.
  std::vector<std::thread> loaders;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 3; ++t) {
    loaders.emplace_back([&, t] {
      SIMDJsonAdapter helper{fields}, automatic{fields};
      helper.set_check_placement(Placement::Helper);
      for (size_t i = 0; i < cases.size(); ++i) {
        size_t k = (i + t) % cases.size();
        for (SIMDJsonAdapter* adapter : {&helper, &automatic}) {
          if (Outcome(*adapter, buffers[k]) != expected[k]) {
            ADD_FAILURE() << cases[k].name << " judged differently on thread " << t;
            ++mismatches;
          }
        }
      }
    });
  }
  for (auto& loader : loaders) loader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(HelperCheckTest, HelperFailuresReachTheCallerAndTasksOutliveNothing) {
  HelperTask failing;
  ASSERT_TRUE(failing.Start([] { throw std::bad_alloc{}; }, HelperTask::Placement::Helper));
  EXPECT_THROW(failing.Wait(), std::bad_alloc);

  // A caller leaving by an exception still waits for the work that uses its locals.
  std::atomic<int> finished{0};
  EXPECT_THROW(
      {
        int local = 0;
        HelperTask task;
        ASSERT_TRUE(task.Start(
            [&] {
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
              local = 1;
              finished += local;
            },
            HelperTask::Placement::Helper));
        throw std::runtime_error("walk failed");
      },
      std::runtime_error);
  EXPECT_EQ(finished.load(), 1);
}

// A child of fork() has none of the parent's helper threads: its handovers must still
// run (on a pool of its own), never wait for a thread that is not there.
TEST(HelperCheckTest, ForkedChildRunsHandoversOnItsOwnPool) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child that starts threads after a multi-threaded fork";
#endif
  HelperTask before;
  ASSERT_TRUE(before.Start([] {}, HelperTask::Placement::Helper));
  before.Wait();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM, failing the test below
    std::atomic<int> ran{0};
    HelperTask task;
    bool started = task.Start([&] { ran = 1; }, HelperTask::Placement::Helper);
    task.Wait();
    _exit(started && ran == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
