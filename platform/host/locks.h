// Sleeping mutexes for the module (struct mutex) and for the host kernel itself.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "sched.h"
#include "thread_safety.h"

namespace host {

// A mutex whose waiters block in the scheduler, so virtual time moves while they wait.
class Mutex {
 public:
  void lock();
  bool try_lock();
  void unlock();
  bool locked() const;
  Task* owner() const { return owner_; }
  // Under the scheduler lock.
  bool has_waiters_locked() const { return !waiters_.empty(); }

 private:
  Task* owner_ = nullptr;  // scheduler lock
  std::deque<Task*> waiters_;
};

// Owns the host records behind the module's struct mutex objects, by the address of the
// struct mutex each stands behind.
class Locks {
 public:
  // A fresh record for the struct mutex at `m` (its first use, or mutex_init).
  Mutex* create(const void* m);
  // Forgets the records of the mutexes in [begin, end) that nobody holds or waits for: the
  // memory of a module being unloaded, whose next load starts its mutexes afresh.
  void forget_range(uintptr_t begin, uintptr_t end);
  // Records kept.
  size_t records();

 private:
  lt::Mutex mutex_;
  // A struct mutex initialised again keeps its earlier records (a racing first use may hold
  // one) until its memory is forgotten.
  std::multimap<const void*, std::unique_ptr<Mutex>> mutexes_ LT_GUARDED_BY(mutex_);
};

}  // namespace host
