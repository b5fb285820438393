// SPDX-License-Identifier: GPL-2.0
/* The board: GPIO controllers with interrupts, and the chip's bus. See board.h. */
#include "board.h"

#include <linux/bitops.h>
#include <linux/gpio/driver.h>
#include <linux/interrupt.h>
#include <linux/irq.h>
#include <linux/irq_work.h>
#include <linux/irqdomain.h>
#include <linux/of.h>
#include <linux/slab.h>
#include <linux/spinlock.h>

#include "chip_model.h"

#define BANKS 3
#define LINES 32
#define EDGE_QUEUE 64
#define CHIP_INT_BANK 1
#define CHIP_INT_LINE 12
#define CHIP_PWR_BANK 2
#define CHIP_PWR_LINE 3

struct edge {
  u8 line;
  u8 level;
};

struct bank {
  struct gpio_chip gc;
  struct irq_chip irqchip;
  struct irq_domain* domain;
  struct device_node* node;
  struct irq_work irq_work;
  spinlock_t lock; /* guards everything below */
  unsigned long dir_out;
  unsigned long out;
  unsigned long in; /* levels driven into the lines */
  unsigned long unmasked;
  unsigned int trigger[LINES];
  struct edge edges[EDGE_QUEUE];
  unsigned int edge_head;
  unsigned int edge_tail;
};

static struct bank* banks[BANKS];

/* Test aids of the power line and of controller 1, guarded by aid_lock. */
static DEFINE_SPINLOCK(aid_lock);
static bool to_irq_fails;
static unsigned int power_fault_skip;
static int power_fault_error;
static int power_hold_level = -1;
static struct lt_gate power_hold = LT_GATE_INIT(power_hold);

/* ---- Edges ---- */

/* Queues an edge of line to level; the caller holds b->lock. False if the queue is full. */
static bool edge_push(struct bank* b, unsigned int line, bool level) {
  if (b->edge_tail - b->edge_head == EDGE_QUEUE) return false;
  b->edges[b->edge_tail % EDGE_QUEUE] = (struct edge){line, level};
  b->edge_tail++;
  return true;
}

/* Delivers the queued edges in order; hard interrupt context. */
static void bank_deliver(struct irq_work* work) {
  struct bank* b = container_of(work, struct bank, irq_work);
  unsigned long flags;

  for (;;) {
    struct edge e;
    bool deliver;

    spin_lock_irqsave(&b->lock, flags);
    if (b->edge_head == b->edge_tail) {
      spin_unlock_irqrestore(&b->lock, flags);
      return;
    }
    e = b->edges[b->edge_head % EDGE_QUEUE];
    b->edge_head++;
    if (e.level)
      __set_bit(e.line, &b->in);
    else
      __clear_bit(e.line, &b->in);
    deliver = test_bit(e.line, &b->unmasked) &&
              (b->trigger[e.line] & (e.level ? IRQ_TYPE_EDGE_RISING : IRQ_TYPE_EDGE_FALLING));
    spin_unlock_irqrestore(&b->lock, flags);
    if (deliver) generic_handle_domain_irq(b->domain, e.line);
  }
}

static void chip_line_edges(const bool* levels, int n) {
  struct bank* b = banks[CHIP_INT_BANK];
  unsigned long flags;
  int i;

  if (!b) return;
  spin_lock_irqsave(&b->lock, flags);
  for (i = 0; i < n; i++) WARN_ON(!edge_push(b, CHIP_INT_LINE, levels[i]));
  spin_unlock_irqrestore(&b->lock, flags);
  irq_work_queue(&b->irq_work);
}

void lt_board_chip_irq_pulse(void) {
  static const bool pulse[] = {true, false};

  chip_line_edges(pulse, ARRAY_SIZE(pulse));
}

void lt_board_set_irq_level(bool level) { chip_line_edges(&level, 1); }

void lt_board_settle_irqs(void) {
  int i;

  for (i = 0; i < BANKS; i++)
    if (banks[i]) irq_work_sync(&banks[i]->irq_work);
}

/* ---- Interrupt controller ---- */

static void bank_irq_mask(struct irq_data* d) {
  struct bank* b = irq_data_get_irq_chip_data(d);
  unsigned long flags;

  spin_lock_irqsave(&b->lock, flags);
  __clear_bit(irqd_to_hwirq(d), &b->unmasked);
  spin_unlock_irqrestore(&b->lock, flags);
}

static void bank_irq_unmask(struct irq_data* d) {
  struct bank* b = irq_data_get_irq_chip_data(d);
  unsigned long flags;

  spin_lock_irqsave(&b->lock, flags);
  __set_bit(irqd_to_hwirq(d), &b->unmasked);
  spin_unlock_irqrestore(&b->lock, flags);
}

