// The chip's interrupt line, its interrupt and its power line. See pins_power.h.
#include "driver/pins_power.h"

#include "driver/module_state.h"
#include "driver/register_bus.h"
#include "platform/printk.h"
#include "platform/workqueue.h"
#include "procfs/status_texts.h"

#define LT7911_INT_LABEL "init_gpio"
#define LT7911_PWR_LABEL "LT7911_PWR"
#define LT7911_IRQ_NAME "init_gpio_irq"

#define LT7911_PWR_LEVEL_ON 1
#define LT7911_PWR_LEVEL_OFF 0

int INT_PIN;
int PWR_PIN;
int irq_number;

/* ---- Claiming and releasing ---- */

int gpio_init(void) {
  if ((unsigned)INT_PIN > ARCH_NR_GPIOS - 1) {
    printk(KERN_ERR "Invalid GPIO pin\n");
    return -1;
  }
  if (gpio_request(INT_PIN, LT7911_INT_LABEL) < 0) {
    printk(KERN_ERR "GPIO request failed\n");
    return -1;
  }
  irq_number = gpiod_to_irq(gpio_to_desc(INT_PIN));
  if (irq_number < 0) {
    printk(KERN_ERR "Unable to get IRQ number\n");
    gpio_free(INT_PIN);
    return -1;
  }
  int ret = request_threaded_irq(irq_number, gpio_irq_handler, NULL,
                                 IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING, LT7911_IRQ_NAME, NULL);
  if (ret != 0) {
    printk(KERN_ERR "Unable to request IRQ\n");
    gpio_free(INT_PIN);
    return ret;
  }
  if (PWR_PIN >= 0) {
    ret = gpio_request(PWR_PIN, LT7911_PWR_LABEL);
    if (ret != 0) {
      printk(KERN_ERR "Failed to request GPIO %d for LT7911 PWR pin\n", PWR_PIN);
      free_irq(irq_number, NULL);
      gpio_free(INT_PIN);
      return ret;
    }
  }
  // A failed switch is logged by lt7911_pwr_ctrl and does not fail the claim.
  mutex_lock(&lt7911_chip_lock);
  lt7911_pwr_ctrl(1);
  mutex_unlock(&lt7911_chip_lock);
  return 0;
}

int gpio_exit(void) {
  free_irq(irq_number, NULL);
  if (INT_PIN >= 0) gpio_free(INT_PIN);
  if (PWR_PIN >= 0) gpio_free(PWR_PIN);
  return 0;
}

/* ---- Interrupt ---- */

irqreturn_t gpio_irq_handler(int irq, void* dev_id) {
  (void)irq;
  (void)dev_id;
  int level = gpiod_get_raw_value(gpio_to_desc(INT_PIN));
  if (lt7911_init_done_get() && chip_platform_get() == CHIP_PLATFORM_LT7911D && level == 1)
    queue_work(system_wq, &get_video_info_work);
  return IRQ_HANDLED;
}

/* ---- Power ---- */

// Whether this module last drove the power line high; guarded by lt7911_chip_lock. The line
// keeps its level while no driver holds it, so a new binding starts from the last level.
static bool pwr_line_high;

int lt7911_pwr_ctrl(int on) {
  WARN_ON(!mutex_is_locked(&lt7911_chip_lock));
  int level = on ? LT7911_PWR_LEVEL_ON : LT7911_PWR_LEVEL_OFF;
  if (gpiod_direction_output_raw(gpio_to_desc(PWR_PIN), level) < 0) {
    if (on)
      printk(KERN_ERR "Failed to set GPIO %d to high\n", PWR_PIN);
    else
      printk(KERN_ERR "Failed to set GPIO %d to low\n", PWR_PIN);
    return -1;
  }
  // Decision: the bank cache does not outlive the chip's power. Keeping it across a power cycle
  // would skip the next select while the chip's own select is back at its reset value, and the
  // access would reach another bank. So when the power really comes back (the line goes from
  // low to high) the cached bank is forgotten and the next access selects again; switching on a
  // chip that is on keeps the cache.
  if (on && !pwr_line_high) old_offset = LT7911_BANK_NONE;
  pwr_line_high = on != 0;
  power_text_set(on ? "on\n" : "off\n");
  return 0;
}
