// A throwaway module for the host kernel's own tests: module information, parameters, a /proc
// file that holds a module reference while open, a wait queue, a work item and deliberate
// leftovers on request. It uses the platform headers only, as a real module does.
#include "platform/errno.h"
#include "platform/i2c.h"
#include "platform/module.h"
#include "platform/moduleparam.h"
#include "platform/of.h"
#include "platform/printk.h"
#include "platform/procfs.h"
#include "platform/slab.h"
#include "platform/string.h"
#include "platform/time.h"
#include "platform/workqueue.h"

MODULE_DESCRIPTION("Host kernel test module");
MODULE_VERSION("1.2");
MODULE_LICENSE("GPL");

// Load values; every test of a fresh load checks them.
extern "C" {
int counter = 5;
int limit = 10;
int fail_init = 0;
int leak_proc = 0;
int leak_work = 0;
int counter_at_init = -100;
int set_log[8];
int set_log_length = 0;
int writes_seen = 0;
}

// --- Parameters -------------------------------------------------------------------------------

// Records every value stored into counter, in order.
static int counter_set(const char* val, const struct kernel_param* kp) {
  const int ret = param_set_int(val, kp);
  if (ret == 0 && set_log_length < 8) set_log[set_log_length++] = counter;
  return ret;
}

static const struct kernel_param_ops counter_ops = {0, counter_set, param_get_int, nullptr};

// limit accepts 0..100 only.
static int limit_set(const char* val, const struct kernel_param* kp) {
  int value = 0;
  struct kernel_param tmp = {kp->name, kp->mod, kp->ops, 0, -1, 0, {&value}};
  const int ret = param_set_int(val, &tmp);
  if (ret != 0) return ret;
  if (value < 0 || value > 100) return -ERANGE;
  limit = value;
  return 0;
}

static const struct kernel_param_ops limit_ops = {0, limit_set, param_get_int, nullptr};
static const struct kernel_param_ops int_ops = {0, param_set_int, param_get_int, nullptr};

module_param_cb(counter, &counter_ops, &counter, 0644);
MODULE_PARM_DESC(counter, "A counter");
module_param_cb(limit, &limit_ops, &limit, 0444);
MODULE_PARM_DESC(limit, "An upper bound");
module_param_cb(fail_init, &int_ops, &fail_init, 0);
module_param_cb(leak_proc, &int_ops, &leak_proc, 0);
module_param_cb(leak_work, &int_ops, &leak_work, 0);

// --- Device tables ----------------------------------------------------------------------------

static const struct of_device_id testmod_of_match[] = {
    {"", "", "vexmoor,test", nullptr},
    {"", "", "", nullptr},
};
MODULE_DEVICE_TABLE(of, testmod_of_match);

static const struct i2c_device_id testmod_id[] = {
    {"testdev", 0},
    {"", 0},
};
MODULE_DEVICE_TABLE(i2c, testmod_id);

// --- /proc/testmod/value ----------------------------------------------------------------------

static struct proc_dir_entry* testmod_dir;
static struct work_struct slow_work;
static DECLARE_WAIT_QUEUE_HEAD(testmod_wq);

static int value_open(struct inode* inode, struct file* file) {
  (void)inode;
  if (!try_module_get(THIS_MODULE)) return -ENODEV;
  int* seen = static_cast<int*>(kzalloc(sizeof(int), GFP_KERNEL));
  if (seen == nullptr) {
    module_put(THIS_MODULE);
    return -ENOMEM;
  }
  file->private_data = seen;
  return 0;
}

static int value_release(struct inode* inode, struct file* file) {
  (void)inode;
  kfree(file->private_data);
  module_put(THIS_MODULE);
  return 0;
}

static ssize_t value_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  (void)file;
  char text[16];
  const int len = snprintf(text, sizeof text, "%d\n", counter);
  return simple_read_from_buffer(buf, count, ppos, text, static_cast<size_t>(len));
}

// Adds the written number to counter.
static ssize_t value_write(struct file* file, const char __user* buf, size_t count, loff_t* ppos) {
  (void)file;
  (void)ppos;
  char text[16];
  if (count >= sizeof text) return -EINVAL;
  if (copy_from_user(text, buf, count) != 0) return -EFAULT;
  text[count] = '\0';
  int add = 0;
  struct kernel_param tmp = {"value", THIS_MODULE, &int_ops, 0, -1, 0, {&add}};
  const int ret = param_set_int(text, &tmp);
  if (ret != 0) return ret;
  counter += add;
  ++writes_seen;
  wake_up_interruptible(&testmod_wq);
  return static_cast<ssize_t>(count);
}

static __poll_t value_poll(struct file* file, poll_table* wait) {
  poll_wait(file, &testmod_wq, wait);
  int* seen = static_cast<int*>(file->private_data);
  return *seen != writes_seen ? POLLPRI : 0;
}

static const struct file_operations value_fops = {
    THIS_MODULE, nullptr, value_read, value_write, value_poll, nullptr, value_open, value_release,
};

static void slow_work_fn(struct work_struct* work) {
  (void)work;
  msleep(1000);
}

static int __init_testmod(void) {
  counter_at_init = counter;
  if (fail_init) return -ENODEV;
  INIT_WORK(&slow_work, slow_work_fn);
  testmod_dir = proc_mkdir("testmod", nullptr);
  if (testmod_dir == nullptr) return -ENOMEM;
  if (proc_create("value", 0666, testmod_dir, &value_fops) == nullptr) {
    remove_proc_entry("testmod", nullptr);
    return -ENOMEM;
  }
  if (leak_work) queue_work(system_wq, &slow_work);
  printk(KERN_INFO "lt_testmod: loaded, counter %d\n", counter);
  return 0;
}

static void __exit_testmod(void) {
  const bool got = try_module_get(THIS_MODULE);
  if (got) module_put(THIS_MODULE);
  printk(KERN_INFO "lt_testmod: exit, try_module_get %s\n", got ? "succeeded" : "failed");
  if (leak_proc) return;
  if (!leak_work) cancel_work_sync(&slow_work);
  remove_proc_entry("value", testmod_dir);
  remove_proc_entry("testmod", nullptr);
}

module_init(__init_testmod);
module_exit(__exit_testmod);
