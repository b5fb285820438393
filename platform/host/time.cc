// msleep and the clocks.
#include "platform/time.h"
#include "kernel.h"
#include "timeline.h"

namespace {

// A sleep of the module, on the timeline while it records.
void traced_sleep(int64_t ns, const char* what, int32_t length, uint8_t flags) {
  const bool traced = host::timeline_on();
  if (traced) host::Timeline::note(host::TimelineKind::kSleepBegin, length, 0, flags);
  host::Kernel::get().sched().sleep_for(ns, what);
  if (traced) host::Timeline::note(host::TimelineKind::kSleepEnd, length, 0, flags);
}

}  // namespace

extern "C" {

void msleep(unsigned int msecs) {
  traced_sleep(static_cast<int64_t>(msecs) * host::kNsPerMs, "msleep", static_cast<int32_t>(msecs),
               0);
}

void usleep_range(unsigned long min_us, unsigned long max_us) {
  (void)max_us;
  traced_sleep(static_cast<int64_t>(min_us) * host::kNsPerUs, "usleep_range",
               static_cast<int32_t>(min_us), host::TimelineEvent::kSleepMicroseconds);
}

ktime_t ktime_get_real(void) { return host::Kernel::get().sched().realtime(); }
ktime_t ktime_get(void) { return host::Kernel::get().sched().now(); }

}  // extern "C"
