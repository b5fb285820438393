// Work items and the system work queue.
//
// A pending item is not queued twice; one item never runs on two workers at once; an item
// queued while it runs runs once more afterwards. Handlers run in process context.
#pragma once

#include "types.h"

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
extern "C" struct workqueue_struct* system_wq;

extern "C" void __init_work(struct work_struct* work, work_func_t func);
#define INIT_WORK(work, func) __init_work((work), (func))

// true when the item was queued, false when it was already pending.
extern "C" bool queue_work(struct workqueue_struct* wq, struct work_struct* work);
static inline bool schedule_work(struct work_struct* work) { return queue_work(system_wq, work); }
// Drops a pending run and waits for a running one; true if a run was pending.
extern "C" bool cancel_work_sync(struct work_struct* work);
extern "C" bool flush_work(struct work_struct* work);
extern "C" bool work_pending(const struct work_struct* work);
