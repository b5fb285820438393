// Lock checks of the host kernel, as a debug kernel makes them.
#include <string>

#include "platform/locking.h"
#include "support/kernel_test.h"

namespace {

using testing_support::KernelTest;

class LockingTest : public KernelTest {
 protected:
  bool warned_with(const std::string& text) {
    for (const auto& w : take_warnings())
      if (w.message.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(LockingTest, SpinlockMisuseIsReported) {
  spinlock_t lock;
  spin_lock_init(&lock);
  assert_spin_locked(&lock);
  EXPECT_TRUE(warned_with("spinlock not held"));
  spin_unlock(&lock);
  EXPECT_TRUE(warned_with("spinlock already unlocked"));

  unsigned long flags;
  spin_lock_irqsave(&lock, flags);
  assert_spin_locked(&lock);
  spin_unlock_irqrestore(&lock, flags);
  EXPECT_TRUE(take_warnings().empty()) << "used rightly, nothing is said";
  // The misuse left the task's atomic count balanced: sleeping is allowed again.
  sched().sleep_for(host::kNsPerMs);
  EXPECT_TRUE(take_warnings().empty());
}

TEST_F(LockingTest, MutexUnlockedByAnotherTaskIsReported) {
  struct mutex m = {nullptr};
  mutex_lock(&m);
  host::Thread other = sched().spawn("other", [&] { mutex_unlock(&m); });
  other.join();
  EXPECT_TRUE(warned_with("unlocking a mutex that the task does not hold"));
  mutex_unlock(&m);
}

}  // namespace
