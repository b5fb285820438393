#include "kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "device_tree.h"
#include "faults.h"
#include "gpio_core.h"
#include "i2c_core.h"
#include "irq_core.h"
#include "locks.h"
#include "log.h"
#include "modules.h"
#include "timeline.h"
#include "timers.h"
#include "vfs.h"
#include "warn.h"
#include "workqueues.h"

namespace host {
namespace {
std::atomic<Kernel*> g_kernel{nullptr};
std::atomic<uint64_t> g_generation{0};
}  // namespace

Kernel::Kernel(const BootOptions& options) : options_(options) {}

Kernel::~Kernel() = default;

void Kernel::start() {
  timeline_ = std::make_unique<Timeline>();
  if (options_.timeline > 0) timeline_->start(options_.timeline);
  sched_ = std::make_unique<Scheduler>(options_.clock, options_.host_clock,
                                       options_.clock == ClockMode::kVirtual && options_.one_cpu);
  log_ = std::make_unique<Log>();
  warnings_ = std::make_unique<Warnings>();
  faults_ = std::make_unique<Faults>();
  locks_ = std::make_unique<Locks>();
  timers_ = std::make_unique<Timers>(*sched_);
  dt_ = std::make_unique<DeviceTree>();
  gpio_ = std::make_unique<Gpio>();
  irq_ = std::make_unique<Irq>();
  i2c_ = std::make_unique<I2cCore>();
  wq_ = std::make_unique<Workqueues>();
  vfs_ = std::make_unique<Vfs>();
  modules_ = std::make_unique<Modules>();
}

void Kernel::stop() {
  modules_->unload_all();
  vfs_->shutdown();
  i2c_->shutdown();
  wq_->stop();
  timers_->stop();
  modules_.reset();
  vfs_.reset();
  i2c_.reset();
  wq_.reset();
  irq_.reset();
  gpio_.reset();
  dt_.reset();
  timers_.reset();
  locks_.reset();
  faults_.reset();
  warnings_.reset();
  log_.reset();
  sched_.reset();
  timeline_.reset();
}

void Kernel::boot(const BootOptions& options) {
  if (g_kernel.load() != nullptr) {
    std::fprintf(stderr, "host kernel: boot while a kernel is running\n");
    std::abort();
  }
  auto* k = new Kernel(options);
  g_generation.fetch_add(1);
  k->start();
  g_kernel.store(k);
  current();  // the booting thread is the first task
  k->timers_->start();
  k->wq_->start();
}

void Kernel::shutdown() {
  Kernel* k = g_kernel.load();
  if (k == nullptr) return;
  k->stop();
  g_kernel.store(nullptr);
  delete k;
  unpin_current_thread();
}

bool Kernel::booted() { return g_kernel.load() != nullptr; }

Kernel& Kernel::get() {
  Kernel* k = g_kernel.load();
  if (k == nullptr) {
    std::fprintf(stderr, "host kernel: used before boot\n");
    std::abort();
  }
  return *k;
}

uint64_t Kernel::generation() { return g_generation.load(); }

}  // namespace host
