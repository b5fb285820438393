// The chip's interrupt line, its interrupt and its power line.
//
// Threading: gpio_irq_handler runs in hard-interrupt context and never sleeps: one raw GPIO
// read, two tests and at most one queue_work. gpio_init, gpio_exit and lt7911_pwr_ctrl run in
// process context. lt7911_pwr_ctrl must be called with `lt7911_chip_lock` held: it changes the
// chip's power, after which the chip's bank select is back at its reset value.
#pragma once

#include "platform/gpio.h"

// Claims INT_PIN, its interrupt and PWR_PIN, then switches the chip on. 0, or a negative value
// after releasing whatever it had claimed.
int gpio_init(void);
// Frees the interrupt, INT_PIN and PWR_PIN; leaves the chip's power as it is. Always 0.
int gpio_exit(void);

irqreturn_t gpio_irq_handler(int irq, void* dev_id);

// on nonzero switches the chip on, 0 switches it off; writes the power text on success.
// 0, or -1 when the line cannot be driven (the power text is then unchanged).
int lt7911_pwr_ctrl(int on);
