// The VFS tree, open files and the system calls on them; procfs entry points.
#include "vfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <set>

#include "faults.h"
#include "kernel.h"
#include "locks.h"
#include "platform/errno.h"
#include "timeline.h"
#include "tsan.h"
#include "warn.h"

// A poll table: the module passes it to poll_wait, which hands each wait queue to qproc.
struct poll_table_struct {
  void (*qproc)(struct file* filp, wait_queue_head_t* head, poll_table_struct* pt);
};

// An entry of the tree: a directory, a /proc file or an attribute file.
struct proc_dir_entry {
  std::string name;
  umode_t mode = 0;  // with the file type bits
  bool is_dir() const { return S_ISDIR(mode); }
  // Tree links: Vfs::mutex_.
  proc_dir_entry* parent = nullptr;
  std::map<std::string, std::shared_ptr<proc_dir_entry>> children;
  // What the entry serves; fixed at creation.
  const file_operations* fops = nullptr;
  bool attribute = false;
  host::AttrShow show;
  host::AttrStore store;
  uintptr_t creator = 0;  // return address of the creating call, to find a module's leftovers
  struct inode ino = {};
  bool linked = true;  // in the tree; Vfs::mutex_
  // Rundown state: scheduler lock.
  int in_flight = 0;
  bool removed = false;
  std::vector<host::Task*> removers;
  std::vector<std::shared_ptr<host::VfsFile>> files;  // open and not yet released

  proc_dir_entry() { live_entries.fetch_add(1, std::memory_order_relaxed); }
  ~proc_dir_entry() { live_entries.fetch_sub(1, std::memory_order_relaxed); }
  proc_dir_entry(const proc_dir_entry&) = delete;
  proc_dir_entry& operator=(const proc_dir_entry&) = delete;
  static inline std::atomic<size_t> live_entries{0};
};

namespace host {

struct VfsFile {
  std::shared_ptr<proc_dir_entry> node;
  struct file file = {};
  int pid = 0;
  Mutex pos_lock;  // serialises calls that use f_pos, as f_pos_lock does
  // An attribute file's page, filled by the first read and served to later reads that go on
  // from where the last one stopped, as sysfs's seq_file does; pos_lock.
  std::string attr_page;
  bool attr_filled = false;
  loff_t attr_next = 0;
  // Scheduler lock.
  int refs = 1;  // the descriptor table's reference plus calls in flight
  bool released = false;
};

namespace {

constexpr size_t kMaxRwCount = INT_MAX & ~(static_cast<size_t>(kAttrPageSize) - 1);

// The calling task acts for `proc` while this lives.
class ProcessScope {
 public:
  explicit ProcessScope(Process& proc) : task_(current()), prev_(task_.process) {
    task_.process = &proc;
  }
  ~ProcessScope() { task_.process = prev_; }
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  Task& task_;
  Process* prev_;
};

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  return parts;
}

// Linux DAC: root passes; others use the group bits (every entry belongs to gid 0) or the
// bits for others. Every entry belongs to uid 0, so no other user is ever its owner.
bool permitted(const Process& proc, umode_t mode, bool want_read, bool want_write) {
  if (proc.uid == 0) return true;
  const unsigned bits = proc.gid == 0 ? (mode >> 3) & 7u : mode & 7u;
  if (want_read && (bits & 4u) == 0) return false;
  if (want_write && (bits & 2u) == 0) return false;
  return true;
}

std::shared_ptr<proc_dir_entry> make_node(std::string name, umode_t mode) {
  auto n = std::make_shared<proc_dir_entry>();
  n->name = std::move(name);
  n->mode = mode;
  n->ino.i_mode = mode;
  return n;
}

using QueueEntries = std::vector<std::pair<std::shared_ptr<WaitQueue>, WaitQueue::Id>>;

// A poll table that registers a callback on every queue it is handed while qproc is set.
struct CallbackTable : poll_table_struct {
  std::function<void()> fn;
  QueueEntries* entries = nullptr;

