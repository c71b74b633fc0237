// Helper threads: a process-wide pool that runs a piece of work on a core that would
// otherwise sit idle, while the thread that handed it over does other work.
//
// A handover only pays when a core is free. With as many busy threads as cores (two
// ingestion workers on two cores), a helper would only take turns with them and add the
// cost of the handover. So threads at work that a helper would compete with (a batch
// being parsed, checked or inserted) hold a BusyScope,
// helpers at work count too, and a task starts on a helper only while fewer threads than
// cores are counted. Otherwise the caller does the work itself.
//
// The pool holds hardware_concurrency - 1 threads (at least one), started on the first
// handover. It is never destroyed: its threads wait for work until the process exits,
// so a store closing or a thread still loading a batch while the process winds down
// never meets a pool that is gone. Threads blocked in a wait end with the process.
// A child of fork() inherits none of the threads: it starts a pool of its own on its
// first handover.
//
// Threading: every function is safe to call from any thread.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

namespace psfstore {
namespace environment {

// Counts the calling thread as busy for its lifetime. Scopes nest: a thread counts once
// however many it holds, so a caller may cover more of its work than a callee does.
// A scope must end on the thread that opened it.
class BusyScope {
 public:
  BusyScope();
  ~BusyScope();
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
};

// One piece of work on a helper thread. The caller must outlive the work: the
// destructor waits for it, so a task on the stack may capture locals by reference,
// even when the caller leaves by an exception.
class HelperTask {
 public:
  enum class Placement {
    Automatic,  // on a helper while a core is free, else not at all
    Helper,     // on a helper whatever the load (tests)
  };

  HelperTask() = default;
  ~HelperTask();
  HelperTask(const HelperTask&) = delete;
  HelperTask& operator=(const HelperTask&) = delete;

  // Hands `work` to a helper and returns true, or returns false without running it when
  // no core is free (the caller then runs it itself). At most one Start per task.
  bool Start(std::function<void()> work, Placement placement = Placement::Automatic);

  // Waits until the started work has finished; rethrows what it threw (std::bad_alloc
  // reaches the caller rather than ending the process). Does nothing when not started.
  void Wait();

 private:
  friend class HelperPool;
  void Run();

  std::function<void()> work_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool started_ = false;
  bool done_ = false;
  std::exception_ptr error_;
};

}  // namespace environment
}  // namespace psfstore
