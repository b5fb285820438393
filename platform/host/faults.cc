#include "faults.h"

#include "kernel.h"

namespace host {

void Faults::inject(FaultRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back({std::move(rule), 0, 0});
}

void Faults::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  hooks_.clear();
  any_hooks_.store(false, std::memory_order_relaxed);
}

void Faults::after(std::string call, int nth, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  hooks_.push_back({std::move(call), nth < 1 ? 1 : nth, std::move(fn)});
  any_hooks_.store(true, std::memory_order_relaxed);
}

void Faults::run_after(const std::string& call) {
  if (!any_hooks_.load(std::memory_order_relaxed)) return;
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = hooks_.begin(); it != hooks_.end();) {
      if (it->call == call && --it->nth == 0) {
        due.push_back(std::move(it->fn));
        it = hooks_.erase(it);
      } else {
        ++it;
      }
    }
    any_hooks_.store(!hooks_.empty(), std::memory_order_relaxed);
  }
  for (auto& fn : due) fn();
}

std::optional<int> Faults::check(const std::string& call, const std::string& arg) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Active& a : rules_) {
    if (a.rule.call != call) continue;
    if (!a.rule.match.empty() && a.rule.match != arg) continue;
    ++a.seen;
    if (a.seen < a.rule.nth) continue;
    if (a.rule.times >= 0 && a.fired >= a.rule.times) continue;
    ++a.fired;
    return a.rule.error;
  }
  return std::nullopt;
}

std::vector<FaultRule> Faults::rules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FaultRule> out;
  for (const Active& a : rules_) out.push_back(a.rule);
  return out;
}

std::optional<int> fault(const std::string& call, const std::string& arg) {
  return Kernel::get().faults().check(call, arg);
}

void hook_point(const char* call) { Kernel::get().faults().run_after(call); }

}  // namespace host
