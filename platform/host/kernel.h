// The host kernel: a user-space implementation of the kernel interfaces in platform/*.h.
//
// One kernel is booted at a time per process; the C entry points of platform/*.h act on it.
// Kernel::boot() starts a fresh kernel (new clock, empty log, no devices); shutdown() unloads
// every module, stops every kernel thread and forgets everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sched.h"

namespace host {

class Log;
class Warnings;
class Faults;
class Timers;
class DeviceTree;
class Gpio;
class Irq;
class I2cCore;
class Workqueues;
class Vfs;
class Modules;
class Locks;
class Timeline;

struct BootOptions {
  ClockMode clock = ClockMode::kVirtual;
  // Copy kernel log lines to stderr as they are logged.
  bool echo_log = false;
  // Record a timeline from boot on, in a ring of this many events (0: not recording).
  size_t timeline = 0;
  // Real mode: the clock reads the host's CLOCK_MONOTONIC, as a board's kernel clock counts
  // from its boot, instead of starting at 0.
  bool host_clock = false;
  // Virtual mode: every task's thread runs on one CPU, the booting thread's. Virtual time moves
  // only once every task waits, so tasks mostly hand the CPU to one another in turn; a hand-off
  // on one CPU costs a fraction of one that wakes a thread on another. The simulator's virtual
  // modes use it; tests leave it off, so that tasks that are runnable together also run at
  // once, on every CPU. Real mode ignores it: there, the board's work and the callers of the
  // mount run side by side.
  bool one_cpu = false;
};

class Kernel {
 public:
  static void boot(const BootOptions& options = {});
  static void shutdown();
  static bool booted();
  static Kernel& get();
  // Grows by one at every boot; tasks use it to notice a new kernel.
  static uint64_t generation();

  Scheduler& sched() { return *sched_; }
  Log& log() { return *log_; }
  Warnings& warnings() { return *warnings_; }
  Faults& faults() { return *faults_; }
  Timers& timers() { return *timers_; }
  DeviceTree& dt() { return *dt_; }
  Gpio& gpio() { return *gpio_; }
  Irq& irq() { return *irq_; }
  I2cCore& i2c() { return *i2c_; }
  Workqueues& wq() { return *wq_; }
  Vfs& vfs() { return *vfs_; }
  Modules& modules() { return *modules_; }
  Locks& locks() { return *locks_; }
  Timeline& timeline() { return *timeline_; }
  const BootOptions& options() const { return options_; }

 private:
  explicit Kernel(const BootOptions& options);
  ~Kernel();
  void start();
  void stop();

  BootOptions options_;
  std::unique_ptr<Timeline> timeline_;  // made first, destroyed last
  std::unique_ptr<Scheduler> sched_;
  std::unique_ptr<Log> log_;
  std::unique_ptr<Warnings> warnings_;
  std::unique_ptr<Faults> faults_;
  std::unique_ptr<Locks> locks_;
  std::unique_ptr<Timers> timers_;
  std::unique_ptr<DeviceTree> dt_;
  std::unique_ptr<Gpio> gpio_;
  std::unique_ptr<Irq> irq_;
  std::unique_ptr<I2cCore> i2c_;
  std::unique_ptr<Workqueues> wq_;
  std::unique_ptr<Vfs> vfs_;
  std::unique_ptr<Modules> modules_;
};

}  // namespace host
