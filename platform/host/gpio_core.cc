// GPIO controllers and lines, and the gpio_* / gpiod_* entry points.
#include <string>

#include "faults.h"
#include "gpio_core.h"
#include "irq_core.h"
#include "kernel.h"
#include "platform/errno.h"
#include "timeline.h"
#include "warn.h"

namespace host {

Result<void> Gpio::add_chip(const GpioChipInfo& info) {
  if (info.ngpio <= 0) return Error(info.label + ": no lines");
  if (info.base < 0 || info.base + info.ngpio > ARCH_NR_GPIOS) {
    return Error(info.label + ": lines " + std::to_string(info.base) + " to " +
                 std::to_string(info.base + info.ngpio - 1) + " leave 0 to " +
                 std::to_string(ARCH_NR_GPIOS - 1));
  }
  auto chip = std::make_unique<Chip>();
  chip->info = info;
  {
    lt::MutexLock lock(mutex_);
    for (const auto& c : chips_) {
      const int lo = c->info.base;
      const int hi = lo + c->info.ngpio;
      if (info.base < hi && lo < info.base + info.ngpio) {
        return Error(info.label + ": lines " + std::to_string(info.base) + " to " +
                     std::to_string(info.base + info.ngpio - 1) + " overlap " + c->info.label);
      }
      if (info.of_node != nullptr && c->info.of_node == info.of_node) {
        return Error(info.label + ": its node already has controller " + c->info.label);
      }
    }
    for (int i = 0; i < info.ngpio; ++i) {
      auto l = std::make_unique<Line>();
      l->desc.number = info.base + i;
      chip->lines.push_back(std::move(l));
    }
    const Chip* c = chip.get();
    for (int i = 0; i < info.ngpio; ++i) {
      chip_by_number_[info.base + i].store(c, std::memory_order_release);
      by_number_[info.base + i].store(chip->lines[i].get(), std::memory_order_release);
    }
    chips_.push_back(std::move(chip));
  }
  if (info.can_irq) {
    Irq& irq = Kernel::get().irq();
    for (int i = 0; i < info.ngpio; ++i) irq.create(Irq::gpio_irq(info.base + i));
  }
  return {};
}

std::optional<GpioChipInfo> Gpio::chip_for_node(const device_node* np) const {
  if (np == nullptr) return std::nullopt;
  lt::MutexLock lock(mutex_);
  for (const auto& c : chips_) {
    if (c->info.of_node == np) return c->info;
  }
  return std::nullopt;
}

std::optional<GpioChipInfo> Gpio::chip_for_number(int number) const {
  const Chip* c = chip_of(number);
  if (c == nullptr) return std::nullopt;
  return c->info;
}

Gpio::Line* Gpio::line(int number) const {
  if (number < 0 || number >= ARCH_NR_GPIOS) return nullptr;
  return by_number_[number].load(std::memory_order_acquire);
}

const Gpio::Chip* Gpio::chip_of(int number) const {
  if (number < 0 || number >= ARCH_NR_GPIOS) return nullptr;
  return chip_by_number_[number].load(std::memory_order_acquire);
}

bool Gpio::set_input(int number, int level) {
  Line* l = line(number);
  if (l == nullptr) return false;
  level = level ? 1 : 0;
  const int before = l->external.exchange(level, std::memory_order_acq_rel);
  if (before != level && timeline_on()) Timeline::note(TimelineKind::kLine, number, level);
  if (before == level || l->is_output.load(std::memory_order_acquire)) return true;
  if (chip_of(number)->info.can_irq) Kernel::get().irq().edge(Irq::gpio_irq(number), level == 1);
  return true;
}

int Gpio::level(int number) const {
  const Line* l = line(number);
  if (l == nullptr) return -1;
  return l->is_output.load(std::memory_order_acquire) ? l->output.load(std::memory_order_acquire)
                                                      : l->external.load(std::memory_order_acquire);
}

bool Gpio::is_output(int number) const {
  const Line* l = line(number);
  return l != nullptr && l->is_output.load(std::memory_order_acquire);
}

void Gpio::observe_output(int number, GpioOutputObserver observer) {
  Line* l = line(number);
  if (l == nullptr) return;
  lt::MutexLock lock(mutex_);
  l->observer = std::move(observer);
}

bool Gpio::requested(int number) const {
  const Line* l = line(number);
  if (l == nullptr) return false;
  lt::MutexLock lock(mutex_);
  return l->requested;
}

std::string Gpio::label(int number) const {
  const Line* l = line(number);
  if (l == nullptr) return "";
  lt::MutexLock lock(mutex_);
  return l->requested ? l->label : "";
}

int Gpio::request(unsigned number, const char* label) {
  if (auto err = fault("gpio_request", std::to_string(number))) return *err;
  gpio_desc* desc = to_desc(number);
  if (desc == nullptr) return gpio_is_valid(static_cast<int>(number)) ? -EPROBE_DEFER : -EINVAL;
  Line* l = line(desc->number);
  lt::MutexLock lock(mutex_);
  if (l->requested) return -EBUSY;
  l->requested = true;
  l->label = label ? label : "?";
  return 0;
}

void Gpio::free(unsigned number) {
  Line* l = line(static_cast<int>(number));
  // The line still drives a requested interrupt: gpiolib keeps it marked as used by that
  // interrupt until free_irq, so a user that frees the line first has its order wrong.
  const Chip* c = chip_of(static_cast<int>(number));
  if (l != nullptr && c != nullptr && c->info.can_irq &&
      Kernel::get().irq().requested(Irq::gpio_irq(static_cast<int>(number)))) {
    warn_context("gpio_free of GPIO %u while its interrupt %d is still requested", number,
                 Irq::gpio_irq(static_cast<int>(number)));
  }
  {
    lt::MutexLock lock(mutex_);
    if (l != nullptr && l->requested) {
      l->requested = false;
      l->label.clear();
      return;
    }
  }
  warn_context("gpio_free of GPIO %u, which is not requested", number);
}

gpio_desc* Gpio::to_desc(unsigned number) {
  if (!gpio_is_valid(static_cast<int>(number))) {
    warn_context("invalid GPIO %d", static_cast<int>(number));
    return nullptr;
  }
  Line* l = line(static_cast<int>(number));
  return l ? &l->desc : nullptr;
}

int Gpio::get_raw_value(const gpio_desc* desc) {
  if (desc == nullptr) return 0;
  if (chip_of(desc->number)->info.can_sleep) {
    warn_context("gpiod_get_raw_value on GPIO %d, whose controller sleeps", desc->number);
  }
  return level(desc->number);
}

int Gpio::direction_input(gpio_desc* desc) {
  if (desc == nullptr) return 0;
  Line* l = line(desc->number);
  l->is_output.store(false, std::memory_order_release);
  return 0;
}

void Gpio::drive(Line* l, int value) {
  l->output.store(value ? 1 : 0, std::memory_order_release);
  if (timeline_on()) {
    Timeline::note(TimelineKind::kLine, l->desc.number, value ? 1 : 0, TimelineEvent::kLineOutput);
  }
  GpioOutputObserver observer;
  {
    lt::MutexLock lock(mutex_);
    observer = l->observer;
  }
  if (observer) observer(l->desc.number, value ? 1 : 0);
}

int Gpio::direction_output_raw(gpio_desc* desc, int value) {
  if (desc == nullptr) return 0;
  if (auto err = fault("gpiod_direction_output", std::to_string(desc->number))) return *err;
  Line* l = line(desc->number);
  l->output.store(value ? 1 : 0, std::memory_order_release);
  l->is_output.store(true, std::memory_order_release);
  drive(l, value);
  hook_point("gpiod_direction_output");
  return 0;
}

void Gpio::set_raw_value(gpio_desc* desc, int value) {
  if (desc == nullptr) return;
  Line* l = line(desc->number);
  if (l->is_output.load(std::memory_order_acquire)) {
    drive(l, value);
  } else {
    l->output.store(value ? 1 : 0, std::memory_order_release);
  }
}

int Gpio::to_irq(const gpio_desc* desc) {
  if (desc == nullptr) return 0;
  if (auto err = fault("gpiod_to_irq", std::to_string(desc->number))) return *err;
  if (!chip_of(desc->number)->info.can_irq) return -ENXIO;
  return Irq::gpio_irq(desc->number);
}

}  // namespace host

extern "C" {

int gpio_request(unsigned gpio, const char* label) {
  return host::Kernel::get().gpio().request(gpio, label);
}
void gpio_free(unsigned gpio) { host::Kernel::get().gpio().free(gpio); }
struct gpio_desc* gpio_to_desc(unsigned gpio) {
  return host::Kernel::get().gpio().to_desc(gpio);
}
int desc_to_gpio(const struct gpio_desc* desc) { return desc ? desc->number : -EINVAL; }
int gpiod_to_irq(const struct gpio_desc* desc) { return host::Kernel::get().gpio().to_irq(desc); }
int gpiod_get_raw_value(const struct gpio_desc* desc) {
  return host::Kernel::get().gpio().get_raw_value(desc);
}
int gpiod_direction_input(struct gpio_desc* desc) {
  return host::Kernel::get().gpio().direction_input(desc);
}
int gpiod_direction_output_raw(struct gpio_desc* desc, int value) {
  return host::Kernel::get().gpio().direction_output_raw(desc, value);
}
void gpiod_set_raw_value(struct gpio_desc* desc, int value) {
  host::Kernel::get().gpio().set_raw_value(desc, value);
}

}  // extern "C"
