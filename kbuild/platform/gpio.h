/* GPIO lines and interrupts. */
#pragma once

#include <linux/gpio.h>
#include <linux/gpio/consumer.h>
#include <linux/interrupt.h>
#include <linux/preempt.h>

#include "compat.h"
