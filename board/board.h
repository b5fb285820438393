// The board: a device tree brought to life in the host kernel.
//
// Board::load reads a .dtb (or compiles a .dts with dtc), loads it into the kernel's device
// tree and registers, from it:
//   - a GPIO controller for every node with "gpio-controller": its lines are the global numbers
//     [base, base + "ngpios" (default 32)); the base is 32 * N for a controller that the alias
//     "gpioN" names, otherwise the next free multiple of 32 after the aliased ones, in tree
//     order; "#gpio-cells" must be at least 1 (the first cell is the line);
//   - an I2C adapter for every available node named "i2c": its number is N of the alias "i2cN",
//     otherwise one above the highest aliased number, in tree order; its bus runs at
//     "clock-frequency" (100 kHz when absent); the I2C core creates a client for each child;
//   - the LT7911D model at the "reg" address of the first available "lontium,lt7911d" node under
//     an adapter, its power input following the output level of the "reset-gpio" line and its
//     interrupt output driving the input level of the "irq-gpio" line.
//
// Errors in the tree are reported with the node and the property at fault
// ("/i2c@ff3d0000: property \"clock-frequency\": ..."), and the board is not built. Faults in
// the chip's GPIO specifiers (missing property, a phandle that names no GPIO controller, a line
// out of range) leave that wire unconnected and are listed in problems(), so that a driver can
// meet them through of_get_named_gpio; with LoadOptions::strict they are errors too. A chip
// without a usable "reset-gpio" is powered from the start.
//
// Lifetime: one board per kernel boot (GPIO controllers are never removed). Destroying the board
// removes its adapters (and so their clients, running bound drivers' remove) and disconnects
// the chip; do it while the kernel is still booted and idle.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board/hdmi_source.h"
#include "board/i2c_bus.h"
#include "board/lt7911d.h"
#include "platform/host/result.h"

struct i2c_adapter;

namespace board {

// A GPIO line of the board as seen from outside the module.
class GpioLine {
 public:
  GpioLine() = default;
  explicit GpioLine(int number) : number_(number) {}
  bool connected() const { return number_ >= 0; }
  int number() const { return number_; }
  // The level the line shows (the driven output while it is an output); -1 if unconnected.
  int level() const;
  bool is_output() const;
  // Drives the external level of the line (for an input, an edge raises its interrupt).
  void set(bool level) const;

 private:
  int number_ = -1;
};

struct LoadOptions {
  ChipConfig chip;
  bool strict = false;              // GPIO specifier faults of the chip are errors
  int64_t dtc_timeout_ms = 10'000;  // a .dts whose compile takes longer is refused
};

class Board;

// The device-tree blob of a file: a .dts is compiled with dtc, anything else is read as a dtb.
// dtc runs as a child that writes the blob to a pipe (no temporary files), is killed when it
// runs longer than timeout_ms, and dies with the process that started it.
host::Result<std::vector<uint8_t>> read_device_tree(const std::string& path,
                                                    int64_t timeout_ms = 10'000);

class Board {
 public:
  // The default board's compiled .dtb and its source.
  static std::string default_dtb_path();
  static std::string default_dts_path();

  // The board, or why there is none.
  static host::Result<std::unique_ptr<Board>> load(const std::string& path,
                                                   const LoadOptions& options = {});
  static host::Result<std::unique_ptr<Board>> load_blob(std::span<const uint8_t> dtb,
                                                        const LoadOptions& options = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  Lt7911d& chip() { return *chip_; }
  HdmiSource& hdmi() { return *source_; }
  // The bus the chip sits on.
  SimBus& bus() { return *chip_bus_->bus; }
  // Any adapter's bus by number; nullptr if the board has no such adapter.
  SimBus* bus(int nr);
  std::vector<int> bus_numbers() const;

  int bus_number() const { return chip_bus_->nr; }
  uint16_t chip_address() const { return chip_address_; }
  // "<bus>-<address as 4 hex digits>", e.g. "4-002b".
  std::string chip_device_name() const;
  std::string chip_node_path() const { return chip_node_path_; }
  GpioLine irq_line() const { return GpioLine(irq_gpio_); }
  GpioLine power_line() const { return GpioLine(power_gpio_); }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  struct Adapter {
    int nr = -1;
    std::string node_path;
    std::unique_ptr<SimBus> bus;
    i2c_adapter* adapter = nullptr;
  };

  Board() = default;

  uint64_t generation_ = 0;  // of the kernel the board was built in
  std::unique_ptr<HdmiSource> source_;
  std::unique_ptr<Lt7911d> chip_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
  Adapter* chip_bus_ = nullptr;
  uint16_t chip_address_ = 0;
  std::string chip_node_path_;
  int irq_gpio_ = -1;
  int power_gpio_ = -1;
  std::vector<std::string> problems_;
};

}  // namespace board
