/* Time: sleeping and the clocks. */
#pragma once

#include <linux/delay.h>
#include <linux/ktime.h>
#include <linux/timekeeping.h>
