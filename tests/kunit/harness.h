/*
 * What the module's tests in a real kernel share: the module loaded and unloaded through the
 * init_module and delete_module system calls, the /proc and /sys files used through the VFS
 * with buffers in user memory, pollers and wake-up watches on the status file, the kernel log
 * since a mark, the module's own symbols, and waiting until the board and the work queue are
 * idle.
 *
 * Each test case runs in a kernel thread with a user address space of its own (the system
 * calls and the files' handlers copy from and to user memory) and a fresh board. The module
 * file comes from the host's file system: its path is the kernel parameter
 * lt7911_kunit.module.
 *
 * Threading: the helpers are called from the test's thread, or from the threads started with
 * lt_thread_start (each with its own page of the test's user memory).
 */
#ifndef LT7911_KUNIT_HARNESS_H
#define LT7911_KUNIT_HARNESS_H

#include <kunit/test.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

#include "board.h"
#include "chip_model.h"

#define LT_MODULE "lt7911_manage"
#define LT_CHIP_DEVICE "4-002b"
/* Generous bound for a wait on an event that is due. */
#define LT_WAIT (10 * HZ)

/* Suite hooks: a user address space and a fresh board per case; the module unloaded and the
 * board removed after it. */
int lt_case_init(struct kunit* test);
void lt_case_exit(struct kunit* test);

/* The module. lt_insmod loads it with the parameters in args ("" for none) and lets the board
 * and the work queue settle; both return what the system call returned. */
int lt_insmod(struct kunit* test, const char* args);
int lt_rmmod(struct kunit* test);
bool lt_loaded(void);
/* A symbol of the loaded module (static ones too), or NULL. */
void* lt_sym(const char* name);
/* The module's work item and the status file's wait queue, while loaded. */
struct work_struct* lt_work(void);
wait_queue_head_t* lt_status_queue(void);

/* Waits until every interrupt edge has been delivered and the work item is idle. */
void lt_settle(void);
/* Keeps the system work queue's items pending: one active item at a time, and that one held. */
void lt_wq_hold(void);
void lt_wq_release(void);

/* Chip input, then settle. */
void lt_plug(struct kunit* test, const char* mode);
void lt_unplug(void);
/* An interrupt from the chip with the input unchanged, then settle. */
void lt_interrupt(void);

/* /proc/lt7911_info/NAME. Files opened with lt_open are closed at the end of the case. */
struct file* lt_open(struct kunit* test, const char* name, int flags);
void lt_close(struct kunit* test, struct file* file);
ssize_t lt_fread(struct file* file, char* buf, size_t count);
ssize_t lt_fwrite(struct file* file, const char* bytes, size_t count);
/* Reads and writes through a user address: `addr` bytes at the given user address. */
ssize_t lt_fread_user(struct file* file, unsigned long addr, size_t count);
ssize_t lt_fwrite_user(struct file* file, unsigned long addr, size_t count);
/* A user address with nothing readable, and one whose first `n` bytes are readable only. */
unsigned long lt_user_unmapped(void);
unsigned long lt_user_readable_only(const char* bytes, size_t n);
/* The whole file from a fresh open (a test-allocated string), and one write of a fresh open. */
const char* lt_read(struct kunit* test, const char* name);
ssize_t lt_write(struct kunit* test, const char* name, const char* bytes);
ssize_t lt_write_n(struct kunit* test, const char* name, const char* bytes, size_t n);
/* Whether /proc/lt7911_info (or a file in it) exists, and a file's mode bits. */
bool lt_proc_exists(const char* name);
umode_t lt_proc_mode(const char* name);
/* Opens as an unprivileged user (uid 1000): the open's result. */
int lt_open_as_user(const char* name, int flags);
/* What a poll of the file reports now without waiting, of POLLIN, POLLPRI, POLLERR, POLLHUP. */
__poll_t lt_poll_now(struct file* file);

/* A file of the debug file system: one write, and the whole file (up to 32 KiB). */
ssize_t lt_debugfs_write(struct kunit* test, const char* name, const char* text);
const char* lt_debugfs_read(struct kunit* test, const char* name);

/* A debug file system file read whole into a buffer of `size` bytes (vfree it), or NULL if it
 * cannot be read or does not fit. */
char* lt_debugfs_read_large(const char* name, size_t size);

/* Whether /proc/NAME exists. */
bool lt_proc_root_exists(const char* name);