  bool once = false;  // entries leave their queue when they fire

  CallbackTable(std::function<void()> f, QueueEntries* e, bool one_shot)
      : fn(std::move(f)), entries(e), once(one_shot) {
    qproc = &CallbackTable::add;
  }
  static void add(struct file*, wait_queue_head_t* head, poll_table_struct* pt) {
    if (head == nullptr) return;
    auto* table = static_cast<CallbackTable*>(pt);
    std::shared_ptr<WaitQueue> q = Kernel::get().vfs().wait_queue(head);
    // While a timeline records, the waiter notes each wake-up that reaches this poller.
    const WaitQueue::Id id = q->add(
        timeline_on() ? Timeline::traced_waiter(q.get(), table->fn) : table->fn, table->once);
    table->entries->emplace_back(std::move(q), id);
  }
};

void remove_entries(QueueEntries* entries) {
  for (auto& [q, id] : *entries) q->remove(id);
  entries->clear();
}

}  // namespace

// --- PollWatch --------------------------------------------------------------------------------

PollWatch::PollWatch(PollWatch&& other) noexcept : entries_(std::move(other.entries_)) {
  other.entries_.clear();
}

PollWatch& PollWatch::operator=(PollWatch&& other) noexcept {
  if (this != &other) {
    reset();
    entries_ = std::move(other.entries_);
    other.entries_.clear();
  }
  return *this;
}

PollWatch::~PollWatch() { reset(); }

void PollWatch::reset() { remove_entries(&entries_); }

// --- The tree ---------------------------------------------------------------------------------

Vfs::Vfs() {
  root_ = make_node("", S_IFDIR | 0755);
  proc_root_ = make_node("proc", S_IFDIR | 0555);
  sys_root_ = make_node("sys", S_IFDIR | 0755);
  proc_root_->parent = root_.get();
  sys_root_->parent = root_.get();
  root_->children["proc"] = proc_root_;
  root_->children["sys"] = sys_root_;
}

Vfs::~Vfs() = default;

std::shared_ptr<proc_dir_entry> Vfs::walk_locked(const std::string& path) const {
  std::shared_ptr<Node> n = root_;
  for (const std::string& part : split_path(path)) {
    if (!n->is_dir()) return nullptr;
    auto it = n->children.find(part);
    if (it == n->children.end()) return nullptr;
    n = it->second;
  }
  return n;
}

// The directory that holds the last component of `name` below `base` (procfs names may hold
// '/'-separated components), with that component in *leaf; nullptr when a component is
// missing, is no directory, or base is no longer in the tree.
std::shared_ptr<proc_dir_entry> Vfs::parent_of_locked(Node* base, const char* name,
                                                      std::string* leaf) const {
  if (base == nullptr || name == nullptr || !base->linked || !base->is_dir()) return nullptr;
  std::vector<std::string> parts = split_path(name);
  if (parts.empty()) return nullptr;
  // base is linked, so the tree holds a shared reference to it.
  std::shared_ptr<Node> dir;
  if (base == root_.get()) {
    dir = root_;
  } else {
    auto it = base->parent->children.find(base->name);
    if (it == base->parent->children.end()) return nullptr;
    dir = it->second;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    auto it = dir->children.find(parts[i]);
    if (it == dir->children.end() || !it->second->is_dir()) return nullptr;
    dir = it->second;
  }
  *leaf = parts.back();
  return dir;
}

std::shared_ptr<proc_dir_entry> Vfs::make_dirs_locked(const std::string& path) {
  std::shared_ptr<Node> n = root_;
  for (const std::string& part : split_path(path)) {
    if (!n->is_dir()) return nullptr;
    auto it = n->children.find(part);
    if (it == n->children.end()) {
      auto dir = make_node(part, S_IFDIR | 0755);
      dir->parent = n.get();
      n->children[part] = dir;
      n = dir;
    } else {
      n = it->second;
    }
  }
  return n->is_dir() ? n : nullptr;
}

