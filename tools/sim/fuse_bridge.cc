#define FUSE_USE_VERSION 312
#include "tools/sim/fuse_bridge.h"

#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "platform/host/locks.h"
#include "platform/host/log.h"
#include "platform/host/sched.h"
#include "platform/host/thread_safety.h"
#include "platform/host/vfs.h"

namespace sim {

// The poll registration of one open file and its pending notification. The registration is
// held as a program's epoll registration would be: it lasts while the file is open, and after
// every wake-up the notifier polls the file again and puts the new registration in place of the
// old one. So the owner of a wait queue sees it leave as soon as the file's poll stops
// registering (a device that goes away answers POLLERR | POLLHUP and waits on nothing), and a
// hang-up once seen is kept for the caller's next poll, which may come after the entry is gone.
// A poll answered with what its caller waits for keeps no registration, as poll(2) leaves the
// queues when it returns. The wait-queue callback only queues the slot for the notifier, which
// notifies first and polls again after; a caller's own poll in between stands (the notifier's
// new registration is dropped).
struct FuseBridge::PollSlot : std::enable_shared_from_this<FuseBridge::PollSlot> {
  FuseBridge* bridge = nullptr;
  host::Process proc;  // its name is looked up at the first poll (the timeline names pollers)
  std::once_flag named;
  int fd = -1;  // the VFS descriptor

  lt::Mutex mutex;  // never held while calling into the VFS
  fuse_pollhandle* ph LT_GUARDED_BY(mutex) = nullptr;
  host::PollWatch watch LT_GUARDED_BY(mutex);
  unsigned hung_up LT_GUARDED_BY(mutex) = 0;  // POLLERR | POLLHUP once the file reported them
  bool queued LT_GUARDED_BY(mutex) = false;   // waiting for the notifier
  bool closed LT_GUARDED_BY(mutex) = false;
  uint64_t polls LT_GUARDED_BY(mutex) = 0;  // the caller's polls so far

