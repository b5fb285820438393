// Simulated processes: the process the calling task acts for.
#include "process.h"

#include "sched.h"

namespace host {

Process* current_process() { return current().process; }

ProcessScope::ProcessScope(Process& proc) : task_(current()), prev_(task_.process) {
  task_.process = &proc;
}

ProcessScope::~ProcessScope() { task_.process = prev_; }

}  // namespace host
