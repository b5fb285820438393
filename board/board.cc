#include "board/board.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/host/device_tree.h"
#include "platform/host/gpio_core.h"
#include "platform/host/i2c_core.h"
#include "platform/host/kernel.h"

namespace board {

namespace {

constexpr char kChipCompatible[] = "lontium,lt7911d";
constexpr int kGpiosPerController = 32;
constexpr int kMaxI2cAddress = 0x7F;

std::string prop_error(const device_node* np, const std::string& prop, const std::string& what) {
  return np->path + ": property \"" + prop + "\": " + what;
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The program file of a command, looked up in PATH.
std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Runs dtc on a .dts, bounded in time; the blob, or dtc's complaint.
host::Result<std::vector<uint8_t>> compile_dts(const std::string& path, int64_t timeout_ms) {
  constexpr size_t kMaxOutput = 16u << 20;
  const std::string dtc = find_program("dtc");
  if (dtc.empty()) return host::Error("cannot run dtc: not found in PATH");
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return host::Error("cannot make a pipe for dtc");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return host::Error("cannot make a pipe for dtc");
  }
  std::vector<std::string> args = {dtc, "-q", "-I", "dts", "-O", "dtb", path};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const long cpu_s = static_cast<long>(timeout_ms / 1000 + 1);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    rlimit cpu{static_cast<rlim_t>(cpu_s), static_cast<rlim_t>(cpu_s)};
    ::setrlimit(RLIMIT_CPU, &cpu);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return host::Error("cannot start dtc");
  }
  std::vector<uint8_t> blob;
  std::string complaint;
  bool timed_out = false;
  bool too_big = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    int n = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      char buf[65536];
      ssize_t got = ::read(p.fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open_fds;
        continue;
      }
      if (p.fd == out[0]) {
        blob.insert(blob.end(), buf, buf + got);
      } else if (complaint.size() < 64 * 1024) {
        complaint.append(buf, static_cast<size_t>(got));
      }
      if (blob.size() > kMaxOutput) {
        too_big = true;
        open_fds = 0;
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  if (timed_out || too_big) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  while (!complaint.empty() && complaint.back() == '\n') complaint.pop_back();
  if (timed_out) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", static_cast<double>(timeout_ms) / 1000.0);
    return host::Error("dtc did not finish " + path + " within " + limit + " s; it was stopped");
  }
  if (too_big) return host::Error("dtc made more than 16 MiB of " + path);
  if (WIFSIGNALED(status)) {
    return host::Error("dtc was killed by signal " + std::to_string(WTERMSIG(status)) + " on " +
                       path + (WTERMSIG(status) == SIGXCPU ? " (CPU time limit)" : ""));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return host::Error(WIFEXITED(status) && WEXITSTATUS(status) == 127 && complaint.empty()
                           ? "cannot run " + dtc
                           : "dtc failed on " + path + ": " + complaint);
  }
  return blob;
}

// A GPIO controller of the tree.
struct Controller {
  device_node* node = nullptr;
  int base = -1;
  int ngpio = kGpiosPerController;
  int cells = 2;
};

// The global number of the first specifier of a GPIO property, or why it has none.
struct GpioRef {
  int number = -1;
  std::string problem;
};

GpioRef resolve_gpio(const host::DeviceTree& dt, const std::vector<Controller>& controllers,
                     const device_node* np, const std::string& prop) {
  auto cells = host::DeviceTree::read_u32_array(np, prop);
  if (!np->has_property(prop)) return {-1, prop_error(np, prop, "missing")};
  if (!cells || cells->size() < 2) return {-1, prop_error(np, prop, "too short for a specifier")};
  device_node* ctl_node = dt.find_by_phandle((*cells)[0]);
  auto ctl = std::find_if(controllers.begin(), controllers.end(),
                          [&](const Controller& c) { return c.node == ctl_node; });
  if (ctl_node == nullptr || ctl == controllers.end()) {
    return {-1, prop_error(np, prop, "phandle " + hex((*cells)[0]) + " is not a GPIO controller")};
  }
  if (cells->size() < static_cast<size_t>(1 + ctl->cells)) {
    return {-1, prop_error(np, prop,
                           "needs " + std::to_string(ctl->cells) + " cells after the " +
                               "phandle of " + ctl->node->path)};
  }
  uint32_t line = (*cells)[1];
  if (line >= static_cast<uint32_t>(ctl->ngpio)) {
    return {-1, prop_error(np, prop,
                           "line " + std::to_string(line) + " is out of range for " +
                               ctl->node->path + " (" + std::to_string(ctl->ngpio) + " lines)")};
  }
  return {ctl->base + static_cast<int>(line), ""};
}

}  // namespace

