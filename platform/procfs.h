// procfs, files, poll, wait queues and user copies.
//
// /proc handlers run in the context of the process that called read(), write() or poll() and
// may sleep. A user buffer can fault part-way: copy_from_user and copy_to_user return the
// number of bytes they could not copy.
#pragma once

#include "module.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct inode {
  umode_t i_mode;
  void* i_private;
};

struct file_operations;

// file::f_mode bits.
#define FMODE_READ 0x1u
#define FMODE_WRITE 0x2u

struct file {
  loff_t f_pos;
  unsigned int f_flags;
  fmode_t f_mode;
  const struct file_operations* f_op;
  struct inode* f_inode;
  void* private_data;
};

struct poll_table_struct;
typedef struct poll_table_struct poll_table;

struct file_operations {
  struct module* owner;
  loff_t (*llseek)(struct file* file, loff_t offset, int whence);
  ssize_t (*read)(struct file* file, char __user* buf, size_t count, loff_t* ppos);
  ssize_t (*write)(struct file* file, const char __user* buf, size_t count, loff_t* ppos);
  __poll_t (*poll)(struct file* file, struct poll_table_struct* wait);
  long (*unlocked_ioctl)(struct file* file, unsigned int cmd, unsigned long arg);
  int (*open)(struct inode* inode, struct file* file);
  int (*release)(struct inode* inode, struct file* file);
};

struct proc_dir_entry;  // owned by procfs

// NULL on failure (for instance a name that already exists in the parent).
extern struct proc_dir_entry* proc_mkdir(const char* name, struct proc_dir_entry* parent);
extern struct proc_dir_entry* proc_create(const char* name, umode_t mode,
                                          struct proc_dir_entry* parent,
                                          const struct file_operations* proc_fops);
// Removes an entry by name. Calls in flight on its open files finish first; later calls fail
// with -EIO and the open files are released.
extern void remove_proc_entry(const char* name, struct proc_dir_entry* parent);

extern ssize_t simple_read_from_buffer(void __user* to, size_t count, loff_t* ppos,
                                       const void* from, size_t available);
extern loff_t default_llseek(struct file* file, loff_t offset, int whence);

// User copies: the number of bytes NOT copied. A faulting copy_from_user zeroes the bytes it
// could not copy.
extern unsigned long copy_from_user(void* to, const void __user* from, unsigned long n);
extern unsigned long copy_to_user(void __user* to, const void* from, unsigned long n);

// Wait queues.
typedef struct wait_queue_head {
  void* host;  // created at first use
} wait_queue_head_t;
#define __WAIT_QUEUE_HEAD_INITIALIZER(name) \
  { NULL }
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)
extern void init_waitqueue_head(wait_queue_head_t* wq);
// Wakes every waiter. Safe in any context.
extern void wake_up_interruptible(wait_queue_head_t* wq);
extern void wake_up(wait_queue_head_t* wq);
// Whether the queue has waiters; a lockless look, as Linux's.
extern int waitqueue_active(wait_queue_head_t* wq);

// Poll.
#ifndef POLLIN
#define POLLIN 0x001
#define POLLPRI 0x002
#define POLLOUT 0x004
#define POLLERR 0x008
#define POLLHUP 0x010
#define POLLNVAL 0x020
#define POLLRDNORM 0x040
#define POLLWRNORM 0x100
#endif
#define DEFAULT_POLLMASK (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM)
extern void poll_wait(struct file* filp, wait_queue_head_t* wait_address, poll_table* p);

#ifdef __cplusplus
}
#endif
