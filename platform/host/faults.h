// Fault injection for platform calls that can fail in a driver's paths.
//
// A rule names a call ("gpio_request", "gpiod_to_irq", "request_irq", "gpiod_direction_output",
// "proc_mkdir", "proc_create", "kzalloc", "try_module_get", "of_get_named_gpio",
// "of_property_read_u32", "i2c_new_dummy", "i2c_get_adapter", ...), optionally an argument to
// match (a name, or a number as text), which matching call fails first (1 = the next one) and
// how many fail in a row (-1: every one from then on). The failing call returns `error`.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

 private:
  struct Active {
    FaultRule rule;
    int seen = 0;
    int fired = 0;
  };
  mutable std::mutex mutex_;
  std::vector<Active> rules_;
};

// Shorthand for the current kernel's faults.
std::optional<int> fault(const std::string& call, const std::string& arg = "");

}  // namespace host