// ---- GpioLine ------------------------------------------------------------------------------

int GpioLine::level() const {
  if (!connected()) return -1;
  return host::Kernel::get().gpio().level(number_);
}

bool GpioLine::is_output() const {
  return connected() && host::Kernel::get().gpio().is_output(number_);
}

void GpioLine::set(bool level) const {
  if (connected()) host::Kernel::get().gpio().set_input(number_, level ? 1 : 0);
}

// ---- Loading -------------------------------------------------------------------------------

host::Result<std::vector<uint8_t>> read_device_tree(const std::string& path, int64_t timeout_ms) {
  if (ends_with(path, ".dts")) return compile_dts(path, timeout_ms);
  std::ifstream in(path, std::ios::binary);
  if (!in) return host::Error("cannot open " + path);
  std::vector<uint8_t> blob(std::istreambuf_iterator<char>(in), {});
  if (blob.empty()) return host::Error(path + " is empty");
  return blob;
}

std::string Board::default_dtb_path() {
  return std::string(LT_BOARD_DTB_DIR) + "/lt7911-board.dtb";
}

std::string Board::default_dts_path() {
  return std::string(LT_BOARD_DTS_DIR) + "/lt7911-board.dts";
}

host::Result<std::unique_ptr<Board>> Board::load(const std::string& path,
                                                 const LoadOptions& options) {
  host::Result<std::vector<uint8_t>> blob = read_device_tree(path, options.dtc_timeout_ms);
  if (!blob) return blob.error();
  return load_blob(*blob, options);
}

