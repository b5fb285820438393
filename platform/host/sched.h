// The host kernel's scheduler and clock.
//
// Every thread that uses the host kernel is a task: the test's own thread, the work-queue
// worker, timer threads and simulated processes. Tasks block only through Scheduler::block,
// under the scheduler lock; every host primitive that can wait (sleeps, mutexes, wait queues,
// work-queue waits, disable_irq) is built on it.
//
// Virtual mode: time stands still while any task can run. When the last runnable task blocks,
// the clock jumps to the earliest deadline and wakes the tasks that were due. If nothing is due
// and no task waits for idleness (settle/advance/run_until), that is a deadlock: the scheduler
// prints what every task waits on and aborts.
//
// Real mode: deadlines are real times on the steady clock; idleness means nothing. Tasks run
// with a timer slack of 1 ns, so a timed wait ends when due (see sleep_until for chains of
// sleeps).
//
// Lock order: the scheduler lock is innermost; never block in the scheduler while holding a
// std::mutex, or the clock cannot move.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "thread_safety.h"

namespace host {

enum class ClockMode { kVirtual, kReal };

struct Process;

// Per-thread kernel state.
struct Task {
  std::string name;
  int pid = 0;
  // Scheduling state, guarded by the scheduler lock.
  std::condition_variable cv;
  bool blocked = false;
  bool woken = false;
  bool idle_waiter = false;
  // What an idle waiter waits for: to be woken at every idle moment (run_until), or only once
  // nothing falls due up to idle_limit (settle: no limit; advance: its target), the clock
  // being moved meanwhile by the task that finds the system idle.
  bool idle_every = true;
  std::optional<int64_t> idle_limit;
  std::optional<int64_t> deadline;
  const char* waiting_on = "";
  // Context, touched only by the task itself.
  int hardirq_depth = 0;
  int atomic_depth = 0;        // spinlocks held
  Process* process = nullptr;  // the simulated process this task acts for, if any
  // Real mode: how late the task's chain of sleeps is, taken back by the sleeps that follow
  // (see Scheduler::sleep_until); 0 once the task blocked for anything else.
  int64_t sleep_lateness = 0;
  bool sleeping = false;
  // Wake-ups of this task whose notification is still to be sent (see Scheduler::wake); the
  // task's thread does not end while any is.
  std::atomic<int> notifications{0};
};

// The calling thread's task; attaches the thread on first use.
Task& current();
// True while the calling thread runs a hard-interrupt handler or holds a spinlock.
bool in_atomic_context();

class Scheduler;

// A thread started through the scheduler. Joining blocks in the scheduler, so the clock can
// move while the thread finishes.
class Thread {
 public:
  Thread() = default;
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) noexcept;
  ~Thread();  // joins
  void join();
  bool joinable() const { return state_ != nullptr; }

 private:
  friend class Scheduler;
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

class Scheduler {
 public:
  // In real mode, now() counts from the scheduler's start, or with host_clock from the host's
  // boot (CLOCK_MONOTONIC), so that outside programs can read the same clock.
  // With one_cpu, every thread that becomes a task runs on the CPU the constructing thread
  // runs on (see BootOptions::one_cpu).
  explicit Scheduler(ClockMode mode, bool host_clock = false, bool one_cpu = false);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  ClockMode mode() const { return mode_; }
  // Nanoseconds since boot.
  int64_t now() const;
  // Wall clock (CLOCK_REALTIME) in nanoseconds; set_realtime moves it, backwards too.
  int64_t realtime() const;
  void set_realtime(int64_t ns);

  // The lock under which every wait condition of the host kernel is tested. The thread-safety
  // analysis takes it as held from construction to destruction: unlock() and lock() are not
  // annotated, as the analysis cannot follow a Lock passed by reference (block, Irq).
  class LT_SCOPED_CAPABILITY Lock {
   public:
    explicit Lock(Scheduler& s) LT_ACQUIRE(s.mutex_);
    ~Lock() LT_RELEASE();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    std::unique_lock<std::mutex>& raw() { return lock_; }
    void unlock();
    void lock();

   private:
    std::unique_lock<std::mutex> lock_;
    bool held_ = true;
  };

