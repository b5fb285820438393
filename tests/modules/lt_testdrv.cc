// A throwaway I2C driver for the host kernel's end-to-end test: it binds to its device-tree
// node, claims the GPIO named by "irq-gpio" and its interrupt, queues work from the interrupt
// handler, reads a register over SMBus in the work item and publishes each event through
// /proc/testdrv_events, whose pollers it wakes. It uses the platform headers only.
#include "platform/errno.h"
#include "platform/gpio.h"
#include "platform/i2c.h"
#include "platform/locking.h"
#include "platform/module.h"
#include "platform/of.h"
#include "platform/printk.h"
#include "platform/procfs.h"
#include "platform/slab.h"
#include "platform/string.h"
#include "platform/workqueue.h"

MODULE_DESCRIPTION("Host kernel end-to-end test driver");
MODULE_LICENSE("GPL");

// The register the work item reads on every event.
#define TESTDRV_REG_STATUS 0x10

static struct i2c_client* testdrv_client;
static int testdrv_gpio = -1;
static int testdrv_irq = -1;
static struct work_struct testdrv_work;
static DECLARE_WAIT_QUEUE_HEAD(testdrv_wq);
static atomic_t testdrv_events = ATOMIC_INIT(0);
static int testdrv_last_status = -1;

// --- /proc/testdrv_events ---------------------------------------------------------------------

static int events_open(struct inode* inode, struct file* file) {
  (void)inode;
  if (!try_module_get(THIS_MODULE)) return -ENODEV;
  int* seen = static_cast<int*>(kzalloc(sizeof(int), GFP_KERNEL));
  if (seen == nullptr) {
    module_put(THIS_MODULE);
    return -ENOMEM;
  }
  *seen = atomic_read(&testdrv_events);
  file->private_data = seen;
  return 0;
}

static int events_release(struct inode* inode, struct file* file) {
  (void)inode;
  kfree(file->private_data);
  module_put(THIS_MODULE);
  return 0;
}

static ssize_t events_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  char text[32];
  const int events = atomic_read(&testdrv_events);
  const int len = snprintf(text, sizeof text, "%d %d\n", events, READ_ONCE(testdrv_last_status));
  const ssize_t ret = simple_read_from_buffer(buf, count, ppos, text, static_cast<size_t>(len));
  if (ret > 0) *static_cast<int*>(file->private_data) = events;
  return ret;
}

static __poll_t events_poll(struct file* file, poll_table* wait) {
  poll_wait(file, &testdrv_wq, wait);
  return *static_cast<int*>(file->private_data) != atomic_read(&testdrv_events) ? POLLPRI : 0;
}

static const struct file_operations events_fops = {
    THIS_MODULE, nullptr, events_read, nullptr, events_poll, nullptr, events_open, events_release,
};

// --- Interrupt and work -----------------------------------------------------------------------

static void testdrv_work_fn(struct work_struct* work) {
  (void)work;
  const s32 status = i2c_smbus_read_byte_data(testdrv_client, TESTDRV_REG_STATUS);
  WRITE_ONCE(testdrv_last_status, status);
  atomic_inc(&testdrv_events);
  wake_up_interruptible(&testdrv_wq);
}

// Hard-interrupt context: no sleeping, no bus access.
static irqreturn_t testdrv_irq_handler(int irq, void* dev_id) {
  (void)irq;
  (void)dev_id;
  queue_work(system_wq, &testdrv_work);
  return IRQ_HANDLED;
}

// --- Binding ----------------------------------------------------------------------------------

static int testdrv_probe(struct i2c_client* client, const struct i2c_device_id* id) {
  (void)id;
  int ret;
  testdrv_gpio = of_get_named_gpio(client->dev.of_node, "irq-gpio", 0);
  if (!gpio_is_valid(testdrv_gpio)) return -EINVAL;
  ret = gpio_request(static_cast<unsigned>(testdrv_gpio), "testdrv_irq");
  if (ret < 0) return ret;
  ret = gpiod_direction_input(gpio_to_desc(static_cast<unsigned>(testdrv_gpio)));
  if (ret < 0) goto free_gpio;
  testdrv_irq = gpio_to_irq(static_cast<unsigned>(testdrv_gpio));
  if (testdrv_irq < 0) {
    ret = testdrv_irq;
    goto free_gpio;
  }
  testdrv_client = client;
  INIT_WORK(&testdrv_work, testdrv_work_fn);
  ret = request_irq(static_cast<unsigned>(testdrv_irq), testdrv_irq_handler,
                    IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING, "testdrv", nullptr);
  if (ret < 0) goto free_gpio;
  if (proc_create("testdrv_events", 0444, nullptr, &events_fops) == nullptr) {
    ret = -ENOMEM;
    goto free_irq;
  }
  printk(KERN_INFO "testdrv: bound at 0x%02x, gpio %d, irq %d\n", client->addr, testdrv_gpio,
         testdrv_irq);
  return 0;

free_irq:
  free_irq(static_cast<unsigned>(testdrv_irq), nullptr);
free_gpio:
  gpio_free(static_cast<unsigned>(testdrv_gpio));
  return ret;
}

static int testdrv_remove(struct i2c_client* client) {
  (void)client;
  free_irq(static_cast<unsigned>(testdrv_irq), nullptr);
  cancel_work_sync(&testdrv_work);
  remove_proc_entry("testdrv_events", nullptr);
  gpio_free(static_cast<unsigned>(testdrv_gpio));
  testdrv_client = nullptr;
  return 0;
}

static const struct of_device_id testdrv_of_match[] = {
    {"", "", "vexmoor,testdrv", nullptr},
    {"", "", "", nullptr},
};
MODULE_DEVICE_TABLE(of, testdrv_of_match);

static const struct i2c_device_id testdrv_id[] = {
    {"testdrv", 0},
    {"", 0},
};
MODULE_DEVICE_TABLE(i2c, testdrv_id);

static struct i2c_driver testdrv_driver = {
    0,          testdrv_probe, testdrv_remove, nullptr,
    nullptr,    nullptr,       nullptr,        {"lt_testdrv", THIS_MODULE, testdrv_of_match},
    testdrv_id,
};

static int __init_testdrv(void) { return i2c_add_driver(&testdrv_driver); }
static void __exit_testdrv(void) { i2c_del_driver(&testdrv_driver); }

module_init(__init_testdrv);
module_exit(__exit_testdrv);
