#define FUSE_USE_VERSION 31
#include "tools/sim/fuse_bridge.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/host/locks.h"
#include "platform/host/sched.h"
#include "platform/host/vfs.h"

namespace sim {

// The poll registration of one open file and its pending notification. The registration is
// held as a program's epoll registration would be: it lasts while the file is open, and after
// every wake-up the notifier polls the file again and puts the new registration in place of the
// old one. So the owner of a wait queue sees it leave as soon as the file's poll stops
// registering (a device that goes away answers POLLERR | POLLHUP and waits on nothing), and a
// hang-up once seen is kept for the caller's next poll, which may come after the entry is gone.
// The wait-queue callback only queues the slot for the notifier.
struct FuseBridge::PollSlot : std::enable_shared_from_this<FuseBridge::PollSlot> {
  FuseBridge* bridge = nullptr;
  host::Process proc;
  int fd = -1;  // the VFS descriptor

  std::mutex mutex;  // guards the members below; never held while calling into the VFS
  fuse_pollhandle* ph = nullptr;
  host::PollWatch watch;
  unsigned hung_up = 0;  // POLLERR | POLLHUP once the file reported them
  bool queued = false;   // waiting for the notifier
  bool closed = false;

  // The caller's handle, to notify at the next wake-up.
  void set(fuse_pollhandle* next) {
    fuse_pollhandle* old;
    {
      std::lock_guard<std::mutex> l(mutex);
      old = ph;
      ph = closed ? nullptr : next;
      if (closed) old = next;
    }
    if (old) fuse_pollhandle_destroy(old);
  }
  // In the waker's context: hands the slot to the notifier, once until it is served.
  void fire() {
    {
      std::lock_guard<std::mutex> l(mutex);
      if (queued || closed) return;
      queued = true;
    }
    bridge->notify_later(shared_from_this());
  }
  // The notifier's turn: the handle to notify, if any.
  fuse_pollhandle* serve() {
    std::lock_guard<std::mutex> l(mutex);
    queued = false;
    fuse_pollhandle* p = ph;
    ph = nullptr;
    return p;
  }
  // Polls the file, registering anew; returns its mask with a hang-up seen before, or a
  // negative errno.
  int rearm() {
    std::weak_ptr<PollSlot> self = weak_from_this();
    host::PollWatchResult r = bridge->vfs().poll_watch(
        proc, fd,
        [self] {
          if (std::shared_ptr<PollSlot> s = self.lock()) s->fire();
        },
        /*one_shot=*/false);
    host::PollWatch old;
    unsigned latched;
    {
      std::lock_guard<std::mutex> l(mutex);
      if (r.mask > 0) hung_up |= static_cast<unsigned>(r.mask) & (POLLERR | POLLHUP);
      latched = hung_up;
      if (closed) {
        old = std::move(r.watch);
      } else {
        old = std::move(watch);
        watch = std::move(r.watch);
      }
    }
    old.reset();
    return r.mask < 0 ? r.mask : static_cast<int>(static_cast<unsigned>(r.mask) | latched);
  }
  // At release: the registration goes and nothing is notified any more.
  void close() {
    host::PollWatch old;
    fuse_pollhandle* p;
    {
      std::lock_guard<std::mutex> l(mutex);
      closed = true;
      old = std::move(watch);
      p = ph;
      ph = nullptr;
    }
    old.reset();
    if (p) fuse_pollhandle_destroy(p);
  }
};

struct FuseBridge::Handle {
  enum class Kind { kVfs, kText, kControl } kind = Kind::kVfs;
  host::Process proc;
  int fd = -1;                           // the VFS descriptor (kVfs)
  std::string text;                      // what a fresh open showed (kText, kControl)
  const ControlFile* control = nullptr;  // kControl
  host::Mutex position;                  // serialises seek-and-transfer pairs on fd
  std::shared_ptr<PollSlot> slot = std::make_shared<PollSlot>();
};

namespace {

FuseBridge& bridge() { return *static_cast<FuseBridge*>(fuse_get_context()->private_data); }

FuseBridge::Handle* handle_of(fuse_file_info* fi) {
  return reinterpret_cast<FuseBridge::Handle*>(static_cast<uintptr_t>(fi->fh));
}

std::string comm_of(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(f, name);
  return name.empty() ? "pid" + std::to_string(pid) : name;
}

host::Process caller() {
  const fuse_context* c = fuse_get_context();
  host::Process p;
  p.pid = c->pid;
  p.uid = c->uid == bridge().owner_uid() ? 0 : c->uid;
  p.gid = c->gid == bridge().owner_gid() ? 0 : c->gid;
  p.name = comm_of(c->pid);
  return p;
}

const ControlFile* control_named(std::string_view path) {
  if (!path.starts_with("/sim/")) return nullptr;
  std::string_view name = path.substr(5);
  for (const ControlFile& c : bridge().controls()) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// A serialised seek to the caller's offset, then the transfer.
class AtOffset {
 public:
  AtOffset(FuseBridge::Handle* h, off_t offset) : h_(h) {
    h_->position.lock();
    ok_ = bridge().vfs().lseek(h_->proc, h_->fd, offset, SEEK_SET);
  }
  ~AtOffset() { h_->position.unlock(); }
  // The seek's result: the offset, or a negative errno.
  loff_t result() const { return ok_; }
  // The error of the transfer after a failed seek. A seek to a non-negative offset fails only
  // on an entry removed under its open file (EINVAL, as Linux's proc seek says); a read or
  // write there fails with EIO, which is what the caller must see.
  int failed() const { return ok_ == -EINVAL ? -EIO : static_cast<int>(ok_); }

 private:
  FuseBridge::Handle* h_;
  loff_t ok_;
};

int serve_text(const std::string& text, char* buf, size_t size, off_t offset) {
  if (offset < 0) return -EINVAL;
  if (static_cast<size_t>(offset) >= text.size()) return 0;
  size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
  std::memcpy(buf, text.data() + offset, n);
  return static_cast<int>(n);
}

void* op_init(fuse_conn_info*, fuse_config* cfg) {
  // Nothing is cached: entries come and go with the driver, sizes are unknown.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->use_ino = 0;
  cfg->nullpath_ok = 0;
  return fuse_get_context()->private_data;
}

int op_getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  std::string_view p = path;
  st->st_uid = bridge().owner_uid();
  st->st_gid = bridge().owner_gid();
  if (p == "/" || p == "/sim") {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (p == "/kernel.log") {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    return 0;
  }
  if (p.starts_with("/sim/")) {
    const ControlFile* c = control_named(p);
    if (!c) return -ENOENT;
    st->st_mode = S_IFREG | (c->mode & 07777);
    st->st_nlink = 1;
    return 0;
  }
  std::optional<host::Stat> s = bridge().vfs().stat(path);
  if (!s) return -ENOENT;
  if (s->is_dir) {
    st->st_mode = S_IFDIR | ((s->mode & 07777) ? (s->mode & 07777) : 0555);
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | (s->mode & 07777);
    st->st_nlink = 1;
  }
  return 0;
}

int op_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
  std::string_view p = path;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  auto add = [&](const std::string& name) {
    fill(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  };
  if (p == "/") {
    add("proc");
    add("sys");
    add("kernel.log");
    add("sim");
    return 0;
  }
  if (p == "/sim") {
    for (const ControlFile& c : bridge().controls()) add(c.name);
    return 0;
  }
  auto entries = bridge().vfs().readdir(path);
  if (!entries) return -ENOENT;
  for (const host::DirEntry& e : *entries) add(e.name);
  return 0;
}

int op_open(const char* path, fuse_file_info* fi) {
  std::string_view p = path;
  auto h = std::make_unique<FuseBridge::Handle>();
  h->proc = caller();
  h->slot->bridge = &bridge();
  if (p == "/kernel.log") {
    h->kind = FuseBridge::Handle::Kind::kText;
    h->text = bridge().kernel_log();
  } else if (p.starts_with("/sim/")) {
    const ControlFile* c = control_named(p);
    if (!c) return -ENOENT;
    h->kind = FuseBridge::Handle::Kind::kControl;
    h->control = c;
    if ((fi->flags & O_ACCMODE) != O_WRONLY && c->read) h->text = c->read();
  } else {
    int fd = bridge().vfs().open(h->proc, path, fi->flags & (O_ACCMODE | O_NONBLOCK));
    if (fd < 0) return fd;
    h->fd = fd;
    h->slot->proc = h->proc;
    h->slot->fd = fd;
  }
  fi->direct_io = 1;
  fi->keep_cache = 0;
  bridge().track(h.get());
  fi->fh = reinterpret_cast<uintptr_t>(h.release());
  return 0;
}

int op_read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  if (h->kind != FuseBridge::Handle::Kind::kVfs) return serve_text(h->text, buf, size, offset);
  AtOffset at(h, offset);
  if (at.result() < 0) return at.failed();
  ssize_t n = bridge().vfs().read(h->proc, h->fd, host::UserBuffer::of(buf, size), size);
  return static_cast<int>(n);
}

int op_write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  if (h->kind == FuseBridge::Handle::Kind::kText) return -EBADF;
  if (h->kind == FuseBridge::Handle::Kind::kControl) {
    if (!h->control->write) return -EIO;
    int r = h->control->write(std::string(buf, size));
    return r < 0 ? r : static_cast<int>(size);
  }
  AtOffset at(h, offset);
  if (at.result() < 0) return at.failed();
  ssize_t n = bridge().vfs().write(h->proc, h->fd,
                                   host::UserBuffer::of(const_cast<char*>(buf), size), size);
  return static_cast<int>(n);
}

int op_truncate(const char*, off_t, fuse_file_info*) {
  // As on /proc and /sys, "> file" truncates nothing.
  return 0;
}

int op_poll(const char*, fuse_file_info* fi, fuse_pollhandle* ph, unsigned* reventsp) {
  FuseBridge::Handle* h = handle_of(fi);
  if (h->kind != FuseBridge::Handle::Kind::kVfs) {
    if (ph) fuse_pollhandle_destroy(ph);
    *reventsp = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    return 0;
  }
  // The handle is stored before the file is polled, so a wake-up right after the
  // registration finds it.
  if (ph) h->slot->set(ph);
  int mask = h->slot->rearm();
  if (mask < 0) return mask;
  *reventsp = static_cast<unsigned>(mask);
  return 0;
}

int op_release(const char*, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  h->slot->close();
  if (h->kind == FuseBridge::Handle::Kind::kVfs) bridge().vfs().close(h->proc, h->fd);
  bridge().untrack(h);
  delete h;
  return 0;
}

const fuse_operations kOperations = [] {
  fuse_operations ops{};
  ops.init = op_init;
  ops.getattr = op_getattr;
  ops.readdir = op_readdir;
  ops.open = op_open;
  ops.read = op_read;
  ops.write = op_write;
  ops.truncate = op_truncate;
  ops.poll = op_poll;
  ops.release = op_release;
  return ops;
}();

}  // namespace

