// Poll: poll(2) over descriptors, and event-driven watches for callers that cannot block.
//
// A file's poll runs in the calling task, outside every VFS lock, and may sleep; a file without
// .poll (or an attribute file) answers kDefaultPollMask, and so does a removed entry, as
// Linux's proc_reg_poll, without registering anything. The table registers a waiter on every
// queue the file's poll names (poll_wait); waiters run in the waker's context (see WaitQueue).
// As in Linux, a removed entry wakes nobody.
//
// Lifetime: a PollWatch keeps the wait queue records it uses alive, and may outlive the entry
// it watches (and the VFS).
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "wait.h"

namespace host {

// What a file without a .poll operation reports.
constexpr unsigned kDefaultPollMask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;

struct OpenFile;
struct PollWatchResult;

// Callback waiters registered by Vfs::poll_watch(); destroying the watch removes those that
// have not fired yet (each fires once, as one poll registration does). A watch may outlive the
// entry it watches (and the VFS).
class PollWatch {
 public:
  PollWatch() = default;
  PollWatch(PollWatch&&) noexcept;
  PollWatch& operator=(PollWatch&&) noexcept;
  ~PollWatch();
  void reset();
  size_t queues() const { return entries_.size(); }

 private:
  friend PollWatchResult watch_file(const std::shared_ptr<OpenFile>& f,
                                    std::function<void()> on_wake, bool one_shot);
  std::vector<std::pair<std::shared_ptr<WaitQueue>, WaitQueue::Id>> entries_;
};

struct PollWatchResult {
  int mask = 0;  // the file's whole poll mask, or a negative errno (-EBADF)
  PollWatch watch;
};

// poll(2) over the descriptors in fds, found by `lookup` (nullptr for one that is not open),
// as Vfs::poll.
int poll_files(std::vector<pollfd>& fds, int timeout_ms,
               const std::function<std::shared_ptr<OpenFile>(int fd)>& lookup);
// Calls f's poll with a table that registers on_wake on every queue it waits on, as
// Vfs::poll_watch.
PollWatchResult watch_file(const std::shared_ptr<OpenFile>& f, std::function<void()> on_wake,
                           bool one_shot);

}  // namespace host
