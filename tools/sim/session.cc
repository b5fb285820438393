#include "tools/sim/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/faults.h"
#include "platform/host/i2c_core.h"
#include "platform/host/log.h"
#include "platform/host/modules.h"
#include "platform/host/workqueues.h"
#include "tools/sim/controls.h"
#include "tools/sim/exports.h"

namespace sim {

namespace {

// How long a real-time start waits for the work the bind queued.
constexpr int kSettleLimitMs = 5000;

std::string program_dir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

bool is_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The kernel's lines from sequence number `from` on, indented, one per line.
std::string kernel_lines_since(uint64_t from) {
  std::string out;
  for (const host::LogRecord& r : host::Kernel::get().log().read(from).records) {
    out += "\n  " + host::Log::format(r);
  }
  return out;
}

std::string join(const std::vector<std::string>& items, const char* sep) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : sep) + i;
  return out;
}

}  // namespace

host::Result<std::string> find_module(const std::string& given) {
  if (!given.empty()) {
    if (is_file(given)) return given;
    return host::Error("no module object at " + given);
  }
  const std::string object = std::string(kModuleName) + ".so";
  std::vector<std::string> tried;
  if (const char* build = std::getenv("LT_BUILD_DIR")) {
    tried.push_back(std::string(build) + "/modules/" + object);
  }
  const std::string here = program_dir();
  tried.push_back(here + "/../lib/lt7911_manage/" + object);  // installed
  tried.push_back(here + "/../modules/" + object);            // build tree
  for (const std::string& path : tried) {
    if (is_file(path)) return path;
  }
  return host::Error("cannot find the module " + object + " (looked at " + join(tried, ", ") +
                     "); give its path with --module PATH");
}

std::string default_board() {
  const std::string installed = program_dir() + "/../share/lt7911_manage/lt7911-board.dtb";
  if (is_file(installed)) return installed;
  return board::Board::default_dtb_path();
}

host::Result<std::unique_ptr<Session>> Session::start(const SessionConfig& config) {
  host::Result<std::string> found = find_module(config.module);
  if (!found) return found.error();
  const std::string& module = *found;
  std::optional<board::Mode> plug;
  if (!config.plug.empty()) {
    host::Result<HdmiCommand> c = parse_hdmi("plug " + config.plug);
    if (!c) return host::Error("--plug " + config.plug + ": " + c.error().message);
    plug = c->mode;
  }
  // In real time the board's clock is the host's CLOCK_MONOTONIC: kernel.log's times and the
  // times a program on the host reads are one clock.
  // In virtual time the tasks run on one CPU (real time ignores it): they take turns, and a turn
  // handed over on one CPU is cheaper.
  host::Kernel::boot({.clock = config.clock,
                      .echo_log = config.echo_log,
                      .timeline = config.timeline,
                      .host_clock = config.clock == host::ClockMode::kReal,
                      .one_cpu = true});
  std::unique_ptr<Session> s(new Session());
  s->config_ = config;
  s->module_path_ = module;
  std::string path = config.board.empty() ? default_board() : config.board;
  board::LoadOptions options;
  options.dtc_timeout_ms = config.dtc_timeout_ms;
  host::Result<std::unique_ptr<board::Board>> loaded = board::Board::load(path, options);
  if (!loaded) {
    s.reset();
    host::Kernel::shutdown();
    return host::Error("cannot load the board " + path + ": " + loaded.error().message);
  }
  s->board_ = std::move(*loaded);
  if (plug) s->board_->hdmi().plug(*plug);
  host::Kernel& k = host::Kernel::get();
  const uint64_t mark = k.log().next_seq();
  int r = k.modules().insmod(module, config.params);
  if (r < 0) {
    const std::string why = std::string("insmod ") + kModuleName + " failed: " + std::strerror(-r) +
                            " (" + module + ")" + kernel_lines_since(mark);
    s.reset();
    return host::Error(why, -r);
  }
  s->add_driver_files();
  k.sched().settle();
  // In real time, ready means the board has settled: the bind's own status run has published
  // what the chip sees (it takes tens of milliseconds of board time).
  for (int waited_ms = 0;
       k.options().clock == host::ClockMode::kReal && !k.wq().idle() && waited_ms < kSettleLimitMs;
       ++waited_ms) {
    k.sched().sleep_for(host::kNsPerMs, "settle");
  }
  // A parameter the module does not have is ignored by the kernel with a warning; the user
  // asked for it, so it is an error here.
  std::optional<host::ModInfo> info = k.modules().modinfo(kModuleName);
  std::vector<std::string> known, unknown;
  if (info) {
    for (const host::ParamInfo& p : info->params) known.push_back(p.name);
  }
  for (const std::string& p : config.params) {
    std::string name = p.substr(0, p.find('='));
    if (std::find(known.begin(), known.end(), name) == known.end()) unknown.push_back(name);
  }
  if (!unknown.empty()) {
    const std::string why = std::string(kModuleName) + " has no parameter " + join(unknown, ", ") +
                            " (it has " + join(known, ", ") + ")" + kernel_lines_since(mark);
    s.reset();
    return host::Error(why);
  }
  const std::string dev = s->board_->chip_device_name();
  if (config.require_bound && k.i2c().bound_driver(dev) != std::string(kModuleName)) {
    std::string why = std::string(kModuleName) + " did not bind to " + dev;
    if (!s->board_->problems().empty()) {
      why += " (the board: " + join(s->board_->problems(), "; ") + ")";
    }
    why += kernel_lines_since(mark);
    s.reset();
    return host::Error(why);
  }
  return s;
}

