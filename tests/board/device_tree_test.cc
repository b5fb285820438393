// The board from its device tree: the default board in the host kernel, SMBus through the I2C
// core, the chip's wiring to its GPIO lines, and the errors of a faulty tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/errno.h"
#include "platform/gpio.h"
#include "platform/host/device_tree.h"
#include "platform/host/gpio_core.h"
#include "platform/host/i2c_core.h"
#include "platform/i2c.h"
#include "platform/of.h"
#include "support/board_test.h"

namespace {

using host::kNsPerUs;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::BoardTest;
using testing_support::KernelTest;
using testing_support::Mode;

constexpr int kIrqGpio = 32 + 12;   // gpio1 line 12
constexpr int kPowerGpio = 64 + 3;  // gpio2 line 3

void power_chip(int level) {
  ASSERT_EQ(gpiod_direction_output_raw(gpio_to_desc(kPowerGpio), level), 0);
}

// ---- The default board ---------------------------------------------------------------------

class DefaultBoardTest : public BoardTest {};

TEST_F(DefaultBoardTest, AdapterChipAndLinesComeFromTheTree) {
  EXPECT_EQ(board().bus_number(), 4);
  EXPECT_EQ(bus().clock_hz(), 400'000u);
  EXPECT_EQ(board().chip_address(), 0x2B);
  EXPECT_EQ(board().chip_device_name(), "4-002b");
  EXPECT_THAT(kernel().i2c().clients(), ElementsAre("4-002b"));
  i2c_client* client = kernel().i2c().find_client("4-002b");
  ASSERT_NE(client, nullptr);
  EXPECT_STREQ(client->name, "lt7911d");
  EXPECT_EQ(board().irq_line().number(), kIrqGpio);
  EXPECT_EQ(board().power_line().number(), kPowerGpio);
  EXPECT_TRUE(board().problems().empty());
  // The driver finds the same numbers through the device tree.
  EXPECT_EQ(of_get_named_gpio(client->dev.of_node, "irq-gpio", 0), kIrqGpio);
  EXPECT_EQ(of_get_named_gpio(client->dev.of_node, "reset-gpio", 0), kPowerGpio);
  EXPECT_FALSE(chip().powered());  // nobody drives the power line yet
}

TEST_F(DefaultBoardTest, IdentityOverSmbusThroughTheI2cCore) {
  i2c_client* client = kernel().i2c().find_client("4-002b");
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(gpio_request(kPowerGpio, "test power"), 0);

  EXPECT_EQ(i2c_smbus_write_byte_data(client, 0xFF, 0xA0), -ENXIO);  // powered off

  power_chip(1);
  EXPECT_TRUE(chip().powered());
  const int64_t start = now();
  EXPECT_EQ(i2c_smbus_write_byte_data(client, 0xFF, 0xA0), 0);
  EXPECT_EQ(i2c_smbus_read_byte_data(client, 0x00), 0x16);
  EXPECT_EQ(i2c_smbus_read_byte_data(client, 0x01), 0x05);
  EXPECT_EQ(now() - start, 72'500 + 2 * 97'500);  // 29 + 2 * 39 bits at 400 kHz

  power_chip(0);
  EXPECT_EQ(i2c_smbus_read_byte_data(client, 0x00), -ENXIO);
  EXPECT_THAT(bus().log().lines(),
              ElementsAre("select 0xA0 -> ENXIO", "select 0xA0", "read 0xA0:0x00 -> 0x16",
                          "read 0xA0:0x01 -> 0x05", "read 0xA0:0x00 -> ENXIO"));
  gpio_free(kPowerGpio);
}

std::atomic<int> g_rising{0};
std::atomic<int> g_falling{0};

irqreturn_t count_edges(int, void*) {
  if (gpiod_get_raw_value(gpio_to_desc(kIrqGpio)) != 0) {
    ++g_rising;
  } else {
    ++g_falling;
  }
  return IRQ_HANDLED;
}

TEST_F(DefaultBoardTest, ChipInterruptReachesTheIrqLine) {
  g_rising = 0;
  g_falling = 0;
  ASSERT_EQ(gpio_request(kPowerGpio, "test power"), 0);
  ASSERT_EQ(gpio_request(kIrqGpio, "test irq"), 0);
  ASSERT_EQ(gpiod_direction_input(gpio_to_desc(kIrqGpio)), 0);
  const int irq = gpio_to_irq(kIrqGpio);
  ASSERT_EQ(
      request_irq(irq, count_edges, IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING, "test", nullptr),
      0);
  power_chip(1);
  hdmi().plug(Mode::cta(16));
  settle();
  hdmi().unplug();
  settle();
  EXPECT_EQ(g_rising.load(), 2);
  EXPECT_EQ(g_falling.load(), 2);
  EXPECT_EQ(board().irq_line().level(), 0);

  // Tests may drive the line themselves.
  board().irq_line().set(true);
  EXPECT_EQ(g_rising.load(), 3);
  board().irq_line().set(false);
  free_irq(irq, nullptr);
  gpio_free(kIrqGpio);
  gpio_free(kPowerGpio);
}

// ---- Other trees ---------------------------------------------------------------------------

// Writes a variant of the default board's source to a temporary .dts.
class TreeTest : public KernelTest {
 protected:
  void TearDown() override {
    if (host::Kernel::booted()) settle();
    board_.reset();
    for (const std::string& p : files_) unlink(p.c_str());
    KernelTest::TearDown();
  }

  static std::string default_source() {
    std::ifstream in(board::Board::default_dts_path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The default source with `from` replaced by `to` (which must be found).
  std::string variant(const std::string& from, const std::string& to) {
    std::string src = default_source();
    size_t at = src.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) src.replace(at, from.size(), to);
    return write(src);
  }
  std::string write(const std::string& src) {
    char path[] = "/tmp/lt-tree-XXXXXX.dts";
    int fd = mkstemps(path, 4);
    EXPECT_GE(fd, 0);
    FILE* f = fdopen(fd, "w");
    fputs(src.c_str(), f);
    fclose(f);
    files_.push_back(path);
    return path;
  }
  // Loads into board_; the result says why not.
  host::Result<void> load(const std::string& path, board::LoadOptions options = {}) {
    auto r = board::Board::load(path, options);
    if (!r) return r.error();
    board_ = std::move(*r);
    return {};
  }
  board::Board& loaded() { return *board_; }
  device_node* chip_node() { return kernel().dt().find_by_path(board_->chip_node_path()); }

  std::unique_ptr<board::Board> board_;
  std::vector<std::string> files_;
};

TEST_F(TreeTest, DefaultSourceCompilesAtLoad) {
  auto r = load(board::Board::default_dts_path());
  ASSERT_TRUE(board_) << r.error().message;
  EXPECT_EQ(loaded().chip_device_name(), "4-002b");
}

TEST_F(TreeTest, ErrorsNameTheNodeAndProperty) {
  struct Case {
    const char* from;
    const char* to;
    const char* error;
  };
  const Case cases[] = {
      {"clock-frequency = <400000>;", "clock-frequency = <0>;",
       "/i2c@ff3d0000: property \"clock-frequency\": must be a u32 from 1 to 5000000"},
      {"clock-frequency = <400000>;", "clock-frequency = \"fast\";",
       "/i2c@ff3d0000: property \"clock-frequency\""},
      {"reg = <0x2b>;", "", "/i2c@ff3d0000/lt7911d@2b: property \"reg\": missing"},
      {"reg = <0x2b>;", "reg = <0x2b 0x1>;", "/i2c@ff3d0000/lt7911d@2b: property \"reg\""},
      {"reg = <0x2b>;", "reg = <0x92>;", "/i2c@ff3d0000/lt7911d@2b: property \"reg\""},
      {"#gpio-cells = <2>;", "#gpio-cells = <0>;",
       "/gpio@ff720000: property \"#gpio-cells\": must be at least 1"},
      {"ngpios = <32>;", "ngpios = <40>;", "/gpio@ff720000: property \"ngpios\""},
      {"\"lontium,lt7911d\"", "\"lontium,other\"",
       "no available \"lontium,lt7911d\" node under an I2C adapter node"},
      {"gpio-controller;", "gpio-controller", "dtc failed on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    auto r = load(variant(c.from, c.to));
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().message, HasSubstr(c.error));
    board_.reset();
    host::Kernel::shutdown();
    boot();
  }
}

TEST_F(TreeTest, FaultySpecifiersReachTheDriverAsLinuxReportsThem) {
  struct Case {
    const char* from;
    const char* to;
    const char* problem;
    int errno_seen;
  };
  const Case cases[] = {
      {"irq-gpio = <&gpio1 12 0>;", "", "property \"irq-gpio\": missing", -ENOENT},
      {"irq-gpio = <&gpio1 12 0>;", "irq-gpio = <&i2c4 12 0>;", "is not a GPIO controller",
       -EINVAL},
      // No controller takes the line, so Linux answers as for one not registered yet.
      {"irq-gpio = <&gpio1 12 0>;", "irq-gpio = <&gpio1 40 0>;",
       "property \"irq-gpio\": line 40 is out of range for /gpio@ff730000 (32 lines)",
       -EPROBE_DEFER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    const std::string path = variant(c.from, c.to);
    auto r = load(path);
    ASSERT_TRUE(board_) << r.error().message;
    ASSERT_EQ(loaded().problems().size(), 1u);
    EXPECT_THAT(loaded().problems()[0], HasSubstr("/i2c@ff3d0000/lt7911d@2b: "));
    EXPECT_THAT(loaded().problems()[0], HasSubstr(c.problem));
    EXPECT_FALSE(loaded().irq_line().connected());
    EXPECT_EQ(of_get_named_gpio(chip_node(), "irq-gpio", 0), c.errno_seen);
    settle();
    board_.reset();
    host::Kernel::shutdown();
    boot();

    board::LoadOptions strict;
    strict.strict = true;
    auto s = load(path, strict);
    ASSERT_FALSE(s);
    EXPECT_THAT(s.error().message, HasSubstr(c.problem));
    host::Kernel::shutdown();
    boot();
  }
}

TEST_F(TreeTest, ChipWithoutPowerLineIsPoweredFromTheStart) {
  auto r = load(variant("reset-gpio = <&gpio2 3 0>;", ""));
  ASSERT_TRUE(board_) << r.error().message;
  EXPECT_TRUE(loaded().chip().powered());
  EXPECT_FALSE(loaded().power_line().connected());
  EXPECT_EQ(loaded().problems().size(), 1u);
}

TEST_F(TreeTest, DefaultsWithoutClockAndAliases) {
  // No clock-frequency: 100 kHz. No i2c alias: the number after the highest alias (none: 0).
  // No gpio1 alias: the next free block after the aliased controllers (gpio0 0, gpio2 64).
  std::string src = default_source();
  for (const char* cut : {"clock-frequency = <400000>;", "i2c4 = &i2c4;", "gpio1 = &gpio1;"}) {
    src.replace(src.find(cut), std::string(cut).size(), "");
  }
  auto r = load(write(src));
  ASSERT_TRUE(board_) << r.error().message;
  EXPECT_EQ(loaded().bus().clock_hz(), 100'000u);
  EXPECT_EQ(loaded().bus_number(), 0);
  EXPECT_EQ(loaded().chip_device_name(), "0-002b");
  EXPECT_EQ(loaded().irq_line().number(), 96 + 12);
  ASSERT_EQ(gpio_request(kPowerGpio, "test power"), 0);
  power_chip(1);
  const int64_t start = now();
  i2c_client* client = kernel().i2c().find_client("0-002b");
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(i2c_smbus_read_byte_data(client, 0xFF), 0x00);
  EXPECT_EQ(now() - start, 390 * kNsPerUs);
  gpio_free(kPowerGpio);
}

}  // namespace
