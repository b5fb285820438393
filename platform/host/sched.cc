#include "sched.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "kernel.h"
#include "tsan.h"
#include "warn.h"

namespace host {
namespace {

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t system_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// 2026-01-01T00:00:00Z: the wall clock of a virtual boot, so runs repeat exactly.
constexpr int64_t kVirtualEpochNs = 1767225600LL * kNsPerSec;

// The calling thread's task and the scheduler it is attached to.
struct ThreadSlot {
  Task task;
  Scheduler* owner = nullptr;
  uint64_t generation = 0;
  // Tasks this thread woke under the scheduler lock, to notify once it lets go of the lock.
  std::vector<Task*> to_notify;
  // The CPUs the thread could run on before a kernel pinned it to one.
  bool pinned = false;
  cpu_set_t cpus_before;
  ~ThreadSlot();
};
thread_local ThreadSlot t_slot;
thread_local bool t_counted_start = false;

void defer_notify(Task* task) {
  task->notifications.fetch_add(1, std::memory_order_relaxed);
  t_slot.to_notify.push_back(task);
}

// Called with the scheduler lock released (or about to be released by a wait).
void send_notifications() {
  std::vector<Task*>& tasks = t_slot.to_notify;
  for (Task* t : tasks) {
    t->cv.notify_one();
    t->notifications.fetch_sub(1, std::memory_order_release);
  }
  tasks.clear();
}

// A task's thread ends only once every notification sent to it has been sent.
void await_notifications(Task& task) {
  while (task.notifications.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

}  // namespace

ThreadSlot::~ThreadSlot() {
  if (owner != nullptr && Kernel::generation() == generation && Kernel::booted()) {
    owner->detach(&task);
  }
  await_notifications(task);
}

void unpin_current_thread() {
  ThreadSlot& slot = t_slot;
  if (!slot.pinned) return;
  (void)::pthread_setaffinity_np(::pthread_self(), sizeof slot.cpus_before, &slot.cpus_before);
  slot.pinned = false;
}

Task& current() {
  ThreadSlot& slot = t_slot;
  if (Kernel::booted() && (slot.owner == nullptr || slot.generation != Kernel::generation())) {
    Scheduler& sched = Kernel::get().sched();
    slot.owner = &sched;
    slot.generation = Kernel::generation();
    slot.task.blocked = false;
    slot.task.idle_waiter = false;
    slot.task.deadline.reset();
    slot.task.hardirq_depth = 0;
    slot.task.atomic_depth = 0;
    if (slot.task.name.empty()) slot.task.name = "main";
    sched.attach(&slot.task, t_counted_start);
    t_counted_start = false;
  }
  return slot.task;
}

bool in_atomic_context() {
  const Task& t = current();
  return t.hardirq_depth > 0 || t.atomic_depth > 0;
}

// --- Thread -----------------------------------------------------------------------------------

struct Thread::State {
  bool done = false;
  std::vector<Task*> joiners;
  Scheduler* sched = nullptr;
};

Thread::Thread(Thread&& other) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}
Thread::~Thread() { join(); }

void Thread::join() {
  if (!state_) return;
  Scheduler& s = *state_->sched;
  {
    Scheduler::Lock lock(s);
    Task* self = &current();
    state_->joiners.push_back(self);
    s.wait(lock, "join", [&] { return state_->done; });
  }
  tsan::acquire(state_.get());
  thread_.join();
  state_.reset();
}

// --- Scheduler --------------------------------------------------------------------------------

Scheduler::Scheduler(ClockMode mode, bool host_clock, bool one_cpu)
    : mode_(mode), real_epoch_(host_clock ? 0 : steady_ns()), cpu_(one_cpu ? sched_getcpu() : -1) {
  realtime_offset_ = mode == ClockMode::kVirtual ? kVirtualEpochNs : system_ns() - 0;
}

Scheduler::~Scheduler() = default;

Scheduler::Lock::Lock(Scheduler& s) {
  tsan::ignore_begin();
  lock_ = std::unique_lock<std::mutex>(s.mutex_.native());
}
Scheduler::Lock::~Lock() {
  if (held_) {
    lock_.unlock();
    send_notifications();
    tsan::ignore_end();
  }
}
void Scheduler::Lock::unlock() {
  lock_.unlock();
  held_ = false;
  send_notifications();
  tsan::ignore_end();
}
void Scheduler::Lock::lock() {
  tsan::ignore_begin();
  lock_.lock();
  held_ = true;
}

// The clock is read without the lock (an atomic load of a value written under it).
int64_t Scheduler::now() const LT_NO_THREAD_SAFETY_ANALYSIS {
  if (mode_ == ClockMode::kReal) return steady_ns() - real_epoch_;
  return __atomic_load_n(&now_, __ATOMIC_RELAXED);
}

int64_t Scheduler::realtime() const {
  return __atomic_load_n(&realtime_offset_, __ATOMIC_RELAXED) + now();
}

void Scheduler::set_realtime(int64_t ns) {
  __atomic_store_n(&realtime_offset_, ns - now(), __ATOMIC_RELAXED);
}

void Scheduler::attach(Task* task, bool counted) {
  // Called on the task's own thread. In real time, a timed wait of the task ends when due, not
  // up to the default 50 us of timer slack later.
  if (mode_ == ClockMode::kReal) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  if (cpu_ >= 0) {
    ThreadSlot& slot = t_slot;
    if (!slot.pinned)
      slot.pinned =
          ::pthread_getaffinity_np(::pthread_self(), sizeof(cpu_set_t), &slot.cpus_before) == 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu_, &one);
    // Not being able to pin (a CPU set that changed meanwhile) costs speed only.
    (void)::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
  }
  Lock lock(*this);
  task->pid = next_pid_++;
  tasks_.push_back(task);
  if (!counted) ++runnable_;
}

void Scheduler::detach(Task* task) {
  Lock lock(*this);
  auto it = std::find(tasks_.begin(), tasks_.end(), task);
  if (it == tasks_.end()) return;
  tasks_.erase(it);
  if (!task->blocked) --runnable_;
  if (runnable_ == 0 && !tasks_.empty()) on_idle_locked();
}

bool Scheduler::block(Lock& lock, const char* what,
                      std::optional<int64_t> deadline) LT_NO_THREAD_SAFETY_ANALYSIS {
  Task* t = &current();
  if (t->hardirq_depth > 0 || t->atomic_depth > 0) {
    lock.unlock();
    warn_context("BUG: sleeping function called from invalid context (%s)", what);
    lock.lock();
  }
  if (!t->sleeping) t->sleep_lateness = 0;  // the chain of sleeps is broken
  t->blocked = true;
  t->woken = false;
  t->deadline = deadline;
  t->waiting_on = what;
  --runnable_;
  if (mode_ == ClockMode::kVirtual) {
    if (runnable_ == 0) on_idle_locked();
  }
  if (!t_slot.to_notify.empty()) {
    // The tasks woken run while this one goes to wait; it may have been woken meanwhile.
    lock.raw().unlock();
    send_notifications();
    lock.raw().lock();
  }
  if (mode_ == ClockMode::kVirtual) {
    while (t->blocked) t->cv.wait(lock.raw());
  } else {
    while (t->blocked) {
      if (deadline) {
        auto until = std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(*deadline + real_epoch_));
        if (t->cv.wait_until(lock.raw(), until) == std::cv_status::timeout && t->blocked) {
          t->blocked = false;
          t->woken = false;
          ++runnable_;
        }
      } else {
        t->cv.wait(lock.raw());
      }
    }
  }
  t->deadline.reset();
  t->waiting_on = "";
  return t->woken;
}

