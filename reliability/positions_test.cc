// What the sweeps stand on: the host kernel counts every call that a fault rule can fail and
// every hook point a flow passes, a rule on a user copy makes that copy fail as an unmapped
// buffer would, and a hook holds the task that passed its point.
#include <gtest/gtest.h>

#include "reliability/rig.h"

namespace reliability {
namespace {

class Positions : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<Rig>();
    ASSERT_EQ(rig_->load_error(), "");
    ASSERT_EQ(rig_->insmod(), 0);
    rig_->settle();
  }
  void TearDown() override {
    EXPECT_EQ(rig_->take_warnings(), std::vector<std::string>());
    rig_.reset();
  }
  std::unique_ptr<Rig> rig_;
};

TEST_F(Positions, CallsAndHookPassesAreCountedWithoutRulesOrHooks) {
  host::Faults& f = rig_->kernel().faults();
  std::map<std::string, int> calls = f.calls();
  std::map<std::string, int> passes = f.hook_passes();
  ASSERT_EQ(rig_->write(proc_path("power"), "on"), 2);
  EXPECT_EQ(f.calls()["copy_from_user"], calls["copy_from_user"] + 1);
  EXPECT_EQ(f.calls()["gpiod_direction_output"], calls["gpiod_direction_output"] + 1);
  EXPECT_EQ(f.hook_passes()["copy_from_user"], passes["copy_from_user"] + 1);
  EXPECT_EQ(f.hook_passes()["gpiod_direction_output"], passes["gpiod_direction_output"] + 1);
  // An interrupt's run passes one point per transaction.
  const uint64_t transfers = rig_->bus().transfers();
  const int i2c = f.hook_passes()["i2c_transfer"];
  rig_->plug("1080p60");
  rig_->settle();
  EXPECT_GT(rig_->bus().transfers(), transfers);
  EXPECT_EQ(static_cast<uint64_t>(f.hook_passes()["i2c_transfer"] - i2c),
            rig_->bus().transfers() - transfers);
}

TEST_F(Positions, AFailedCopyFromUserIsAnUnreadableBuffer) {
  host::FaultRule r;
  r.call = "copy_from_user";
  rig_->kernel().faults().inject(r);
  EXPECT_EQ(rig_->write(proc_path("power"), "off"), -EFAULT);
  EXPECT_EQ(rig_->read(proc_path("power")), std::optional<std::string>("on\n"));
  EXPECT_EQ(rig_->write(proc_path("power"), "off"), 3) << "the rule failed one copy";
}

TEST_F(Positions, AFailedCopyToUserIsAnUnwritableBuffer) {
  host::FaultRule r;
  r.call = "copy_to_user";
  rig_->kernel().faults().inject(r);
  int err = 0;
  EXPECT_EQ(rig_->read(rig_->proc(), proc_path("width"), &err), std::nullopt);
  EXPECT_EQ(err, -EFAULT);
  EXPECT_EQ(rig_->read(proc_path("width")), std::optional<std::string>("0\n"));
}

TEST_F(Positions, AHookHoldsThePowerSwitchUnderTheChipLock) {
  std::optional<ssize_t> off;
  host::Thread writer;
  // Held after the line went low, before the write finished: a second writer waits.
  rig_->kernel().faults().after("gpiod_direction_output", 1, [&] {
    writer = rig_->sched().spawn("second", [&] { off = rig_->write(proc_path("power"), "off"); });
    rig_->sched().sleep_for(10 * host::kNsPerMs);
    EXPECT_FALSE(off.has_value()) << "the second write waits for the chip lock";
  });
  EXPECT_EQ(rig_->write(proc_path("power"), "off"), 3);
  writer.join();
  EXPECT_EQ(off, 3);
}

}  // namespace
}  // namespace reliability
