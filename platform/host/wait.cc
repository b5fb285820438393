// Wait queues: host records behind wait_queue_head_t, the table of them, and wake-ups.
#include "wait.h"

#include <algorithm>

#include "kernel.h"
#include "timeline.h"
#include "tsan.h"
#include "vfs.h"

namespace host {

WaitQueue::Id WaitQueue::add(std::function<void()> fn, bool once) {
  lt::MutexLock lock(mutex_);
  const Id id = next_id_++;
  entries_.push_back({id, std::move(fn), once});
  return id;
}

void WaitQueue::remove(Id id) {
  lt::MutexLock lock(mutex_);
  auto it =
      std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
  if (it != entries_.end()) entries_.erase(it);
}

void WaitQueue::wake() {
  // Whatever the waker did before the wake-up happens before the woken waiter goes on.
  tsan::release(this);
  lt::MutexLock lock(mutex_);
  for (Entry& e : entries_) e.fn();
  std::erase_if(entries_, [](const Entry& e) { return e.once; });
}

size_t WaitQueue::waiters() const {
  lt::MutexLock lock(mutex_);
  return entries_.size();
}

std::shared_ptr<WaitQueue> WaitQueueTable::get(wait_queue_head_t* head) {
  void* h = __atomic_load_n(&head->host, __ATOMIC_ACQUIRE);
  lt::MutexLock lock(mutex_);
  for (;;) {
    // A record of an earlier kernel (a head in static storage that outlived a reboot) is
    // replaced like a missing one.
    if (h != nullptr) {
      auto it = queues_.find(h);
      if (it != queues_.end()) return it->second;
    }
    auto fresh = std::make_shared<WaitQueue>(head);
    if (__atomic_compare_exchange_n(&head->host, &h, fresh.get(), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      queues_[fresh.get()] = fresh;
      return fresh;
    }
    // Another task set it meanwhile: h now holds its value; look again.
  }
}

void WaitQueueTable::init(wait_queue_head_t* head) {
  auto fresh = std::make_shared<WaitQueue>(head);
  {
    lt::MutexLock lock(mutex_);
    queues_[fresh.get()] = fresh;
  }
  __atomic_store_n(&head->host, fresh.get(), __ATOMIC_RELEASE);
}

std::vector<std::pair<const void*, size_t>> WaitQueueTable::waited_in(uintptr_t begin,
                                                                      uintptr_t end) {
  std::vector<std::shared_ptr<WaitQueue>> candidates;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& [key, q] : queues_) {
      const auto at = reinterpret_cast<uintptr_t>(q->head());
      if (at >= begin && at < end) candidates.push_back(q);
    }
  }
  std::vector<std::pair<const void*, size_t>> out;
  for (const auto& q : candidates) {
    const size_t n = q->waiters();
    if (n > 0) out.emplace_back(q->head(), n);
  }
  return out;
}

size_t WaitQueueTable::forget_in(uintptr_t begin, uintptr_t end) {
  lt::MutexLock lock(mutex_);
  return std::erase_if(queues_, [begin, end](const auto& entry) {
    const auto at = reinterpret_cast<uintptr_t>(entry.second->head());
    return at >= begin && at < end && entry.second->waiters() == 0;
  });
}

size_t WaitQueueTable::size() const {
  lt::MutexLock lock(mutex_);
  return queues_.size();
}

}  // namespace host

extern "C" {

void init_waitqueue_head(wait_queue_head_t* wq) { host::Kernel::get().vfs().init_wait_queue(wq); }

// The record is made here too if need be: a waiter that registers at the same moment then
// meets this wake-up under the record's lock, so no wake-up is lost.
//
// On the timeline, each wake-up is a publication: the module's way to say that something
// changed (it counts the change, then wakes the queue its pollers wait on).
void wake_up_interruptible(wait_queue_head_t* wq) {
  std::shared_ptr<host::WaitQueue> q = host::Kernel::get().vfs().wait_queue(wq);
  if (host::timeline_on()) {
    host::Timeline::note(host::TimelineKind::kPublish, 0, static_cast<int32_t>(q->waiters()), 0,
                         reinterpret_cast<uintptr_t>(q.get()));
  }
  q->wake();
}

void wake_up(wait_queue_head_t* wq) { wake_up_interruptible(wq); }

int waitqueue_active(wait_queue_head_t* wq) {
  return host::Kernel::get().vfs().wait_queue(wq)->waiters() > 0 ? 1 : 0;
}

}  // extern "C"
