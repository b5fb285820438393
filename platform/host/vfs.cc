// The VFS: the system calls on open files, and procfs and removal over the tree.
#include "vfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "faults.h"
#include "kernel.h"
#include "locks.h"
#include "platform/errno.h"

namespace host {
namespace {

constexpr size_t kMaxRwCount = INT_MAX & ~(static_cast<size_t>(kAttrPageSize) - 1);

}  // namespace

Vfs::Vfs() = default;
Vfs::~Vfs() = default;

// --- procfs and removal -----------------------------------------------------------------------

proc_dir_entry* Vfs::proc_mkdir(const char* name, proc_dir_entry* parent, uintptr_t creator) {
  return tree_.proc_mkdir(name, parent, creator);
}

proc_dir_entry* Vfs::proc_create(const char* name, umode_t mode, proc_dir_entry* parent,
                                 const file_operations* fops, uintptr_t creator) {
  return tree_.proc_create(name, mode, parent, fops, creator);
}

void Vfs::remove_proc_entry(const char* name, proc_dir_entry* parent) {
  Detached gone;
  tree_.detach_proc_entry(name, parent, &gone);
  finish_removal(gone);
  hook_point("remove_proc_entry");
}

bool Vfs::add_attribute(const std::string& path, umode_t mode, AttrShow show, AttrStore store) {
  return tree_.add_attribute(path, mode, std::move(show), std::move(store));
}

bool Vfs::mkdir_p(const std::string& path) { return tree_.mkdir_p(path); }

bool Vfs::remove(const std::string& path) {
  Detached gone;
  if (!tree_.detach(path, &gone)) return false;
  finish_removal(gone);
  return true;
}

std::vector<std::string> Vfs::remove_owned_by(uintptr_t begin, uintptr_t end, const module* owner) {
  Detached gone;
  std::vector<std::string> paths = tree_.detach_owned_by(begin, end, owner, &gone);
  finish_removal(gone);
  return paths;
}

void Vfs::shutdown() {
  Detached gone;
  tree_.detach_all(&gone);
  finish_removal(gone);
  files_.clear();
}

void Vfs::set_removal_listener(RemovalListener listener) {
  lt::MutexLock lock(listener_mutex_);
  removal_listener_ = std::move(listener);
}

void Vfs::finish_removal(const Detached& gone) {
  rundown(gone.nodes);
  if (gone.paths.empty()) return;
  lt::MutexLock listener(listener_mutex_);
  if (removal_listener_) removal_listener_(gone.paths);
}

// --- Tree queries -----------------------------------------------------------------------------

std::optional<std::vector<DirEntry>> Vfs::readdir(const std::string& path) {
  return tree_.readdir(path);
}

std::optional<Stat> Vfs::stat(const std::string& path) { return tree_.stat(path); }

bool Vfs::exists(const std::string& path) { return tree_.exists(path); }

size_t Vfs::open_files() const { return files_.size(); }

// --- Wait queues ------------------------------------------------------------------------------

std::shared_ptr<WaitQueue> Vfs::wait_queue(wait_queue_head_t* head) { return queues_.get(head); }

void Vfs::init_wait_queue(wait_queue_head_t* head) { queues_.init(head); }

std::vector<std::pair<const void*, size_t>> Vfs::waited_queues_in(uintptr_t begin, uintptr_t end) {
  return queues_.waited_in(begin, end);
}

size_t Vfs::forget_queues_in(uintptr_t begin, uintptr_t end) {
  return queues_.forget_in(begin, end);
}

size_t Vfs::wait_queue_records() const { return queues_.size(); }

// --- System calls -----------------------------------------------------------------------------

int Vfs::open(Process& proc, const std::string& path, int flags) {
  ProcessScope scope(proc);
  std::shared_ptr<proc_dir_entry> node = tree_.find(path);
  if (node == nullptr) return -ENOENT;
  const int acc = flags & O_ACCMODE;
  if (acc == O_ACCMODE) return -EINVAL;
  const bool want_read = acc == O_RDONLY || acc == O_RDWR;
  const bool want_write = acc == O_WRONLY || acc == O_RDWR;
  if (node->is_dir() && want_write) return -EISDIR;
  if (!permitted(proc, node->mode, want_read, want_write)) return -EACCES;

  auto f = std::make_shared<OpenFile>();
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
      open_failed(f);
      return ret < 0 ? ret : -EIO;
    }
  }
  const int fd = files_.install(f);
  open_succeeded(f);
  return fd;
}

int Vfs::close(Process& proc, int fd) {
  ProcessScope scope(proc);
  FileRef f = files_.take(proc, fd);
  if (f == nullptr) return -EBADF;
  put_file(f);
  return 0;
}

// The common path of read and write: the descriptor must be open for `mode`; the call runs with
// the user buffer mapped and the file position locked, and counts as in flight for removal.
// `handler` does the file's own work and returns its result.
template <class Handler>
ssize_t Vfs::file_call(Process& proc, int fd, fmode_t mode, const UserBuffer& buf, size_t count,
                       Handler handler) {
  ProcessScope scope(proc);
  FileRef f = files_.get(proc, fd);
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
  return file_call(proc, fd, FMODE_READ, buf, count, [&](OpenFile& f, size_t n) -> ssize_t {
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
  return file_call(proc, fd, FMODE_WRITE, buf, count, [&](OpenFile& f, size_t n) -> ssize_t {
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
  FileRef f = files_.get(proc, fd);
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

int Vfs::poll(Process& proc, std::vector<pollfd>& fds, int timeout_ms) {
  ProcessScope scope(proc);
  return poll_files(fds, timeout_ms, [&](int fd) { return files_.get(proc, fd); });
}

PollWatchResult Vfs::poll_watch(Process& proc, int fd, std::function<void()> on_wake,
                                bool one_shot) {
  ProcessScope scope(proc);
  FileRef f = files_.get(proc, fd);
  if (f == nullptr) {
    PollWatchResult r;
    r.mask = -EBADF;
    return r;
  }
  return watch_file(f, std::move(on_wake), one_shot);
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
