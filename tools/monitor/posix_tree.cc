#include "tools/monitor/posix_tree.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

namespace monitor {
namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted.store(true); }

// The signal mask to use inside ppoll: the original one, with SIGINT and SIGTERM open.
sigset_t g_wait_mask;

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &g_wait_mask);
  sigdelset(&g_wait_mask, SIGINT);
  sigdelset(&g_wait_mask, SIGTERM);
}

// Reads fd from its current position to the end; false with errno set on failure.
bool read_all(int fd, std::string* out) {
  out->clear();
  char buf[256];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > 4096) return true;  // the texts are short; never loop on a runaway file
  }
}

// Reads a non-blocking log to its end (EPIPE only says records were overwritten).
void drain(int fd) {
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0 || (n < 0 && (errno == EPIPE || errno == EINTR))) continue;
    return;
  }
}

timespec to_timespec(int64_t ms) {
  if (ms < 0) ms = 0;
  return timespec{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
}

}  // namespace

PosixTree::PosixTree(std::string root) : start_(std::chrono::steady_clock::now()) {
  root_ = std::move(root);
  if (root_.empty() || root_.back() != '/') root_.push_back('/');
  dir_ = root_ + "proc/lt7911_info/";
  install_signals();
}

PosixTree::~PosixTree() {
  close_status();
  close_log();
}

bool PosixTree::interrupted() { return g_interrupted.load(); }

std::string PosixTree::path(const char* name) const { return dir_ + name; }

host::Result<void> PosixTree::open_status() {
  close_status();
  // Read and write: the acknowledgement goes through the same open file. A reader without
  // write permission still follows, read-only.
  int fd = ::open(path("status").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(path("status").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return host::Error::from_errno(errno);
  status_fd_ = fd;
  return {};
}

void PosixTree::close_status() {
  if (status_fd_ >= 0) ::close(status_fd_);
  status_fd_ = -1;
}

host::Result<Snapshot> PosixTree::read() {
  Snapshot s;
  if (status_fd_ < 0) return host::Error::from_errno(EBADF);
  if (::lseek(status_fd_, 0, SEEK_SET) < 0 || !read_all(status_fd_, &s.status)) {
    return host::Error::from_errno(errno);
  }
  struct Field {
    const char* name;
    std::string* text;
  } fields[] = {{"width", &s.width},
                {"height", &s.height},
                {"fps", &s.fps},
                {"hdcp", &s.hdcp},
                {"asr", &s.asr}};
  for (const Field& f : fields) {
    int fd = ::open(path(f.name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return host::Error::from_errno(errno);
    bool ok = read_all(fd, f.text);
    int e = errno;
    ::close(fd);
    if (!ok) return host::Error::from_errno(e);
  }
  // The power file is shown when it reads; a tree without it still follows.
  int pfd = ::open(path("power").c_str(), O_RDONLY | O_CLOEXEC);
  const bool power_read = pfd >= 0 && read_all(pfd, &s.power);
  if (pfd >= 0) ::close(pfd);
  if (!power_read) {
    s.power.clear();
    // Unless the directory was being removed while its texts were read (the status entry goes
    // before the power file): then what was read is no state of the chip's, only the tree on
    // its way out.
    if (::access(path("status").c_str(), F_OK) != 0) return host::Error::from_errno(errno);
  }
  return s;
}

Wake PosixTree::wait(int64_t timeout_ms) {
  if (g_interrupted.load()) return Wake::kInterrupted;
  // POLLIN too: the status file never reports it, but an entry removed after the last read
  // (the chip unbound before this wait began) answers the default mask, POLLIN and POLLOUT,
  // without waking anybody later; a wait for POLLPRI alone would never end.
  pollfd p{status_fd_, POLLPRI | POLLIN, 0};
  timespec ts = to_timespec(timeout_ms);
  int r = ::ppoll(&p, 1, timeout_ms < 0 ? nullptr : &ts, &g_wait_mask);
  if (r < 0) return errno == EINTR ? Wake::kInterrupted : Wake::kError;
  if (r == 0) return Wake::kTimeout;
  if (p.revents & POLLPRI) return Wake::kChanged;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL | POLLIN)) return Wake::kGone;
  return Wake::kChanged;
}

bool PosixTree::open_log() {
  if (log_fd_ >= 0) return true;
  for (const char* name : {"kmsg", "dev/kmsg"}) {
    int fd = ::open((root_ + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    log_fd_ = fd;
    // Only what comes from now on counts: skip what is there (kmsg seeks to its end; a file
    // that cannot seek is read to its end). What was skipped may be the very change awaited (a
    // removal that ended between the status file's hang-up and this open), so the directory is
    // looked for again as after a record.
    if (::lseek(fd, 0, SEEK_END) < 0) drain(fd);
    settle_left_ = kSettleTries;
    return true;
  }
  return false;
}

void PosixTree::close_log() {
  if (log_fd_ >= 0) ::close(log_fd_);
  log_fd_ = -1;
}

bool PosixTree::await_change(int64_t timeout_ms) {
  if (g_interrupted.load()) return false;
  int64_t wait_ms = timeout_ms;
  auto shorter = [&](int64_t limit) { wait_ms = wait_ms < 0 ? limit : std::min(wait_ms, limit); };
  if (!open_log()) shorter(kFallbackMs);
  if (settle_left_ > 0) {
    --settle_left_;
    shorter(kSettleMs);
  }
  pollfd p{log_fd_, POLLIN, 0};
  timespec ts = to_timespec(wait_ms);
  int r = ::ppoll(log_fd_ >= 0 ? &p : nullptr, log_fd_ >= 0 ? 1 : 0, wait_ms < 0 ? nullptr : &ts,
                  &g_wait_mask);
  if (r < 0 && errno == EINTR) return !g_interrupted.load();
  if (r > 0 && log_fd_ >= 0) {
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      close_log();  // the log went away with its mount; opened again next time
    } else {
      drain(log_fd_);
    }
    settle_left_ = kSettleTries;
  }
  return !g_interrupted.load();
}

int PosixTree::ack() {
  if (status_fd_ < 0) return EBADF;
  // At position 0, as `echo ok > status` writes it; the status file itself ignores positions.
  ssize_t n = ::pwrite(status_fd_, "ok", 2, 0);
  if (n < 0) return errno;
  return n == 2 ? 0 : EIO;
}

int64_t PosixTree::clock_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t PosixTree::now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

}  // namespace monitor
