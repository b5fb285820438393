// The StatusTree of a real filesystem: <root>/proc/lt7911_info/ read with open/read/lseek,
// waited on with ppoll() for POLLPRI (and POLLIN, which only a status file whose entry went
// away reports). SIGINT and SIGTERM are blocked except inside ppoll, so a
// signal ends a wait and nothing else.
//
// While the directory is away, the kernel log says when something happened: <root>/kmsg (a
// simulator's mount) or <root>/dev/kmsg (a board) is polled for a new record, and after one the
// directory is looked for a few more times within kSettleTries * kSettleMs, since the record
// may come just before the directory does; so it is after the log is opened, which skips what
// it already holds. Nothing wakes the follower while nothing happens.
// Without a readable log it looks every kFallbackMs. The clock is CLOCK_MONOTONIC, which is
// what a board's kernel log counts (and what the simulator's kernel clock is).
//
// Threading: single-threaded. The tree owns the status descriptor (closed on destruction).
#pragma once

#include <chrono>
#include <string>

#include "tools/monitor/follower.h"

namespace monitor {

class PosixTree : public StatusTree {
 public:
  explicit PosixTree(std::string root);
  ~PosixTree() override;
  PosixTree(const PosixTree&) = delete;
  PosixTree& operator=(const PosixTree&) = delete;

  host::Result<void> open_status() override;
  void close_status() override;
  host::Result<Snapshot> read() override;
  Wake wait(int64_t timeout_ms) override;
  bool await_change(int64_t timeout_ms) override;
  int ack() override;
  int64_t now_ms() override;
  int64_t clock_us() override;

  static constexpr int64_t kSettleMs = 200;
  static constexpr int kSettleTries = 10;
  static constexpr int64_t kFallbackMs = 1000;

  // True once SIGINT or SIGTERM arrived.
  static bool interrupted();

 private:
  std::string path(const char* name) const;
  // Opens the kernel log to wait on, read to its end; false when there is none.
  bool open_log();
  void close_log();
  std::string root_;
  std::string dir_;
  int status_fd_ = -1;
  int log_fd_ = -1;
  int settle_left_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace monitor