host::Result<std::unique_ptr<Board>> Board::load_blob(std::span<const uint8_t> dtb,
                                                      const LoadOptions& options) {
  host::Kernel& k = host::Kernel::get();
  host::DeviceTree& dt = k.dt();
  if (host::Result<void> r = dt.load(dtb); !r) return r.error();

  // Validate everything before registering anything.
  std::vector<Controller> controllers;
  std::set<int> taken_bases;
  for (device_node* np : dt.all_nodes()) {
    if (!np->has_property("gpio-controller")) continue;
    Controller c;
    c.node = np;
    auto cells = host::DeviceTree::read_u32(np, "#gpio-cells");
    if (!cells || *cells < 1)
      return host::Error(prop_error(np, "#gpio-cells", "must be at least 1"));
    c.cells = static_cast<int>(*cells);
    if (np->has_property("ngpios")) {
      auto n = host::DeviceTree::read_u32(np, "ngpios");
      if (!n || *n < 1 || *n > static_cast<uint32_t>(kGpiosPerController)) {
        return host::Error(prop_error(np, "ngpios", "must be 1 to 32"));
      }
      c.ngpio = static_cast<int>(*n);
    }
    int id = dt.alias_id("gpio", np);
    if (id >= 0) {
      c.base = id * kGpiosPerController;
      if (c.base + c.ngpio > ARCH_NR_GPIOS) {
        return host::Error(np->path + ": alias gpio" + std::to_string(id) + " is beyond the " +
                           std::to_string(ARCH_NR_GPIOS) + " GPIO numbers");
      }
      taken_bases.insert(c.base);
    }
    controllers.push_back(c);
  }
  int next_base = taken_bases.empty() ? 0 : *taken_bases.rbegin() + kGpiosPerController;
  for (Controller& c : controllers) {
    if (c.base >= 0) continue;
    c.base = next_base;
    next_base += kGpiosPerController;
    if (c.base + c.ngpio > ARCH_NR_GPIOS) {
      return host::Error(c.node->path + ": no GPIO numbers left for this controller");
    }
  }

  struct AdapterPlan {
    device_node* node;
    int nr;
    uint32_t clock_hz;
  };
  std::vector<AdapterPlan> plans;
  std::set<int> numbers;
  int highest_alias = -1;
  for (device_node* np : dt.all_nodes()) {
    if (np->name != "i2c" || !host::DeviceTree::is_available(np)) continue;
    int id = dt.alias_id("i2c", np);
    uint32_t clock = SimBus::kDefaultClockHz;
    if (np->has_property("clock-frequency")) {
      auto f = host::DeviceTree::read_u32(np, "clock-frequency");
      if (!f || *f == 0 || *f > 5'000'000) {
        return host::Error(prop_error(np, "clock-frequency", "must be a u32 from 1 to 5000000"));
      }
      clock = *f;
    }
    if (id >= 0) highest_alias = std::max(highest_alias, id);
    plans.push_back({np, id, clock});
  }
  for (AdapterPlan& p : plans) {
    if (p.nr >= 0) numbers.insert(p.nr);
  }
  int next_nr = highest_alias + 1;
  for (AdapterPlan& p : plans) {
    if (p.nr >= 0) continue;
    while (numbers.count(next_nr)) ++next_nr;
    p.nr = next_nr;
    numbers.insert(next_nr);
  }

  // The chip.
  device_node* chip_node = nullptr;
  AdapterPlan* chip_plan = nullptr;
  for (device_node* np : dt.find_compatible(kChipCompatible)) {
    if (!host::DeviceTree::is_available(np)) continue;
    auto plan = std::find_if(plans.begin(), plans.end(),
                             [&](const AdapterPlan& p) { return p.node == np->parent; });
    if (plan == plans.end()) continue;
    chip_node = np;
    chip_plan = &*plan;
    break;
  }
  if (chip_node == nullptr) {
    return host::Error(std::string("no available \"") + kChipCompatible +
                       "\" node under an I2C adapter node");
  }
  auto reg = host::DeviceTree::read_u32(chip_node, "reg");
  if (!chip_node->has_property("reg")) return host::Error(prop_error(chip_node, "reg", "missing"));
  if (!reg || chip_node->property("reg")->size() != sizeof(uint32_t) ||
      *reg > static_cast<uint32_t>(kMaxI2cAddress)) {
    return host::Error(prop_error(chip_node, "reg", "must be one cell holding a 7-bit address"));
  }

  std::unique_ptr<Board> b(new Board());
  b->generation_ = host::Kernel::generation();
  GpioRef irq = resolve_gpio(dt, controllers, chip_node, "irq-gpio");
  GpioRef power = resolve_gpio(dt, controllers, chip_node, "reset-gpio");
  for (const GpioRef* ref : {&irq, &power}) {
    if (ref->problem.empty()) continue;
    if (options.strict) return host::Error(ref->problem);
    b->problems_.push_back(ref->problem);
  }

  // Register: GPIO controllers, the chip on its bus, the adapters (which create the clients).
  for (const Controller& c : controllers) {
    host::GpioChipInfo info;
    info.label = c.node->full_name;
    info.of_node = c.node;
    info.base = c.base;
    info.ngpio = c.ngpio;
    if (host::Result<void> r = k.gpio().add_chip(info); !r) {
      return host::Error(c.node->path + ": " + r.error().message);
    }
  }

  b->source_ = std::make_unique<HdmiSource>();
  b->chip_ = std::make_unique<Lt7911d>(*b->source_, options.chip);
  b->chip_address_ = static_cast<uint16_t>(*reg);
  b->chip_node_path_ = chip_node->path;
  b->irq_gpio_ = irq.number;
  b->power_gpio_ = power.number;

  Lt7911d* chip = b->chip_.get();
  if (irq.number >= 0) {
    const int n = irq.number;
    chip->set_irq_output([n](bool level) { host::Kernel::get().gpio().set_input(n, level); });
  }
  if (power.number >= 0) {
    k.gpio().observe_output(power.number, [chip](int, int level) { chip->set_power(level != 0); });
  } else {
    chip->set_power(true);
  }

  for (const AdapterPlan& p : plans) {
    auto a = std::make_unique<Adapter>();
    a->nr = p.nr;
    a->node_path = p.node->path;
    a->bus = std::make_unique<SimBus>(p.clock_hz);
    if (&p == chip_plan) {
      a->bus->attach(b->chip_address_, chip);
      b->chip_bus_ = a.get();
    }
    a->adapter = k.i2c().add_numbered_adapter(p.nr, p.node->full_name, *a->bus, p.node);
    if (a->adapter == nullptr) {
      return host::Error(p.node->path + ": I2C bus number " + std::to_string(p.nr) + " is taken");
    }
    b->adapters_.push_back(std::move(a));
  }
  return b;
}

Board::~Board() {
  // After a reboot the old kernel's adapters and lines are gone with it.
  if (!host::Kernel::booted() || host::Kernel::generation() != generation_) return;
  host::Kernel& k = host::Kernel::get();
  for (auto it = adapters_.rbegin(); it != adapters_.rend(); ++it) {
    if ((*it)->adapter != nullptr) k.i2c().del_adapter((*it)->adapter);
  }
  if (power_gpio_ >= 0) k.gpio().observe_output(power_gpio_, {});
  if (chip_) chip_->set_irq_output(nullptr);
}

SimBus* Board::bus(int nr) {
  for (auto& a : adapters_) {
    if (a->nr == nr) return a->bus.get();
  }
  return nullptr;
}

std::vector<int> Board::bus_numbers() const {
  std::vector<int> v;
  for (const auto& a : adapters_) v.push_back(a->nr);
  return v;
}

std::string Board::chip_device_name() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d-%04x", bus_number(), chip_address_);
  return buf;
}

}  // namespace board
