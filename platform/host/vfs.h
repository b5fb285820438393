// A small VFS: a tree with /proc and /sys (proc_tree.h), procfs entries, attribute files
// (attributes.h), open files (descriptors.h), reads, writes, seeks, poll (poll.h), wait queues
// (wait.h) and user memory (uaccess.h), behind the system calls of simulated processes
// (process.h).
//
// Processes. Every system call names the process it acts for, and while the call runs the
// calling task acts for it. File descriptors are numbered from 3 across the whole VFS; a
// descriptor can only be used by the process that opened it (-EBADF otherwise).
//
// Permissions follow Linux DAC: root (uid 0) may open any file for reading and writing; other
// users need the read or write bit of the owner (uid 0), group (gid 0) or others class that
// applies to them. Every entry belongs to root.
//
// File operations of a /proc entry run in the calling task, outside every VFS lock, and may
// sleep. A call's result is the handler's, as Linux's proc_reg_* wrappers pass it: a file
// without .read answers reads with -EIO, without .write writes with -EIO, without .poll polls
// with DEFAULT_POLLMASK. The file position is passed by copy and stored back when the call
// returns a non-negative result.
//
// Removal (remove_proc_entry, remove) with open files works like Linux's proc_entry_rundown:
// new calls on the entry fail at once, calls in flight finish first (the remover waits in the
// scheduler), then .release runs once for every file still open. Nobody is woken: a poller of
// the entry keeps waiting on the queues the file's poll registered it on. Later calls on those
// files fail: read and write with -EIO, lseek with -EINVAL; poll answers DEFAULT_POLLMASK
// without calling the file's poll; close succeeds without a second release. Opening a removed
// entry fails with -ENOENT.
//
// Lifetime: a removed entry is freed once no open file refers to it, as Linux frees a
// proc_dir_entry; a module must not keep pointers to entries it removed. Wait queue records
// live as long as the VFS (or a PollWatch that uses them), those in a module's memory until the
// module is unloaded.
//
// Locks: the tree, the descriptor table and the wait queue table each have a mutex, and no two
// of them are held together; per-entry call counts and per-file release state are guarded by
// the scheduler lock (a remover blocks on them). Module code is never called with any of them
// held. Lock order: a table's mutex (the tree's included), then a WaitQueue's lock, then the
// scheduler lock.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "attributes.h"
#include "descriptors.h"
#include "platform/procfs.h"
#include "poll.h"
#include "proc_tree.h"
#include "process.h"
#include "thread_safety.h"
#include "uaccess.h"
#include "wait.h"

namespace host {

struct ReadResult {
  ssize_t ret = 0;   // bytes read or a negative errno
  std::string data;  // the bytes read
};

class Vfs {
 public:
  Vfs();
  ~Vfs();
  Vfs(const Vfs&) = delete;
  Vfs& operator=(const Vfs&) = delete;

  // Removes every entry (with rundown) and closes every file.
  void shutdown();

  // procfs, as platform/procfs.h. parent nullptr means /proc.
  // `creator` is the caller's code address; the module loader uses it to find the entries a
  // module left behind.
  proc_dir_entry* proc_mkdir(const char* name, proc_dir_entry* parent, uintptr_t creator = 0);
  proc_dir_entry* proc_create(const char* name, umode_t mode, proc_dir_entry* parent,
                              const file_operations* fops, uintptr_t creator = 0);
  void remove_proc_entry(const char* name, proc_dir_entry* parent);

  // Attribute files under an absolute path (usually in /sys); missing directories are made.
  // false when the path exists already or a component is not a directory.
  bool add_attribute(const std::string& path, umode_t mode, AttrShow show, AttrStore store);
  // Makes a directory (and missing parents); true if it exists afterwards.
  bool mkdir_p(const std::string& path);
  // Removes a file or a whole directory tree, with rundown. false when nothing is there.
  bool remove(const std::string& path);

