// The FUSE mount of the simulated board: the host kernel's /proc and /sys as a real filesystem,
// plus DIR/kernel.log (the kernel log as dmesg -F reads it) and the simulator's own controls
// under DIR/sim/.
//
// Every open of a /proc or /sys file is one open file in the host kernel's VFS, opened for a
// host::Process built from the caller (uid, gid, pid). The user who runs the simulator is the
// board's root: the entries show as theirs, and their uid and gid act as 0 in the simulated
// kernel (run by root, nothing is mapped). Reads and writes go to that file at the
// caller's position and return the handler's result (a negative errno reaches the caller as
// errno). poll() registers a callback on the file's wait queues that lasts while the file is open;
// when they are woken a notifier thread polls the file again (renewing the registration) and
// sends a FUSE poll notification, so real pollers see POLLPRI, and a hang-up of a file that goes
// away.
//
// Threading: libfuse runs requests on its own threads; each becomes a host task when it first
// calls into the kernel. Controls' callbacks run on those threads and may block in the
// scheduler. mount() and unmount() are called by the owner's thread. The bridge must be
// unmounted (or destroyed, which unmounts) before the kernel shuts down.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fuse;
struct fuse_pollhandle;

namespace host {
class Vfs;
}

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
  FuseBridge(host::Vfs& vfs, std::function<std::string()> kernel_log,
             std::vector<ControlFile> controls);
  ~FuseBridge();
  FuseBridge(const FuseBridge&) = delete;
  FuseBridge& operator=(const FuseBridge&) = delete;

  // Lazily unmounts whatever is mounted at dir (a mount left by a killed run).
  static void clean_stale(const std::string& dir);
  // Mounts at dir (which must exist) and starts serving. 0, or a negative errno; why tells.
  int mount(const std::string& dir, std::string* why);
  // Whether a mount made by this process is open to other users (allow_other).
  static bool others_may_use_mounts();
  // Stops serving and unmounts; open files are closed in the VFS. Idempotent.
  void unmount();
  bool mounted() const { return fuse_ != nullptr; }

  // Internal, for the libfuse callbacks.
  struct Handle;
  struct PollSlot;
  host::Vfs& vfs() { return vfs_; }
  unsigned owner_uid() const { return owner_uid_; }
  unsigned owner_gid() const { return owner_gid_; }
  const std::vector<ControlFile>& controls() const { return controls_; }
  std::string kernel_log() const { return kernel_log_(); }
  void notify_later(std::shared_ptr<PollSlot> slot);
  void track(Handle* h);
  void untrack(Handle* h);

 private:
  void notifier_loop();

  host::Vfs& vfs_;
  std::function<std::string()> kernel_log_;
  std::vector<ControlFile> controls_;
  const unsigned owner_uid_;
  const unsigned owner_gid_;
  fuse* fuse_ = nullptr;
  std::string dir_;
  std::thread loop_;

  std::mutex notify_mutex_;  // guards pending_, handles_ and stopping_
  std::condition_variable notify_cv_;
  std::deque<std::shared_ptr<PollSlot>> pending_;
  std::vector<Handle*> handles_;
  bool stopping_ = false;
  std::thread notifier_;
};

}  // namespace sim
