#include "tools/sim/session.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host/faults.h"
#include "platform/host/i2c_core.h"
#include "platform/host/log.h"
#include "platform/host/modules.h"
#include "tools/sim/controls.h"
#include "tools/sim/exports.h"

namespace sim {

std::unique_ptr<Session> Session::start(const SessionConfig& config, std::string* why) {
  host::Kernel::boot(
      {.clock = config.clock, .echo_log = config.echo_log, .timeline = config.timeline});
  std::unique_ptr<Session> s(new Session());
  std::string path = config.board.empty() ? board::Board::default_dtb_path() : config.board;
  board::LoadResult loaded = board::Board::load(path);
  if (!loaded) {
    *why = "cannot load the board " + path + ": " + loaded.error;
    s.reset();
    host::Kernel::shutdown();
    return nullptr;
  }
  s->board_ = std::move(loaded.board);
  int r = host::Kernel::get().modules().insmod(kModuleName, config.params);
  if (r < 0) {
    *why = std::string("insmod ") + kModuleName + " failed: " + std::strerror(-r) + " (" +
           host::Modules::resolve(kModuleName) + ")";
    s.reset();
    return nullptr;
  }
  s->add_driver_files();
  host::Kernel::get().sched().settle();
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

int Session::hdmi(const std::string& command) {
  Parsed<HdmiCommand> c = parse_hdmi(command);
  if (!c) {
    error_ = c.error;
    return -EINVAL;
  }
  if (c->mode) {
    board_->hdmi().plug(*c->mode);
  } else {
    board_->hdmi().unplug();
  }
  return 0;
}

int Session::audio(const std::string& command) {
  Parsed<uint8_t> c = parse_audio(command);
  if (!c) {
    error_ = c.error;
    return -EINVAL;
  }
  board_->hdmi().set_audio_rate(*c);
  return 0;
}

int Session::module(const std::string& command) {
  Parsed<ModuleCommand> c = parse_module(command);
  if (!c) {
    error_ = c.error;
    return -EINVAL;
  }
  host::Modules& m = kernel().modules();
  if (c->load) {
    int r = m.insmod(kModuleName, c->params);
    if (r == 0) add_driver_files();
    return r;
  }
  if (!m.loaded(kModuleName)) return -ENOENT;
  if (m.refcount(kModuleName) > 0) return -EBUSY;
  remove_driver_files();
  int r = m.rmmod(kModuleName);
  if (r < 0) add_driver_files();
  return r;
}

int Session::faults(const std::string& command) {
  Parsed<FaultCommand> c = parse_fault(command);
  if (!c) {
    error_ = c.error;
    return -EINVAL;
  }
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
