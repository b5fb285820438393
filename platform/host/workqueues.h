// The system work queue: work items and the worker that runs them.
//
// One worker task, "kworker/0:0", serves system_wq. One worker is enough for every guarantee
// the platform promises: a pending item is not queued twice, an item queued while it runs runs
// once more afterwards, and one item never runs twice at once (with a single worker that holds
// trivially). Items run in queueing order, in process context, with no host lock held.
//
// Work items are known by address. INIT_WORK stamps a magic into the item and (re)creates its
// host record; queueing an item without the magic (for instance a zero-filled item in a freshly
// loaded module) records a WARN and queues nothing, as debugobjects would report it.
//
// Threading: every member may be called from any task; queue() is also safe in hard-interrupt
// context (it never blocks). cancel_sync() and flush() block in the scheduler, so the clock can
// move while they wait.
//
// TSan edges: queue() -> the run it causes; the end of a run -> cancel_sync()/flush() that
// waited for it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "platform/workqueue.h"
#include "sched.h"

namespace host {

class Workqueues {
 public:
  // The magic INIT_WORK stores in work_struct::magic.
  static constexpr unsigned long kWorkMagic = 0x574f524b31393131ul;

  Workqueues();
  ~Workqueues();
  Workqueues(const Workqueues&) = delete;
  Workqueues& operator=(const Workqueues&) = delete;

  // Starts and stops the worker. Items still pending at stop() are dropped.
  void start();
  void stop();

  // The C entry points of platform/workqueue.h.
  void init_work(work_struct* work, work_func_t func);
  bool queue(workqueue_struct* wq, work_struct* work);
  bool cancel_sync(work_struct* work);
  bool flush(work_struct* work);
  bool pending(const work_struct* work) const;

  // Test and diagnostic API.
  // Completed runs of the item since its last INIT_WORK.
  uint64_t runs(const work_struct* work) const;
  // True while the item's handler runs.
  bool running(const work_struct* work) const;
  // Nothing queued and nothing running.
  bool idle() const;

  // Called by the module loader after a module's exit: every item that lies in [begin, end) or
  // whose handler does is forgotten. One that is still pending or running is a bug of the
  // module: it is recorded as a WARN naming `module`, cancelled and waited for first.
  void forget_range(uintptr_t begin, uintptr_t end, const char* module);

 private:
  struct Item {
    work_func_t func = nullptr;
    bool pending = false;
    bool running = false;
    int cancelling = 0;  // tasks in cancel_sync(); queueing fails meanwhile
    uint64_t runs = 0;
    std::vector<Task*> waiters;  // tasks in cancel_sync()/flush()
  };

  void run();
  Item* find_locked(const work_struct* work);
  const Item* find_locked(const work_struct* work) const;

  Scheduler* sched_ = nullptr;  // set by start(), once the kernel is up
  // All below: scheduler lock.
  std::map<const work_struct*, Item> items_;
  std::deque<work_struct*> queue_;
  bool stopping_ = false;
  Task* worker_task_ = nullptr;
  Thread worker_;
};

}  // namespace host