Session::~Session() {
  if (host::Kernel::booted()) {
    if (host::Kernel::get().modules().loaded(kModuleName)) {
      remove_driver_files();
      host::Kernel::get().modules().rmmod(kModuleName);
    }
    host::Kernel::get().sched().settle();
    board_.reset();
    host::Kernel::shutdown();
  }
}

// The driver's bind and unbind files, as the I2C core's sysfs directory holds them.
void Session::add_driver_files() {
  host::Vfs& vfs = kernel().vfs();
  if (vfs.exists(std::string(kDriverDir) + "/bind")) return;
  auto name_of = [](const char* buf, size_t count) {
    std::string n(buf, count);
    while (!n.empty() && (n.back() == '\n' || n.back() == ' ')) n.pop_back();
    return n;
  };
  vfs.add_attribute(std::string(kDriverDir) + "/bind", 0200, nullptr,
                    [name_of](const char* buf, size_t count) -> ssize_t {
                      int r = host::Kernel::get().i2c().bind(name_of(buf, count), kModuleName);
                      return r < 0 ? r : static_cast<ssize_t>(count);
                    });
  vfs.add_attribute(std::string(kDriverDir) + "/unbind", 0200, nullptr,
                    [name_of](const char* buf, size_t count) -> ssize_t {
                      int r = host::Kernel::get().i2c().unbind(name_of(buf, count));
                      return r < 0 ? r : static_cast<ssize_t>(count);
                    });
}

void Session::remove_driver_files() { kernel().vfs().remove(kDriverDir); }

std::string Session::error() const {
  lt::MutexLock l(error_mutex_);
  return error_;
}

int Session::refuse(const char* control, const std::string& command, const std::string& why,
                    int error) {
  {
    lt::MutexLock l(error_mutex_);
    error_ = why;
  }
  if (config_.on_refusal) {
    std::string shown = command;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    config_.on_refusal(std::string("sim/") + control + ": '" + shown + "' refused (" +
                       std::strerror(-error) + "): " + why);
  }
  return error;
}

int Session::hdmi(const std::string& command) {
  host::Result<HdmiCommand> c = parse_hdmi(command);
  if (!c) return refuse("hdmi", command, c.error().message, -EINVAL);
  if (c->mode) {
    board_->hdmi().plug(*c->mode);
  } else {
    board_->hdmi().unplug();
  }
  return 0;
}

