#include "warn.h"

#include <cstdarg>
#include <cstdio>

#include "kernel.h"
#include "log.h"

namespace host {

void Warnings::record(std::string message, std::string context, int64_t time_ns) {
  lt::MutexLock lock(mutex_);
  warnings_.push_back({std::move(message), std::move(context), time_ns});
}

std::vector<Warning> Warnings::all() const {
  lt::MutexLock lock(mutex_);
  return warnings_;
}

std::vector<Warning> Warnings::take() {
  lt::MutexLock lock(mutex_);
  std::vector<Warning> out;
  out.swap(warnings_);
  return out;
}

size_t Warnings::count() const {
  lt::MutexLock lock(mutex_);
  return warnings_.size();
}

std::string Warnings::describe() const {
  lt::MutexLock lock(mutex_);
  std::string out;
  for (const Warning& w : warnings_) out += "WARNING: " + w.message + " [" + w.context + "]\n";
  return out;
}

std::string context_line() {
  const Task& t = current();
  const char* ctx = t.hardirq_depth > 0 ? "hard-irq" : t.atomic_depth > 0 ? "atomic" : "process";
  char buf[160];
  std::snprintf(buf, sizeof buf, "task %s (pid %d) in %s context", t.name.c_str(), t.pid, ctx);
  return buf;
}

namespace {
void vwarn(const char* where, const char* fmt, va_list ap) {
  char msg[512];
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  Kernel& k = Kernel::get();
  std::string ctx = context_line();
  if (where != nullptr) ctx += std::string(" at ") + where;
  char line[800];
  std::snprintf(line, sizeof line, "\0014WARNING: %s\n", msg);
  k.log().printk(line);
  std::snprintf(line, sizeof line, "\0014  %s\n", ctx.c_str());
  k.log().printk(line);
  k.warnings().record(msg, ctx, k.sched().now());
}
}  // namespace

void warn_context(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwarn(nullptr, fmt, ap);
  va_end(ap);
}

}  // namespace host

extern "C" void __warn_printk(const char* file, int line, const char* fmt, ...) {
  char where[256];
  std::snprintf(where, sizeof where, "%s:%d", file, line);
  va_list ap;
  va_start(ap, fmt);
  host::vwarn(where, fmt, ap);
  va_end(ap);
}
