// lt7911-sim run as a real process on a real mount, for end-to-end tests: started without a
// shell, ready when it says so on its readiness descriptor, stopped by a signal.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
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

}  // namespace testing_support
