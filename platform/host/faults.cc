#include "faults.h"

#include "kernel.h"

namespace host {

void Faults::inject(FaultRule rule) {
  lt::MutexLock lock(mutex_);
  rules_.push_back({std::move(rule), 0, 0});
}

void Faults::clear() {
  lt::MutexLock lock(mutex_);
  rules_.clear();
  hooks_.clear();
}

void Faults::after(std::string call, int nth, std::function<void()> fn) {
  lt::MutexLock lock(mutex_);
  hooks_.push_back({std::move(call), nth < 1 ? 1 : nth, std::move(fn)});
}

void Faults::run_after(const std::string& call) {
  std::vector<std::function<void()>> due;
  {
    lt::MutexLock lock(mutex_);
    ++passes_[call];
    if (hooks_.empty()) return;
    for (auto it = hooks_.begin(); it != hooks_.end();) {
      if (it->call == call && --it->nth == 0) {
        due.push_back(std::move(it->fn));
        it = hooks_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& fn : due) fn();
}

std::optional<int> Faults::check(const std::string& call, const std::string& arg) {
  lt::MutexLock lock(mutex_);
  ++calls_[call];
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
  lt::MutexLock lock(mutex_);
  std::vector<FaultRule> out;
  for (const Active& a : rules_) out.push_back(a.rule);
  return out;
}

std::map<std::string, int> Faults::calls() const {
  lt::MutexLock lock(mutex_);
  return calls_;
}

std::map<std::string, int> Faults::hook_passes() const {
  lt::MutexLock lock(mutex_);
  return passes_;
}

std::optional<int> fault(const std::string& call, const std::string& arg) {
  return Kernel::get().faults().check(call, arg);
}

void hook_point(const char* call) { Kernel::get().faults().run_after(call); }

}  // namespace host
