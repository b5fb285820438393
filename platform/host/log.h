// The kernel log: a ring of printk records with level, timestamp and KERN_CONT joining.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host {

struct LogRecord {
  int level = 4;         // 0..7; printk without a level gets the default, 4
  int64_t time_ns = 0;   // since boot
  std::string text;      // without the trailing newline
  int pid = 0;
  bool complete = false; // ended by a newline
};

class Log {
 public:
  static constexpr int kDefaultLevel = 4;
  static constexpr size_t kCapacity = 8192;

  // Appends one printk message (with its level prefix, if any).
  void printk(const char* message);
  std::vector<LogRecord> records() const;
  // Texts of all records, in order.
  std::vector<std::string> lines() const;
  // Texts of records from index `from` on (index into records()).
  std::vector<std::string> lines_since(size_t from) const;
  size_t size() const;
  // The log as `dmesg -F` reads it: "<level>[seconds.micros] text" per line.
  std::string dmesg() const;
  static std::string format(const LogRecord& r);
  // Called with every finished record (outside the log's lock).
  void subscribe(std::function<void(const LogRecord&)> fn);

 private:
  void finish_locked(std::vector<LogRecord>* done);
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
  size_t dropped_ = 0;
  std::vector<std::function<void(const LogRecord&)>> subscribers_;
};

}  // namespace host