  // The caller's handle, to notify at the next wake-up.
  void set(fuse_pollhandle* next) {
    fuse_pollhandle* old;
    {
      lt::MutexLock l(mutex);
      old = ph;
      ph = closed ? nullptr : next;
      if (closed) old = next;
    }
    if (old) fuse_pollhandle_destroy(old);
  }
  // In the waker's context: hands the slot to the notifier, once until it is served.
  void fire() {
    {
      lt::MutexLock l(mutex);
      if (queued || closed) return;
      queued = true;
    }
    bridge->notify_later(shared_from_this());
  }
  // The notifier's turn: the handle to notify, if any, and the caller's polls so far.
  fuse_pollhandle* serve(uint64_t* polls_seen) {
    lt::MutexLock l(mutex);
    queued = false;
    fuse_pollhandle* p = ph;
    ph = nullptr;
    *polls_seen = polls;
    return p;
  }
  // Polls the file, registering anew unless the answer holds what the caller waits for
  // (events); returns the mask with a hang-up seen before, or a negative errno. The caller's
  // poll (by_caller) always puts its registration in place; the notifier's (events 0) only
  // while the caller has not polled since polls_seen.
  int rearm(unsigned events, bool by_caller, uint64_t polls_seen = 0) {
    if (!by_caller) {
      // The caller has polled again since the notification: its registration stands.
      lt::MutexLock l(mutex);
      if (polls != polls_seen || closed) return 0;
    }
    std::weak_ptr<PollSlot> self = weak_from_this();
    host::PollWatchResult r = bridge->vfs().poll_watch(
        proc, fd,
        [self] {
          if (std::shared_ptr<PollSlot> s = self.lock()) s->fire();
        },
        /*one_shot=*/false);
    host::PollWatch old;
    host::PollWatch dropped;
    fuse_pollhandle* answered_ph = nullptr;
    unsigned latched;
    {
      lt::MutexLock l(mutex);
      if (by_caller) ++polls;
      if (r.mask > 0) hung_up |= static_cast<unsigned>(r.mask) & (POLLERR | POLLHUP);
      latched = hung_up;
      const unsigned mask = r.mask < 0 ? 0u : static_cast<unsigned>(r.mask) | latched;
      const bool answered =
          r.mask < 0 || (events != 0 && (mask & (events | POLLERR | POLLHUP | POLLNVAL)) != 0);
      if (!by_caller && polls != polls_seen) {
        dropped = std::move(r.watch);  // the caller's own poll came after: it stands
      } else {
        old = std::move(watch);
        if (closed || answered) {
          dropped = std::move(r.watch);
        } else {
          watch = std::move(r.watch);
        }
      }
      if (answered) {
        answered_ph = ph;
        ph = nullptr;
      }
    }
    old.reset();
    dropped.reset();
    if (answered_ph) fuse_pollhandle_destroy(answered_ph);
    return r.mask < 0 ? r.mask : static_cast<int>(static_cast<unsigned>(r.mask) | latched);
  }
  // At release: the registration goes and nothing is notified any more.
  void close() {
    host::PollWatch old;
    fuse_pollhandle* p;
    {
      lt::MutexLock l(mutex);
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
  // A /proc or /sys file, a control, kernel.log or kmsg.
  enum class Kind { kVfs, kControl, kLog, kFollow } kind = Kind::kVfs;
  host::Process proc;
  int fd = -1;                           // the VFS descriptor (kVfs)
  std::string path;                      // the path it was opened by (a stat of the open file)
  std::string text;                      // what a fresh open showed (kControl)
  const ControlFile* control = nullptr;  // kControl
  bool nonblock = false;                 // kFollow: opened with O_NONBLOCK
  lt::Mutex cursor_mutex;                // kFollow: serialises reads
  uint64_t cursor LT_GUARDED_BY(cursor_mutex) = 0;  // kFollow: the next record to read
  host::Mutex position;                             // serialises seek-and-transfer pairs on fd
  std::shared_ptr<PollSlot> slot = std::make_shared<PollSlot>();
};

// What kmsg readers wait on: woken by every record the log stores. Shared with the log's
// subscription, so a record stored while the bridge stops touches nothing freed.
struct FuseBridge::Follow {
  lt::Mutex mutex;  // taken before the bridge's notify lock
  std::condition_variable cv;
  FuseBridge* bridge LT_GUARDED_BY(mutex) = nullptr;  // nullptr once the bridge stops
  int waiting LT_GUARDED_BY(mutex) = 0;               // reads waiting for a record
  std::vector<std::pair<const Handle*, fuse_pollhandle*>> polls LT_GUARDED_BY(mutex);

  // A record was stored (printk context: nothing here blocks for long).
  void on_record() {
    lt::MutexLock l(mutex);
    cv.notify_all();
    for (auto& [h, ph] : polls) {
      if (bridge) {
        bridge->notify_later(ph);
      } else {
        fuse_pollhandle_destroy(ph);
      }
    }
    polls.clear();
  }
  // Replaces (or with nullptr removes) the poll a handle waits with.
  void set_poll(const Handle* h, fuse_pollhandle* ph) {
    std::vector<fuse_pollhandle*> old;
    {
      lt::MutexLock l(mutex);
      for (auto it = polls.begin(); it != polls.end();) {
        if (it->first == h) {
          old.push_back(it->second);
          it = polls.erase(it);
        } else {
          ++it;
        }
      }
      if (ph) polls.emplace_back(h, ph);
    }
    for (fuse_pollhandle* p : old) fuse_pollhandle_destroy(p);
  }
};

// What the host's kernel caches of the mount, and its invalidation. Shared with the VFS's
// removal listener and the log's subscription, so that a late call touches nothing freed.
struct FuseBridge::Cache {
  lt::Mutex mutex;  // held while invalidating, so that stop() waits for the calls in flight
  fuse* f LT_GUARDED_BY(mutex) = nullptr;  // nullptr once the bridge stops
  // kernel.log's attributes were handed out since the last record: the next one invalidates.
  std::atomic<bool> log_attributes_out{false};

  void invalidate(const std::string& path) {
    lt::MutexLock l(mutex);
    // -ENOENT: the host's kernel never looked it up, so it holds nothing of it.
    if (f) fuse_invalidate_path(f, path.c_str());
  }
  // A record was stored (printk context): kernel.log grew.
  void log_grew() {
    if (log_attributes_out.exchange(false)) invalidate("/kernel.log");
  }
};

namespace {

// Sent to the request loop's own thread to end its wait once fuse_exit() was called.
constexpr int kKickSignal = SIGUSR2;

void on_kick(int) {}

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

// kernel.log: the log text from the file's start on.
int read_log(char* buf, size_t size, off_t offset) {
  if (offset < 0) return -EINVAL;
  const uint64_t base = bridge().log_base();
  return static_cast<int>(
      bridge().log().read_text(base + static_cast<uint64_t>(offset), buf, size));
}

// kmsg: whole records from the reader's place on, waiting for one when there is none.
int read_follow(FuseBridge::Handle* h, char* buf, size_t size) {
  lt::MutexLock hold(h->cursor_mutex);
  FuseBridge::Follow& follow = bridge().follow();
  host::Log& log = bridge().log();
  for (;;) {
    if (bridge().stopping()) return -ENODEV;
    host::Log::Batch b = log.read(h->cursor, 512);
    if (b.lost > 0) {
      h->cursor = b.next - b.records.size();
      return -EPIPE;
    }
    if (!b.records.empty()) {
      size_t used = 0;
      uint64_t taken = 0;
      for (const host::LogRecord& r : b.records) {
        const std::string line = host::Log::format(r) + "\n";
        if (used + line.size() > size) break;
        std::memcpy(buf + used, line.data(), line.size());
        used += line.size();
        ++taken;
      }
      if (taken == 0) return -EINVAL;  // the buffer cannot hold the next record
      h->cursor += taken;
      return static_cast<int>(used);
    }
    if (h->nonblock) return -EAGAIN;
    lt::UniqueLock l(follow.mutex);
    if (follow.waiting >= FuseBridge::kMaxWaitingReaders) return -EAGAIN;
    // The caller's signal reaches a request only as an interruption that must be answered: a
    // read in the server cannot be killed. It is looked for while waiting.
    ++follow.waiting;
    while (!bridge().stopping() && log.next_seq() <= h->cursor && !fuse_interrupted()) {
      follow.cv.wait_for(l.native(), std::chrono::milliseconds(100));
    }
    --follow.waiting;
    if (fuse_interrupted()) return -EINTR;
  }
}

void* op_init(fuse_conn_info*, fuse_config* cfg) {
  // Entries and attributes are cached and invalidated when they change (see the header); names
  // that are not there are not, since entries come with the driver.
  cfg->entry_timeout = FuseBridge::kCacheSeconds;
  cfg->attr_timeout = FuseBridge::kCacheSeconds;
  cfg->negative_timeout = 0;
  cfg->direct_io = 0;  // per open: every file but kernel.log is opened for direct I/O
  cfg->use_ino = 0;
  // Calls on open files and directories use their handle, not their path: libfuse need not
  // make the path for every read, poll and release.
  cfg->nullpath_ok = 1;
  return fuse_get_context()->private_data;
}

int op_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  // A stat of an open file comes without its path.
  if (path == nullptr) path = handle_of(fi)->path.c_str();
  std::memset(st, 0, sizeof *st);
  std::string_view p = path;
  st->st_uid = bridge().owner_uid();
  st->st_gid = bridge().owner_gid();
  if (p == "/" || p == "/sim") {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (p == "/kernel.log" || p == "/kmsg") {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_mtime = bridge().mount_time();
    if (p == "/kernel.log") {
      // Marked before the size is taken: a record stored after it invalidates what this says.
      bridge().cache().log_attributes_out.store(true);
      const uint64_t base = bridge().log_base();
      const uint64_t end = bridge().log().text_extent().end;
      st->st_size = static_cast<off_t>(end > base ? end - base : 0);
    }
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

// An open directory keeps its path: its reads come without one.
int op_opendir(const char* path, fuse_file_info* fi) {
  fi->fh = reinterpret_cast<uintptr_t>(bridge().directory_path(path));
  return 0;
}

int op_readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
               fuse_readdir_flags) {
  const std::string& path = *reinterpret_cast<const std::string*>(static_cast<uintptr_t>(fi->fh));
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
    add("kmsg");
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
  if (bridge().stopping()) return -ENODEV;
  std::string_view p = path;
  auto h = std::make_unique<FuseBridge::Handle>();
  h->proc = caller();
  h->path = path;
  h->slot->bridge = &bridge();
  fi->direct_io = 1;
  fi->keep_cache = 0;
  if (p == "/kernel.log" || p == "/kmsg") {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    if (p == "/kernel.log") {
      h->kind = FuseBridge::Handle::Kind::kLog;
      bridge().log_base(true);
      fi->direct_io = 0;  // through the page cache, so that it can be mapped
    } else {
      h->kind = FuseBridge::Handle::Kind::kFollow;
      h->nonblock = (fi->flags & O_NONBLOCK) != 0;
      {
        lt::MutexLock l(h->cursor_mutex);  // not shared yet; the lock is for the analysis
        h->cursor = bridge().log().first_seq();
      }
      fi->nonseekable = 1;
    }
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
  bridge().track(h.get());
  fi->fh = reinterpret_cast<uintptr_t>(h.release());
  return 0;
}

int op_read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  if (bridge().stopping()) return -ENODEV;
  switch (h->kind) {
    case FuseBridge::Handle::Kind::kControl:
      return serve_text(h->text, buf, size, offset);
    case FuseBridge::Handle::Kind::kLog:
      return read_log(buf, size, offset);
    case FuseBridge::Handle::Kind::kFollow:
      return read_follow(h, buf, size);
    case FuseBridge::Handle::Kind::kVfs:
      break;
  }
  AtOffset at(h, offset);
  if (at.result() < 0) return at.failed();
  ssize_t n = bridge().vfs().read(h->proc, h->fd, host::UserBuffer::of(buf, size), size);
  return static_cast<int>(n);
}

int op_write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  if (bridge().stopping()) return -ENODEV;
  if (h->kind == FuseBridge::Handle::Kind::kLog || h->kind == FuseBridge::Handle::Kind::kFollow) {
    return -EBADF;
  }
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
  if (bridge().stopping()) {
    if (ph) fuse_pollhandle_destroy(ph);
    *reventsp = POLLERR | POLLHUP;
    return 0;
  }
  if (h->kind == FuseBridge::Handle::Kind::kFollow) {
    // Registered before the test, so a record stored in between still notifies.
    if (ph) bridge().follow().set_poll(h, ph);
    uint64_t cursor;
    {
      lt::MutexLock l(h->cursor_mutex);
      cursor = h->cursor;
    }
    const bool ready = bridge().log().next_seq() > cursor || cursor < bridge().log().first_seq();
    *reventsp = ready ? POLLIN | POLLRDNORM : 0;
    return 0;
  }
  if (h->kind != FuseBridge::Handle::Kind::kVfs) {
    if (ph) fuse_pollhandle_destroy(ph);
    *reventsp = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    return 0;
  }
  FuseBridge::PollSlot& slot = *h->slot;
  std::call_once(slot.named, [&slot] { slot.proc.name = comm_of(slot.proc.pid); });
  // The handle is stored before the file is polled, so a wake-up right after the
  // registration finds it.
  if (ph) slot.set(ph);
  int mask = slot.rearm(fi->poll_events, /*by_caller=*/true);
  if (mask < 0) return mask;
  *reventsp = static_cast<unsigned>(mask);
  return 0;
}

int op_release(const char*, fuse_file_info* fi) {
  FuseBridge::Handle* h = handle_of(fi);
  h->slot->close();
  if (h->kind == FuseBridge::Handle::Kind::kFollow) bridge().follow().set_poll(h, nullptr);
  if (h->kind == FuseBridge::Handle::Kind::kLog) bridge().log_base(false, true);
  if (h->kind == FuseBridge::Handle::Kind::kVfs) bridge().vfs().close(h->proc, h->fd);
  bridge().untrack(h);
  delete h;
  return 0;
}

const fuse_operations kOperations = [] {
  fuse_operations ops{};
  ops.init = op_init;
  ops.getattr = op_getattr;
  ops.opendir = op_opendir;
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

FuseBridge::FuseBridge(host::Vfs& vfs, host::Log& log, std::vector<ControlFile> controls)
    : vfs_(vfs),
      log_(log),
      controls_(std::move(controls)),
      owner_uid_(::geteuid()),
      owner_gid_(::getegid()),
      follow_(std::make_shared<Follow>()),
      cache_(std::make_shared<Cache>()) {}

FuseBridge::~FuseBridge() { stop(); }

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

host::Result<void> FuseBridge::mount(const std::string& dir) {
  if (fuse_) return host::Error("already mounted at " + dir_, EBUSY);
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    return host::Error("/dev/fuse is not available", ENODEV);
  }
  static std::once_flag kick_installed;
  std::call_once(kick_installed, [] {
    struct sigaction sa {};
    sa.sa_handler = on_kick;
    sigemptyset(&sa.sa_mask);
    sigaction(kKickSignal, &sa, nullptr);
  });
  // Other users may use the mount only with allow_other, which fusermount3 grants a user who
  // is not root only when /etc/fuse.conf says user_allow_other; without it the mount is the
  // owner's alone. The source names this process, so a later run can tell whose mount it is.
  const std::string options =
      std::string(others_may_use_mounts() ? "allow_other," : "") +
      "default_permissions,fsname=lt7911-sim:" + std::to_string(::getpid()) + ",subtype=lt7911";
  const char* argv[] = {"lt7911-sim", "-o", options.c_str()};
  // fuse_args may be rewritten by libfuse; give it its own copies.
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse* f = fuse_new(&args, &kOperations, sizeof kOperations, this);
  fuse_opt_free_args(&args);
  if (!f) return host::Error("fuse_new failed", EINVAL);
  if (fuse_mount(f, dir.c_str()) != 0) {
    fuse_destroy(f);
    return host::Error("cannot mount at " + dir, EIO);
  }
  fuse_ = f;
  dir_ = dir;
  mount_time_ = ::time(nullptr);
  stopping_ = false;
  {
    lt::MutexLock l(notify_mutex_);
    notifier_stop_ = false;
  }
  {
    lt::MutexLock l(follow_->mutex);
    follow_->bridge = this;
  }
  {
    lt::MutexLock l(cache_->mutex);
    cache_->f = f;
  }
  std::shared_ptr<Cache> cache = cache_;
  vfs_.set_removal_listener([cache](const std::vector<std::string>& paths) {
    for (const std::string& p : paths) cache->invalidate(p);
  });
  std::shared_ptr<Follow> follow = follow_;
  log_subscription_ = log_.subscribe([follow, cache](const host::LogRecord&) {
    follow->on_record();
    cache->log_grew();
  });
  {
    lt::MutexLock l(loop_mutex_);
    loop_done_ = false;
  }
  for (int i = 0; i < kNotifiers; ++i) notifiers_.emplace_back([this] { notifier_loop(); });
  loop_ = std::thread([this, f] {
    sigset_t kick;
    sigemptyset(&kick);
    sigaddset(&kick, kKickSignal);
    pthread_sigmask(SIG_UNBLOCK, &kick, nullptr);
    fuse_loop_config* cfg = fuse_loop_cfg_create();
    // Room for the readers that wait in kmsg besides the requests that do not wait.
    fuse_loop_cfg_set_max_threads(cfg, 2 * kMaxWaitingReaders + 16);
    fuse_loop_mt(f, cfg);
    fuse_loop_cfg_destroy(cfg);
    lt::MutexLock l(loop_mutex_);
    loop_done_ = true;
    loop_cv_.notify_all();
  });
  return {};
}

// Ends the request loop without waiting for a request: fuse_exit() marks the session, and a
// signal ends the loop thread's wait for its workers; it then cancels the workers that wait for
// requests and joins the ones that finish one. The signal is sent until the loop is seen to
// end, since one that arrives just before the wait starts is not enough.
void FuseBridge::end_loop() {
  fuse_exit(fuse_);
  lt::UniqueLock l(loop_mutex_);
  while (!loop_done_) {
    pthread_kill(loop_.native_handle(), kKickSignal);
    loop_cv_.wait_for(l.native(), std::chrono::milliseconds(10));
  }
  l.unlock();
  loop_.join();
}

void FuseBridge::stop() {
  if (!fuse_) return;
  stopping_ = true;
  log_.unsubscribe(log_subscription_);
  vfs_.set_removal_listener(nullptr);
  {
    lt::MutexLock l(cache_->mutex);
    cache_->f = nullptr;
  }
  {
    // Waiting kmsg readers end; pollers of kmsg poll again and see POLLERR|POLLHUP.
    lt::MutexLock l(follow_->mutex);
    follow_->cv.notify_all();
    for (auto& [h, ph] : follow_->polls) notify_later(ph);
    follow_->polls.clear();
    follow_->bridge = nullptr;
  }
  end_loop();
  {
    lt::MutexLock l(notify_mutex_);
    notifier_stop_ = true;
  }
  notify_cv_.notify_all();
  for (std::thread& t : notifiers_) t.join();
  notifiers_.clear();
  // Closing the device ends the connection (callers on files still open get ENOTCONN, their
  // pollers POLLERR), then the mount is removed.
  fuse_unmount(fuse_);
  fuse_destroy(fuse_);
  fuse_ = nullptr;
  // Files the kernel never released (the connection went away under them).
  std::vector<Handle*> left;
  {
    lt::MutexLock l(notify_mutex_);
    left.swap(handles_);
  }
  for (Handle* h : left) {
    h->slot->close();
    if (h->kind == Handle::Kind::kFollow) follow_->set_poll(h, nullptr);
    if (h->kind == Handle::Kind::kVfs) vfs_.close(h->proc, h->fd);
    delete h;
  }
}

uint64_t FuseBridge::log_base(bool opening, bool closing) {
  lt::MutexLock l(log_mutex_);
  if (closing) {
    --log_opens_;
  } else if (opening || log_opens_ == 0) {
    const uint64_t oldest = log_.text_extent().begin;
    if (oldest > log_base_) log_base_ = oldest;
  }
  if (opening) ++log_opens_;
  return log_base_;
}

// A notifier is woken for the first of a burst only (the waker runs every callback of a wait
// queue while holding it, so each one is kept short); a notifier that takes a batch and leaves
// more wakes the next.
void FuseBridge::notify_later(std::shared_ptr<PollSlot> slot) {
  bool first;
  {
    lt::MutexLock l(notify_mutex_);
    if (notifier_stop_) return;  // the slot's handle goes when its file is released
    first = pending_.empty();
    pending_.push_back({std::move(slot), nullptr});
  }
  if (first) notify_cv_.notify_one();
}

void FuseBridge::notify_later(fuse_pollhandle* ph) {
  bool first = false;
  {
    lt::MutexLock l(notify_mutex_);
    if (!notifier_stop_) {
      first = pending_.empty();
      pending_.push_back({nullptr, ph});
      ph = nullptr;
    }
  }
  if (ph) {
    fuse_pollhandle_destroy(ph);
    return;
  }
  if (first) notify_cv_.notify_one();
}

void FuseBridge::track(Handle* h) {
  lt::MutexLock l(notify_mutex_);
  handles_.push_back(h);
}

void FuseBridge::untrack(Handle* h) {
  lt::MutexLock l(notify_mutex_);
  handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
}

const std::string* FuseBridge::directory_path(const char* path) {
  lt::MutexLock l(directories_mutex_);
  return &*directories_.emplace(path).first;
}

// Takes a batch of what is pending (leaving the rest to the other notifiers) and sends its
// notifications; its files are polled again once nothing is left to notify (or enough wait),
// so that a burst of wake-ups reaches every poller before any file is polled again. The woken
// callers usually poll first, and then the notifier's poll is skipped (see PollSlot::rearm);
// until a file is polled again its lasting registration stands, so nothing is missed meanwhile.
void FuseBridge::notifier_loop() {
  constexpr size_t kBatch = 16;
  constexpr size_t kMaxDeferred = 4 * kBatch;
  std::vector<std::pair<std::shared_ptr<PollSlot>, uint64_t>> again;
  lt::UniqueLock l(notify_mutex_);
  for (;;) {
    if (!notifier_stop_ && !again.empty() && (pending_.empty() || again.size() >= kMaxDeferred)) {
      l.unlock();
      for (auto& [slot, polls_seen] : again) slot->rearm(0, /*by_caller=*/false, polls_seen);
      again.clear();
      l.lock();
      continue;
    }
    while (!notifier_stop_ && pending_.empty()) notify_cv_.wait(l.native());
    if (notifier_stop_) {
      for (const Pending& p : pending_) {
        if (p.ph) fuse_pollhandle_destroy(p.ph);
      }
      pending_.clear();
      return;
    }
    std::vector<Pending> batch;
    while (!pending_.empty() && batch.size() < kBatch) {
      batch.push_back(std::move(pending_.front()));
      pending_.pop_front();
    }
    if (!pending_.empty()) notify_cv_.notify_one();
    l.unlock();
    for (Pending& next : batch) {
      fuse_pollhandle* ph = next.ph;
      if (next.slot) {
        uint64_t polls_seen = 0;
        ph = next.slot->serve(&polls_seen);
        again.emplace_back(std::move(next.slot), polls_seen);
      }
      if (ph) {
        fuse_notify_poll(ph);
        fuse_pollhandle_destroy(ph);
      }
    }
    l.lock();
  }
}

}  // namespace sim
