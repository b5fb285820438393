#include "timers.h"

#include "tsan.h"

namespace host {

Timers::Timers(Scheduler& sched) : sched_(sched) {}
Timers::~Timers() { stop(); }

void Timers::start() {
  thread_ = sched_.spawn("ktimerd", [this] { run(); });
}

void Timers::stop() {
  if (!thread_.joinable()) return;
  {
    Scheduler::Lock lock(sched_);
    stopping_ = true;
    if (thread_task_ != nullptr) sched_.wake(thread_task_);
  }
  thread_.join();
}

Timers::Id Timers::add(int64_t when, std::function<void()> fn) {
  auto holder = std::make_shared<std::function<void()>>(std::move(fn));
  // Arming a timer happens before its callback runs.
  tsan::release(holder.get());
  Scheduler::Lock lock(sched_);
  Id id = next_id_++;
  queue_.emplace(when, std::make_pair(id, std::move(holder)));
  // A timer due now runs at once; a later one brings the thread's wait forward if need be.
  if (thread_task_ != nullptr) {
    if (when <= sched_.now()) {
      sched_.wake(thread_task_);
    } else {
      sched_.advance_deadline(thread_task_, when);
    }
  }
  return id;
}

bool Timers::cancel(Id id) {
  Scheduler::Lock lock(sched_);
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->second.first == id) {
      queue_.erase(it);
      return true;
    }
  }
  return false;
}

size_t Timers::pending() const {
  Scheduler::Lock lock(const_cast<Scheduler&>(sched_));
  return queue_.size();
}

void Timers::run() {
  Task& self = current();
  Scheduler::Lock lock(sched_);
  thread_task_ = &self;
  while (!stopping_) {
    if (queue_.empty()) {
      sched_.block(lock, "timer list");
      continue;
    }
    auto it = queue_.begin();
    if (it->first > sched_.now()) {
      sched_.block(lock, "next timer", it->first);
      continue;
    }
    auto fn = std::move(it->second.second);
    queue_.erase(it);
    lock.unlock();
    self.atomic_depth++;  // softirq context
    tsan::acquire(fn.get());
    (*fn)();
    self.atomic_depth--;
    lock.lock();
  }
  thread_task_ = nullptr;
}

}  // namespace host
