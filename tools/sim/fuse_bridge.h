// The FUSE mount of the simulated board: the host kernel's /proc and /sys as a real filesystem,
// plus DIR/kernel.log and DIR/kmsg (the kernel log) and the simulator's own controls under
// DIR/sim/.
//
// Every open of a /proc or /sys file is one open file in the host kernel's VFS, opened for a
// host::Process built from the caller (uid, gid, pid). The user who runs the simulator is the
// board's root: the entries show as theirs, and their uid and gid act as 0 in the simulated
// kernel (run by root, nothing is mapped). Reads and writes go to that file at the
// caller's position and return the handler's result (a negative errno reaches the caller as
// errno). poll() registers a callback on the file's wait queues that lasts while the file is open;
// when they are woken one of a few notifier threads sends a FUSE poll notification, so real
// pollers see POLLPRI, and a hang-up of a file that goes away, then polls the file again
// (renewing the registration, unless its caller polled meanwhile).
//
// Caching: the host's kernel keeps entries and attributes for kCacheSeconds, so that an open
// does not look up every component of its path again. The tree of /proc and /sys changes
// with the driver: every entry that leaves it is invalidated at once (the VFS tells the bridge
// before the removal returns), so a stat or an open of it fails with ENOENT; names that are not
// there are never cached, so a new entry shows at once. kernel.log's size grows with the log:
// once its attributes were handed out, the next record stored invalidates them.
//
// The kernel log is served from the log's ring, never copied per open. kernel.log is a log file
// that grows: its size is the formatted bytes it holds, it reads through the page cache (so it
// can be mapped, as `dmesg -F` does) and it keeps its offsets while anyone has it open, so
// `tail -f` follows it. When the ring has overwritten the file's first records, the file starts
// again at the oldest record held at the next open, or the next stat while nobody has it open
// (a follower sees it shrink, as after a log rotation); a read of overwritten bytes fails with
// EPIPE. kmsg reads as /dev/kmsg does,
// in kernel.log's line format: every open starts at the oldest record held, each read returns
// whole records and waits for new ones (EAGAIN with O_NONBLOCK), poll() reports POLLIN when a
// record is waiting, and a reader that fell behind the ring gets EPIPE once and continues with
// the oldest record held. At most kMaxWaitingReaders reads wait at a time (others get EAGAIN),
// so waiting readers never hold every request thread.
//
// Stopping (stop(), or the destructor): new requests fail with ENODEV and poll reports
// POLLERR|POLLHUP, waiting kmsg reads end with ENODEV, the request loop ends without waiting
// for any caller, and closing the device ends the connection: calls on files still open fail
// (ENOTCONN) and their pollers wake with POLLERR. The mount is then removed and the files left
// open are closed in the VFS, so the module's references drop.
//
// Threading: libfuse runs requests on its own threads; each becomes a host task when it first
// calls into the kernel. Controls' callbacks run on those threads and may block in the
// scheduler. mount() and stop() are called by the owner's thread. The bridge must be stopped (or
// destroyed, which stops it) before the kernel shuts down.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/result.h"
#include "platform/host/thread_safety.h"

struct fuse;
struct fuse_pollhandle;

namespace host {
class Vfs;
class Log;
}  // namespace host

namespace sim {

// One file under DIR/sim/. read gives the text a fresh open shows; write gets one write's
// bytes and returns 0 or a negative errno.
struct ControlFile {
  std::string name;
  unsigned mode = 0644;
  std::function<std::string()> read;
  std::function<int(const std::string&)> write;
};

class FuseBridge {
 public:
  static constexpr int kMaxWaitingReaders = 16;
  // Threads that send poll notifications; more than one, so that a burst to many pollers is
  // not held up by one preempted thread.
  static constexpr int kNotifiers = 4;
  // How long the host's kernel keeps entries and attributes (see above).
  static constexpr double kCacheSeconds = 60.0;

  FuseBridge(host::Vfs& vfs, host::Log& log, std::vector<ControlFile> controls);
  ~FuseBridge();
  FuseBridge(const FuseBridge&) = delete;
  FuseBridge& operator=(const FuseBridge&) = delete;

  // Mounts at dir (which must exist) and starts serving; the error says why, with an errno.
  host::Result<void> mount(const std::string& dir);
  // Whether a mount made by this process is open to other users (allow_other).
  static bool others_may_use_mounts();
  // Stops serving and unmounts, whatever callers hold or wait in (see above). Idempotent.
  void stop();
  void unmount() { stop(); }
  bool mounted() const { return fuse_ != nullptr; }

  // Internal, for the libfuse callbacks.
  struct Handle;
  struct PollSlot;
  struct Follow;
  struct Cache;
  host::Vfs& vfs() { return vfs_; }
  host::Log& log() { return log_; }
  unsigned owner_uid() const { return owner_uid_; }
  unsigned owner_gid() const { return owner_gid_; }
  const std::vector<ControlFile>& controls() const { return controls_; }
  bool stopping() const { return stopping_.load(); }
  Follow& follow() { return *follow_; }
  Cache& cache() { return *cache_; }
  // kernel.log: the file offset 0 as a log text offset. The file starts again at the oldest
  // held record when its first records were overwritten and it is being opened (opening) or
  // nobody has it open; closing says one open went away.
  uint64_t log_base(bool opening = false, bool closing = false);
  int64_t mount_time() const { return mount_time_; }
  // Hands a file's poll slot (or a kmsg reader's poll handle) to the notifier.
  void notify_later(std::shared_ptr<PollSlot> slot);
  void notify_later(fuse_pollhandle* ph);
  void track(Handle* h);
  void untrack(Handle* h);
  // The path of an open directory, kept as long as the bridge (a directory's reads come
  // without their path); one copy of each path.
  const std::string* directory_path(const char* path);

 private:
  void notifier_loop();
  void end_loop();

  host::Vfs& vfs_;
  host::Log& log_;
  std::vector<ControlFile> controls_;
  const unsigned owner_uid_;
  const unsigned owner_gid_;
  fuse* fuse_ = nullptr;
  std::string dir_;
  std::thread loop_;
  lt::Mutex loop_mutex_;
  std::condition_variable loop_cv_;
  bool loop_done_ LT_GUARDED_BY(loop_mutex_) = false;
  std::atomic<bool> stopping_{false};
  int64_t mount_time_ = 0;
  std::shared_ptr<Follow> follow_;
  std::shared_ptr<Cache> cache_;
  uint64_t log_subscription_ = 0;

  lt::Mutex directories_mutex_;
  std::set<std::string> directories_ LT_GUARDED_BY(directories_mutex_);

  lt::Mutex log_mutex_;
  uint64_t log_base_ LT_GUARDED_BY(log_mutex_) = 0;
  int log_opens_ LT_GUARDED_BY(log_mutex_) = 0;  // open files of kernel.log

  lt::Mutex notify_mutex_;
  std::condition_variable notify_cv_;
  struct Pending {
    std::shared_ptr<PollSlot> slot;  // a file to poll again and notify
    fuse_pollhandle* ph = nullptr;   // else a handle to notify
  };
  std::deque<Pending> pending_ LT_GUARDED_BY(notify_mutex_);
  std::vector<Handle*> handles_ LT_GUARDED_BY(notify_mutex_);
  bool notifier_stop_ LT_GUARDED_BY(notify_mutex_) = false;
  std::vector<std::thread> notifiers_;
};

}  // namespace sim
