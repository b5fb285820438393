// A small VFS: a tree with /proc and /sys, procfs entries, attribute files, open files, reads,
// writes, seeks, poll, wait queues and user memory.
//
// Processes. A simulated process is a Process record owned by its caller; every system call
// names the process it acts for, and while the call runs the calling task acts for it
// (Task::process). File descriptors are numbered from 3 across the whole VFS; a descriptor can
// only be used by the process that opened it (-EBADF otherwise).
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
// Locks: mutex_ guards the tree and the descriptor table; per-entry call counts and per-file
// release state are guarded by the scheduler lock (a remover blocks on them). Module code is
// never called with either held. Lock order: mutex_, then a WaitQueue's lock, then the
// scheduler lock.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/procfs.h"
#include "sched.h"

namespace host {

// What a file without a .poll operation reports.
constexpr unsigned kDefaultPollMask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;

struct Process {
  int pid = 0;
  unsigned uid = 0;
  unsigned gid = 0;
  std::string name;
};

// The process the calling task acts for, or nullptr outside a VFS call.
Process* current_process();

// A piece of user memory: `size` bytes at `data`, of which the first `accessible` can be
// touched; a copy that reaches beyond them faults there.
struct UserBuffer {
  void* data = nullptr;
  size_t size = 0;
  size_t accessible = 0;

  // All bytes accessible.
  static UserBuffer of(void* data, size_t size) { return {data, size, size}; }
  // Faults after the first `accessible` bytes.
  static UserBuffer faulting_after(void* data, size_t size, size_t accessible) {
    return {data, size, accessible < size ? accessible : size};
  }
  // An address that is not mapped at all: every copy faults at its first byte.
  static UserBuffer unmapped(size_t size) { return {nullptr, size, 0}; }
};

// Makes `buf` part of the calling task's user memory until destroyed. The VFS opens one for
// the buffer of every read and write; tests that call copy_*_user directly open their own.
// Scopes nest; they must be destroyed in the reverse order, on the task that made them.
class UserMemoryScope {
 public:
  explicit UserMemoryScope(const UserBuffer& buf);
  ~UserMemoryScope();
  UserMemoryScope(const UserMemoryScope&) = delete;
  UserMemoryScope& operator=(const UserMemoryScope&) = delete;
};

// The host record behind a wait_queue_head_t. Entries are callbacks that wake() runs under the
// queue's own lock, in the waker's context (hard interrupts included): they must not block,
// must not call into the module or the VFS and must not add or remove entries of this queue;
// queueing a notification for later is what they are for. A one-shot entry leaves the queue
// when it has run (as an auto-removing wait entry does).
class WaitQueue : public std::enable_shared_from_this<WaitQueue> {
 public:
  using Id = uint64_t;
  explicit WaitQueue(const void* head = nullptr) : head_(head) {}
  Id add(std::function<void()> fn, bool once = false);
  void remove(Id id);
  // Runs every entry. Safe in any context.
  void wake();
  size_t waiters() const;
  // The address of the wait_queue_head_t this record stands behind.
  const void* head() const { return head_; }

 private:
  struct Entry {
    Id id;
    std::function<void()> fn;
    bool once;
  };
  const void* const head_;
  mutable std::mutex mutex_;  // guards entries_ and next_id_; held while entries run
  std::vector<Entry> entries_;
  Id next_id_ = 1;
};

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
  friend class Vfs;
  std::vector<std::pair<std::shared_ptr<WaitQueue>, WaitQueue::Id>> entries_;
};

struct PollWatchResult {
  int mask = 0;  // the file's whole poll mask, or a negative errno (-EBADF)
  PollWatch watch;
};

struct ReadResult {
  ssize_t ret = 0;   // bytes read or a negative errno
  std::string data;  // the bytes read
};

struct Stat {
  umode_t mode = 0;
  bool is_dir = false;
};

struct DirEntry {
  std::string name;
  umode_t mode = 0;
  bool is_dir = false;
};

// Attribute files (sysfs style). show fills a page of kAttrPageSize bytes and returns the
// length or a negative errno; store gets the written bytes NUL-terminated and returns the count
// consumed or a negative errno. Either may be empty: reads or writes then fail with -EIO.
constexpr size_t kAttrPageSize = 4096;
using AttrShow = std::function<ssize_t(char* page)>;
using AttrStore = std::function<ssize_t(const char* buf, size_t count)>;

struct VfsFile;  // an open file (internal)

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
  static size_t live_entries();
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
  using Node = proc_dir_entry;
  using File = std::shared_ptr<VfsFile>;

  std::shared_ptr<Node> walk_locked(const std::string& path) const;
  std::shared_ptr<Node> parent_of_locked(Node* base, const char* name, std::string* leaf) const;
  std::shared_ptr<Node> make_dirs_locked(const std::string& path);
  proc_dir_entry* create(const char* call, const char* name, proc_dir_entry* parent,
                         std::shared_ptr<Node> node);
  File get_file(Process& proc, int fd);
  void detach_locked(const std::shared_ptr<Node>& node, std::vector<std::shared_ptr<Node>>* out,
                     std::vector<std::string>* paths);
  void tell_removed(const std::vector<std::string>& paths);
  void rundown(const std::vector<std::shared_ptr<Node>>& nodes);
  bool begin_call(VfsFile& f);
  void end_call(const File& f);
  void put_file(const File& f);
  void release_now(const File& f);
  std::string path_of_locked(const Node* node) const;
  __poll_t poll_file(const File& f, poll_table* pt);
  template <class Handler>
  ssize_t file_call(Process& proc, int fd, fmode_t mode, const UserBuffer& buf, size_t count,
                    Handler handler);
  ssize_t attr_read(VfsFile& f, const UserBuffer& buf, size_t count);
  ssize_t attr_write(VfsFile& f, const UserBuffer& buf, size_t count);

  mutable std::mutex mutex_;  // guards the tree (the nodes' children and parents), files_,
                              // next_fd_ and queues_
  std::shared_ptr<Node> root_;
  std::shared_ptr<Node> proc_root_;
  std::shared_ptr<Node> sys_root_;
  std::map<int, File> files_;
  int next_fd_ = 3;
  std::unordered_map<const void*, std::shared_ptr<WaitQueue>> queues_;  // by address
  // Held while the removal listener runs, so that replacing it waits for the calls in flight.
  std::mutex listener_mutex_;
  RemovalListener removal_listener_;  // listener_mutex_
};

}  // namespace host
