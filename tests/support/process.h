// Real processes for end-to-end tests, started without a shell: their output read line by line
// with a deadline, their end waited for (a pidfd in poll()) with a deadline. Nothing here
// sleeps: every wait is on an event, bounded by a generous timeout.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

inline int pidfd_of(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Waits up to timeout_ms for fd to become readable; false on timeout.
inline bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  int r;
  while ((r = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return r > 0;
}

struct ChildOptions {
  std::vector<std::string> env;  // NAME=VALUE added (or replacing)
  std::vector<std::string> unset;
  std::string cwd;
  int pass_fd = -1;  // kept open in the child under the same number
  bool merge_stderr = false;
};

class Child {
 public:
  using Options = ChildOptions;

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait_exit(10'000);
    }
    for (int fd : {out_, err_, pidfd_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Starts argv[0] (a path) with argv; false if it could not be started.
  bool start(const std::vector<std::string>& argv, const Options& o = {}) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      std::string name = kv.substr(0, kv.find('='));
      bool drop = false;
      for (const std::string& u : o.unset) drop = drop || u == name;
      for (const std::string& a : o.env) drop = drop || a.substr(0, a.find('=')) == name;
      if (!drop) env_strings.push_back(kv);
    }
    for (const std::string& a : o.env) env_strings.push_back(a);
    std::vector<char*> args, env;
    std::vector<std::string> argv_copy = argv;
    for (std::string& a : argv_copy) args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : env_strings) env.push_back(e.data());
    env.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(o.merge_stderr ? out[1] : err[1], 2);
      if (o.pass_fd >= 0) ::fcntl(o.pass_fd, F_SETFD, 0);
      if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    pidfd_ = pidfd_of(pid_);
    return pid_ > 0;
  }

  pid_t pid() const { return pid_; }

  // The next line of stdout (without its line feed), or nullopt at its end or after timeout_ms.
  std::optional<std::string> line(int timeout_ms = 20'000) {
    return next_line(out_, &out_buf_, timeout_ms);
  }
  std::optional<std::string> err_line(int timeout_ms = 20'000) {
    return next_line(err_, &err_buf_, timeout_ms);
  }
  // Reads stderr to its end (the process must be ending), bounded by timeout_ms.
  std::string rest_of_stderr(int timeout_ms = 20'000) {
    std::string all = err_buf_;
    err_buf_.clear();
    drain(err_, &all, timeout_ms);
    return all;
  }
  std::string rest_of_stdout(int timeout_ms = 20'000) {
    std::string all = out_buf_;
    out_buf_.clear();
    drain(out_, &all, timeout_ms);
    return all;
  }

  void signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // Waits for the end; the wait status, or nullopt after timeout_ms.
  std::optional<int> wait_exit(int timeout_ms = 20'000) {
    if (pid_ <= 0) return status_;
    if (pidfd_ >= 0 && !readable(pidfd_, timeout_ms)) return std::nullopt;
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = st;
    return st;
  }
  // The exit code, or 128 + the signal that ended it.
  static int code_of(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  static void drain(int fd, std::string* out, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || !readable(fd, static_cast<int>(left))) return;
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return;
      out->append(buf, static_cast<size_t>(n));
    }
  }
  static std::optional<std::string> next_line(int fd, std::string* buf, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t nl = buf->find('\n');
      if (nl != std::string::npos) {
        std::string l = buf->substr(0, nl);
        buf->erase(0, nl + 1);
        return l;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || !readable(fd, static_cast<int>(left))) return std::nullopt;
      char chunk[4096];
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buf->append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1, pidfd_ = -1;
  std::string out_buf_, err_buf_;
  std::optional<int> status_;
};

}  // namespace testing_support