std::string Vfs::path_of_locked(const Node* node) const {
  std::string path;
  for (const Node* n = node; n != nullptr && n != root_.get(); n = n->parent) {
    path = "/" + n->name + path;
  }
  return path.empty() ? "/" : path;
}

// --- procfs -----------------------------------------------------------------------------------

proc_dir_entry* Vfs::create(const char* call, const char* name, proc_dir_entry* parent,
                            std::shared_ptr<Node> node) {
  if (fault(call, name == nullptr ? "" : name)) return nullptr;
  std::string warning;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string leaf;
    std::shared_ptr<Node> dir =
        parent_of_locked(parent == nullptr ? proc_root_.get() : parent, name, &leaf);
    if (dir == nullptr) return nullptr;
    if (dir->children.count(leaf) != 0) {
      const std::string dir_name = dir == proc_root_ ? "/proc" : dir->name;
      warning = "proc_dir_entry '" + dir_name + "/" + leaf + "' already registered";
    } else {
      node->name = leaf;
      node->parent = dir.get();
      dir->children[leaf] = node;
      return node.get();
    }
  }
  warn_context("%s", warning.c_str());
  return nullptr;
}

proc_dir_entry* Vfs::proc_mkdir(const char* name, proc_dir_entry* parent, uintptr_t creator) {
  auto node = make_node("", S_IFDIR | 0555);
  node->creator = creator;
  return create("proc_mkdir", name, parent, std::move(node));
}

proc_dir_entry* Vfs::proc_create(const char* name, umode_t mode, proc_dir_entry* parent,
                                 const file_operations* fops, uintptr_t creator) {
  // As procfs: a regular file unless told otherwise, readable by all if no bits are given.
  if ((mode & S_IFMT) == 0) mode |= S_IFREG;
  if ((mode & 0777) == 0) mode |= 0444;
  auto node = make_node("", mode);
  node->fops = fops;
  node->creator = creator;
  return create("proc_create", name, parent, std::move(node));
}

void Vfs::remove_proc_entry(const char* name, proc_dir_entry* parent) {
  std::vector<std::shared_ptr<Node>> removed;
  std::vector<std::string> paths;
  std::string warning;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string leaf;
    std::shared_ptr<Node> dir =
        parent_of_locked(parent == nullptr ? proc_root_.get() : parent, name, &leaf);
    auto it = dir == nullptr ? decltype(dir->children)::iterator{} : dir->children.find(leaf);
    if (dir == nullptr || it == dir->children.end()) {
      warning = std::string("name '") + (name == nullptr ? "(null)" : name) + "'";
    } else {
      std::shared_ptr<Node> node = it->second;
      if (!node->children.empty()) {
        // Linux leaks the children here; they are run down and removed with the directory.
        const std::string dir_name = dir == proc_root_ ? "/proc" : dir->name;
        warning = "remove_proc_entry: removing non-empty directory '" + dir_name + "/" +
                  node->name + "', leaking at least '" + node->children.begin()->first + "'";
      }
      detach_locked(node, &removed, &paths);
    }
  }
  if (!warning.empty()) warn_context("%s", warning.c_str());
  rundown(removed);
  tell_removed(paths);
  hook_point("remove_proc_entry");
}

void Vfs::set_removal_listener(RemovalListener listener) {
  std::lock_guard<std::mutex> lock(listener_mutex_);
  removal_listener_ = std::move(listener);
}

void Vfs::tell_removed(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  std::lock_guard<std::mutex> listener(listener_mutex_);
  if (removal_listener_) removal_listener_(paths);
}

