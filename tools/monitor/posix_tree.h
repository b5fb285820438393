// The StatusTree of a real filesystem: <root>/proc/lt7911_info/ read with open/read/lseek,
// waited on with ppoll() for POLLPRI. SIGINT and SIGTERM are blocked except inside ppoll, so a
// signal ends a wait (or a pause) and nothing else.
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

  bool open_status(int* errno_out) override;
  void close_status() override;
  std::optional<Snapshot> read(int* errno_out) override;
  Wake wait(int64_t timeout_ms) override;
  bool pause(int64_t ms) override;
  int ack() override;
  int64_t now_ms() override;

  // True once SIGINT or SIGTERM arrived.
  static bool interrupted();

 private:
  std::string path(const char* name) const;
  std::string dir_;
  int status_fd_ = -1;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace monitor
