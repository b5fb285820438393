// GPIO controllers and lines: requests and labels, raw levels, outputs and their observers.
#include <string>
#include <utility>
#include <vector>

#include "platform/errno.h"
#include "platform/gpio.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/host/irq_core.h"
#include "support/kernel_test.h"

namespace {

using testing_support::KernelTest;

class GpioTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    // Lines 0..31 with interrupts; 32..39 without; 200..215 behind a sleeping expander.
    ASSERT_TRUE(gpio().add_chip({.label = "bank0", .base = 0, .ngpio = 32}));
    ASSERT_TRUE(gpio().add_chip({.label = "noirq", .base = 32, .ngpio = 8, .can_irq = false}));
    ASSERT_TRUE(
        gpio().add_chip({.label = "expander", .base = 200, .ngpio = 16, .can_sleep = true}));
  }
  host::Gpio& gpio() { return kernel().gpio(); }
  bool warned_with(const std::string& text) {
    for (const auto& w : take_warnings()) {
      if (w.message.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(GpioTest, ControllersRefuseOverlapsAndNumbersBeyond511) {
  EXPECT_FALSE(gpio().add_chip({.label = "clash", .base = 31, .ngpio = 2}));
  EXPECT_FALSE(gpio().add_chip({.label = "inside", .base = 34, .ngpio = 1}));
  EXPECT_FALSE(gpio().add_chip({.label = "high", .base = 500, .ngpio = 13}));
  EXPECT_FALSE(gpio().add_chip({.label = "none", .base = 300, .ngpio = 0}));
  EXPECT_TRUE(gpio().add_chip({.label = "top", .base = 480, .ngpio = 32}));  // ends at 511
  EXPECT_EQ(gpio().chip_for_number(511)->label, "top");
  EXPECT_EQ(gpio().chip_for_number(40), std::nullopt);
}

TEST_F(GpioTest, RequestsKeepLabelsAndRefuseTwice) {
  EXPECT_EQ(gpio_request(7, "init_gpio"), 0);
  EXPECT_TRUE(gpio().requested(7));
  EXPECT_EQ(gpio().label(7), "init_gpio");
  EXPECT_EQ(gpio_request(7, "other"), -EBUSY);
  EXPECT_EQ(gpio().label(7), "init_gpio");

  gpio_free(7);
  EXPECT_FALSE(gpio().requested(7));
  EXPECT_EQ(gpio().label(7), "");
  EXPECT_EQ(gpio_request(7, "again"), 0);
  EXPECT_EQ(gpio().label(7), "again");
}

TEST_F(GpioTest, RequestResultsForNumbersWithoutALine) {
  EXPECT_EQ(gpio_request(100, "x"), -EPROBE_DEFER);  // valid, but no controller owns it
  EXPECT_EQ(gpio_request(511, "x"), -EPROBE_DEFER);
  EXPECT_EQ(gpio_request(512, "x"), -EINVAL);
  EXPECT_TRUE(warned_with("invalid GPIO 512"));
  EXPECT_EQ(gpio_request(static_cast<unsigned>(-1), "x"), -EINVAL);
  EXPECT_TRUE(warned_with("invalid GPIO -1"));
}

TEST_F(GpioTest, RequestFaultMatchesTheNumber) {
  kernel().faults().inject({.call = "gpio_request", .match = "5", .error = -EBUSY});
  EXPECT_EQ(gpio_request(6, "a"), 0);
  EXPECT_EQ(gpio_request(5, "b"), -EBUSY);
  EXPECT_FALSE(gpio().requested(5));
  EXPECT_EQ(gpio_request(5, "b"), 0);
}

TEST_F(GpioTest, FreeingAnUnrequestedLineWarns) {
  gpio_free(3);
  EXPECT_TRUE(warned_with("gpio_free of GPIO 3"));
  ASSERT_EQ(gpio_request(3, "x"), 0);
  gpio_free(3);
  gpio_free(3);
  EXPECT_TRUE(warned_with("gpio_free of GPIO 3"));
  gpio_free(100);  // no controller at all
  EXPECT_TRUE(warned_with("gpio_free of GPIO 100"));
}

irqreturn_t count_edge(int, void* dev) {
  ++*static_cast<int*>(dev);
  return IRQ_HANDLED;
}

TEST_F(GpioTest, FreeingALineWhoseInterruptIsStillRequestedWarns) {
  int edges = 0;
  ASSERT_EQ(gpio_request(9, "irq line"), 0);
  const int irq = gpiod_to_irq(gpio_to_desc(9));
  ASSERT_EQ(request_threaded_irq(irq, count_edge, nullptr, IRQF_TRIGGER_RISING, "edge", &edges), 0);
  gpio_free(9);
  EXPECT_TRUE(warned_with("gpio_free of GPIO 9 while its interrupt 109 is still requested"));
  EXPECT_FALSE(gpio().requested(9)) << "the line is freed all the same";
  free_irq(irq, &edges);

  // In the right order nothing is said, and a line without interrupts never warns.
  ASSERT_EQ(gpio_request(9, "irq line"), 0);
  ASSERT_EQ(request_threaded_irq(irq, count_edge, nullptr, IRQF_TRIGGER_RISING, "edge", &edges), 0);
  free_irq(irq, &edges);
  gpio_free(9);
  ASSERT_EQ(gpio_request(33, "plain"), 0);
  gpio_free(33);
  EXPECT_TRUE(take_warnings().empty());
}

TEST_F(GpioTest, RawOutputDrivesTheLineAndCallsItsObserver) {
  std::vector<std::pair<int, int>> seen;
  gpio().observe_output(9, [&](int n, int level) { seen.emplace_back(n, level); });
  gpio_desc* d = gpio_to_desc(9);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(desc_to_gpio(d), 9);

  EXPECT_EQ(gpiod_direction_output_raw(d, 1), 0);
  EXPECT_TRUE(gpio().is_output(9));
  EXPECT_EQ(gpio().level(9), 1);
  EXPECT_EQ(gpiod_get_raw_value(d), 1);
  EXPECT_EQ(gpiod_direction_output_raw(d, 5), 0);  // any nonzero is high
  gpiod_set_raw_value(d, 0);
  EXPECT_EQ(gpio().level(9), 0);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{9, 1}, {9, 1}, {9, 0}}));

  // A failed switch leaves the level and tells the observer nothing.
  kernel().faults().inject({.call = "gpiod_direction_output", .match = "9", .error = -EIO});
  EXPECT_EQ(gpiod_direction_output_raw(d, 1), -EIO);
  EXPECT_EQ(gpio().level(9), 0);
  EXPECT_EQ(seen.size(), 3u);

  // Back to input: the line shows what the outside drives.
  gpio().set_input(9, 1);
  EXPECT_EQ(gpio().level(9), 0);
  EXPECT_EQ(gpiod_direction_input(d), 0);
  EXPECT_EQ(gpio().level(9), 1);
}

