#include "base/helper_threads.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <system_error>
#include <thread>
#include <utility>

namespace psfstore {
namespace environment {

namespace {

// Threads counted busy: BusyScope holders and helpers at work.
std::atomic<int> busy_threads{0};

int CoreCount() {
  static const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return cores;
}

// Counts one more busy thread if that leaves no more busy threads than cores.
bool ClaimIdleCore() {
  int busy = busy_threads.load(std::memory_order_relaxed);
  while (busy < CoreCount()) {
    if (busy_threads.compare_exchange_weak(busy, busy + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace

// Scopes open on this thread; only the outermost counts.
thread_local int open_scopes = 0;

BusyScope::BusyScope() {
  if (open_scopes++ == 0) busy_threads.fetch_add(1, std::memory_order_relaxed);
}

BusyScope::~BusyScope() {
  if (--open_scopes == 0) busy_threads.fetch_sub(1, std::memory_order_relaxed);
}

class HelperPool {
 public:
  // The pool, its threads started on first use; nullptr when none could be started.
  static HelperPool* Instance() {
    // Never destroyed: see the header.
    std::call_once(*once, [] {
      auto* started = new HelperPool;
      pool.store(started->threads_ > 0 ? started : nullptr, std::memory_order_release);
      static const bool registered = pthread_atfork(nullptr, nullptr, &ForgetInChild) == 0;
      (void)registered;
    });
    return pool.load(std::memory_order_acquire);
  }

  void Submit(HelperTask* task) {
    {
      std::lock_guard lock{mutex_};
      queue_.push_back(task);
    }
    work_ready_.notify_one();
  }

 private:
  HelperPool() {
    const int wanted = std::max(1, CoreCount() - 1);
    for (int i = 0; i < wanted; ++i) {
      try {
        std::thread{[this] { Serve(); }}.detach();
        ++threads_;
      } catch (const std::system_error&) {
        break;  // a smaller pool still serves; none means callers do the work
      }
    }
  }

  [[noreturn]] void Serve() {
    for (;;) {
      HelperTask* task;
      {
        std::unique_lock lock{mutex_};
        work_ready_.wait(lock, [this] { return !queue_.empty(); });
        task = queue_.front();
        queue_.pop_front();
      }
      task->Run();
    }
  }

  // A child of fork() inherits the pool but none of its threads (and perhaps a mutex held
  // by one): it forgets that pool, whose memory it leaves alone, and starts its own on its
  // first handover, so that a handover there never waits for a thread that is not there.
  static void ForgetInChild() {
    pool.store(nullptr, std::memory_order_relaxed);
    once = new std::once_flag;
    busy_threads.store(open_scopes > 0 ? 1 : 0, std::memory_order_relaxed);
  }

  static inline std::atomic<HelperPool*> pool{nullptr};
  static inline std::once_flag* once = new std::once_flag;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<HelperTask*> queue_;
  int threads_ = 0;
};

bool HelperTask::Start(std::function<void()> work, Placement placement) {
  if (placement == Placement::Automatic && CoreCount() < 2) return false;
  HelperPool* pool = HelperPool::Instance();
  if (pool == nullptr) return false;
  if (placement == Placement::Automatic) {
    if (!ClaimIdleCore()) return false;
  } else {
    busy_threads.fetch_add(1, std::memory_order_relaxed);
  }
  work_ = std::move(work);
  started_ = true;
  pool->Submit(this);
  return true;
}

void HelperTask::Run() {
  std::exception_ptr error;
  try {
    work_();
  } catch (...) {
    error = std::current_exception();
  }
  busy_threads.fetch_sub(1, std::memory_order_relaxed);
  // The caller may destroy the task as soon as it sees done_, so nothing touches the
  // task after the lock is released.
  std::lock_guard lock{mutex_};
  error_ = std::move(error);
  done_ = true;
  finished_.notify_one();
}

void HelperTask::Wait() {
  if (!started_) return;
  std::exception_ptr error;
  {
    std::unique_lock lock{mutex_};
    finished_.wait(lock, [this] { return done_; });
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

HelperTask::~HelperTask() {
  if (!started_) return;
  std::unique_lock lock{mutex_};
  finished_.wait(lock, [this] { return done_; });
}

}  // namespace environment
}  // namespace psfstore