FuseBridge::FuseBridge(host::Vfs& vfs, std::function<std::string()> kernel_log,
                       std::vector<ControlFile> controls)
    : vfs_(vfs),
      kernel_log_(std::move(kernel_log)),
      controls_(std::move(controls)),
      owner_uid_(::geteuid()),
      owner_gid_(::getegid()) {}

FuseBridge::~FuseBridge() { unmount(); }

void FuseBridge::clean_stale(const std::string& dir) {
  std::string cmd = "fusermount3 -u -z '" + dir + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    // Nothing was mounted there; that is the usual case.
  }
}

bool FuseBridge::others_may_use_mounts() {
  if (::geteuid() == 0) return true;
  std::ifstream conf("/etc/fuse.conf");
  std::string line;
  while (std::getline(conf, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, 16, "user_allow_other") == 0) {
      return true;
    }
  }
  return false;
}

int FuseBridge::mount(const std::string& dir, std::string* why) {
  if (fuse_) return -EBUSY;
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    *why = "/dev/fuse is not available";
    return -ENODEV;
  }
  // Other users may use the mount only with allow_other, which fusermount3 grants a user who
  // is not root only when /etc/fuse.conf says user_allow_other; without it the mount is the
  // owner's alone.
  const char* argv[] = {"lt7911-sim", "-o",
                        others_may_use_mounts()
                            ? "default_permissions,allow_other,fsname=lt7911-sim,subtype=lt7911"
                            : "default_permissions,fsname=lt7911-sim,subtype=lt7911"};
  // fuse_args may be rewritten by libfuse; give it its own copies.
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse* f = fuse_new(&args, &kOperations, sizeof kOperations, this);
  fuse_opt_free_args(&args);
  if (!f) {
    *why = "fuse_new failed";
    return -EINVAL;
  }
  if (fuse_mount(f, dir.c_str()) != 0) {
    fuse_destroy(f);
    *why = "cannot mount at " + dir;
    return -EIO;
  }
  fuse_ = f;
  dir_ = dir;
  {
    std::lock_guard<std::mutex> l(notify_mutex_);
    stopping_ = false;
  }
  notifier_ = std::thread([this] { notifier_loop(); });
  loop_ = std::thread([f] { fuse_loop_mt(f, 0); });
  return 0;
}