void Scheduler::wake(Task* task) LT_NO_THREAD_SAFETY_ANALYSIS {
  if (!task->blocked) return;
  task->blocked = false;
  task->woken = true;
  ++runnable_;
  if (task != &t_slot.task) defer_notify(task);
}

void Scheduler::advance_deadline(Task* task, int64_t deadline) LT_NO_THREAD_SAFETY_ANALYSIS {
  if (!task->blocked) return;
  if (task->deadline && *task->deadline <= deadline) return;
  if (mode_ == ClockMode::kReal || task->idle_waiter) {
    wake(task);
    return;
  }
  task->deadline = deadline;
}

void Scheduler::on_idle_locked() {
  // Idle waiters that only want the system run on (settle, advance) are not woken while
  // something falls due within their limit: the clock moves here, in the task that went idle,
  // which spares two hand-offs between threads per sleep.
  bool any_idle_waiter = false;
  bool wake_waiters = false;
  std::optional<int64_t> limit;  // the nearest limit of a waiter; none: no waiter has one
  for (const Task* t : tasks_) {
    if (!t->blocked || !t->idle_waiter) continue;
    any_idle_waiter = true;
    if (t->idle_every) {
      wake_waiters = true;
    } else if (t->idle_limit && (!limit || *t->idle_limit < *limit)) {
      limit = t->idle_limit;
    }
  }
  if (any_idle_waiter && !wake_waiters) {
    if (step_locked(limit)) return;
    wake_waiters = true;
  }
  if (wake_waiters) {
    for (Task* t : tasks_) {
      if (t->blocked && t->idle_waiter) wake(t);
    }
    return;
  }
  if (!step_locked(std::nullopt)) deadlock_locked();
}

