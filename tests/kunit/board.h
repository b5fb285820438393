/*
 * The board of the module's tests in a real kernel, as the device tree passed with dtb= describes
 * it: three GPIO controllers of 32 lines (controller N owns the GPIO numbers 32N to 32N + 31,
 * nodes "gpio0" to "gpio2"), each an interrupt controller for its lines, and the LT7911D
 * (chip_model.h) on I2C bus 4 at 0x2b, its interrupt output on gpio1 line 12 (GPIO 44) and its
 * power input on gpio2 line 3 (GPIO 67).
 *
 * Interrupts: a line's edges are delivered from an irq_work, that is in hard interrupt context,
 * in the order they happened, to the interrupt of the line if it is unmasked and its trigger
 * takes the edge. A pulse of the chip's output is a rising edge and, once that has been
 * delivered, a falling one. Edges that come while the interrupt is disabled reach the kernel's
 * interrupt core, which keeps or drops them as it does for any controller without a retrigger.
 *
 * Lines read their output level when driven as outputs, otherwise the level driven into them
 * (the chip's interrupt output for GPIO 44, low elsewhere). Controllers 0 and 1 can be read
 * without sleeping; controller 2's outputs may wait (see lt_board_power_hold).
 */
#ifndef LT7911_KUNIT_BOARD_H
#define LT7911_KUNIT_BOARD_H

#include <linux/completion.h>
#include <linux/gpio/driver.h>
#include <linux/types.h>

#define LT_GPIO_INT 44
#define LT_GPIO_PWR 67

/* Creates the GPIO controllers and the chip's bus, with the chip reset and unpowered. */
int lt_board_create(void);
/* Removes them; the module must have released every line. */
void lt_board_destroy(void);

/* The chip pulses its interrupt output (called by the chip model). */
void lt_board_chip_irq_pulse(void);
/* Sets the level of the chip's interrupt line as an edge, from the test. */
void lt_board_set_irq_level(bool level);

/* Waits until every edge so far has been delivered. Sleeps. */
void lt_board_settle_irqs(void);

/* The interrupt of a GPIO number (its mapping), or a negative errno. */
int lt_board_irq_of(int gpio);
/* The label a GPIO line was requested with, or NULL when it is free. */
const char* lt_board_line_label(int gpio);
bool lt_board_line_is_output(int gpio);
/* Makes gpio_to_irq of controller 1's lines fail while set. */
void lt_board_fail_to_irq(bool fail);
/* The nth (1 = the next) output change of the power line fails with error, once. */
void lt_board_fail_power_switch(unsigned int nth, int error);

/* A hold on the power line: the next change of its output to `level` waits, before it
 * reaches the chip, until released (a gate, see chip_model.h). */
void lt_board_power_hold(int level);
bool lt_board_power_hold_wait(void);
void lt_board_power_hold_release(void);
void lt_board_power_hold_disarm(void);
/* Whether a transfer or a power change waits at a hold now. */
bool lt_board_holding(void);

#endif