/* The calling task's nth allocation from a cache marked for fault injection (proc_dir_entry
 * and kmalloc-16, see scripts/kunit-check) fails; 0 ends it. */
void lt_fail_nth(unsigned int n);

/* kmemleak's minimum age of an object it reports, and a second for the clock's grain. */
#define LT_KMEMLEAK_MIN_AGE_MS 6000
/* The jiffies when the harness cleared what kmemleak found before the first case. */
extern unsigned long lt_kmemleak_since;

/* Module parameters through /sys/module/lt7911_manage/parameters/NAME. */
ssize_t lt_param_write(struct kunit* test, const char* name, const char* value);
const char* lt_param_read(struct kunit* test, const char* name);
umode_t lt_param_mode(const char* name);
/* Driver binding through /sys/bus/i2c/drivers/lt7911_manage/{bind,unbind}, then settle. */
int lt_bind(struct kunit* test, const char* device);
int lt_unbind(struct kunit* test, const char* device);
/* The driver bound to the I2C device, or NULL. */
const char* lt_bound_driver(const char* device);

/* A thread of the test with its own page of the test's user memory. */
struct lt_thread {
  struct task_struct* task;
  int (*fn)(struct lt_thread* thread);
  void* arg;
  long result;
  struct completion started;
  struct completion done;
  struct mm_struct* mm;
  int slot;
};
void lt_thread_start(struct kunit* test, struct lt_thread* thread,
                     int (*fn)(struct lt_thread* thread), void* arg);
/* Marks the thread as started (from its function); the test may wait for it. */
void lt_thread_started(struct lt_thread* thread);
bool lt_thread_wait(struct lt_thread* thread);
bool lt_thread_done(struct lt_thread* thread);
/* Whether the thread sleeps (in an uninterruptible or interruptible wait). */
bool lt_thread_blocked(struct lt_thread* thread);
/* Waits (bounded) until the thread sleeps or has ended; whether it sleeps. */
bool lt_thread_wait_blocked(struct lt_thread* thread);
/* A thread that unbinds the chip's device (lt_unbind); its result is lt_unbind's. */
void lt_unbind_start(struct kunit* test, struct lt_thread* thread);

/* A process blocked in poll() on a file: POLLPRI asked for, POLLERR and POLLHUP always. */
struct lt_poller {
  struct lt_thread thread;
  struct file* file;
  long timeout;
  __poll_t revents;
  bool files_there; /* whether /proc/lt7911_info existed when the poll returned */
};
void lt_poller_start(struct kunit* test, struct lt_poller* poller, struct file* file);
/* Waits (bounded) until the poller sleeps registered on the status file's queue. */
bool lt_poller_wait_registered(struct lt_poller* poller);
/* The poll's result, after waiting for it to return. */
__poll_t lt_poller_join(struct lt_poller* poller);

/* Counts the wake-ups of a file's poll wait queue, as an epoll set registered on it would. */
struct lt_watch {
  wait_queue_head_t* head;
  wait_queue_entry_t entry;
  poll_table table;
  atomic_t wakeups;
};
void lt_watch_start(struct lt_watch* watch, struct file* file);
void lt_watch_stop(struct lt_watch* watch);

/* The kernel log since a mark: its lines, their levels. */
u64 lt_log_mark(void);
struct lt_log {
  int n;
  int level[512];
  const char* text[512];
};
struct lt_log* lt_log_since(struct kunit* test, u64 mark);
/* Whether `lines` occur since the mark in this order (others may come between). */
bool lt_log_in_order(struct kunit* test, u64 mark, const char* const* lines, int n);
int lt_log_count(struct kunit* test, u64 mark, const char* text);
int lt_log_count_prefix(struct kunit* test, u64 mark, const char* prefix);
/* Expects the KERN_ERR lines since the mark to be exactly `lines`. */
void lt_expect_errors(struct kunit* test, u64 mark, const char* const* lines, int n);

#define LT_LINES(...) \
  ((const char* const[]){__VA_ARGS__}), ARRAY_SIZE(((const char* const[]){__VA_ARGS__}))

/* Runs `fn` after the module's next cancel_work_sync returns, in the caller of it. */
void lt_after_next_cancel(void (*fn)(void* arg), void* arg);
/* The module's calls of cancel_work_sync so far, and a wait (bounded) for one more. */
unsigned int lt_cancel_calls(void);
bool lt_wait_cancel_call(unsigned int since);

#endif
