#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kernel.h"

namespace host {
namespace {

// Splits a leading KERN_* marker off a message. Returns the level (or -1 for none, -2 for
// KERN_CONT) and advances *text past it.
int take_level(const char** text) {
  const char* s = *text;
  int level = -1;
  while (s[0] == '\001' && s[1] != '\0') {
    if (s[1] >= '0' && s[1] <= '7') {
      level = s[1] - '0';
    } else if (s[1] == 'c') {
      level = -2;
    }
    s += 2;
  }
  *text = s;
  return level;
}

}  // namespace

void Log::printk(const char* message) {
  std::vector<LogRecord> done;
  std::vector<std::function<void(const LogRecord&)>> subscribers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* text = message;
    int level = take_level(&text);
    const Task& task = current();
    const int64_t now = Kernel::get().sched().now();
    bool open = !records_.empty() && !records_.back().complete;
    if (level == -2 && open && records_.back().pid == task.pid) {
      // Continuation of the open record.
    } else {
      if (open) {
        records_.back().complete = true;
        done.push_back(records_.back());
      }
      LogRecord r;
      r.level = level >= 0 ? level : (level == -2 && open ? records_.back().level : kDefaultLevel);
      r.time_ns = now;
      r.pid = task.pid;
      records_.push_back(std::move(r));
      if (records_.size() > kCapacity) {
        records_.erase(records_.begin());
        ++dropped_;
      }
    }
    // Append the text, closing the record at each newline; text after a newline opens a new
    // record with the same level.
    while (*text != '\0') {
      const char* nl = std::strchr(text, '\n');
      LogRecord& cur = records_.back();
      if (nl == nullptr) {
        cur.text.append(text);
        break;
      }
      cur.text.append(text, nl);
      cur.complete = true;
      done.push_back(cur);
      text = nl + 1;
      if (*text != '\0') {
        LogRecord r;
        r.level = cur.level;
        r.time_ns = now;
        r.pid = task.pid;
        records_.push_back(std::move(r));
      }
    }
    if (!done.empty()) subscribers = subscribers_;
  }
  for (const LogRecord& r : done) {
    for (auto& fn : subscribers) fn(r);
  }
}

std::vector<LogRecord> Log::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<std::string> Log::lines() const { return lines_since(0); }

std::vector<std::string> Log::lines_since(size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (size_t i = from; i < records_.size(); ++i) out.push_back(records_[i].text);
  return out;
}

size_t Log::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

std::string Log::format(const LogRecord& r) {
  char head[64];
  const long long us = r.time_ns / 1000;
  std::snprintf(head, sizeof head, "<%d>[%5lld.%06lld] ", r.level, us / 1000000, us % 1000000);
  return head + r.text;
}

std::string Log::dmesg() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const LogRecord& r : records_) {
    out += format(r);
    out += '\n';
  }
  return out;
}

void Log::subscribe(std::function<void(const LogRecord&)> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.push_back(std::move(fn));
}

}  // namespace host

extern "C" int printk(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  host::Kernel& k = host::Kernel::get();
  k.log().printk(buf);
  if (k.options().echo_log) {
    const char* text = buf;
    while (text[0] == '\001' && text[1] != '\0') text += 2;
    std::fputs(text, stderr);
  }
  return n;
}
