// Module entry, the driver record, and the probe and remove of the one chip. See
// lt7911_manage.h and module_state.h.
#include "driver/lt7911_manage.h"

#include "driver/module_state.h"
#include "driver/pins_power.h"
#include "driver/register_bus.h"
#include "monitor/status_worker.h"
#include "platform/errno.h"
#include "platform/gpio.h"
#include "platform/locking.h"
#include "platform/module.h"
#include "platform/of.h"
#include "platform/printk.h"
#include "platform/time.h"
#include "procfs/proc_entries.h"
#include "procfs/status_texts.h"

#define LT7911_I2C_ADDR_MASK 0x7F
#define BRINGUP_POWER_CYCLE_MS 100

struct i2c_client* client;
int i2c_bus_num = -1;
struct work_struct get_video_info_work;

static bool lt7911_init_done;

// The life of get_video_info_work: not yet initialised, initialised (it may be queued), or
// gone for good once the module's exit has begun. The probe holds lt7911_work_lock from its
// cancel to its INIT_WORK and the parameter set operation holds it while it queues, so no
// parameter write queues the item between the two or after the exit has begun.
#define WORK_NONE 0
#define WORK_READY 1
#define WORK_GONE 2
static DEFINE_MUTEX(lt7911_work_lock);
static int work_state = WORK_NONE;

// Set from the start of a probe that goes ahead until its failure or the remove of its chip:
// a second chip is refused while it is set.
static bool chip_claimed;

void lt7911_init_done_set(bool done) { smp_store_release(&lt7911_init_done, done); }
bool lt7911_init_done_get(void) { return smp_load_acquire(&lt7911_init_done); }
bool lt7911_work_queue(void) {
  bool queued = false;
  mutex_lock(&lt7911_work_lock);
  if (work_state == WORK_READY) queued = queue_work(system_wq, &get_video_info_work);
  mutex_unlock(&lt7911_work_lock);
  return queued;
}

static bool chip_claim(void) {
  bool expected = false;
  return __atomic_compare_exchange_n(&chip_claimed, &expected, true, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE);
}

static void chip_release(void) { smp_store_release(&chip_claimed, false); }

/* ---- Probe ---- */

// Brings the claimed chip up: the configuration from the device tree, the pins and the interrupt,
// the identification, the /proc files, a power cycle with the interrupt masked, then a first
// query of the input.
static int lt7911_bring_up(struct i2c_client* new_client) {
  lt7911_init_done_set(false);
  // A parameter write after an earlier remove may have queued the item; it must be idle
  // before it is initialised again, and stay so until it is.
  mutex_lock(&lt7911_work_lock);
  if (work_state == WORK_READY) cancel_work_sync(&get_video_info_work);
  INIT_WORK(&get_video_info_work, get_hdmi_info_handler);
  work_state = WORK_READY;
  mutex_unlock(&lt7911_work_lock);
  client = new_client;

  printk(KERN_INFO "Force HDMI width: %d, height: %d, fps: %d\n", READ_ONCE(force_width),
         READ_ONCE(force_height), READ_ONCE(force_fps));

  int ret;
  struct device_node* node;
  int irq_gpio;
  int reset_gpio;
  u32 reg = 0;

  if (!client) {
    printk(KERN_ERR "lt7911: invalid i2c client\n");
    ret = -EINVAL;
    goto parse_failed;
  }
  node = client->dev.of_node;
  if (!node) {
    printk(KERN_ERR "lt7911: dts node not found\n");
    ret = -ENODEV;
    goto parse_failed;
  }
  irq_gpio = of_get_named_gpio(node, "irq-gpio", 0);
  reset_gpio = of_get_named_gpio(node, "reset-gpio", 0);
  if (!gpio_is_valid(irq_gpio) || !gpio_is_valid(reset_gpio)) {
    printk(KERN_ERR "lt7911: invalid irq-gpio/reset-gpio in dts\n");
    ret = -EINVAL;
    goto parse_failed;
  }
  if (of_property_read_u32(node, "reg", &reg) != 0) {
    printk(KERN_ERR "lt7911: missing reg in dts\n");
    ret = -EINVAL;
    goto parse_failed;
  }

  i2c_bus_num = client->adapter ? i2c_adapter_id(client->adapter) : -1;
  INT_PIN = irq_gpio;
  PWR_PIN = reset_gpio;
  printk(KERN_INFO "lt7911: config bus=%d addr=0x%02x irq_gpio=%d reset_gpio=%d\n", i2c_bus_num,
         reg & LT7911_I2C_ADDR_MASK, INT_PIN, PWR_PIN);

  if (gpio_init() < 0) {
    printk(KERN_ERR "Failed to initialize GPIO\n");
    return -ENODEV;
  }

  mutex_lock(&lt7911_chip_lock);
  ret = check_chip_register();
  mutex_unlock(&lt7911_chip_lock);
  if (ret < 0) {
    printk(KERN_ERR "This module only supports LT7911 chip\n");
    gpio_exit();
    return -ENODEV;
  }

  if (proc_info_init() < 0) {
    printk(KERN_ERR "Failed to create proc info files\n");
    gpio_exit();
    return -ENOMEM;
  }

  status_pollers_welcome();
  proc_buffer_init();

  // Power-cycle the chip with its interrupt masked.
  disable_irq(irq_number);
  mutex_lock(&lt7911_chip_lock);
  lt7911_pwr_ctrl(0);
  msleep(BRINGUP_POWER_CYCLE_MS);
  lt7911_pwr_ctrl(1);
  mutex_unlock(&lt7911_chip_lock);
  msleep(BRINGUP_POWER_CYCLE_MS);
  enable_irq(irq_number);

  lt7911_init_done_set(true);
  printk(KERN_INFO "lt7911_manage module loaded\n");
  // The chip's interrupt at power-up came while bring-up was unfinished and was ignored: ask
  // the chip once now, so that a source present at bind is reported without a further event.
  queue_work(system_wq, &get_video_info_work);
  return 0;

parse_failed:
  printk(KERN_ERR "lt7911: dts parse failed\n");
  return ret;
}

