#include "tools/monitor/posix_tree.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

timespec to_timespec(int64_t ms) {
  if (ms < 0) ms = 0;
  return timespec{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
}

}  // namespace

PosixTree::PosixTree(std::string root) : start_(std::chrono::steady_clock::now()) {
  dir_ = std::move(root);
  if (dir_.empty() || dir_.back() != '/') dir_.push_back('/');
  dir_.append("proc/lt7911_info/");
  install_signals();
}

PosixTree::~PosixTree() { close_status(); }

bool PosixTree::interrupted() { return g_interrupted.load(); }

std::string PosixTree::path(const char* name) const { return dir_ + name; }

bool PosixTree::open_status(int* errno_out) {
  close_status();
  // Read and write: the acknowledgement goes through the same open file. A reader without
  // write permission still follows, read-only.
  int fd = ::open(path("status").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(path("status").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *errno_out = errno;
    return false;
  }
  status_fd_ = fd;
  return true;
}

void PosixTree::close_status() {
  if (status_fd_ >= 0) ::close(status_fd_);
  status_fd_ = -1;
}

std::optional<Snapshot> PosixTree::read(int* errno_out) {
  Snapshot s;
  if (status_fd_ < 0) {
    *errno_out = EBADF;
    return std::nullopt;
  }
  if (::lseek(status_fd_, 0, SEEK_SET) < 0 || !read_all(status_fd_, &s.status)) {
    *errno_out = errno;
    return std::nullopt;
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
    if (fd < 0) {
      *errno_out = errno;
      return std::nullopt;
    }
    bool ok = read_all(fd, f.text);
    int e = errno;
    ::close(fd);
    if (!ok) {
      *errno_out = e;
      return std::nullopt;
    }
  }
  return s;
}

Wake PosixTree::wait(int64_t timeout_ms) {
  if (g_interrupted.load()) return Wake::kInterrupted;
  pollfd p{status_fd_, POLLPRI, 0};
  timespec ts = to_timespec(timeout_ms);
  int r = ::ppoll(&p, 1, &ts, &g_wait_mask);
  if (r < 0) return errno == EINTR ? Wake::kInterrupted : Wake::kError;
  if (r == 0) return Wake::kTimeout;
  if (p.revents & POLLPRI) return Wake::kChanged;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return Wake::kGone;
  return Wake::kChanged;
}

bool PosixTree::pause(int64_t ms) {
  if (g_interrupted.load()) return false;
  timespec ts = to_timespec(ms);
  int r = ::ppoll(nullptr, 0, &ts, &g_wait_mask);
  return !(r < 0 && errno == EINTR) && !g_interrupted.load();
}

int PosixTree::ack() {
  if (status_fd_ < 0) return EBADF;
  // At position 0, as `echo ok > status` writes it; the status file itself ignores positions.
  ssize_t n = ::pwrite(status_fd_, "ok", 2, 0);
  if (n < 0) return errno;
  return n == 2 ? 0 : EIO;
}

int64_t PosixTree::now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

}  // namespace monitor
