// Fault injection for platform calls that can fail in a driver's paths, and hooks that hold a
// flow at an exact point.
//
// A rule names a call ("gpio_request", "gpiod_to_irq", "request_irq", "gpiod_direction_output",
// "proc_mkdir", "proc_create", "kzalloc", "try_module_get", "of_get_named_gpio",
// "of_property_read_u32", "i2c_new_dummy", "i2c_get_adapter", "copy_from_user", ...), optionally an
// argument to match (a name, or a number as text), which matching call fails first (1 = the next
// one) and how many fail in a row (-1: every one from then on). The failing call returns `error`.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "thread_safety.h"

namespace host {

struct FaultRule {
  std::string call;
  std::string match;  // empty: any argument
  int nth = 1;
  int times = 1;
  int error = -5;  // -EIO
};

class Faults {
 public:
  void inject(FaultRule rule);
  void clear();
  // The error to return for this call, if a rule fires.
  std::optional<int> check(const std::string& call, const std::string& arg = "");
  std::vector<FaultRule> rules() const;

  // Hooks. `fn` runs in the calling task right after the nth call (1 = the next one) of `call`
  // returns, before its caller goes on; once. Hook points: "cancel_work_sync" and
  // "remove_proc_entry" (as they return), "module_exit" (a module's exit has returned; its
  // files are still there), "i2c_transfer" (an I2C transaction has returned and its adapter is
  // unlocked; the caller still holds whatever it held around it), "gpiod_direction_output",
  // "copy_from_user" and "copy_to_user" (as they return). The hook may block
  // in the scheduler (for instance sleep while another task runs into the held flow).
  void after(std::string call, int nth, std::function<void()> fn);
  // Runs the hooks due for this call (the host's hook points call it).
  void run_after(const std::string& call);

  // Since boot, by name, whether or not a rule or hook was there: how often each call was
  // checked for a fault (check), and how often each hook point was passed (run_after). A clean
  // run of a flow counted with them gives every position at which it can be failed or held.
  std::map<std::string, int> calls() const;
  std::map<std::string, int> hook_passes() const;

 private:
  struct Hook {
    std::string call;
    int nth;
    std::function<void()> fn;
  };
  std::vector<Hook> hooks_ LT_GUARDED_BY(mutex_);
  struct Active {
    FaultRule rule;
    int seen = 0;
    int fired = 0;
  };
  mutable lt::Mutex mutex_;
  std::vector<Active> rules_ LT_GUARDED_BY(mutex_);
  std::map<std::string, int> calls_ LT_GUARDED_BY(mutex_);
  std::map<std::string, int> passes_ LT_GUARDED_BY(mutex_);
};

// Shorthand for the current kernel's faults.
std::optional<int> fault(const std::string& call, const std::string& arg = "");
// Shorthand for the current kernel's hooks of a call that has returned.
void hook_point(const char* call);

}  // namespace host
