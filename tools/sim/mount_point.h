// The directory a simulator mounts at: what is mounted there already, and the clean-up of a
// mount that a killed run left behind.
//
// A mount of lt7911-sim has the file-system type "fuse.lt7911" and the source
// "lt7911-sim:PID" (older runs: "lt7911-sim"). It is live while its connection answers (stat
// of the directory works) and its process exists; a stale one fails with ENOTCONN.
//
// Threading: plain functions; they start programs (fusermount3) directly, never a shell.
#pragma once

#include <string>
#include <vector>

#include "platform/host/result.h"

namespace sim {

struct MountEntry {
  std::string fstype;
  std::string source;
};

// The mounts stacked at dir, the topmost last, from /proc/self/mountinfo.
std::vector<MountEntry> mounts_at(const std::string& dir);

enum class MountState {
  kFree,   // nothing of ours is mounted there
  kLive,   // a running lt7911-sim serves it
  kStale,  // an lt7911-sim mount whose process is gone
};

struct MountCheck {
  MountState state = MountState::kFree;
  int pid = 0;  // of the run that mounted it, when its source names it
};

MountCheck check_mount_point(const std::string& dir);

// Lazily unmounts dir: umount2(MNT_DETACH) where this process may, else fusermount3 -u -z.
host::Result<void> detach_mount(const std::string& dir);

// The canonical path of dir (its parent resolved, so a dead mount there does not stop it).
std::string canonical_dir(const std::string& dir);

}  // namespace sim
