// struct mutex, spinlock_t and the host Mutex.
#include <algorithm>

#include "kernel.h"
#include "locks.h"
#include "platform/locking.h"
#include "tsan.h"
#include "warn.h"

namespace host {

void Mutex::lock() {
  Scheduler& s = Kernel::get().sched();
  Task* self = &current();
  {
    Scheduler::Lock lock(s);
    if (owner_ == self) {
      lock.unlock();
      warn_context("possible recursive locking detected");
      lock.lock();
    }
    if (owner_ != nullptr) {
      waiters_.push_back(self);
      while (owner_ != nullptr && owner_ != self) s.block(lock, "mutex");
      auto it = std::find(waiters_.begin(), waiters_.end(), self);
      if (it != waiters_.end()) waiters_.erase(it);
    }
    owner_ = self;
  }
  tsan::acquire(this);
}

bool Mutex::try_lock() {
  Scheduler& s = Kernel::get().sched();
  Scheduler::Lock lock(s);
  if (owner_ != nullptr) return false;
  owner_ = &current();
  lock.unlock();
  tsan::acquire(this);
  return true;
}

void Mutex::unlock() {
  tsan::release(this);
  Scheduler& s = Kernel::get().sched();
  Scheduler::Lock lock(s);
  if (owner_ != &current()) {
    lock.unlock();
    warn_context("unlocking a mutex that the task does not hold");
    return;
  }
  owner_ = nullptr;
  if (!waiters_.empty()) s.wake(waiters_.front());
}

bool Mutex::locked() const {
  Scheduler::Lock lock(Kernel::get().sched());
  return owner_ != nullptr;
}

Mutex* Locks::create(const void* m) {
  lt::MutexLock lock(mutex_);
  return mutexes_.emplace(m, std::make_unique<Mutex>())->second.get();
}

void Locks::forget_range(uintptr_t begin, uintptr_t end) {
  lt::MutexLock lock(mutex_);
  Scheduler::Lock sched(Kernel::get().sched());  // owners and waiters are read under it
  for (auto it = mutexes_.lower_bound(reinterpret_cast<const void*>(begin));
       it != mutexes_.end() && reinterpret_cast<uintptr_t>(it->first) < end;) {
    if (it->second->owner() == nullptr && !it->second->has_waiters_locked()) {
      it = mutexes_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t Locks::records() {
  lt::MutexLock lock(mutex_);
  return mutexes_.size();
}

namespace {
Mutex* host_mutex(struct mutex* m) {
  void* h = __atomic_load_n(&m->host, __ATOMIC_ACQUIRE);
  if (h != nullptr) return static_cast<Mutex*>(h);
  Mutex* fresh = Kernel::get().locks().create(m);
  void* expected = nullptr;
  if (__atomic_compare_exchange_n(&m->host, &expected, fresh, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE)) {
    return fresh;
  }
  return static_cast<Mutex*>(expected);
}
}  // namespace

}  // namespace host

extern "C" {

void mutex_init(struct mutex* lock) { lock->host = host::Kernel::get().locks().create(lock); }
void mutex_lock(struct mutex* lock) { host::host_mutex(lock)->lock(); }
int mutex_trylock(struct mutex* lock) { return host::host_mutex(lock)->try_lock() ? 1 : 0; }
void mutex_unlock(struct mutex* lock) { host::host_mutex(lock)->unlock(); }
int mutex_is_locked(struct mutex* lock) { return host::host_mutex(lock)->locked() ? 1 : 0; }

void spin_lock_init(spinlock_t* lock) { __atomic_store_n(&lock->locked, 0, __ATOMIC_RELAXED); }

void spin_lock(spinlock_t* lock) {
  host::current().atomic_depth++;
  int expected = 0;
  while (!__atomic_compare_exchange_n(&lock->locked, &expected, 1, true, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    expected = 0;
    __builtin_ia32_pause();
  }
}

void spin_unlock(spinlock_t* lock) {
  // As CONFIG_DEBUG_SPINLOCK reports it; the lock stays unlocked and the count balanced.
  if (__atomic_load_n(&lock->locked, __ATOMIC_RELAXED) == 0) {
    host::warn_context("BUG: spinlock already unlocked");
    return;
  }
  __atomic_store_n(&lock->locked, 0, __ATOMIC_RELEASE);
  host::current().atomic_depth--;
}

void assert_spin_locked(spinlock_t* lock) {
  if (__atomic_load_n(&lock->locked, __ATOMIC_RELAXED) == 0) {
    host::warn_context("BUG: assert_spin_locked: spinlock not held");
  }
}

unsigned long _raw_spin_lock_irqsave(spinlock_t* lock) {
  spin_lock(lock);
  return 0;
}

void spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags) {
  (void)flags;
  spin_unlock(lock);
}

}  // extern "C"
