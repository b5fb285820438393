// The least a FUSE server can do for an open, read and close on this machine: one file of fixed
// text, served by libfuse's low-level interface with the mount settings lt7911-sim uses (entry and
// attribute caching, direct I/O, a multi-threaded loop). lt7911_mount_bench measures the same
// calls on it as on the simulator's mount, so that the simulator's figure has a floor measured
// beside it rather than a number taken on another machine.
//
//   lt7911_fuse_floor DIR READY_FD
//
// Mounts on DIR, writes "ready\n" to READY_FD, and serves until SIGTERM or SIGINT.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr fuse_ino_t kFile = 2;
constexpr std::string_view kName = "status";
constexpr std::string_view kText = "new\n";  // as long as the status file's usual text
constexpr double kCacheSeconds = 60.0;

void fill_stat(fuse_ino_t ino, struct stat* st) {
  *st = {};
  st->st_ino = ino;
  if (ino == FUSE_ROOT_ID) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = 0;  // like a /proc file: its size is not known before it is read
  }
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || kName != name) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param e{};
  e.ino = kFile;
  e.attr_timeout = kCacheSeconds;
  e.entry_timeout = kCacheSeconds;
  fill_stat(kFile, &e.attr);
  fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (ino != FUSE_ROOT_ID && ino != kFile) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st;
  fill_stat(ino, &st);
  fuse_reply_attr(req, &st, kCacheSeconds);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kFile) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  fi->direct_io = 1;
  fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info*) {
  if (off < 0 || static_cast<size_t>(off) >= kText.size()) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  const size_t n = std::min(size, kText.size() - static_cast<size_t>(off));
  fuse_reply_buf(req, kText.data() + off, n);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR READY_FD\n", argv[0]);
    return 2;
  }
  const int ready_fd = std::atoi(argv[2]);
  fuse_lowlevel_ops ops{};
  ops.lookup = op_lookup;
  ops.getattr = op_getattr;
  ops.open = op_open;
  ops.read = op_read;
  ops.release = op_release;
  char arg0[] = "lt7911_fuse_floor";
  char* args_v[] = {arg0};
  fuse_args args = FUSE_ARGS_INIT(1, args_v);
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (se == nullptr) return 1;
  if (fuse_set_signal_handlers(se) != 0 || fuse_session_mount(se, argv[1]) != 0) {
    fuse_session_destroy(se);
    return 1;
  }
  if (::write(ready_fd, "ready\n", 6) != 6) return 1;
  ::close(ready_fd);
  fuse_loop_config* cfg = fuse_loop_cfg_create();
  const int rc = fuse_session_loop_mt(se, cfg);
  fuse_loop_cfg_destroy(cfg);
  fuse_session_unmount(se);
  fuse_remove_signal_handlers(se);
  fuse_session_destroy(se);
  return rc == 0 ? 0 : 1;
}
