/*
 * What changed in the kernel interfaces the module uses after Linux 4.19, the kernel the module
 * is written for. On 4.19 this adds nothing (but the GPIO number space); on later kernels it
 * maps the 4.19 forms onto the current ones:
 * - 5.3: i2c_new_dummy_device, returning an ERR_PTR, replaces i2c_new_dummy (gone in 5.6);
 * - 5.6: proc_create takes a struct proc_ops instead of a struct file_operations;
 * - 6.1: the I2C remove returns void;
 * - 6.2: ARCH_NR_GPIOS is gone;
 * - 6.3: the I2C probe no longer receives the matched i2c_device_id.
 * compat.c holds the functions behind it.
 */
#pragma once

#include <linux/err.h>
#include <linux/fs.h>
#include <linux/i2c.h>
#include <linux/proc_fs.h>
#include <linux/version.h>

/*
 * The GPIO numbers of the board: 0 to 511, as 4.19 on arm64 has them. (From 6.2 on, kernels
 * number dynamically registered controllers from 512 up; such lines are refused.)
 */
#ifndef ARCH_NR_GPIOS
#define ARCH_NR_GPIOS 512
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 3, 0)
/* A client that no driver binds to, or NULL, as i2c_new_dummy answered. */
static inline struct i2c_client* compat_i2c_new_dummy(struct i2c_adapter* adap, u16 address) {
  struct i2c_client* dummy = i2c_new_dummy_device(adap, address);

  return IS_ERR(dummy) ? NULL : dummy;
}
#ifndef COMPAT_IMPLEMENTATION
#define i2c_new_dummy(adap, address) compat_i2c_new_dummy(adap, address)
#endif
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 6, 0)
/*
 * Creates the entry with a proc_ops made from fops (one per table, kept for the module's
 * lifetime). A table without llseek gets default_llseek, which 4.19 used for it; later kernels
 * would refuse lseek on such a file.
 */
struct proc_dir_entry* compat_proc_create(const char* name, umode_t mode,
                                          struct proc_dir_entry* parent,
                                          const struct file_operations* fops);
#ifndef COMPAT_IMPLEMENTATION
#define proc_create(name, mode, parent, fops) compat_proc_create(name, mode, parent, fops)
#endif
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
/*
 * The driver record in its 4.19 form; registering it fills `real`, whose remove (and from 6.3
 * on its probe) calls the 4.19 forms.
 */
struct compat_i2c_driver {
  int (*probe)(struct i2c_client* client, const struct i2c_device_id* id);
  int (*remove)(struct i2c_client* client);
  struct device_driver driver;
  const struct i2c_device_id* id_table;
  struct i2c_driver real;
};

int compat_i2c_register_driver(struct module* owner, struct compat_i2c_driver* driver);

#ifndef COMPAT_IMPLEMENTATION
#define i2c_driver compat_i2c_driver
#undef i2c_add_driver
#define i2c_add_driver(driver) compat_i2c_register_driver(THIS_MODULE, driver)
#define i2c_del_driver(driver) i2c_del_driver(&(driver)->real)
#endif
#endif
