// Work items and the system work queue.
//
// A pending item is not queued twice; one item never runs on two workers at once; an item
// queued while it runs runs once more afterwards. Handlers run in process context.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct work_struct;
typedef void (*work_func_t)(struct work_struct* work);

// A zero-filled work_struct is not a valid work item until INIT_WORK has run on it.
struct work_struct {
  unsigned long data;
  work_func_t func;
  unsigned long magic;
  void* host;
};

struct workqueue_struct;
extern struct workqueue_struct* system_wq;

extern void __init_work(struct work_struct* work, work_func_t func);
#define INIT_WORK(work, func) __init_work((work), (func))

// true when the item was queued, false when it was already pending.
extern bool queue_work(struct workqueue_struct* wq, struct work_struct* work);
static inline bool schedule_work(struct work_struct* work) { return queue_work(system_wq, work); }
// Drops a pending run and waits for a running one; true if a run was pending.
extern bool cancel_work_sync(struct work_struct* work);
extern bool flush_work(struct work_struct* work);
extern bool work_pending(const struct work_struct* work);

#ifdef __cplusplus
}
#endif
