// A stand-in for the store's epoch in device and log tests: deferred actions wait in a
// list until the test says that every thread has moved on.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "engine/core/async_context.h"

namespace psfstore {
namespace test_support {

class DeferredEpoch {
 public:
  using Action = void (*)(core::IAsyncContext*);

  ~DeferredEpoch() { RunDeferred(); }

  uint64_t BumpCurrentEpoch(Action action, core::IAsyncContext* context) {
    std::lock_guard<std::mutex> lock{mutex_};
    pending_.emplace_back(action, context);
    return ++epoch_;
  }

  // Runs every action registered so far (and those they register), as when all
  // threads have left their epochs. Returns how many ran.
  size_t RunDeferred() {
    size_t ran = 0;
    for (;;) {
      std::vector<std::pair<Action, core::IAsyncContext*>> ready;
      {
        std::lock_guard<std::mutex> lock{mutex_};
        ready.swap(pending_);
      }
      if (ready.empty()) return ran;
      for (auto& [action, context] : ready) action(context);
      ran += ready.size();
    }
  }

  size_t pending() {
    std::lock_guard<std::mutex> lock{mutex_};
    return pending_.size();
  }

 private:
  std::mutex mutex_;
  uint64_t epoch_ = 1;
  std::vector<std::pair<Action, core::IAsyncContext*>> pending_;
};

}  // namespace test_support
}  // namespace psfstore