// Unlinks node and everything below it; collects them, top first, and their paths.
void Vfs::detach_locked(const std::shared_ptr<Node>& node, std::vector<std::shared_ptr<Node>>* out,
                        std::vector<std::string>* paths) {
  const size_t first = out->size();
  const std::string top = path_of_locked(node.get());
  std::vector<std::shared_ptr<Node>> stack{node};
  while (!stack.empty()) {
    std::shared_ptr<Node> n = stack.back();
    stack.pop_back();
    n->linked = false;
    out->push_back(n);
    for (auto& [child_name, child] : n->children) stack.push_back(child);
  }
  // Below the top, parents are removed nodes that the caller holds: the paths read safely.
  for (size_t i = first; i < out->size(); ++i) {
    const Node* n = (*out)[i].get();
    std::string below;
    for (const Node* m = n; m != node.get(); m = m->parent) below = "/" + m->name + below;
    paths->push_back(top + below);
  }
  if (node->parent != nullptr) node->parent->children.erase(node->name);
}

// Waits for the calls in flight on the removed entries and releases their open files. As in
// Linux, nobody is woken: pollers of a removed entry wait on whatever queue they were on.
// No lock is held.
void Vfs::rundown(const std::vector<std::shared_ptr<Node>>& nodes) {
  if (nodes.empty()) return;
  Scheduler& s = Kernel::get().sched();
  Task* self = &current();
  std::vector<File> to_release;
  {
    Scheduler::Lock lock(s);
    for (const auto& n : nodes) n->removed = true;
    for (const auto& n : nodes) {
      if (n->in_flight > 0) {
        n->removers.push_back(self);
        s.wait(lock, "proc entry rundown", [&] { return n->in_flight == 0; });
        n->removers.erase(std::find(n->removers.begin(), n->removers.end(), self));
      }
      for (File& f : n->files) {
        if (!f->released) {
          f->released = true;
          to_release.push_back(f);
        }
      }
      n->files.clear();
    }
  }
  for (const auto& n : nodes) tsan::acquire(n.get());
  for (const File& f : to_release) {
    const file_operations* fops = f->node->fops;
    if (fops != nullptr && fops->release != nullptr) fops->release(&f->node->ino, &f->file);
  }
}

// --- Attribute files and directories -------------------------------------------------------------

bool Vfs::add_attribute(const std::string& path, umode_t mode, AttrShow show, AttrStore store) {
  std::vector<std::string> parts = split_path(path);
  if (parts.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  std::string dir_path;
  for (size_t i = 0; i + 1 < parts.size(); ++i) dir_path += "/" + parts[i];
  std::shared_ptr<Node> dir = make_dirs_locked(dir_path);
  if (dir == nullptr || dir->children.count(parts.back()) != 0) return false;
  auto node = make_node(parts.back(), S_IFREG | (mode & 07777));
  node->attribute = true;
  node->show = std::move(show);
  node->store = std::move(store);
  node->parent = dir.get();
  dir->children[parts.back()] = node;
  return true;
}

bool Vfs::mkdir_p(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return make_dirs_locked(path) != nullptr;
}

bool Vfs::remove(const std::string& path) {
  std::vector<std::shared_ptr<Node>> removed;
  std::vector<std::string> paths;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Node> node = walk_locked(path);
    if (node == nullptr || node == root_ || node == proc_root_ || node == sys_root_) return false;
    detach_locked(node, &removed, &paths);
  }
  rundown(removed);
  tell_removed(paths);
  return true;
}

std::vector<std::string> Vfs::remove_owned_by(uintptr_t begin, uintptr_t end, const module* owner) {
  auto inside = [&](uintptr_t a) { return a >= begin && a < end; };
  std::vector<std::string> paths;
  std::vector<std::shared_ptr<Node>> removed;
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Node>> mine;
    std::vector<std::shared_ptr<Node>> stack{proc_root_};
    while (!stack.empty()) {
      std::shared_ptr<Node> n = stack.back();
      stack.pop_back();
      const bool owned =
          n != proc_root_ && (inside(n->creator) || inside(reinterpret_cast<uintptr_t>(n->fops)) ||
                              (n->fops != nullptr && owner != nullptr && n->fops->owner == owner));
      if (owned) {
        mine.push_back(n);
        continue;  // its subtree goes with it
      }
      for (auto& [name, child] : n->children) stack.push_back(child);
    }
    for (const auto& n : mine) {
      paths.push_back(path_of_locked(n.get()));
      detach_locked(n, &removed, &gone);
    }
  }
  rundown(removed);
  tell_removed(gone);
  return paths;
}

