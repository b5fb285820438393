// Time: sleeping and the clocks. One clock serves both: virtual in simulation, real otherwise.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef s64 ktime_t;

// Sleeps at least msecs milliseconds. Process context only.
extern void msleep(unsigned int msecs);
extern void usleep_range(unsigned long min_us, unsigned long max_us);

// Wall-clock time in nanoseconds since the epoch (CLOCK_REALTIME); it can be set back.
extern ktime_t ktime_get_real(void);
// Monotonic time in nanoseconds since boot.
extern ktime_t ktime_get(void);

static inline s64 ktime_to_ns(ktime_t kt) { return kt; }

#ifdef __cplusplus
}
#endif
