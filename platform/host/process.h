// Simulated processes. A Process record is owned by its caller; every system call names the
// process it acts for, and while the call runs the calling task acts for it (Task::process).
#pragma once

#include <string>

namespace host {

struct Task;

struct Process {
  int pid = 0;
  unsigned uid = 0;
  unsigned gid = 0;
  std::string name;
};

// The process the calling task acts for, or nullptr outside a VFS call.
Process* current_process();

// The calling task acts for `proc` while this lives. Made and destroyed on the same task.
class ProcessScope {
 public:
  explicit ProcessScope(Process& proc);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  Task& task_;
  Process* prev_;
};

}  // namespace host
