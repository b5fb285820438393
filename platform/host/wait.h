// Wait queues: the host records behind wait_queue_head_t, and the table that finds a head's
// record.
//
// Lifetime: the table keeps every record it made as long as the VFS that owns it (or until
// forget_in drops it); a PollWatch that uses a record keeps it alive too. Records of heads in a
// module's memory live until the module is unloaded.
//
// Locks: the table's mutex guards the map of records; it is taken before a record's own lock
// and never held while module code runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/procfs.h"
#include "thread_safety.h"

namespace host {

// The host record behind a wait_queue_head_t. Entries are callbacks that wake() runs under the
// queue's own lock, in the waker's context (hard interrupts included): they must not block,
// must not call into the module or the VFS and must not add or remove entries of this queue;
// queueing a notification for later is what they are for. A one-shot entry leaves the queue
// when it has run (as an auto-removing wait entry does).
class WaitQueue : public std::enable_shared_from_this<WaitQueue> {
 public:
  using Id = uint64_t;
  explicit WaitQueue(const void* head = nullptr) : head_(head) {}
  Id add(std::function<void()> fn, bool once = false);
  void remove(Id id);
  // Runs every entry. Safe in any context.
  void wake();
  size_t waiters() const;
  // The address of the wait_queue_head_t this record stands behind.
  const void* head() const { return head_; }

 private:
  struct Entry {
    Id id;
    std::function<void()> fn;
    bool once;
  };
  const void* const head_;
  mutable lt::Mutex mutex_;  // held while entries run
  std::vector<Entry> entries_ LT_GUARDED_BY(mutex_);
  Id next_id_ LT_GUARDED_BY(mutex_) = 1;
};

// The records of the wait queue heads, by the address of the record.
class WaitQueueTable {
 public:
  // The record of a head, created at first use.
  std::shared_ptr<WaitQueue> get(wait_queue_head_t* head);
  // Gives a head a fresh record (init_waitqueue_head).
  void init(wait_queue_head_t* head);
  // Addresses of the heads in [begin, end) that still have waiters, with their counts.
  std::vector<std::pair<const void*, size_t>> waited_in(uintptr_t begin, uintptr_t end);
  // Forgets the records of the heads in [begin, end) that nobody waits on; returns how many.
  size_t forget_in(uintptr_t begin, uintptr_t end);
  // Records kept.
  size_t size() const;

 private:
  mutable lt::Mutex mutex_;
  std::unordered_map<const void*, std::shared_ptr<WaitQueue>> queues_ LT_GUARDED_BY(mutex_);
};

}  // namespace host