static int bank_irq_set_type(struct irq_data* d, unsigned int type) {
  struct bank* b = irq_data_get_irq_chip_data(d);
  unsigned long flags;

  if (type & ~IRQ_TYPE_EDGE_BOTH) return -EINVAL;
  spin_lock_irqsave(&b->lock, flags);
  b->trigger[irqd_to_hwirq(d)] = type;
  spin_unlock_irqrestore(&b->lock, flags);
  return 0;
}

static int bank_irq_map(struct irq_domain* domain, unsigned int virq, irq_hw_number_t hwirq) {
  struct bank* b = domain->host_data;

  irq_set_chip_data(virq, b);
  irq_set_chip_and_handler(virq, &b->irqchip, handle_simple_irq);
  return 0;
}

static const struct irq_domain_ops bank_domain_ops = {
    .map = bank_irq_map,
    .xlate = irq_domain_xlate_twocell,
};

/* ---- GPIO controller ---- */

static struct bank* to_bank(struct gpio_chip* gc) { return container_of(gc, struct bank, gc); }

static int bank_get(struct gpio_chip* gc, unsigned int offset) {
  struct bank* b = to_bank(gc);
  unsigned long flags;
  int level;

  spin_lock_irqsave(&b->lock, flags);
  level = test_bit(offset, &b->dir_out) ? test_bit(offset, &b->out) : test_bit(offset, &b->in);
  spin_unlock_irqrestore(&b->lock, flags);
  return level;
}

