// lt7911-sim run as a real process on a real mount, for end-to-end tests: started without a
// shell, ready when it says so on its readiness descriptor, stopped by a signal; and a fixture
// that serves a scratch directory with it for a test's whole length.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"

namespace testing_support {

// The build's bin/ folder, or "" outside ctest.
inline std::string build_bin() {
  const char* build = std::getenv("LT_BUILD_DIR");
  return build ? std::string(build) + "/bin/" : "";
}

// Whether a mount is listed at path (in /proc/self/mountinfo).
inline bool mounted_at(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  // The parent resolved, the leaf as it is: a dead mount there cannot be looked at.
  std::filesystem::path p(path);
  if (!p.has_filename()) p = p.parent_path();
  const std::string canonical =
      (std::filesystem::canonical(p.parent_path()) / p.filename()).string();
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string a, b, c, root, point;
    f >> a >> b >> c >> root >> point;
    std::string unescaped;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        unescaped += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 +
                                       (point[i + 3] - '0'));
        i += 3;
      } else {
        unescaped += point[i];
      }
    }
    if (unescaped == canonical) return true;
  }
  return false;
}

// Why an end-to-end test cannot run here ("" when it can): it needs /dev/fuse and the build.
inline std::string cannot_mount_here() {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
  if (build_bin().empty()) return "LT_BUILD_DIR is not set (run through ctest)";
  return "";
}

// A fresh directory for a test's files and mounts, and its removal (any mount left below it by
// a failed test is detached first, so the clean-up itself cannot fail).
inline std::string scratch_dir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) return "";
  return tmpl;
}
inline void remove_scratch(const std::string& dir);

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void remove_scratch(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  if (mounted_at(dir)) ::umount2(dir.c_str(), MNT_DETACH);
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (mounted_at(e.path().string())) ::umount2(e.path().c_str(), MNT_DETACH);
  }
  std::filesystem::remove_all(dir, ec);
}

class SimProcess {
 public:
  // Starts `lt7911-sim run --mount dir` with extra arguments and waits until it is ready
  // (true), or until it ended or 30 s passed (false).
  bool start(const std::string& dir, const std::vector<std::string>& extra = {},
             const ChildOptions& options = ChildOptions()) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv = {
        build_bin() + "lt7911-sim", "run", "--mount", dir, "--ready-fd", std::to_string(ready[1])};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child::Options o = options;
    o.pass_fd = ready[1];
    if (!child.start(argv, o)) return false;
    ::close(ready[1]);
    bool ok = readable(ready[0], 30'000);
    char buf[16];
    ok = ok && ::read(ready[0], buf, sizeof buf) > 0;
    ::close(ready[0]);
    return ok;
  }
  Child child;
};

// One write(2) of bytes to path: the bytes taken, or a negative errno.
inline ssize_t write_once(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return -errno;
  ssize_t n = ::write(fd, bytes.data(), bytes.size());
  if (n < 0) n = -errno;
  ::close(fd);
  return n;
}

// A test with lt7911-sim serving a scratch directory for its whole length: SetUp starts it (the
// test is skipped where no mount can be made), TearDown stops it with SIGTERM and expects a
// clean exit, then removes the directory. A fixture names the directory's prefix, and its
// permissions where other users reach the mount through it.
class MountedSimTest : public ::testing::Test {
 protected:
  explicit MountedSimTest(std::string prefix,
                          std::optional<std::filesystem::perms> perms = std::nullopt)
      : prefix_(std::move(prefix)), perms_(perms) {}
  void SetUp() override {
    if (std::string why = cannot_mount_here(); !why.empty()) GTEST_SKIP() << why;
    dir_ = scratch_dir(prefix_);
    ASSERT_FALSE(dir_.empty());
    if (perms_) std::filesystem::permissions(dir_, *perms_);
    ASSERT_TRUE(sim_.start(dir_));
  }
  void TearDown() override {
    if (dir_.empty()) return;
    sim_.child.signal(SIGTERM);
    std::optional<int> st = sim_.child.wait_exit();
    EXPECT_TRUE(st && Child::code_of(*st) == 0) << "the simulator did not stop cleanly";
    remove_scratch(dir_);
  }
  // A path below the mount.
  std::string p(const std::string& rel) { return dir_ + rel; }
  // The simulator's resident memory in KiB.
  long rss_kib() {
    std::ifstream f("/proc/" + std::to_string(sim_.child.pid()) + "/status");
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
  }
  std::string dir_;
  SimProcess sim_;

 private:
  const std::string prefix_;
  const std::optional<std::filesystem::perms> perms_;
};

}  // namespace testing_support
