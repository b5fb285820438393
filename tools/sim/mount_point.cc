#include "tools/sim/mount_point.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace sim {
namespace {

// mountinfo writes space, tab, line feed and backslash as \ooo.
std::string unescape_octal(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string real(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return "";
  return buf;
}

}  // namespace

std::string canonical_dir(const std::string& dir) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  std::string whole = real(d);
  if (!whole.empty()) return whole;
  const size_t slash = d.rfind('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : d.substr(0, slash);
  const std::string leaf = slash == std::string::npos ? d : d.substr(slash + 1);
  std::string p = real(parent);
  if (p.empty() || leaf.empty() || leaf == "." || leaf == "..") return d;
  return p == "/" ? "/" + leaf : p + "/" + leaf;
}

std::vector<MountEntry> mounts_at(const std::string& dir) {
  const std::string target = canonical_dir(dir);
  std::vector<MountEntry> out;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, point;
    fields >> id >> parent >> devno >> root >> point;
    if (unescape_octal(point) != target) continue;
    std::string word;
    while (fields >> word && word != "-") {
    }
    MountEntry e;
    fields >> e.fstype >> e.source;
    e.source = unescape_octal(e.source);
    out.push_back(e);
  }
  return out;
}

MountCheck check_mount_point(const std::string& dir) {
  MountCheck c;
  std::vector<MountEntry> mounts = mounts_at(dir);
  if (mounts.empty()) return c;
  const MountEntry& top = mounts.back();
  if (top.fstype != "fuse.lt7911" || top.source.rfind("lt7911-sim", 0) != 0) return c;
  if (top.source.size() > 11 && top.source[10] == ':') c.pid = std::atoi(top.source.c_str() + 11);
  struct stat st {};
  const bool answers = ::stat(dir.c_str(), &st) == 0;
  const bool alive = c.pid <= 0 || ::kill(c.pid, 0) == 0 || errno == EPERM;
  c.state = answers && alive ? MountState::kLive : MountState::kStale;
  return c;
}

host::Result<void> detach_mount(const std::string& dir) {
  const std::string path = canonical_dir(dir);
  if (::umount2(path.c_str(), MNT_DETACH) == 0) return {};
  // Not allowed to unmount here: fusermount3 may, for the user who mounted it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string prog = "fusermount3", u = "-u", z = "-z", q = "-q", dashes = "--";
  std::string arg = path;
  char* argv[] = {prog.data(), u.data(), z.data(), q.data(), dashes.data(), arg.data(), nullptr};
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "fusermount3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return host::Error(std::string("cannot run fusermount3: ") + std::strerror(rc), rc);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return host::Error("fusermount3 could not unmount " + path);
  }
  return {};
}

}  // namespace sim