void Vfs::shutdown() {
  std::vector<std::shared_ptr<Node>> removed;
  std::vector<std::string> paths;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& top : {proc_root_, sys_root_}) {
      std::vector<std::shared_ptr<Node>> children;
      for (auto& [name, child] : top->children) children.push_back(child);
      for (const auto& c : children) detach_locked(c, &removed, &paths);
    }
  }
  rundown(removed);
  tell_removed(paths);
  std::lock_guard<std::mutex> lock(mutex_);
  files_.clear();
}

// --- Tree queries -----------------------------------------------------------------------------

std::optional<std::vector<DirEntry>> Vfs::readdir(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Node> n = walk_locked(path);
  if (n == nullptr || !n->is_dir()) return std::nullopt;
  std::vector<DirEntry> out;
  for (const auto& [name, child] : n->children) out.push_back({name, child->mode, child->is_dir()});
  return out;
}

std::optional<Stat> Vfs::stat(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Node> n = walk_locked(path);
  if (n == nullptr) return std::nullopt;
  return Stat{n->mode, n->is_dir()};
}

bool Vfs::exists(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return walk_locked(path) != nullptr;
}

size_t Vfs::open_files() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.size();
}

size_t Vfs::live_entries() { return proc_dir_entry::live_entries.load(std::memory_order_relaxed); }

// --- Open files -------------------------------------------------------------------------------

Vfs::File Vfs::get_file(Process& proc, int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(fd);
  if (it == files_.end() || it->second->pid != proc.pid) return nullptr;
  return it->second;
}

// Enters a call on f's entry; false once the entry is removed or the file released.
bool Vfs::begin_call(VfsFile& f) {
  Scheduler::Lock lock(Kernel::get().sched());
  if (f.released || f.node->removed) return false;
  ++f.node->in_flight;
  ++f.refs;
  return true;
}

// Leaves a call; the last reference of a closed file releases it (still counted in flight, so
// that a rundown waits for the release too).
void Vfs::end_call(const File& f) {
  Scheduler& s = Kernel::get().sched();
  bool release = false;
  {
    Scheduler::Lock lock(s);
    if (--f->refs == 0 && !f->released && !f->node->removed) {
      f->released = true;
      release = true;
    }
  }
  if (release) release_now(f);
  tsan::release(f->node.get());
  Scheduler::Lock lock(s);
  if (--f->node->in_flight == 0 && f->node->removed) {
    for (Task* t : f->node->removers) s.wake(t);
  }
}

void Vfs::release_now(const File& f) {
  const file_operations* fops = f->node->fops;
  if (fops != nullptr && fops->release != nullptr) fops->release(&f->node->ino, &f->file);
  Scheduler::Lock lock(Kernel::get().sched());
  auto& files = f->node->files;
  auto it = std::find(files.begin(), files.end(), f);
  if (it != files.end()) files.erase(it);
}

// Drops the descriptor table's reference.
void Vfs::put_file(const File& f) {
  Scheduler& s = Kernel::get().sched();
  {
    Scheduler::Lock lock(s);
    if (--f->refs > 0 || f->released || f->node->removed) return;
    // Released here, as a call in flight, so that a rundown that starts now waits for it.
    f->released = true;
    ++f->node->in_flight;
  }
  release_now(f);
  tsan::release(f->node.get());
  Scheduler::Lock lock(s);
  if (--f->node->in_flight == 0 && f->node->removed) {
    for (Task* t : f->node->removers) s.wake(t);
  }
}

