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

}  // namespace host
