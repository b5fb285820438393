// A running simulated board: the host kernel booted with a board from a device tree, the
// lt7911_manage module loaded (and so bound), and the controls of DIR/sim/ acting on it.
//
// Threading: start() and the destructor run on the owner's thread (a host task). The control
// functions may be called from any host task (the FUSE request threads, a script); they block in
// the scheduler while the kernel works (insmod, rmmod, bind).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/host/kernel.h"
#include "platform/host/thread_safety.h"
#include "platform/host/timeline.h"
#include "platform/host/vfs.h"
#include "tools/sim/fuse_bridge.h"

namespace sim {

inline constexpr const char* kModuleName = "lt7911_manage";
inline constexpr const char* kProcDir = "/proc/lt7911_info";
inline constexpr const char* kDriverDir = "/sys/bus/i2c/drivers/lt7911_manage";
inline constexpr const char* kParamDir = "/sys/module/lt7911_manage/parameters";

struct SessionConfig {
  std::string board;                // .dts or .dtb; empty: the default board
  std::string module;               // the module object; empty: found beside the program
  std::vector<std::string> params;  // NAME=VALUE for insmod
  std::string plug;                 // a mode (as sim/hdmi takes it) plugged before insmod
  host::ClockMode clock = host::ClockMode::kVirtual;
  bool echo_log = false;
  size_t timeline = host::Timeline::kDefaultCapacity;  // events the timeline keeps; 0: off
  // Starting fails unless the driver binds to the board's chip.
  bool require_bound = true;
  int64_t dtc_timeout_ms = 10'000;
  // Told why a control command was refused ("sim/hdmi: 'plug 4k60' refused: ...").
  std::function<void(const std::string&)> on_refusal;
};

// Where the module object is: the path given, else the installed layout beside the program
// (<prefix>/lib/lt7911_manage/), else the build tree's modules folder. When none exists, the
// error says where it looked.
host::Result<std::string> find_module(const std::string& given);
// The default board: the installed one beside the program, else the build tree's.
std::string default_board();

class Session {
 public:
  // Boots, loads the board (plugs the source given) and the module, and checks that every
  // parameter given exists and that the driver bound to the chip. On failure the error says
  // why, the kernel's lines of the attempt included (the kernel is shut down again).
  static host::Result<std::unique_ptr<Session>> start(const SessionConfig& config);
  ~Session();  // unloads the module, takes the board down, shuts the kernel down
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  board::Board& board() { return *board_; }
  host::Kernel& kernel() { return host::Kernel::get(); }

  // Controls; each 0 or a negative errno (-EINVAL for a malformed command, which changes
  // nothing). error() holds the last refusal's reason.
  int hdmi(const std::string& command);
  int audio(const std::string& command);
  int module(const std::string& command);
  int faults(const std::string& command);
  std::string hdmi_text() const;
  std::string audio_text() const;
  std::string module_text() const;
  std::string faults_text() const;
  std::string error() const;
  // The files of DIR/sim/: the controls above (each write noted on the timeline) and the
  // timeline's (tools/sim/exports.h).
  std::vector<ControlFile> control_files();

  // The script's own process: reads and writes of VFS paths. nullopt / negative errno.
  std::optional<std::string> read(const std::string& path);
  int write(const std::string& path, const std::string& bytes);

 private:
  Session() = default;
  void add_driver_files();
  void remove_driver_files();
  // Records why a command of a control was refused, and says so; returns error.
  int refuse(const char* control, const std::string& command, const std::string& why, int error);

  SessionConfig config_;
  std::string module_path_;
  std::unique_ptr<board::Board> board_;
  host::Process proc_{.pid = 1000, .uid = 0, .gid = 0, .name = "lt7911-sim"};
  mutable lt::Mutex error_mutex_;  // controls run on several request threads
  std::string error_ LT_GUARDED_BY(error_mutex_);
};

}  // namespace sim
