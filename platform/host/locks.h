// Sleeping mutexes for the module (struct mutex) and for the host kernel itself.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "sched.h"

namespace host {

// A mutex whose waiters block in the scheduler, so virtual time moves while they wait.
class Mutex {
 public:
  void lock();
  bool try_lock();
  void unlock();
  bool locked() const;
  Task* owner() const { return owner_; }

 private:
  Task* owner_ = nullptr;  // scheduler lock
  std::deque<Task*> waiters_;
};

// Owns the host records behind the module's struct mutex objects.
class Locks {
 public:
  Mutex* create();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Mutex>> mutexes_;
};

}  // namespace host