TEST_F(GpioTest, SetValueOnAnInputDoesNotDriveTheLine) {
  std::vector<int> seen;
  gpio().observe_output(4, [&](int, int level) { seen.push_back(level); });
  gpio().set_input(4, 1);
  gpiod_set_raw_value(gpio_to_desc(4), 0);
  EXPECT_EQ(gpiod_get_raw_value(gpio_to_desc(4)), 1);
  EXPECT_TRUE(seen.empty());
}

TEST_F(GpioTest, NullDescriptorsAreIgnoredAsInLinux) {
  EXPECT_EQ(gpio_to_desc(100), nullptr);
  EXPECT_EQ(gpiod_get_raw_value(nullptr), 0);
  EXPECT_EQ(gpiod_direction_output_raw(nullptr, 1), 0);
  EXPECT_EQ(gpiod_direction_input(nullptr), 0);
  EXPECT_EQ(gpiod_to_irq(nullptr), 0);
  gpiod_set_raw_value(nullptr, 1);
}

TEST_F(GpioTest, InterruptNumbersAndTheirFailures) {
  EXPECT_EQ(gpiod_to_irq(gpio_to_desc(7)), host::Irq::kGpioIrqBase + 7);
  EXPECT_EQ(gpio_to_irq(31), 131);
  EXPECT_TRUE(kernel().irq().exists(131));
  EXPECT_EQ(gpiod_to_irq(gpio_to_desc(33)), -ENXIO);
  EXPECT_FALSE(kernel().irq().exists(133));
  kernel().faults().inject({.call = "gpiod_to_irq", .match = "7", .error = -EINVAL});
  EXPECT_EQ(gpiod_to_irq(gpio_to_desc(7)), -EINVAL);
  EXPECT_EQ(gpiod_to_irq(gpio_to_desc(7)), 107);
}

TEST_F(GpioTest, RawReadOnASleepingControllerWarns) {
  gpio().set_input(201, 1);
  EXPECT_EQ(gpiod_get_raw_value(gpio_to_desc(201)), 1);
  EXPECT_TRUE(warned_with("sleeps"));
  EXPECT_EQ(gpiod_get_raw_value(gpio_to_desc(1)), 0);
  EXPECT_TRUE(take_warnings().empty());
}

}  // namespace
