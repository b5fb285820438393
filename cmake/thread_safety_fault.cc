// Compiled by scripts/thread-safety-check with clang's -Wthread-safety -Werror: with FAULT
// undefined it must compile; with each FAULT=n it must fail, or the annotations of
// platform/host/thread_safety.h have stopped being checked.
#include <condition_variable>

#include "platform/host/thread_safety.h"

class Counter {
 public:
  void add() LT_EXCLUDES(mutex_) {
    lt::MutexLock lock(mutex_);
    add_locked();
  }
  void wait_positive() LT_EXCLUDES(mutex_) {
    lt::UniqueLock lock(mutex_);
    while (count_ <= 0) cv_.wait(lock.native());
    --count_;
#if FAULT == 2
    lock.unlock();
    --count_;  // after the lock was let go
#endif
  }
  int peek() LT_EXCLUDES(mutex_) {
#if FAULT == 1
    return count_;  // without the lock
#elif FAULT == 3
    add_locked();  // without the lock it requires
    return 0;
#else
    lt::MutexLock lock(mutex_);
    return count_;
#endif
  }

 private:
  void add_locked() LT_REQUIRES(mutex_) {
    ++count_;
    cv_.notify_all();
  }

  lt::Mutex mutex_;
  std::condition_variable cv_;
  int count_ LT_GUARDED_BY(mutex_) = 0;
};

int main() {
  Counter c;
  c.add();
  c.wait_positive();
  return c.peek();
}