  // block, wake, advance_deadline and describe_tasks_locked are called under the scheduler lock
  // by the host's primitives, which reach the scheduler through Kernel::get().sched(): the
  // analysis cannot tell that the lock they took is this one, so these are not checked.
  //
  // Blocks the current task until wake() or the deadline (absolute, on now()). Returns true when
  // woken, false on timeout. Warns when called in atomic context. Callers re-test their
  // condition in a loop.
  bool block(Lock& lock, const char* what, std::optional<int64_t> deadline = std::nullopt);
  // Wakes a blocked task; no-op if it is not blocked. Scheduler lock held. The woken task is
  // notified once the waker lets go of the scheduler lock (or blocks), so that it does not
  // wake only to wait for that lock.
  void wake(Task* task);
  // Brings a blocked task's time-out forward to `deadline` (absolute) if that is earlier, or
  // gives it one. In virtual time the clock reads deadlines only when it moves, so the task
  // sleeps on undisturbed; in real time it is woken to wait again with the new deadline.
  // Scheduler lock held. For a task whose wait re-tests its condition when it times out.
  void advance_deadline(Task* task, int64_t deadline);

  // Waits until pred() holds (tested under the lock), or until the deadline.
  template <class Pred>
  bool wait(Lock& lock, const char* what, Pred pred,
            std::optional<int64_t> deadline = std::nullopt) {
    while (!pred()) {
      if (deadline && now() >= *deadline) return false;
      block(lock, what, deadline);
    }
    return true;
  }

  // Sleeps until t. In real mode the lateness of the task's sleeps (how much later than due they
  // woke) adds up while it sleeps again and again with no other wait in between, and a sleep
  // that follows takes it back: it ends earlier by as much, down to now. So a chain of sleeps
  // keeps to its schedule (the sum of its lengths) instead of adding up every wake-up's
  // lateness. A `whole` sleep always lasts its full length (a transfer on a bus cannot go
  // faster than its bits) and leaves its lateness to the next. Virtual time wakes every sleep
  // exactly.
  void sleep_until(int64_t t, const char* what = "sleep", bool whole = false);
  void sleep_for(int64_t ns, const char* what = "sleep", bool whole = false) {
    sleep_until(now() + ns, what, whole);
  }

  // Starts a task on a new thread. The task counts as runnable from this call on.
  Thread spawn(std::string name, std::function<void()> fn);

  // Test controls (virtual mode; in real mode they wait in real time).
  // Runs until every task is blocked with nothing scheduled.
  void settle();
  // Lets time pass by ns, running everything that falls due, then settles at the new time.
  void advance(int64_t ns);
  // Runs until pred() holds at a moment when every other task is blocked; false when the system
  // went idle with pred() still false (or, in real mode, after timeout_ns).
  bool run_until(const std::function<bool()>& pred, int64_t timeout_ns = 600'000'000'000);

  // One line per task: name and what it waits on.
  std::string describe_tasks_locked() const;

  // Bookkeeping for tasks; used by current().
  void attach(Task* task, bool counted);
  void detach(Task* task);

 private:
  void on_idle_locked() LT_REQUIRES(mutex_);
  void wait_idle_locked(Lock& lock, bool every = true, std::optional<int64_t> limit = {})
      LT_REQUIRES(mutex_);
  bool step_locked(std::optional<int64_t> limit) LT_REQUIRES(mutex_);
  [[noreturn]] void deadlock_locked() LT_REQUIRES(mutex_);

  const ClockMode mode_;
  mutable lt::Mutex mutex_;
  std::vector<Task*> tasks_ LT_GUARDED_BY(mutex_);
  int runnable_ LT_GUARDED_BY(mutex_) = 0;
  // Virtual time: written under the lock, read by now() with an atomic load and no lock.
  int64_t now_ LT_GUARDED_BY(mutex_) = 0;
  int64_t realtime_offset_ = 0;  // atomic loads and stores
  const int64_t real_epoch_;     // steady clock at boot, real mode
  const int cpu_;                // the CPU every task's thread runs on; -1: any
  int next_pid_ LT_GUARDED_BY(mutex_) = 1;
};

// Gives the calling thread back the CPUs it could run on before it became a task of a kernel
// that runs its tasks on one CPU (the kernel's shutdown does so for the thread that shuts down).
void unpin_current_thread();

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerMs = 1000 * 1000;
constexpr int64_t kNsPerSec = 1000 * 1000 * 1000;

}  // namespace host
