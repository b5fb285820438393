// Locks and atomics: sleeping mutexes, spinlocks and atomic counters.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

// A sleeping lock; process context only.
struct mutex {
  void* host;  // created at first use
};
#define DEFINE_MUTEX(name) struct mutex name = {NULL}
extern void mutex_init(struct mutex* lock);
extern void mutex_lock(struct mutex* lock);
extern int mutex_trylock(struct mutex* lock);
extern void mutex_unlock(struct mutex* lock);
extern int mutex_is_locked(struct mutex* lock);

// A busy-waiting lock; the holder must not sleep. Usable from hard interrupts with the
// _irqsave forms.
typedef struct spinlock {
  int locked;
} spinlock_t;
#define DEFINE_SPINLOCK(name) spinlock_t name = {0}
extern void spin_lock_init(spinlock_t* lock);
extern void spin_lock(spinlock_t* lock);
extern void spin_unlock(spinlock_t* lock);
extern unsigned long _raw_spin_lock_irqsave(spinlock_t* lock);
extern void spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags);
// A warning unless the lock is held (by any task), as with CONFIG_DEBUG_SPINLOCK.
extern void assert_spin_locked(spinlock_t* lock);
#define spin_lock_irqsave(lock, flags)      \
  do {                                      \
    (flags) = _raw_spin_lock_irqsave(lock); \
  } while (0)

// Atomic counters. Plain operations carry no ordering of their own (as in Linux).
typedef struct {
  int counter;
} atomic_t;
#define ATOMIC_INIT(i) \
  { (i) }
static inline int atomic_read(const atomic_t* v) {
  return __atomic_load_n(&v->counter, __ATOMIC_RELAXED);
}
static inline void atomic_set(atomic_t* v, int i) {
  __atomic_store_n(&v->counter, i, __ATOMIC_RELAXED);
}
static inline void atomic_inc(atomic_t* v) { __atomic_fetch_add(&v->counter, 1, __ATOMIC_RELAXED); }
static inline void atomic_dec(atomic_t* v) { __atomic_fetch_sub(&v->counter, 1, __ATOMIC_RELAXED); }
static inline int atomic_inc_return(atomic_t* v) {
  return __atomic_add_fetch(&v->counter, 1, __ATOMIC_SEQ_CST);
}

#define READ_ONCE(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define WRITE_ONCE(x, val) __atomic_store_n(&(x), (val), __ATOMIC_RELAXED)
#define smp_load_acquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define smp_store_release(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)

#ifdef __cplusplus
}
#endif