int lt7911_manage_probe(struct i2c_client* new_client, const struct i2c_device_id* id) {
  (void)id;
  // One chip only: a second one leaves everything of the first binding alone.
  if (!chip_claim()) {
    printk(KERN_ERR "lt7911: a chip is already bound\n");
    return -EBUSY;
  }
  int ret = lt7911_bring_up(new_client);
  if (ret < 0) chip_release();
  return ret;
}

/* ---- Remove ---- */

int lt7911_manage_remove(struct i2c_client* old_client) {
  // Only the bound chip is taken down.
  if (!smp_load_acquire(&chip_claimed) || !lt7911_init_done_get() || old_client != client) return 0;

  lt7911_init_done_set(false);
  cancel_work_sync(&get_video_info_work);
  // Pollers of the status file leave poll() before its entry goes: a removed entry wakes
  // nobody, and its wait queue lives in this module's memory.
  status_pollers_release();
  proc_info_exit();
  free_irq(irq_number, NULL);
  if (INT_PIN >= 0) gpio_free(INT_PIN);
  if (PWR_PIN >= 0) gpio_free(PWR_PIN);
  client = NULL;
  printk(KERN_INFO "GPIO-I2C interrupt module unloaded\n");
  chip_release();
  return 0;
}

/* ---- Driver record and module entry ---- */

static const struct of_device_id lt7911_of_match[] = {
    {"", "", "lontium,lt7911d", NULL},
    {},
};
MODULE_DEVICE_TABLE(of, lt7911_of_match);

static const struct i2c_device_id lt7911_i2c_id[] = {
    {"lt7911d", 0},
    {},
};
MODULE_DEVICE_TABLE(i2c, lt7911_i2c_id);

static struct i2c_driver lt7911_manage_driver = {
    .probe = lt7911_manage_probe,
    .remove = lt7911_manage_remove,
    .driver = {.name = "lt7911_manage", .of_match_table = lt7911_of_match},
    .id_table = lt7911_i2c_id,
};

static int lt7911_manage_init(void) { return i2c_add_driver(&lt7911_manage_driver); }

static void lt7911_manage_exit(void) {
  int state;

  i2c_del_driver(&lt7911_manage_driver);
  // A parameter write after the remove may have queued the item; from here on none can, and
  // a queued or running one finishes before the module goes.
  mutex_lock(&lt7911_work_lock);
  state = work_state;
  work_state = WORK_GONE;
  mutex_unlock(&lt7911_work_lock);
  if (state == WORK_READY) cancel_work_sync(&get_video_info_work);
}

module_init(lt7911_manage_init);
module_exit(lt7911_manage_exit);

MODULE_DESCRIPTION("Vexmoor HDMI Module Management");
MODULE_VERSION("0.0.4");
MODULE_LICENSE("GPL");