int Vfs::open(Process& proc, const std::string& path, int flags) {
  ProcessScope scope(proc);
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    node = walk_locked(path);
  }
  if (node == nullptr) return -ENOENT;
  const int acc = flags & O_ACCMODE;
  if (acc == O_ACCMODE) return -EINVAL;
  const bool want_read = acc == O_RDONLY || acc == O_RDWR;
  const bool want_write = acc == O_WRONLY || acc == O_RDWR;
  if (node->is_dir() && want_write) return -EISDIR;
  if (!permitted(proc, node->mode, want_read, want_write)) return -EACCES;

  auto f = std::make_shared<VfsFile>();
  f->node = node;
  f->pid = proc.pid;
  f->file.f_pos = 0;
  f->file.f_flags = static_cast<unsigned>(flags);
  f->file.f_mode = (want_read ? FMODE_READ : 0u) | (want_write ? FMODE_WRITE : 0u);
  f->file.f_op = node->fops;
  f->file.f_inode = &node->ino;
  f->file.private_data = nullptr;
  f->refs = 0;
  if (!begin_call(*f)) return -ENOENT;  // refs 1 from here: the descriptor's
  if (node->fops != nullptr && node->fops->open != nullptr) {
    const int ret = node->fops->open(&node->ino, &f->file);
    if (ret != 0) {
      {
        // A failed open is never released.
        Scheduler::Lock lock(Kernel::get().sched());
        f->released = true;
      }
      end_call(f);
      return ret < 0 ? ret : -EIO;
    }
  }
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = next_fd_++;
    files_[fd] = f;
  }
  // The open happens before a removal that waits for it: the edge is stated before the
  // in-flight count drops.
  tsan::release(node.get());
  {
    Scheduler::Lock lock(Kernel::get().sched());
    node->files.push_back(f);
    // This call's reference becomes the descriptor's.
    --node->in_flight;
    if (node->in_flight == 0 && node->removed) {
      for (Task* t : node->removers) Kernel::get().sched().wake(t);
    }
  }
  return fd;
}

int Vfs::close(Process& proc, int fd) {
  ProcessScope scope(proc);
  File f;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(fd);
    if (it == files_.end() || it->second->pid != proc.pid) return -EBADF;
    f = it->second;
    files_.erase(it);
  }
  put_file(f);
  return 0;
}

// The page is filled by show at the first read, and again only when a read does not go on from
// where the last one stopped (after a seek): a value is never read half from one show and half
// from another.
ssize_t Vfs::attr_read(VfsFile& f, const UserBuffer& buf, size_t count) {
  if (!f.node->show) return -EIO;
  if (!f.attr_filled || f.file.f_pos != f.attr_next) {
    std::string page(kAttrPageSize + 1, '\0');
    ssize_t len = f.node->show(page.data());
    if (len < 0) return len;
    if (static_cast<size_t>(len) > kAttrPageSize) len = static_cast<ssize_t>(kAttrPageSize);
    page.resize(static_cast<size_t>(len));
    f.attr_page = std::move(page);
    f.attr_filled = true;
  }
  loff_t pos = f.file.f_pos;
  const ssize_t ret =
      simple_read_from_buffer(buf.data, count, &pos, f.attr_page.data(), f.attr_page.size());
  if (ret >= 0) {
    f.file.f_pos = pos;
    f.attr_next = pos;
  }
  return ret;
}

ssize_t Vfs::attr_write(VfsFile& f, const UserBuffer& buf, size_t count) {
  if (!f.node->store) return -EIO;
  if (count > kAttrPageSize) return -E2BIG;
  std::string page(count + 1, '\0');
  if (copy_from_user(page.data(), buf.data, count) != 0) return -EFAULT;
  const ssize_t ret = f.node->store(page.data(), count);
  if (ret > 0) f.file.f_pos += ret;
  return ret;
}

