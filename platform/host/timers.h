// Kernel timers: callbacks at a point in time, run by the "ktimerd" kernel thread in softirq
// context (they must not sleep).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "sched.h"

namespace host {

class Timers {
 public:
  using Id = uint64_t;
  explicit Timers(Scheduler& sched);
  ~Timers();
  void start();
  void stop();
  // Runs fn at absolute time `when` (ns since boot).
  Id add(int64_t when, std::function<void()> fn);
  bool cancel(Id id);
  size_t pending() const;

 private:
  void run();
  Scheduler& sched_;
  std::multimap<int64_t, std::pair<Id, std::shared_ptr<std::function<void()>>>>
      queue_;  // sched lock
  Id next_id_ = 1;
  bool stopping_ = false;
  Task* thread_task_ = nullptr;
  Thread thread_;
};

}  // namespace host