void FuseBridge::unmount() {
  if (!fuse_) return;
  // Detach the mount first: the kernel ends the connection, the request threads' reads of
  // the device fail and the loop returns. Only then is the device closed (fuse_unmount), so no
  // request thread still reads a descriptor being closed.
  fuse_exit(fuse_);
  if (::umount2(dir_.c_str(), MNT_DETACH) != 0) clean_stale(dir_);
  if (loop_.joinable()) loop_.join();
  fuse_unmount(fuse_);
  {
    std::lock_guard<std::mutex> l(notify_mutex_);
    stopping_ = true;
  }
  notify_cv_.notify_all();
  if (notifier_.joinable()) notifier_.join();
  fuse_destroy(fuse_);
  fuse_ = nullptr;
  // Files the kernel never released (the mount went away under them).
  std::vector<Handle*> left;
  {
    std::lock_guard<std::mutex> l(notify_mutex_);
    left.swap(handles_);
  }
  for (Handle* h : left) {
    h->slot->close();
    if (h->kind == Handle::Kind::kVfs) vfs_.close(h->proc, h->fd);
    delete h;
  }
}

void FuseBridge::notify_later(std::shared_ptr<PollSlot> slot) {
  {
    std::lock_guard<std::mutex> l(notify_mutex_);
    if (stopping_) return;  // the slot's handle goes when its file is released
    pending_.push_back(std::move(slot));
  }
  notify_cv_.notify_one();
}

void FuseBridge::track(Handle* h) {
  std::lock_guard<std::mutex> l(notify_mutex_);
  handles_.push_back(h);
}

void FuseBridge::untrack(Handle* h) {
  std::lock_guard<std::mutex> l(notify_mutex_);
  handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
}

void FuseBridge::notifier_loop() {
  std::unique_lock<std::mutex> l(notify_mutex_);
  for (;;) {
    notify_cv_.wait(l, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty() && stopping_) return;
    std::shared_ptr<PollSlot> slot = std::move(pending_.front());
    pending_.pop_front();
    l.unlock();
    fuse_pollhandle* ph = slot->serve();
    slot->rearm();
    if (ph) {
      fuse_notify_poll(ph);
      fuse_pollhandle_destroy(ph);
    }
    l.lock();
  }
}

}  // namespace sim
