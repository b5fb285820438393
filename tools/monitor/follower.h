// The follower behind lt7911-monitor: it watches /proc/lt7911_info through a StatusTree, prints
// one line per change of the six input texts, acknowledges "new res" on request, and rides out
// the directory vanishing and coming back.
//
// Threading: single-threaded; a Follower and its tree belong to the thread that runs it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/host/result.h"

namespace monitor {

// The texts the follower compares, as read (with their trailing line feeds); power is empty
// when the file cannot be read.
struct Snapshot {
  std::string status, width, height, fps, hdcp, asr, power;
  bool operator==(const Snapshot&) const = default;
};

// Exit codes of lt7911-monitor.
enum ExitCode : int {
  kExitOk = 0,       // --count state lines printed, or stopped by SIGINT/SIGTERM
  kExitError = 1,    // an unexpected error (read, poll or the acknowledgement write failed)
  kExitUsage = 2,    // bad command line
  kExitTimeout = 3,  // --timeout ran out first
};

// What waiting for a change ended with.
enum class Wake { kChanged, kTimeout, kGone, kInterrupted, kError };

// The files under the root, as the follower needs them. A failure's error carries the errno
// (its message is the errno's text).
class StatusTree {
 public:
  virtual ~StatusTree() = default;
  // Opens the status file; fails when it is not there.
  virtual host::Result<void> open_status() = 0;
  virtual void close_status() = 0;
  // Reads all six texts (status from position 0 of the open file); fails when one of them
  // cannot be read.
  virtual host::Result<Snapshot> read() = 0;
  // Waits for POLLPRI (or an error or hang-up) on the status file for at most timeout_ms (-1:
  // without a limit).
  virtual Wake wait(int64_t timeout_ms) = 0;
  // While the directory is away: waits for a sign that it may be back (the kernel logged
  // something) for at most timeout_ms (-1: without a limit); false when interrupted by a
  // signal.
  virtual bool await_change(int64_t timeout_ms) = 0;
  // Writes "ok" to the status file; 0 or an errno.
  virtual int ack() = 0;
  // Milliseconds since the follower started (for --timeout).
  virtual int64_t now_ms() = 0;
  // The board's clock, the one its kernel log shows, in microseconds.
  virtual int64_t clock_us() = 0;
};

struct Options {
  bool ack = false;
  bool json = false;
  std::optional<int64_t> count;       // state lines to print before exiting
  std::optional<int64_t> timeout_ms;  // whole run
  // Exit once status reads this (without its line feed) after a change notification; a status
  // it finds at start counts once until_grace_ms passed without one (a change read at start may
  // still be on its way: its texts are written one by one, and the notification comes last).
  std::optional<std::string> until;
  int64_t until_grace_ms = 1000;
  std::string root = "/";
};

// Formats one state line. time_us is on the board's clock; acked says "ok" was written.
std::string format_state(const Snapshot& s, int64_t time_us, bool acked, bool json);
// Formats an event line ("waiting", "vanished", "returned", "error") with a human message.
std::string format_event(const std::string& event, const std::string& message, int64_t time_us,
                         bool json);
// A JSON string literal for text.
std::string json_quote(const std::string& text);

class Follower {
 public:
  Follower(StatusTree& tree, Options options, std::function<void(const std::string&)> out,
           std::function<void(const std::string&)> err);
  // Runs until --count, --timeout, a signal or an error; returns the exit code.
  int run();

 private:
  std::optional<int64_t> remaining_ms() const;
  void emit_state(const Snapshot& s, bool acked, bool woken);
  void emit_event(const std::string& event, const std::string& message);
  // Reads and prints the texts if they changed; false when the directory went away.
  enum class Step { kOk, kGone, kError };
  Step refresh(bool woken);
  // Waits for the directory to change while it is away (or hangs up); false when interrupted.
  bool await_change();
  bool done() const { return until_met_ || (options_.count && printed_ >= *options_.count); }

  StatusTree& tree_;
  Options options_;
  std::function<void(const std::string&)> out_, err_;
  std::optional<Snapshot> last_;
  int64_t printed_ = 0;
  bool until_met_ = false;
  bool until_at_start_ = false;  // the start state matched until: waiting out the grace
  std::string pending_event_;    // said before the next successful read
  int exit_code_ = kExitOk;
};

}  // namespace monitor
