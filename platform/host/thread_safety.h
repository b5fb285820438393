// Lock rules the compiler checks: Clang's thread-safety analysis (-Wthread-safety) over a
// mutex and lock types that carry its attributes. Under any other compiler the macros expand to
// nothing and the types are thin wrappers of std::mutex and std::unique_lock.
//
//   class Registry {
//    public:
//     void add(int v) LT_EXCLUDES(mutex_) {
//       lt::MutexLock lock(mutex_);
//       add_locked(v);
//     }
//    private:
//     void add_locked(int v) LT_REQUIRES(mutex_);
//     mutable lt::Mutex mutex_;
//     std::vector<int> values_ LT_GUARDED_BY(mutex_);
//   };
//
// Condition variables wait on lt::UniqueLock::native(). Wait predicates are written as loops
// in the waiting function (`while (!done_) cv.wait(lock.native());`) rather than as lambdas:
// the analysis checks a lambda's body on its own, without the caller's locks.
//
// lt::Mutex is a std::mutex underneath, so ThreadSanitizer sees every lock and unlock as it
// would without the wrapper.
#pragma once

#include <mutex>

#if defined(__clang__)
#define LT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LT_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (lt::Mutex).
#define LT_CAPABILITY(name) LT_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a lock for its lifetime (lt::MutexLock, lt::UniqueLock).
#define LT_SCOPED_CAPABILITY LT_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the lock held.
#define LT_GUARDED_BY(x) LT_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read or written only with the lock held.
#define LT_PT_GUARDED_BY(x) LT_THREAD_ANNOTATION(pt_guarded_by(x))
// A function called with the lock held, which it leaves held.
#define LT_REQUIRES(...) LT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the lock and returns with it held.
#define LT_ACQUIRE(...) LT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that lets go of a lock held on entry.
#define LT_RELEASE(...) LT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that may take the lock: holds it when it returns the given value.
#define LT_TRY_ACQUIRE(...) LT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function called without the lock (it takes the lock itself).
#define LT_EXCLUDES(...) LT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that returns a reference to the lock.
#define LT_RETURN_CAPABILITY(x) LT_THREAD_ANNOTATION(lock_returned(x))
// A function the analysis cannot follow; say why where it is used.
#define LT_NO_THREAD_SAFETY_ANALYSIS LT_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace lt {

class LT_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() LT_ACQUIRE() { m_.lock(); }
  bool try_lock() LT_TRY_ACQUIRE(true) { return m_.try_lock(); }
  void unlock() LT_RELEASE() { m_.unlock(); }

  // The std::mutex itself, for std::unique_lock and condition variables (through UniqueLock).
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Holds a Mutex from construction to destruction, like std::lock_guard.
class LT_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) LT_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() LT_RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// Like std::unique_lock: held from construction, may be let go and taken again, and gives the
// std::unique_lock a condition variable waits on.
class LT_SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& m) LT_ACQUIRE(m) : lock_(m.native()) {}
  ~UniqueLock() LT_RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() LT_ACQUIRE() { lock_.lock(); }
  void unlock() LT_RELEASE() { lock_.unlock(); }

  // For std::condition_variable::wait and friends, which give the lock back before returning.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace lt