// The common path of read and write: the descriptor must be open for `mode`; the call runs with
// the user buffer mapped and the file position locked, and counts as in flight for removal.
// `handler` does the file's own work and returns its result.
template <class Handler>
ssize_t Vfs::file_call(Process& proc, int fd, fmode_t mode, const UserBuffer& buf, size_t count,
                       Handler handler) {
  ProcessScope scope(proc);
  File f = get_file(proc, fd);
  if (f == nullptr || (f->file.f_mode & mode) == 0) return -EBADF;
  if (f->node->is_dir()) return -EISDIR;
  if (count > kMaxRwCount) count = kMaxRwCount;
  if (!begin_call(*f)) return -EIO;
  ssize_t ret;
  {
    UserMemoryScope user(buf);
    std::lock_guard<Mutex> pos(f->pos_lock);
    ret = handler(*f, count);
  }
  end_call(f);
  return ret;
}

ssize_t Vfs::read(Process& proc, int fd, const UserBuffer& buf, size_t count) {
  return file_call(proc, fd, FMODE_READ, buf, count, [&](VfsFile& f, size_t n) -> ssize_t {
    if (f.node->attribute) return attr_read(f, buf, n);
    if (f.node->fops == nullptr || f.node->fops->read == nullptr) return -EIO;
    loff_t p = f.file.f_pos;
    ssize_t ret = f.node->fops->read(&f.file, static_cast<char*>(buf.data), n, &p);
    if (ret >= 0) f.file.f_pos = p;
    return ret;
  });
}

ReadResult Vfs::read(Process& proc, int fd, size_t count) {
  ReadResult r;
  r.data.assign(count, '\0');
  r.ret = read(proc, fd, UserBuffer::of(r.data.data(), count), count);
  r.data.resize(r.ret > 0 ? static_cast<size_t>(r.ret) : 0);
  return r;
}

ssize_t Vfs::write(Process& proc, int fd, const UserBuffer& buf, size_t count) {
  return file_call(proc, fd, FMODE_WRITE, buf, count, [&](VfsFile& f, size_t n) -> ssize_t {
    if (f.node->attribute) return attr_write(f, buf, n);
    if (f.node->fops == nullptr || f.node->fops->write == nullptr) return -EIO;
    loff_t p = f.file.f_pos;
    ssize_t ret = f.node->fops->write(&f.file, static_cast<const char*>(buf.data), n, &p);
    if (ret >= 0) f.file.f_pos = p;
    return ret;
  });
}

ssize_t Vfs::write(Process& proc, int fd, std::string_view bytes) {
  std::string copy(bytes);
  return write(proc, fd, UserBuffer::of(copy.data(), copy.size()), copy.size());
}

loff_t Vfs::lseek(Process& proc, int fd, loff_t offset, int whence) {
  ProcessScope scope(proc);
  File f = get_file(proc, fd);
  if (f == nullptr) return -EBADF;
  if (whence < SEEK_SET || whence > SEEK_HOLE) return -EINVAL;
  if (!begin_call(*f)) return -EINVAL;
  loff_t ret;
  {
    std::lock_guard<Mutex> pos(f->pos_lock);
    const file_operations* fops = f->node->fops;
    if (fops != nullptr && fops->llseek != nullptr) {
      ret = fops->llseek(&f->file, offset, whence);
    } else {
      ret = default_llseek(&f->file, offset, whence);
    }
    // A seek starts an attribute file's page afresh, as seq_lseek does.
    if (ret >= 0) f->attr_filled = false;
  }
  end_call(f);
  return ret;
}

// --- Poll -------------------------------------------------------------------------------------

// One call of the file's poll. A removed entry answers with the default mask, as Linux's
// proc_reg_poll does, and registers nothing.
__poll_t Vfs::poll_file(const File& f, poll_table* pt) {
  if (!begin_call(*f)) return DEFAULT_POLLMASK;
  __poll_t mask = DEFAULT_POLLMASK;
  const file_operations* fops = f->node->fops;
  if (!f->node->attribute && fops != nullptr && fops->poll != nullptr) {
    mask = fops->poll(&f->file, pt);
  }
  end_call(f);
  return mask;
}