static int bank_get_direction(struct gpio_chip* gc, unsigned int offset) {
  return test_bit(offset, &to_bank(gc)->dir_out) ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int bank_direction_input(struct gpio_chip* gc, unsigned int offset) {
  struct bank* b = to_bank(gc);
  unsigned long flags;

  spin_lock_irqsave(&b->lock, flags);
  __clear_bit(offset, &b->dir_out);
  spin_unlock_irqrestore(&b->lock, flags);
  return 0;
}

static bool is_power_line(struct bank* b, unsigned int offset) {
  return b == banks[CHIP_PWR_BANK] && offset == CHIP_PWR_LINE;
}

/* The power line's test aids before a change to level: a fault's error, or 0 after any hold. */
static int power_line_aids(int level) {
  unsigned long flags;
  bool wait;
  int error = 0;

  spin_lock_irqsave(&aid_lock, flags);
  if (power_fault_error) {
    if (power_fault_skip) {
      power_fault_skip--;
    } else {
      error = power_fault_error;
      power_fault_error = 0;
    }
  }
  wait = !error && power_hold_level == level;
  spin_unlock_irqrestore(&aid_lock, flags);
  if (wait && lt_gate_armed(&power_hold)) lt_gate_pass(&power_hold);
  return error;
}

static int bank_output(struct bank* b, unsigned int offset, int level, bool direction) {
  unsigned long flags;

  if (is_power_line(b, offset)) {
    int error = power_line_aids(level);

    if (error) return error;
  }
  spin_lock_irqsave(&b->lock, flags);
  if (direction) __set_bit(offset, &b->dir_out);
  if (level)
    __set_bit(offset, &b->out);
  else
    __clear_bit(offset, &b->out);
  spin_unlock_irqrestore(&b->lock, flags);
  if (is_power_line(b, offset) && test_bit(offset, &b->dir_out)) lt_chip_set_power(level);
  return 0;
}

static int bank_direction_output(struct gpio_chip* gc, unsigned int offset, int level) {
  return bank_output(to_bank(gc), offset, level, true);
}

static void bank_set(struct gpio_chip* gc, unsigned int offset, int level) {
  bank_output(to_bank(gc), offset, level, false);
}

static int bank_to_irq(struct gpio_chip* gc, unsigned int offset) {
  struct bank* b = to_bank(gc);
  unsigned int virq;

  if (b == banks[CHIP_INT_BANK] && READ_ONCE(to_irq_fails)) return -ENXIO;
  virq = irq_create_mapping(b->domain, offset);
  return virq ? virq : -ENXIO;
}

static const char* const bank_names[BANKS] = {"lt-gpio0", "lt-gpio1", "lt-gpio2"};

static int bank_create(int n) {
  char alias[8];
  struct bank* b;
  int ret;

  b = kzalloc(sizeof(*b), GFP_KERNEL);
  if (!b) return -ENOMEM;
  snprintf(alias, sizeof(alias), "gpio%d", n);
  b->node = of_find_node_by_path(alias);
  if (!b->node) {
    kfree(b);
    return -ENODEV;
  }
  spin_lock_init(&b->lock);
  init_irq_work(&b->irq_work, bank_deliver);
  b->irqchip.name = bank_names[n];
  b->irqchip.irq_mask = bank_irq_mask;
  b->irqchip.irq_unmask = bank_irq_unmask;
  b->irqchip.irq_set_type = bank_irq_set_type;
  b->domain = irq_domain_create_linear(of_fwnode_handle(b->node), LINES, &bank_domain_ops, b);
  if (!b->domain) {
    of_node_put(b->node);
    kfree(b);
    return -ENOMEM;
  }
  b->gc.label = bank_names[n];
  b->gc.base = n * LINES;
  b->gc.ngpio = LINES;
  b->gc.fwnode = of_fwnode_handle(b->node);
  b->gc.get = bank_get;
  b->gc.set = bank_set;
  b->gc.get_direction = bank_get_direction;
  b->gc.direction_input = bank_direction_input;
  b->gc.direction_output = bank_direction_output;
  b->gc.to_irq = bank_to_irq;
  b->gc.can_sleep = n == CHIP_PWR_BANK;
  b->gc.owner = THIS_MODULE;
  banks[n] = b;
  ret = gpiochip_add_data(&b->gc, b);
  if (ret) {
    banks[n] = NULL;
    irq_domain_remove(b->domain);
    of_node_put(b->node);
    kfree(b);
  }
  return ret;
}

static void bank_destroy(int n) {
  struct bank* b = banks[n];
  int i;

  if (!b) return;
  gpiochip_remove(&b->gc);
  irq_work_sync(&b->irq_work);
  for (i = 0; i < LINES; i++) {
    unsigned int virq = irq_find_mapping(b->domain, i);

    if (virq) irq_dispose_mapping(virq);
  }
  irq_domain_remove(b->domain);
  banks[n] = NULL;
  of_node_put(b->node);
  kfree(b);
}

/* ---- The board ---- */

int lt_board_create(void) {
  struct device_node* bus;
  unsigned long flags;
  int i, ret;

  spin_lock_irqsave(&aid_lock, flags);
  to_irq_fails = false;
  power_fault_error = 0;
  power_hold_level = -1;
  spin_unlock_irqrestore(&aid_lock, flags);
  lt_chip_reset();
  for (i = 0; i < BANKS; i++) {
    ret = bank_create(i);
    if (ret) goto fail;
  }
  bus = of_find_node_by_path("i2c4");
  if (!bus) {
    ret = -ENODEV;
    goto fail;
  }
  ret = lt_chip_bus_add(bus);
  of_node_put(bus);
  if (ret) goto fail;
  return 0;

fail:
  while (i-- > 0) bank_destroy(i);
  return ret;
}

void lt_board_destroy(void) {
  int i;

  lt_chip_bus_remove();
  for (i = BANKS - 1; i >= 0; i--) bank_destroy(i);
}

/* ---- Lines ---- */

static struct bank* bank_of(int gpio, unsigned int* offset) {
  if (gpio < 0 || gpio >= BANKS * LINES || !banks[gpio / LINES]) return NULL;
  *offset = gpio % LINES;
  return banks[gpio / LINES];
}

int lt_board_irq_of(int gpio) {
  unsigned int offset;
  struct bank* b = bank_of(gpio, &offset);
  unsigned int virq;

  if (!b) return -ENODEV;
  virq = irq_create_mapping(b->domain, offset);
  return virq ? virq : -ENXIO;
}

const char* lt_board_line_label(int gpio) {
  unsigned int offset;
  struct bank* b = bank_of(gpio, &offset);

  return b ? gpiochip_is_requested(&b->gc, offset) : NULL;
}

bool lt_board_line_is_output(int gpio) {
  unsigned int offset;
  struct bank* b = bank_of(gpio, &offset);

  return b && test_bit(offset, &b->dir_out);
}

bool lt_board_holding(void) { return lt_gate_holding(&power_hold) || lt_bus_holding(); }

void lt_board_fail_to_irq(bool fail) { WRITE_ONCE(to_irq_fails, fail); }

void lt_board_fail_power_switch(unsigned int nth, int error) {
  unsigned long flags;

  spin_lock_irqsave(&aid_lock, flags);
  power_fault_skip = nth ? nth - 1 : 0;
  power_fault_error = error;
  spin_unlock_irqrestore(&aid_lock, flags);
}

void lt_board_power_hold(int level) {
  unsigned long flags;

  spin_lock_irqsave(&aid_lock, flags);
  power_hold_level = level;
  spin_unlock_irqrestore(&aid_lock, flags);
  lt_gate_arm(&power_hold);
}

bool lt_board_power_hold_wait(void) { return lt_gate_wait(&power_hold); }
void lt_board_power_hold_release(void) { lt_gate_release(&power_hold); }
void lt_board_power_hold_disarm(void) { lt_gate_disarm(&power_hold); }
