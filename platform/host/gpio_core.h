// GPIO controllers and lines.
//
// The board (or a test) registers controllers, each owning the GPIO numbers [base, base +
// ngpio) of the 512-number space; ranges never overlap and controllers are never removed, so a
// gpio_desc stays valid until the kernel shuts down. Linux's gpio_request/gpiod_* calls of
// platform/gpio.h act on the lines; the device side drives input levels (set_input) and watches
// what the module drives (observe_output).
//
// Interrupts: a controller registered with `can_irq` gives each line the interrupt
// Irq::gpio_irq(number) = Irq::kGpioIrqBase + number. A level change of an input line made with
// set_input raises an edge on that interrupt, delivered on the calling thread (see irq_core.h).
// Freeing a line while its interrupt is still requested records a warning (and frees the line):
// the interrupt is to be freed first.
//
// Threading: every member may be called from any task. gpiod_get_raw_value never blocks and may
// be called from a hard-interrupt handler (for a controller that cannot sleep; on one with
// `can_sleep` it records a WARN, as Linux does). Output observers and interrupt handlers are
// called with no lock of the GPIO core held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/gpio.h"
#include "platform/host/result.h"
#include "thread_safety.h"

struct device_node;

// A line's descriptor, as the module sees it (opaque there).
struct gpio_desc {
  int number = 0;
};

namespace host {

struct GpioChipInfo {
  std::string label;
  const device_node* of_node = nullptr;  // the controller's node, if it has one
  int base = 0;
  int ngpio = 32;
  bool can_irq = true;     // its lines have interrupts
  bool can_sleep = false;  // its accessors sleep (an I2C expander, say)
};

// Called after the module drives a line (gpiod_direction_output_raw, or gpiod_set_raw_value on
// an output), every time, also when the level stays the same.
using GpioOutputObserver = std::function<void(int number, int level)>;

class Gpio {
 public:
  Gpio() = default;
  Gpio(const Gpio&) = delete;
  Gpio& operator=(const Gpio&) = delete;

  // Board side. Registers a controller; fails (with the reason) for an empty or overlapping
  // range, or one that reaches beyond ARCH_NR_GPIOS - 1.
  Result<void> add_chip(const GpioChipInfo& info);
  // The controller registered for a device-tree node, if any.
  std::optional<GpioChipInfo> chip_for_node(const device_node* np) const;
  // The controller that owns a number, if any.
  std::optional<GpioChipInfo> chip_for_number(int number) const;

  // Device side. Drives the external level of a line (0 or 1; any nonzero is 1). While the line
  // is an input, a change raises an edge on its interrupt (rising 0 -> 1, falling 1 -> 0).
  // Returns false for a number that no controller owns.
  bool set_input(int number, int level);
  // The level the line shows: the driven output level while it is an output, else the external
  // level. -1 for a number that no controller owns.
  int level(int number) const;
  bool is_output(int number) const;
  // Replaces the observer of one line (an empty function removes it).
  void observe_output(int number, GpioOutputObserver observer);

  // Test and diagnostic API.
  bool requested(int number) const;
  // The label given to gpio_request, or "" when the line is not requested.
  std::string label(int number) const;

  // The C entry points of platform/gpio.h.
  int request(unsigned number, const char* label);
  void free(unsigned number);
  gpio_desc* to_desc(unsigned number);
  int get_raw_value(const gpio_desc* desc);
  int direction_input(gpio_desc* desc);
  int direction_output_raw(gpio_desc* desc, int value);
  void set_raw_value(gpio_desc* desc, int value);
  int to_irq(const gpio_desc* desc);

 private:
  struct Line {
    gpio_desc desc;
    std::atomic<int> external{0};  // level driven from outside
    std::atomic<int> output{0};    // level the module drives
    std::atomic<bool> is_output{false};
    // Guarded by mutex_.
    bool requested = false;
    std::string label;
    GpioOutputObserver observer;
  };
  struct Chip {
    GpioChipInfo info;
    std::vector<std::unique_ptr<Line>> lines;
  };

  // Lines are created with their controller and never freed, so a Line* found under mutex_ may
  // be used after it is released.
  Line* line(int number) const;
  const Chip* chip_of(int number) const;
  void drive(Line* l, int value);

  mutable lt::Mutex mutex_;  // also guards the requested/label/observer members of lines
  std::vector<std::unique_ptr<Chip>> chips_ LT_GUARDED_BY(mutex_);
  // Lookup by number without the lock: set once when a controller is added.
  std::atomic<Line*> by_number_[ARCH_NR_GPIOS] = {};
  std::atomic<const Chip*> chip_by_number_[ARCH_NR_GPIOS] = {};
};

}  // namespace host
