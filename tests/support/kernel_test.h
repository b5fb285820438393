// A booted host kernel per test. The test's own thread is a task; at the end the test fails if
// any kernel warning was recorded that it did not take with take_warnings().
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/kernel.h"
#include "platform/host/log.h"
#include "platform/host/warn.h"

namespace testing_support {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { boot(); }
  void TearDown() override {
    if (host::Kernel::booted()) {
      EXPECT_EQ(host::Kernel::get().warnings().count(), 0u)
          << host::Kernel::get().warnings().describe();
      host::Kernel::shutdown();
    }
  }
  virtual host::BootOptions boot_options() { return {}; }
  void boot() { host::Kernel::boot(boot_options()); }

  host::Kernel& kernel() { return host::Kernel::get(); }
  host::Scheduler& sched() { return kernel().sched(); }
  int64_t now() { return sched().now(); }
  void settle() { sched().settle(); }
  void advance_ms(int64_t ms) { sched().advance(ms * host::kNsPerMs); }
  std::vector<host::Warning> take_warnings() { return kernel().warnings().take(); }
  std::vector<std::string> log_lines() { return kernel().log().lines(); }
};

}  // namespace testing_support