int Vfs::poll(Process& proc, std::vector<pollfd>& fds, int timeout_ms) {
  ProcessScope scope(proc);
  Scheduler& s = Kernel::get().sched();
  Task* self = &current();
  bool triggered = false;  // scheduler lock
  QueueEntries entries;
  CallbackTable table(
      [&s, self, &triggered] {
        Scheduler::Lock lock(s);
        triggered = true;
        s.wake(self);
      },
      &entries, /*one_shot=*/false);
  std::optional<int64_t> deadline;
  if (timeout_ms >= 0) deadline = s.now() + static_cast<int64_t>(timeout_ms) * kNsPerMs;

  int count = 0;
  for (;;) {
    count = 0;
    for (pollfd& p : fds) {
      p.revents = 0;
      if (p.fd < 0) continue;
      File f = get_file(proc, p.fd);
      unsigned mask;
      if (f == nullptr) {
        mask = POLLNVAL;
      } else {
        mask = poll_file(f, &table);
        mask &= static_cast<unsigned>(static_cast<unsigned short>(p.events)) | POLLERR | POLLHUP;
      }
      if (mask != 0) {
        p.revents = static_cast<short>(mask);
        ++count;
        table.qproc = nullptr;  // no need to wait any more
      }
    }
    table.qproc = nullptr;
    if (count > 0 || timeout_ms == 0) break;
    bool timed_out;
    {
      Scheduler::Lock lock(s);
      timed_out = !s.wait(
          lock, "poll", [&] { return triggered; }, deadline);
      triggered = false;
    }
    for (auto& [q, id] : entries) tsan::acquire(q.get());
    if (timed_out) break;
  }
  remove_entries(&entries);
  return count;
}

PollWatchResult Vfs::poll_watch(Process& proc, int fd, std::function<void()> on_wake,
                                bool one_shot) {
  ProcessScope scope(proc);
  PollWatchResult r;
  File f = get_file(proc, fd);
  if (f == nullptr) {
    r.mask = -EBADF;
    return r;
  }
  CallbackTable table(std::move(on_wake), &r.watch.entries_, one_shot);
  r.mask = static_cast<int>(poll_file(f, &table));
  return r;
}

}  // namespace host

// --- The kernel interface ---------------------------------------------------------------------

extern "C" {

struct proc_dir_entry* proc_mkdir(const char* name, struct proc_dir_entry* parent) {
  return host::Kernel::get().vfs().proc_mkdir(
      name, parent, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

struct proc_dir_entry* proc_create(const char* name, umode_t mode, struct proc_dir_entry* parent,
                                   const struct file_operations* proc_fops) {
  return host::Kernel::get().vfs().proc_create(
      name, mode, parent, proc_fops, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void remove_proc_entry(const char* name, struct proc_dir_entry* parent) {
  host::Kernel::get().vfs().remove_proc_entry(name, parent);
}

void poll_wait(struct file* filp, wait_queue_head_t* wait_address, poll_table* p) {
  if (p != nullptr && p->qproc != nullptr && wait_address != nullptr) {
    p->qproc(filp, wait_address, p);
  }
}

// As Linux's default_llseek; /proc files have size 0.
loff_t default_llseek(struct file* file, loff_t offset, int whence) {
  const loff_t size = 0;
  switch (whence) {
    case SEEK_END:
      offset += size;
      break;
    case SEEK_CUR:
      if (offset == 0) return file->f_pos;
      offset += file->f_pos;
      break;
    case SEEK_DATA:
      if (offset >= size) return -ENXIO;
      break;
    case SEEK_HOLE:
      if (offset >= size) return -ENXIO;
      offset = size;
      break;
    default:
      break;
  }
  if (offset < 0) return -EINVAL;
  file->f_pos = offset;
  return offset;
}

}  // extern "C"
