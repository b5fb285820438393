// SPDX-License-Identifier: GPL-2.0
/* The functions behind platform/compat.h, for kernels after 4.19. */
#define COMPAT_IMPLEMENTATION
#include "platform/compat.h"

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 6, 0)
/* The module's ten /proc files use ten tables; room for a few more. */
#define COMPAT_PROC_OPS_MAX 16

static DEFINE_MUTEX(compat_proc_lock);
/* Guarded by compat_proc_lock: the tables converted so far and their proc_ops. */
static const struct file_operations* compat_fops[COMPAT_PROC_OPS_MAX];
static struct proc_ops compat_proc_ops[COMPAT_PROC_OPS_MAX];

static const struct proc_ops* compat_proc_ops_of(const struct file_operations* fops) {
  const struct proc_ops* found = NULL;
  int i;

  mutex_lock(&compat_proc_lock);
  for (i = 0; i < COMPAT_PROC_OPS_MAX && !found; i++) {
    if (!compat_fops[i]) {
      struct proc_ops* ops = &compat_proc_ops[i];

      ops->proc_open = fops->open;
      ops->proc_read = fops->read;
      ops->proc_write = fops->write;
      ops->proc_lseek = fops->llseek ? fops->llseek : default_llseek;
      ops->proc_release = fops->release;
      ops->proc_poll = fops->poll;
      ops->proc_ioctl = fops->unlocked_ioctl;
      compat_fops[i] = fops;
    }
    if (compat_fops[i] == fops) found = &compat_proc_ops[i];
  }
  mutex_unlock(&compat_proc_lock);
  return found;
}

struct proc_dir_entry* compat_proc_create(const char* name, umode_t mode,
                                          struct proc_dir_entry* parent,
                                          const struct file_operations* fops) {
  const struct proc_ops* ops = compat_proc_ops_of(fops);

  return ops ? proc_create(name, mode, parent, ops) : NULL;
}
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
static struct compat_i2c_driver* compat_driver_of(struct i2c_client* client) {
  return container_of(to_i2c_driver(client->dev.driver), struct compat_i2c_driver, real);
}

/* The driver core has no use for the result of a remove. */
static void compat_i2c_remove(struct i2c_client* client) {
  compat_driver_of(client)->remove(client);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
static int compat_i2c_probe(struct i2c_client* client) {
  struct compat_i2c_driver* driver = compat_driver_of(client);

  return driver->probe(client, i2c_match_id(driver->id_table, client));
}
#endif

int compat_i2c_register_driver(struct module* owner, struct compat_i2c_driver* driver) {
  driver->real.driver = driver->driver;
  driver->real.id_table = driver->id_table;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
  driver->real.probe = compat_i2c_probe;
#else
  driver->real.probe = driver->probe;
#endif
  driver->real.remove = compat_i2c_remove;
  return i2c_register_driver(owner, &driver->real);
}
#endif