int Session::audio(const std::string& command) {
  host::Result<uint8_t> c = parse_audio(command);
  if (!c) return refuse("audio", command, c.error().message, -EINVAL);
  board_->hdmi().set_audio_rate(*c);
  return 0;
}

int Session::module(const std::string& command) {
  host::Result<ModuleCommand> c = parse_module(command);
  if (!c) return refuse("module", command, c.error().message, -EINVAL);
  host::Modules& m = kernel().modules();
  if (c->load) {
    if (m.loaded(kModuleName)) return refuse("module", command, "it is loaded already", -EEXIST);
    const uint64_t mark = kernel().log().next_seq();
    int r = m.insmod(module_path_, c->params);
    if (r == 0) {
      add_driver_files();
      return 0;
    }
    return refuse("module", command, "insmod failed" + kernel_lines_since(mark), r);
  }
  if (!m.loaded(kModuleName)) return refuse("module", command, "it is not loaded", -ENOENT);
  if (m.refcount(kModuleName) > 0) {
    return refuse("module", command,
                  "it is in use (" + std::to_string(m.refcount(kModuleName)) +
                      " references: files of /proc/lt7911_info are open)",
                  -EBUSY);
  }
  remove_driver_files();
  int r = m.rmmod(kModuleName);
  if (r < 0) {
    add_driver_files();
    return refuse("module", command, "rmmod failed", r);
  }
  return 0;
}

int Session::faults(const std::string& command) {
  host::Result<FaultCommand> c = parse_fault(command);
  if (!c) return refuse("faults", command, c.error().message, -EINVAL);
  if (c->rule) {
    kernel().faults().inject(*c->rule);
  } else if (c->bus) {
    board_->bus().faults().add(*c->bus);
  } else {
    kernel().faults().clear();
    board_->bus().faults().clear();
  }
  return 0;
}

std::string Session::hdmi_text() const { return format_source(board_->hdmi().state().mode) + "\n"; }

std::string Session::audio_text() const {
  return std::to_string(board_->hdmi().state().audio_rate) + "\n";
}

std::string Session::module_text() const {
  host::Modules& m = host::Kernel::get().modules();
  if (!m.loaded(kModuleName)) return "not loaded\n";
  return std::string(kModuleName) + " loaded, " + std::to_string(m.refcount(kModuleName)) +
         " references\n";
}

std::string Session::faults_text() const {
  std::string out;
  for (const host::FaultRule& r : host::Kernel::get().faults().rules()) {
    out += format_fault(r) + "\n";
  }
  for (const board::BusFault& f : board_->bus().faults().rules()) out += format_fault(f) + "\n";
  return out;
}

std::vector<ControlFile> Session::control_files() {
  std::vector<ControlFile> files = noting_commands({
      {"hdmi", 0666, [this] { return hdmi_text(); },
       [this](const std::string& s) { return hdmi(s); }},
      {"audio", 0666, [this] { return audio_text(); },
       [this](const std::string& s) { return audio(s); }},
      {"module", 0644, [this] { return module_text(); },
       [this](const std::string& s) { return module(s); }},
      {"faults", 0644, [this] { return faults_text(); },
       [this](const std::string& s) { return faults(s); }},
  });
  for (ControlFile& f : timeline_files(*this)) files.push_back(std::move(f));
  return files;
}

std::optional<std::string> Session::read(const std::string& path) {
  host::Vfs& vfs = kernel().vfs();
  int fd = vfs.open(proc_, path, O_RDONLY);
  if (fd < 0) return std::nullopt;
  std::string out;
  for (;;) {
    host::ReadResult r = vfs.read(proc_, fd, 256);
    if (r.ret <= 0) break;
    out += r.data;
  }
  vfs.close(proc_, fd);
  return out;
}

int Session::write(const std::string& path, const std::string& bytes) {
  host::Vfs& vfs = kernel().vfs();
  int fd = vfs.open(proc_, path, O_WRONLY);
  if (fd < 0) return fd;
  ssize_t r = vfs.write(proc_, fd, bytes);
  vfs.close(proc_, fd);
  return r < 0 ? static_cast<int>(r) : 0;
}

}  // namespace sim
