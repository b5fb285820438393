// Recorded kernel warnings: the rule checks of the host kernel (sleeping in atomic context,
// queueing an uninitialised work item, freeing what was not requested, removing a missing /proc
// entry, unbalanced enable_irq, ...) and the module's own WARN()s. Each is also logged.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "thread_safety.h"

namespace host {

struct Warning {
  std::string message;
  std::string context;  // "task <name> (pid N) in <process|hard-irq|atomic> context"
  int64_t time_ns = 0;
};

class Warnings {
 public:
  void record(std::string message, std::string context, int64_t time_ns);
  std::vector<Warning> all() const;
  // Returns and forgets the warnings recorded so far.
  std::vector<Warning> take();
  size_t count() const;
  // One line per warning, for test failure messages.
  std::string describe() const;

 private:
  mutable lt::Mutex mutex_;
  std::vector<Warning> warnings_ LT_GUARDED_BY(mutex_);
};

// Records a warning with the calling task's context (printf-style).
void warn_context(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string context_line();

}  // namespace host
