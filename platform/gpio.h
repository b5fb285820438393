// GPIO lines and interrupts.
//
// GPIO numbers run from 0 to ARCH_NR_GPIOS - 1; controllers own ranges of them. Raw accessors
// ignore a line's active-low flag. gpiod_get_raw_value does not sleep and may be called from a
// hard-interrupt handler; the others are process context only.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ARCH_NR_GPIOS 512

struct gpio_desc;  // owned by the GPIO core

static inline bool gpio_is_valid(int number) { return number >= 0 && number < ARCH_NR_GPIOS; }

extern int gpio_request(unsigned gpio, const char* label);
extern void gpio_free(unsigned gpio);
// NULL for a number that no controller owns.
extern struct gpio_desc* gpio_to_desc(unsigned gpio);
extern int desc_to_gpio(const struct gpio_desc* desc);
extern int gpiod_to_irq(const struct gpio_desc* desc);
extern int gpiod_get_raw_value(const struct gpio_desc* desc);
extern int gpiod_direction_input(struct gpio_desc* desc);
extern int gpiod_direction_output_raw(struct gpio_desc* desc, int value);
extern void gpiod_set_raw_value(struct gpio_desc* desc, int value);
static inline int gpio_to_irq(unsigned gpio) { return gpiod_to_irq(gpio_to_desc(gpio)); }

// Interrupts.
typedef enum irqreturn {
  IRQ_NONE = 0,
  IRQ_HANDLED = 1,
  IRQ_WAKE_THREAD = 2,
} irqreturn_t;

typedef irqreturn_t (*irq_handler_t)(int irq, void* dev_id);

#define IRQF_TRIGGER_NONE 0x00000000
#define IRQF_TRIGGER_RISING 0x00000001
#define IRQF_TRIGGER_FALLING 0x00000002
#define IRQF_TRIGGER_HIGH 0x00000004
#define IRQF_TRIGGER_LOW 0x00000008
#define IRQF_SHARED 0x00000080
#define IRQF_ONESHOT 0x00002000

// handler runs in hard-interrupt context and must not sleep.
extern int request_threaded_irq(unsigned int irq, irq_handler_t handler, irq_handler_t thread_fn,
                                unsigned long flags, const char* name, void* dev);
static inline int request_irq(unsigned int irq, irq_handler_t handler, unsigned long flags,
                              const char* name, void* dev) {
  return request_threaded_irq(irq, handler, NULL, flags, name, dev);
}
extern const void* free_irq(unsigned int irq, void* dev_id);
// Masks the interrupt and waits for a running handler to finish. Edges that arrive while
// masked are latched and replayed by enable_irq.
extern void disable_irq(unsigned int irq);
extern void disable_irq_nosync(unsigned int irq);
extern void enable_irq(unsigned int irq);
extern bool in_interrupt(void);

#ifdef __cplusplus
}
#endif