  // System calls. Results as Linux's: a descriptor, a count, a position or a negative errno.
  int open(Process& proc, const std::string& path, int flags);
  ssize_t read(Process& proc, int fd, const UserBuffer& buf, size_t count);
  ReadResult read(Process& proc, int fd, size_t count);
  ssize_t write(Process& proc, int fd, const UserBuffer& buf, size_t count);
  ssize_t write(Process& proc, int fd, std::string_view bytes);
  loff_t lseek(Process& proc, int fd, loff_t offset, int whence);
  // As poll(2): blocks in the scheduler until a descriptor is ready, the timeout (ms, < 0 for
  // none) runs out in the kernel's clock, or never. Returns the number of ready descriptors.
  int poll(Process& proc, std::vector<pollfd>& fds, int timeout_ms);
  int close(Process& proc, int fd);

  // Event-driven poll for callers that cannot block (the FUSE bridge): calls the file's poll
  // with a table that registers `on_wake` on every queue it waits on. on_wake runs in the
  // waker's context (see WaitQueue). Returns the mask at the time of the call and the watch that
  // keeps the registration. A one-shot watch leaves each queue when it fires, as one poll(2)
  // registration does; a lasting one stays until the watch is reset, as an epoll registration
  // does (the driver's remove waits for it to go). As with poll(2), a removed entry wakes
  // nobody.
  PollWatchResult poll_watch(Process& proc, int fd, std::function<void()> on_wake,
                             bool one_shot = true);

  // Tree queries.
  std::optional<std::vector<DirEntry>> readdir(const std::string& path);
  std::optional<Stat> stat(const std::string& path);
  bool exists(const std::string& path);
  // Open descriptors, over all processes.
  size_t open_files() const;
  // Entries (files and directories) allocated, removed or not, over every VFS.
  static size_t live_entries() { return ProcTree::live_entries(); }
  // Addresses of the wait queue heads in [begin, end) that still have waiters, with their
  // counts (the module loader's check at unload).
  std::vector<std::pair<const void*, size_t>> waited_queues_in(uintptr_t begin, uintptr_t end);
  // Forgets the records of the wait queue heads in [begin, end) that nobody waits on (a module's
  // memory at unload); a PollWatch still holding one keeps it alive. Returns how many went.
  size_t forget_queues_in(uintptr_t begin, uintptr_t end);
  // Wait queue records kept.
  size_t wait_queue_records() const;

  // Used by the module loader after a module's exit: removes every /proc entry whose file
  // operations lie in [begin, end) or belong to `owner`, and returns their paths.
  std::vector<std::string> remove_owned_by(uintptr_t begin, uintptr_t end, const module* owner);

  // Told the paths of the entries (files and directories) that left the tree, after each
  // removal, on the remover's task with no VFS lock held (the FUSE bridge drops what the host's
  // kernel cached of them). One listener; an empty function removes it. Once set_removal_
  // listener returns, the listener it replaced is no longer running.
  using RemovalListener = std::function<void(const std::vector<std::string>& paths)>;
  void set_removal_listener(RemovalListener listener);

  // The host record of a wait queue head, created at first use.
  std::shared_ptr<WaitQueue> wait_queue(wait_queue_head_t* head);
  // Gives a head a fresh record (init_waitqueue_head).
  void init_wait_queue(wait_queue_head_t* head);

 private:
  // Runs down the detached entries and tells the removal listener their paths.
  void finish_removal(const Detached& gone);
  template <class Handler>
  ssize_t file_call(Process& proc, int fd, fmode_t mode, const UserBuffer& buf, size_t count,
                    Handler handler);

  ProcTree tree_;
  DescriptorTable files_;
  WaitQueueTable queues_;
  // Held while the removal listener runs, so that replacing it waits for the calls in flight.
  lt::Mutex listener_mutex_;
  RemovalListener removal_listener_ LT_GUARDED_BY(listener_mutex_);
};

}  // namespace host