bool Scheduler::step_locked(std::optional<int64_t> limit) {
  std::optional<int64_t> earliest;
  for (const Task* t : tasks_) {
    if (t->blocked && !t->idle_waiter && t->deadline) {
      if (!earliest || *t->deadline < *earliest) earliest = t->deadline;
    }
  }
  if (!earliest || (limit && *earliest > *limit)) return false;
  if (*earliest > now_) __atomic_store_n(&now_, *earliest, __ATOMIC_RELAXED);
  for (Task* t : tasks_) {
    if (t->blocked && !t->idle_waiter && t->deadline && *t->deadline <= now_) {
      t->blocked = false;
      t->woken = false;
      ++runnable_;
      if (t != &t_slot.task) defer_notify(t);
    }
  }
  return true;
}

std::string Scheduler::describe_tasks_locked() const LT_NO_THREAD_SAFETY_ANALYSIS {
  std::string out;
  for (const Task* t : tasks_) {
    char line[256];
    std::snprintf(line, sizeof line, "  task %d %-24s %s%s\n", t->pid, t->name.c_str(),
                  t->blocked ? "waits on " : "runnable", t->blocked ? t->waiting_on : "");
    out += line;
  }
  return out;
}

void Scheduler::deadlock_locked() {
  std::fprintf(stderr,
               "host kernel: deadlock at %lld ns: every task is blocked and nothing is "
               "scheduled\n%s",
               static_cast<long long>(now_), describe_tasks_locked().c_str());
  std::fflush(stderr);
  std::abort();
}

void Scheduler::wait_idle_locked(Lock& lock, bool every, std::optional<int64_t> limit) {
  Task* t = &current();
  t->idle_waiter = true;
  t->idle_every = every;
  t->idle_limit = limit;
  block(lock, "idle");
  t->idle_waiter = false;
  t->idle_every = true;
  t->idle_limit.reset();
}

void Scheduler::sleep_until(int64_t t, const char* what, bool whole) {
  Lock lock(*this);
  Task* self = &current();
  int64_t until = t;
  if (mode_ == ClockMode::kReal && !whole && self->sleep_lateness > 0) {
    until = std::max(now(), t - self->sleep_lateness);
    self->sleep_lateness -= t - until;
  }
  self->sleeping = true;
  while (now() < until) block(lock, what, until);
  self->sleeping = false;
  if (mode_ == ClockMode::kReal) self->sleep_lateness += std::max<int64_t>(0, now() - until);
}

Thread Scheduler::spawn(std::string name, std::function<void()> fn) {
  Thread th;
  th.state_ = std::make_shared<Thread::State>();
  th.state_->sched = this;
  {
    Lock lock(*this);
    ++runnable_;  // the new task is runnable from now on
  }
  auto state = th.state_;
  uint64_t gen = Kernel::generation();
  th.thread_ = std::thread([this, state, gen, name = std::move(name), fn = std::move(fn)] {
    t_slot.task.name = name;
    t_counted_start = true;
    if (Kernel::generation() == gen) current();
    fn();
    tsan::release(state.get());
    Lock lock(*this);
    state->done = true;
    for (Task* j : state->joiners) wake(j);
    // Detach now: the thread-local slot outlives the scheduler lock scope.
    auto it = std::find(tasks_.begin(), tasks_.end(), &t_slot.task);
    if (it != tasks_.end()) {
      tasks_.erase(it);
      --runnable_;
      if (runnable_ == 0 && !tasks_.empty()) on_idle_locked();
    }
    t_slot.owner = nullptr;
  });
  return th;
}

void Scheduler::settle() {
  if (mode_ == ClockMode::kReal) {
    sleep_for(10 * kNsPerMs, "settle");
    return;
  }
  Lock lock(*this);
  for (;;) {
    wait_idle_locked(lock, /*every=*/false);
    if (!step_locked(std::nullopt)) return;
  }
}

void Scheduler::advance(int64_t ns) {
  if (mode_ == ClockMode::kReal) {
    sleep_for(ns, "advance");
    return;
  }
  Lock lock(*this);
  const int64_t target = now_ + ns;
  for (;;) {
    wait_idle_locked(lock, /*every=*/false, target);
    if (!step_locked(target)) {
      __atomic_store_n(&now_, std::max(now_, target), __ATOMIC_RELAXED);
      wait_idle_locked(lock, /*every=*/false, target);
      return;
    }
  }
}

bool Scheduler::run_until(const std::function<bool()>& pred, int64_t timeout_ns) {
  if (mode_ == ClockMode::kReal) {
    const int64_t until = now() + timeout_ns;
    while (!pred()) {
      if (now() >= until) return false;
      sleep_for(kNsPerMs, "run_until");
    }
    return true;
  }
  Lock lock(*this);
  for (;;) {
    wait_idle_locked(lock);
    lock.unlock();
    bool ok = pred();
    lock.lock();
    if (ok) return true;
    if (!step_locked(std::nullopt)) return false;
  }
}

}  // namespace host
