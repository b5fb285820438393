// The reliability harness's board: a booted host kernel with the default board, the module
// loaded through the module loader, /proc and /sys used as simulated processes, and the checks
// every harness case makes (the texts, what is claimed, the kernel's warnings).
//
// A Rig boots a kernel when it is made and shuts it down when it goes, so each case of a sweep
// starts from a fresh kernel. It depends on no test framework: the sweeps, the stress run and
// the fuzz targets share it.
//
// Threading: a Rig is made, used and destroyed on one thread (a host task). Its VFS helpers may
// be called from any task, each with its own host::Process.
#pragma once

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"
#include "board/timings.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/host/i2c_core.h"
#include "platform/host/irq_core.h"
#include "platform/host/kernel.h"
#include "platform/host/log.h"
#include "platform/host/modules.h"
#include "platform/host/slab.h"
#include "platform/host/vfs.h"
#include "platform/host/warn.h"
#include "platform/host/workqueues.h"

namespace reliability {

inline constexpr const char* kModule = "lt7911_manage";
inline constexpr const char* kProcDir = "/proc/lt7911_info";
inline constexpr const char* kParamDir = "/sys/module/lt7911_manage/parameters";
inline constexpr const char* kDriverDir = "/sys/bus/i2c/drivers/lt7911_manage";

// The seven short texts and the other files of the directory.
inline const std::vector<std::string>& text_files() {
  static const std::vector<std::string> files = {"power", "status", "width", "height",
                                                 "fps",   "hdcp",   "asr"};
  return files;
}
inline const std::vector<std::string>& proc_files() {
  static const std::vector<std::string> files = {"power",         "status", "width", "height",
                                                 "fps",           "hdcp",   "asr",   "edid",
                                                 "edid_snapshot", "version"};
  return files;
}
inline const std::vector<std::string>& param_names() {
  static const std::vector<std::string> names = {"force_width", "force_height", "force_fps"};
  return names;
}

inline std::string proc_path(const std::string& file) { return std::string(kProcDir) + "/" + file; }
inline std::string param_path(const std::string& name) {
  return std::string(kParamDir) + "/" + name;
}

/* ---- The texts' vocabulary ---- */

// "%d\n" of a value in [0, max], as snprintf writes it: no sign, no leading zero.
inline bool decimal_line(std::string_view text, long long max) {
  if (text.size() < 2 || text.back() != '\n') return false;
  std::string_view digits = text.substr(0, text.size() - 1);
  if (digits.size() > 1 && digits[0] == '0') return false;
  long long v = -1;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  return ec == std::errc() && end == digits.data() + digits.size() && v >= 0 && v <= max;
}

// Whether `text`, as a whole read of the file returned it (its bytes and so its length), is
// one of the values the module writes into that file. The numbers are the widths the module
// formats: 16-bit sizes, an int frame rate (a forced one may be any positive int), an 8-bit
// sample rate. An empty text is what a file shows before its first value; only the power text
// may stay so once bring-up is done (when no switch of the power line succeeded).
inline bool text_allowed(std::string_view file, std::string_view text) {
  if (file == "power") return text.empty() || text == "on\n" || text == "off\n";
  if (file == "status")
    return text == "disappear\n" || text == "new res\n" || text == "stable\n" ||
           text == "unknown\n" || text == "error res\n";
  if (file == "width" || file == "height") return decimal_line(text, 65535);
  if (file == "fps") return decimal_line(text, 2147483647LL);
  if (file == "hdcp")
    return text == "no hdcp\n" || text == "hdcp 1.4\n" || text == "hdcp 2.2\n" ||
           text == "unknown hdcp\n";
  if (file == "asr") return text == "disappear\n" || text == "unknown\n" || decimal_line(text, 255);
  return false;
}

// A printable form of a text for messages.
inline std::string printable(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

/* ---- A gate for the harness's tasks ---- */

// Tasks of a harness wait here between rounds; the harness opens it for the next round. The
// waits are the scheduler's, so the kernel's clock moves on while tasks wait here.
class Gate {
 public:
  explicit Gate(host::Scheduler& s) : sched_(s) {}
  // Waits until the gate opens for a round after `seen`; returns that round, or -1 once the
  // run stops.
  int wait_past(int seen) {
    host::Task* me = &host::current();
    host::Scheduler::Lock lock(sched_);
    waiters_.push_back(me);
    sched_.wait(lock, "gate", [&] { return round_ > seen || stopped_; });
    std::erase(waiters_, me);
    return stopped_ ? -1 : round_;
  }
  void open(bool stop = false) {
    host::Scheduler::Lock lock(sched_);
    ++round_;
    stopped_ = stop;
    for (host::Task* t : waiters_) sched_.wake(t);
  }
  int round() {
    host::Scheduler::Lock lock(sched_);
    return round_;
  }
  size_t waiting() {
    host::Scheduler::Lock lock(sched_);
    return waiters_.size();
  }

 private:
  host::Scheduler& sched_;
  // Under the scheduler lock.
  std::vector<host::Task*> waiters_;
  int round_ = 0;
  bool stopped_ = false;
};

/* ---- The rig ---- */

class Rig {
 public:
  explicit Rig(host::BootOptions options = {}) {
    host::Kernel::boot(options);
    auto r = board::Board::load(board::Board::default_dtb_path());
    if (!r) {
      load_error_ = r.error().message;
      return;
    }
    board_ = std::move(*r);
    slab_at_boot_ = host::slab_live_allocations();
  }

  ~Rig() {
    if (board_)
      for (int nr : board_->bus_numbers()) board_->bus(nr)->release_holds();
    settle();
    if (kernel().modules().loaded(kModule)) kernel().modules().rmmod(kModule);
    settle();
    board_.reset();
    host::Kernel::shutdown();
  }

  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Empty when the board loaded.
  const std::string& load_error() const { return load_error_; }

  host::Kernel& kernel() { return host::Kernel::get(); }
  host::Scheduler& sched() { return kernel().sched(); }
  void settle() { sched().settle(); }
  void advance_ms(int64_t ms) { sched().advance(ms * host::kNsPerMs); }

  board::Board& brd() { return *board_; }
  board::SimBus& bus() { return board_->bus(); }
  board::HdmiSource& hdmi() { return board_->hdmi(); }
  std::string device() const { return board_->chip_device_name(); }
  int irq() const { return host::Irq::gpio_irq(board_->irq_line().number()); }

  /* ---- Module and binding, as root at the board ---- */

  int insmod(const std::vector<std::string>& params = {}) {
    return kernel().modules().insmod(kModule, params);
  }
  int rmmod() { return kernel().modules().rmmod(kModule); }
  int bind() { return kernel().i2c().bind(device(), kModule); }
  int unbind() { return kernel().i2c().unbind(device()); }
  bool loaded() { return kernel().modules().loaded(kModule); }
  bool bound() {
    std::optional<std::string> d = kernel().i2c().bound_driver(device());
    return d && *d == kModule;
  }
  void plug(const std::string& mode) { hdmi().plug(board::Mode::parse(mode)); }

  /* ---- Files, as a simulated process ---- */

  host::Process& proc() { return proc_; }

  // A whole file from position 0 through a fresh open; nullopt when it cannot be opened or
  // read (errno_out gets the error).
  std::optional<std::string> read(host::Process& p, const std::string& path, int* err = nullptr) {
    host::Vfs& vfs = kernel().vfs();
    int fd = vfs.open(p, path, O_RDONLY);
    if (fd < 0) {
      if (err) *err = fd;
      return std::nullopt;
    }
    std::string all;
    for (;;) {
      host::ReadResult r = vfs.read(p, fd, 4096);
      if (r.ret < 0) {
        vfs.close(p, fd);
        if (err) *err = static_cast<int>(r.ret);
        return std::nullopt;
      }
      if (r.ret == 0) break;
      all += r.data;
    }
    vfs.close(p, fd);
    return all;
  }
  std::optional<std::string> read(const std::string& path) { return read(proc_, path); }

  // One write through a fresh open: the count, or a negative errno.
  ssize_t write(host::Process& p, const std::string& path, std::string_view bytes) {
    host::Vfs& vfs = kernel().vfs();
    int fd = vfs.open(p, path, O_WRONLY);
    if (fd < 0) return fd;
    ssize_t ret = vfs.write(p, fd, bytes);
    vfs.close(p, fd);
    return ret;
  }
  ssize_t write(const std::string& path, std::string_view bytes) {
    return write(proc_, path, bytes);
  }

  // The seven texts (those that could be read).
  std::map<std::string, std::string> texts(host::Process& p) {
    std::map<std::string, std::string> t;
    for (const std::string& f : text_files())
      if (std::optional<std::string> s = read(p, proc_path(f))) t[f] = *s;
    return t;
  }
  std::map<std::string, std::string> texts() { return texts(proc_); }

  /* ---- Checks; each returns what is wrong, empty when all holds ---- */

  // Every text that can be read is one of its values, with its length.
  std::vector<std::string> text_problems(host::Process& p) {
    std::vector<std::string> out;
    for (const auto& [file, text] : texts(p))
      if (!text_allowed(file, text)) out.push_back(file + " reads " + printable(text));
    return out;
  }
  std::vector<std::string> text_problems() { return text_problems(proc_); }

  // What the module holds matches whether it is bound: bound, it holds both lines with their
  // labels, the interrupt and its ten files; unbound (or unloaded), none of them. Module
  // references are those of the status files still open (`open_status`), the adapter is not
  // referenced, and the module's allocations are those open files' counters.
  std::vector<std::string> claim_problems(int open_status = 0) {
    std::vector<std::string> out;
    host::Kernel& k = kernel();
    const bool is_bound = loaded() && bound();
    const int int_gpio = board_->irq_line().number();
    const int pwr_gpio = board_->power_line().number();
    auto expect = [&](bool held, const std::string& what) {
      if (held != is_bound)
        out.push_back(what + (held ? " is held while the chip is not bound"
                                   : " is not held while the chip is bound"));
    };
    expect(k.gpio().requested(int_gpio), "the interrupt line");
    expect(k.gpio().requested(pwr_gpio), "the power line");
    expect(k.irq().requested(irq()), "the interrupt");
    expect(k.vfs().exists(kProcDir), std::string(kProcDir));
    if (is_bound) {
      if (k.gpio().label(int_gpio) != "init_gpio")
        out.push_back("the interrupt line is labelled \"" + k.gpio().label(int_gpio) + "\"");
      if (k.gpio().label(pwr_gpio) != "LT7911_PWR")
        out.push_back("the power line is labelled \"" + k.gpio().label(pwr_gpio) + "\"");
      if (k.irq().name(irq()) != "init_gpio_irq")
        out.push_back("the interrupt is named \"" + k.irq().name(irq()) + "\"");
      std::optional<std::vector<host::DirEntry>> dir = k.vfs().readdir(kProcDir);
      size_t n = dir ? dir->size() : 0;
      if (n != proc_files().size())
        out.push_back(std::string(kProcDir) + " holds " + std::to_string(n) + " entries");
    }
    const int refs = k.modules().refcount(kModule);
    if (loaded() && refs != open_status)
      out.push_back("the module holds " + std::to_string(refs) + " references, " +
                    std::to_string(open_status) + " status files are open");
    const int adapter_refs = k.i2c().adapter_refs(board_->bus_number());
    if (adapter_refs != 0)
      out.push_back("the chip's adapter holds " + std::to_string(adapter_refs) + " references");
    const size_t slab = host::slab_live_allocations();
    if (slab != slab_at_boot_ + static_cast<size_t>(open_status))
      out.push_back(std::to_string(slab - slab_at_boot_) + " allocations are live");
    return out;
  }

  // Warnings recorded since boot (or since the last call), one line each.
  std::vector<std::string> take_warnings() {
    std::vector<std::string> out;
    for (const host::Warning& w : kernel().warnings().take())
      out.push_back(w.message + " (" + w.context + ")");
    return out;
  }

  // Runs `fn` in a task of its own and lets the kernel run until it returns and everything it
  // started has settled. A flow that has not returned after `limit_ms` of the kernel's clock
  // hangs (a task waits for something that never comes, or loops in its sleeps): then what each
  // task waits on is printed with `what` and the process aborts, since a hung kernel cannot be
  // taken down.
  void run_bounded(const std::string& what, std::function<void()> fn, int64_t limit_ms = 60'000) {
    std::atomic<bool> done{false};
    host::Thread t = sched().spawn("flow", [&] {
      fn();
      done = true;
    });
    const int64_t until = sched().now() + limit_ms * host::kNsPerMs;
    sched().run_until([&] { return done.load() || sched().now() >= until; });
    if (!done.load()) {
      std::string tasks;
      {
        host::Scheduler::Lock lock(sched());
        tasks = sched().describe_tasks_locked();
      }
      std::fprintf(stderr, "HANG: %s did not return within %lld ms of kernel time\n%s\n",
                   what.c_str(), static_cast<long long>(limit_ms), tasks.c_str());
      std::abort();
    }
    t.join();
    settle();
  }

 private:
  host::Process proc_{100, 0, 0, "harness"};
  std::unique_ptr<board::Board> board_;
  std::string load_error_;
  size_t slab_at_boot_ = 0;
};

}  // namespace reliability
