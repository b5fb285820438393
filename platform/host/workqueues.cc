// The system work queue and its single worker.
#include <algorithm>

#include "faults.h"
#include "kernel.h"
#include "timeline.h"
#include "tsan.h"
#include "warn.h"
#include "workqueues.h"

// The one work queue the platform offers.
struct workqueue_struct {
  const char* name;
};

namespace {
workqueue_struct g_system_wq = {"events"};
}  // namespace

extern "C" {
workqueue_struct* system_wq = &g_system_wq;
}

namespace host {

Workqueues::Workqueues() = default;
Workqueues::~Workqueues() { stop(); }

void Workqueues::start() {
  sched_ = &Kernel::get().sched();
  stopping_ = false;
  worker_ = sched_->spawn("kworker/0:0", [this] { run(); });
}

void Workqueues::stop() {
  if (!worker_.joinable()) return;
  {
    Scheduler::Lock lock(*sched_);
    stopping_ = true;
    if (worker_task_ != nullptr) sched_->wake(worker_task_);
  }
  worker_.join();
  Scheduler::Lock lock(*sched_);
  for (work_struct* w : queue_) {
    Item* item = find_locked(w);
    if (item != nullptr) item->pending = false;
  }
  queue_.clear();
}

Workqueues::Item* Workqueues::find_locked(const work_struct* work) {
  auto it = items_.find(work);
  return it == items_.end() ? nullptr : &it->second;
}

const Workqueues::Item* Workqueues::find_locked(const work_struct* work) const {
  auto it = items_.find(work);
  return it == items_.end() ? nullptr : &it->second;
}

void Workqueues::init_work(work_struct* work, work_func_t func) {
  bool active = false;
  {
    Scheduler::Lock lock(*sched_);
    Item* item = find_locked(work);
    if (item != nullptr && (item->pending || item->running)) {
      active = true;
      // Keep the record: the queued or running instance still refers to it.
      item->func = func;
    } else {
      Item fresh;
      fresh.func = func;
      if (item != nullptr) fresh.waiters = std::move(item->waiters);
      items_[work] = std::move(fresh);
    }
    work->data = 0;
    work->func = func;
    work->magic = kWorkMagic;
    work->host = this;
  }
  if (active) {
    warn_context("ODEBUG: init active (active state 0) object type: work_struct hint: %p",
                 reinterpret_cast<void*>(func));
  }
}

bool Workqueues::queue(workqueue_struct* wq, work_struct* work) {
  if (wq == nullptr || work == nullptr) {
    warn_context("queue_work: no work queue or no work item");
    return false;
  }
  if (__atomic_load_n(&work->magic, __ATOMIC_RELAXED) != kWorkMagic) {
    warn_context("queue_work: queueing an uninitialised work item %p", static_cast<void*>(work));
    return false;
  }
  tsan::release(work);
  const bool traced = timeline_on();
  if (traced) {
    // Both before the scheduler lock: the symbols' look-up, and the task's first meeting with
    // the scheduler (the note below names the task).
    Timeline::name_work(work, work->func);
    current();
  }
  Scheduler::Lock lock(*sched_);
  Item* item = find_locked(work);
  if (item == nullptr) {
    // Initialised by a copy of another item rather than by INIT_WORK: adopt it.
    item = &items_[work];
    item->func = work->func;
  }
  const bool queued = !item->pending && item->cancelling == 0;
  // Noted before the worker can start it.
  if (traced) {
    Timeline::note(TimelineKind::kWorkQueued, 0, queued ? 1 : 0, 0,
                   reinterpret_cast<uintptr_t>(work), reinterpret_cast<uintptr_t>(item->func));
  }
  if (!queued) return false;
  item->pending = true;
  work->data = 1;
  queue_.push_back(work);
  if (worker_task_ != nullptr) sched_->wake(worker_task_);
  return true;
}

void Workqueues::run() {
  Task& self = current();
  Scheduler::Lock lock(*sched_);
  worker_task_ = &self;
  while (!stopping_) {
    if (queue_.empty()) {
      sched_->block(lock, "work queue idle");
      continue;
    }
    work_struct* work = queue_.front();
    queue_.pop_front();
    Item* item = find_locked(work);
    if (item == nullptr || !item->pending) continue;
    item->pending = false;
    item->running = true;
    work->data = 0;
    work_func_t func = item->func;
    lock.unlock();
    tsan::acquire(work);
    const bool traced = timeline_on();
    const uint64_t object = reinterpret_cast<uintptr_t>(work);
    const uint64_t fn = reinterpret_cast<uintptr_t>(func);
    if (traced) {
      Timeline::name_work(work, func);
      Timeline::note(TimelineKind::kWorkBegin, 0, 0, 0, object, fn);
    }
    func(work);
    if (traced) Timeline::note(TimelineKind::kWorkEnd, 0, 0, 0, object, fn);
    tsan::release(work);
    lock.lock();
    // The record may have been re-made by INIT_WORK meanwhile; look it up again.
    item = find_locked(work);
    if (item != nullptr) {
      item->running = false;
      ++item->runs;
      for (Task* t : item->waiters) sched_->wake(t);
    }
  }
  worker_task_ = nullptr;
}

bool Workqueues::cancel_sync(work_struct* work) {
  if (work == nullptr) return false;
  if (__atomic_load_n(&work->magic, __ATOMIC_RELAXED) != kWorkMagic) return false;
  bool was_pending = false;
  {
    Scheduler::Lock lock(*sched_);
    Item* item = find_locked(work);
    if (item == nullptr) return false;  // never queued
    if (item->pending) {
      item->pending = false;
      work->data = 0;
      queue_.erase(std::remove(queue_.begin(), queue_.end(), work), queue_.end());
      was_pending = true;
    }
    if (item->running) {
      if (worker_task_ == &current()) {
        lock.unlock();
        warn_context("cancel_work_sync: work item %p cancels itself", static_cast<void*>(work));
        return was_pending;
      }
      ++item->cancelling;
      Task* self = &current();
      item->waiters.push_back(self);
      sched_->wait(lock, "cancel_work_sync", [&] {
        item = find_locked(work);
        return item == nullptr || !item->running;
      });
      if (item != nullptr) {
        --item->cancelling;
        auto it = std::find(item->waiters.begin(), item->waiters.end(), self);
        if (it != item->waiters.end()) item->waiters.erase(it);
      }
    }
  }
  tsan::acquire(work);
  return was_pending;
}

bool Workqueues::flush(work_struct* work) {
  if (work == nullptr) return false;
  if (__atomic_load_n(&work->magic, __ATOMIC_RELAXED) != kWorkMagic) return false;
  {
    Scheduler::Lock lock(*sched_);
    Item* item = find_locked(work);
    if (item == nullptr || (!item->pending && !item->running)) {
      lock.unlock();
      // As the pool lock does in Linux: a finished run happens before this flush returns.
      tsan::acquire(work);
      return false;
    }
    if (worker_task_ == &current()) {
      lock.unlock();
      warn_context("flush_work: work item %p flushed from the work queue itself",
                   static_cast<void*>(work));
      return false;
    }
    // The instance to wait for: the pending one if any, else the running one.
    const uint64_t target = item->runs + (item->pending ? 1 : 0) + (item->running ? 1 : 0);
    Task* self = &current();
    item->waiters.push_back(self);
    sched_->wait(lock, "flush_work", [&] {
      item = find_locked(work);
      return item == nullptr || item->runs >= target || (!item->pending && !item->running);
    });
    if (item != nullptr) {
      auto it = std::find(item->waiters.begin(), item->waiters.end(), self);
      if (it != item->waiters.end()) item->waiters.erase(it);
    }
  }
  tsan::acquire(work);
  return true;
}

bool Workqueues::pending(const work_struct* work) const {
  if (work == nullptr) return false;
  Scheduler::Lock lock(*sched_);
  const Item* item = find_locked(work);
  return item != nullptr && item->pending;
}

uint64_t Workqueues::runs(const work_struct* work) const {
  Scheduler::Lock lock(*sched_);
  const Item* item = find_locked(work);
  return item == nullptr ? 0 : item->runs;
}

bool Workqueues::running(const work_struct* work) const {
  Scheduler::Lock lock(*sched_);
  const Item* item = find_locked(work);
  return item != nullptr && item->running;
}

bool Workqueues::idle() const {
  Scheduler::Lock lock(*sched_);
  if (!queue_.empty()) return false;
  return std::none_of(items_.begin(), items_.end(),
                      [](const auto& kv) { return kv.second.running; });
}

void Workqueues::forget_range(uintptr_t begin, uintptr_t end, const char* module) {
  auto inside = [&](uintptr_t a) { return a >= begin && a < end; };
  std::vector<work_struct*> active;
  {
    Scheduler::Lock lock(*sched_);
    for (auto& [w, item] : items_) {
      if (!inside(reinterpret_cast<uintptr_t>(w)) &&
          !inside(reinterpret_cast<uintptr_t>(item.func))) {
        continue;
      }
      if (item.pending || item.running) active.push_back(const_cast<work_struct*>(w));
    }
  }
  for (work_struct* w : active) {
    warn_context("module %s unloaded with work item %p still queued or running", module,
                 static_cast<void*>(w));
    cancel_sync(w);
  }
  Scheduler::Lock lock(*sched_);
  for (auto it = items_.begin(); it != items_.end();) {
    const bool mine = inside(reinterpret_cast<uintptr_t>(it->first)) ||
                      inside(reinterpret_cast<uintptr_t>(it->second.func));
    if (mine && !it->second.pending && !it->second.running && it->second.waiters.empty()) {
      it = items_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace host

extern "C" {

void __init_work(struct work_struct* work, work_func_t func) {
  host::Kernel::get().wq().init_work(work, func);
}

bool queue_work(struct workqueue_struct* wq, struct work_struct* work) {
  return host::Kernel::get().wq().queue(wq, work);
}

bool cancel_work_sync(struct work_struct* work) {
  const bool was_pending = host::Kernel::get().wq().cancel_sync(work);
  host::hook_point("cancel_work_sync");
  return was_pending;
}

bool flush_work(struct work_struct* work) { return host::Kernel::get().wq().flush(work); }

bool work_pending(const struct work_struct* work) { return host::Kernel::get().wq().pending(work); }

}  // extern "C"
