// The tree of the VFS: a root with /proc and /sys, procfs entries, directories and attribute
// files, found by path.
//
// Permissions: every entry belongs to root (uid 0, gid 0); permitted() applies Linux DAC.
//
// Removal only takes entries out of the tree (detach): it collects them, with their paths, for
// the caller to run down (descriptors.h) and report. A detached entry is freed once no open file
// refers to it, as Linux frees a proc_dir_entry; a module must not keep pointers to entries it
// removed.
//
// Locks: the tree's mutex guards the entries' tree links (children, parent, linked). It is
// never held while module code runs, and no other lock of the VFS is taken under it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attributes.h"
#include "platform/procfs.h"
#include "thread_safety.h"

namespace host {
struct Process;
struct Task;
struct OpenFile;
}  // namespace host

// An entry of the tree: a directory, a /proc file or an attribute file.
struct proc_dir_entry {
  std::string name;
  umode_t mode = 0;  // with the file type bits
  bool is_dir() const { return S_ISDIR(mode); }
  // Tree links: the tree's mutex.
  proc_dir_entry* parent = nullptr;
  std::map<std::string, std::shared_ptr<proc_dir_entry>> children;
  // What the entry serves; fixed at creation.
  const file_operations* fops = nullptr;
  bool attribute = false;
  host::AttrShow show;
  host::AttrStore store;
  uintptr_t creator = 0;  // return address of the creating call, to find a module's leftovers
  struct inode ino = {};
  bool linked = true;  // in the tree; the tree's mutex
  // Rundown state: scheduler lock.
  int in_flight = 0;
  bool removed = false;
  std::vector<host::Task*> removers;
  std::vector<std::shared_ptr<host::OpenFile>> files;  // open and not yet released

  proc_dir_entry() { live_entries.fetch_add(1, std::memory_order_relaxed); }
  ~proc_dir_entry() { live_entries.fetch_sub(1, std::memory_order_relaxed); }
  proc_dir_entry(const proc_dir_entry&) = delete;
  proc_dir_entry& operator=(const proc_dir_entry&) = delete;
  static inline std::atomic<size_t> live_entries{0};
};

namespace host {

struct Stat {
  umode_t mode = 0;
  bool is_dir = false;
};

struct DirEntry {
  std::string name;
  umode_t mode = 0;
  bool is_dir = false;
};

// Entries taken out of the tree, each subtree top first, and their paths.
struct Detached {
  std::vector<std::shared_ptr<proc_dir_entry>> nodes;
  std::vector<std::string> paths;
};

// Whether `proc` may open an entry of `mode` for reading and/or writing (Linux DAC).
bool permitted(const Process& proc, umode_t mode, bool want_read, bool want_write);

class ProcTree {
 public:
  ProcTree();
  ProcTree(const ProcTree&) = delete;
  ProcTree& operator=(const ProcTree&) = delete;

  // procfs, as platform/procfs.h. parent nullptr means /proc; `creator` as Vfs's.
  proc_dir_entry* proc_mkdir(const char* name, proc_dir_entry* parent, uintptr_t creator);
  proc_dir_entry* proc_create(const char* name, umode_t mode, proc_dir_entry* parent,
                              const file_operations* fops, uintptr_t creator);
  // Detaches the named entry and everything below it, warning as Linux does when there is no
  // such entry or it is a directory with entries.
  void detach_proc_entry(const char* name, proc_dir_entry* parent, Detached* out);

  // As Vfs's.
  bool add_attribute(const std::string& path, umode_t mode, AttrShow show, AttrStore store);
  bool mkdir_p(const std::string& path);
  // Detaches what is at `path` and everything below it; false when nothing is there or it is
  // the root, /proc or /sys.
  bool detach(const std::string& path, Detached* out);
  // Detaches every /proc entry whose file operations lie in [begin, end) or belong to `owner`
  // (or that was created from there), with its subtree; returns the paths of those entries.
  std::vector<std::string> detach_owned_by(uintptr_t begin, uintptr_t end, const module* owner,
                                           Detached* out);
  // Detaches everything below /proc and /sys.
  void detach_all(Detached* out);

  // The entry at `path`, nullptr when there is none.
  std::shared_ptr<proc_dir_entry> find(const std::string& path) const;
  std::optional<std::vector<DirEntry>> readdir(const std::string& path) const;
  std::optional<Stat> stat(const std::string& path) const;
  bool exists(const std::string& path) const;
  // Entries (files and directories) allocated, removed or not, over every tree.
  static size_t live_entries();

 private:
  using Node = proc_dir_entry;

  std::shared_ptr<Node> walk_locked(const std::string& path) const LT_REQUIRES(mutex_);
  std::shared_ptr<Node> parent_of_locked(Node* base, const char* name, std::string* leaf) const
      LT_REQUIRES(mutex_);
  std::shared_ptr<Node> make_dirs_locked(const std::string& path) LT_REQUIRES(mutex_);
  proc_dir_entry* create(const char* call, const char* name, proc_dir_entry* parent,
                         std::shared_ptr<Node> node);
  void detach_locked(const std::shared_ptr<Node>& node, Detached* out) LT_REQUIRES(mutex_);
  std::string path_of_locked(const Node* node) const LT_REQUIRES(mutex_);

  mutable lt::Mutex mutex_;  // guards the tree links of every entry
  std::shared_ptr<Node> root_;
  std::shared_ptr<Node> proc_root_;
  std::shared_ptr<Node> sys_root_;
};

}  // namespace host
