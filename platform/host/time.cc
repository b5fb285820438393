// msleep and the clocks.
#include "kernel.h"
#include "platform/time.h"

extern "C" {

void msleep(unsigned int msecs) {
  host::Kernel::get().sched().sleep_for(static_cast<int64_t>(msecs) * host::kNsPerMs, "msleep");
}

void usleep_range(unsigned long min_us, unsigned long max_us) {
  (void)max_us;
  host::Kernel::get().sched().sleep_for(static_cast<int64_t>(min_us) * host::kNsPerUs,
                                        "usleep_range");
}

ktime_t ktime_get_real(void) { return host::Kernel::get().sched().realtime(); }
ktime_t ktime_get(void) { return host::Kernel::get().sched().now(); }

}  // extern "C"
