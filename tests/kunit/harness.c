// SPDX-License-Identifier: GPL-2.0
/* The tests' access to the module, its files and the kernel log. See harness.h. */
#include "harness.h"

#include <linux/cred.h>
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/fcntl.h>
#include <linux/file.h>
#include <linux/i2c.h>
#include <linux/kallsyms.h>
#include <linux/kmsg_dump.h>
#include <linux/kthread.h>
#include <linux/mm.h>
#include <linux/mman.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mount.h>
#include <linux/namei.h>
#include <linux/sched/mm.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/syscalls.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>

#include <os.h>

/* The module file on the host (lt7911_kunit.module=FILE). */
static char* module_path;
module_param_named(module, module_path, charp, 0444);
MODULE_PARM_DESC(module, "lt7911_manage.ko on the host");

/* Its bytes, read once. */
static void* module_image;
static unsigned long long module_size;

static struct vfsmount* proc_mnt;
static struct vfsmount* sys_mnt;
static struct vfsmount* debug_mnt;

/* ---- User memory ---- */

/*
 * The test's user memory: PAGES pages readable and writable, then one that is not. Page 0 is
 * the test thread's, pages 1 to PAGES - 2 are its threads', the last readable page serves the
 * partly readable buffers.
 */
#define PAGES 8
#define MAX_THREADS (PAGES - 2)

static struct {
  struct mm_struct* mm;
  unsigned long base;
  struct task_struct* owner[PAGES];
} user;

static DEFINE_SPINLOCK(user_lock);

/* The page of user memory of the calling thread. */
static unsigned long user_page(void) {
  unsigned long addr = 0;
  int i;

  spin_lock(&user_lock);
  for (i = 0; i < PAGES - 1; i++)
    if (user.owner[i] == current) addr = user.base + i * PAGE_SIZE;
  spin_unlock(&user_lock);
  WARN_ON(!addr);
  return addr;
}

static int user_claim_page(void) {
  int i, slot = -1;

  spin_lock(&user_lock);
  for (i = 1; i < PAGES - 1 && slot < 0; i++)
    if (!user.owner[i]) slot = i;
  spin_unlock(&user_lock);
  return slot;
}

/*
 * Gives the calling kernel thread a new address space with the test's user memory; the thread
 * gives it back with user_detach before it ends.
 */
static void user_detach(void) {
  struct mm_struct* mm = current->mm;

  if (!mm) return;
  kthread_unuse_mm(mm);
  mmput(mm);
}

static int user_attach(void) {
  struct mm_struct* mm = mm_alloc();
  unsigned long base;

  if (!mm) return -ENOMEM;
  mm->task_size = TASK_SIZE;
  arch_pick_mmap_layout(mm, &current->signal->rlim[RLIMIT_STACK]);
  kthread_use_mm(mm);
  base = vm_mmap(NULL, 0, (PAGES + 1) * PAGE_SIZE, PROT_READ | PROT_WRITE,
                 MAP_ANONYMOUS | MAP_PRIVATE, 0);
  if (IS_ERR_VALUE(base)) return (int)base;
  if (sys_mprotect(base + PAGES * PAGE_SIZE, PAGE_SIZE, PROT_NONE)) return -EFAULT;
  spin_lock(&user_lock);
  memset(&user, 0, sizeof(user));
  user.mm = mm;
  user.base = base;
  user.owner[0] = current;
  spin_unlock(&user_lock);
  return 0;
}

unsigned long lt_user_unmapped(void) { return user.base + PAGES * PAGE_SIZE; }

unsigned long lt_user_readable_only(const char* bytes, size_t n) {
  unsigned long addr = user.base + PAGES * PAGE_SIZE - n;

  return copy_to_user((void __user*)addr, bytes, n) ? 0 : addr;
}

/* ---- Threads ---- */

static int thread_main(void* data) {
  struct lt_thread* t = data;

  mmget(t->mm);
  kthread_use_mm(t->mm);
  t->result = t->fn(t);
  complete(&t->started);
  kthread_unuse_mm(t->mm);
  mmput(t->mm);
  spin_lock(&user_lock);
  if (user.owner[t->slot] == current) user.owner[t->slot] = NULL;
  spin_unlock(&user_lock);
  complete(&t->done);
  return 0;
}

void lt_thread_start(struct kunit* test, struct lt_thread* t, int (*fn)(struct lt_thread*),
                     void* arg) {
  t->fn = fn;
  t->arg = arg;
  t->result = 0;
  t->mm = user.mm;
  init_completion(&t->started);
  init_completion(&t->done);
  t->slot = user_claim_page();
  KUNIT_ASSERT_GT(test, t->slot, 0);
  t->task = kthread_create(thread_main, t, "lt7911-test");
  KUNIT_ASSERT_FALSE(test, IS_ERR(t->task));
  spin_lock(&user_lock);
  user.owner[t->slot] = t->task;
  spin_unlock(&user_lock);
  wake_up_process(t->task);
}

void lt_thread_started(struct lt_thread* t) { complete(&t->started); }

bool lt_thread_wait(struct lt_thread* t) {
  return wait_for_completion_timeout(&t->done, LT_WAIT) != 0;
}

bool lt_thread_done(struct lt_thread* t) { return completion_done(&t->done); }

bool lt_thread_blocked(struct lt_thread* t) {
  return !completion_done(&t->done) && !task_is_running(t->task);
}

bool lt_thread_wait_blocked(struct lt_thread* t) {
  unsigned long end = jiffies + LT_WAIT;

  while (!lt_thread_blocked(t) && !lt_thread_done(t) && time_before(jiffies, end))
    schedule_timeout_uninterruptible(1);
  return lt_thread_blocked(t);
}

static int unbind_main(struct lt_thread* t) {
  lt_thread_started(t);
  return lt_unbind(t->arg, LT_CHIP_DEVICE);
}

void lt_unbind_start(struct kunit* test, struct lt_thread* t) {
  lt_thread_start(test, t, unbind_main, test);
}

/* ---- Mounts and files ---- */

static struct vfsmount* mount_of(const char* type) {
  struct file_system_type* fs = get_fs_type(type);
  struct vfsmount* mnt;

  if (!fs) return ERR_PTR(-ENODEV);
  mnt = kern_mount(fs);
  put_filesystem(fs);
  return mnt;
}

static struct file* open_in(struct vfsmount* mnt, const char* path, int flags) {
  return file_open_root_mnt(mnt, path, flags, 0);
}

static void file_put(struct file* file) {
  fput(file);
  flush_delayed_fput();
}

#define MAX_OPEN 16
static struct file* open_files[MAX_OPEN];

static char* proc_path(char* buf, size_t size, const char* name) {
  snprintf(buf, size, "lt7911_info%s%s", *name ? "/" : "", name);
  return buf;
}

bool lt_proc_root_exists(const char* name) {
  struct file* file = file_open_root_mnt(proc_mnt, name, O_PATH, 0);

  if (IS_ERR(file)) return false;
  fput(file);
  flush_delayed_fput();
  return true;
}

struct file* lt_open(struct kunit* test, const char* name, int flags) {
  char path[64];
  struct file* file = open_in(proc_mnt, proc_path(path, sizeof(path), name), flags);
  int i;

  if (IS_ERR(file)) return file;
  for (i = 0; i < MAX_OPEN; i++) {
    if (!open_files[i]) {
      open_files[i] = file;
      return file;
    }
  }
  KUNIT_FAIL(test, "too many open files");
  return file;
}

void lt_close(struct kunit* test, struct file* file) {
  int i;

  for (i = 0; i < MAX_OPEN; i++)
    if (open_files[i] == file) open_files[i] = NULL;
  file_put(file);
}

static void close_all(void) {
  int i;

  for (i = 0; i < MAX_OPEN; i++) {
    if (open_files[i]) file_put(open_files[i]);
    open_files[i] = NULL;
  }
}

ssize_t lt_fread_user(struct file* file, unsigned long addr, size_t count) {
  return vfs_read(file, (char __user*)addr, count, &file->f_pos);
}

ssize_t lt_fwrite_user(struct file* file, unsigned long addr, size_t count) {
  return vfs_write(file, (const char __user*)addr, count, &file->f_pos);
}

ssize_t lt_fread(struct file* file, char* buf, size_t count) {
  unsigned long u = user_page();
  ssize_t ret;

  if (count > PAGE_SIZE) count = PAGE_SIZE;
  ret = lt_fread_user(file, u, count);
  if (ret > 0 && copy_from_user(buf, (const void __user*)u, ret)) return -EFAULT;
  return ret;
}

ssize_t lt_fwrite(struct file* file, const char* bytes, size_t count) {
  unsigned long u = user_page();

  if (count > PAGE_SIZE || copy_to_user((void __user*)u, bytes, count)) return -EFAULT;
  return lt_fwrite_user(file, u, count);
}

static const char* read_whole(struct kunit* test, struct vfsmount* mnt, const char* path) {
  char* text = kunit_kzalloc(test, 256, GFP_KERNEL);
  struct file* file = open_in(mnt, path, O_RDONLY);
  size_t len = 0;
  ssize_t n;

  KUNIT_ASSERT_NOT_NULL(test, text);
  if (IS_ERR(file)) {
    snprintf(text, 256, "<open: %ld>", PTR_ERR(file));
    return text;
  }
  while (len < 255 && (n = lt_fread(file, text + len, 255 - len)) > 0) len += n;
  text[len] = '\0';
  file_put(file);
  return text;
}

static ssize_t write_once(struct vfsmount* mnt, const char* path, const char* bytes, size_t n) {
  struct file* file = open_in(mnt, path, O_WRONLY);
  ssize_t ret;

  if (IS_ERR(file)) return PTR_ERR(file);
  ret = lt_fwrite(file, bytes, n);
  file_put(file);
  return ret;
}

const char* lt_read(struct kunit* test, const char* name) {
  char path[64];

  return read_whole(test, proc_mnt, proc_path(path, sizeof(path), name));
}

ssize_t lt_write_n(struct kunit* test, const char* name, const char* bytes, size_t n) {
  char path[64];

  return write_once(proc_mnt, proc_path(path, sizeof(path), name), bytes, n);
}

ssize_t lt_write(struct kunit* test, const char* name, const char* bytes) {
  return lt_write_n(test, name, bytes, strlen(bytes));
}

/* The mode of a path, or 0 if it does not exist. */
static umode_t mode_of(struct vfsmount* mnt, const char* path) {
  struct file* file = open_in(mnt, path, O_PATH);
  umode_t mode;

  if (IS_ERR(file)) return 0;
  mode = file_inode(file)->i_mode;
  file_put(file);
  return mode;
}

bool lt_proc_exists(const char* name) {
  char path[64];

  return mode_of(proc_mnt, proc_path(path, sizeof(path), name)) != 0;
}

umode_t lt_proc_mode(const char* name) {
  char path[64];

  return mode_of(proc_mnt, proc_path(path, sizeof(path), name)) & 0777;
}

int lt_open_as_user(const char* name, int flags) {
  char path[64];
  struct cred* cred = prepare_creds();
  const struct cred* old;
  struct file* file;

  if (!cred) return -ENOMEM;
  cred->fsuid = KUIDT_INIT(1000);
  cred->fsgid = KGIDT_INIT(1000);
  cap_clear(cred->cap_effective);
  old = override_creds(cred);
  file = open_in(proc_mnt, proc_path(path, sizeof(path), name), flags);
  revert_creds(old);
  put_cred(cred);
  if (IS_ERR(file)) return PTR_ERR(file);
  file_put(file);
  return 0;
}

__poll_t lt_poll_now(struct file* file) {
  return vfs_poll(file, NULL) & (EPOLLIN | EPOLLPRI | EPOLLERR | EPOLLHUP);
}

ssize_t lt_debugfs_write(struct kunit* test, const char* name, const char* text) {
  return write_once(debug_mnt, name, text, strlen(text));
}

const char* lt_debugfs_read(struct kunit* test, const char* name) {
  const size_t size = 32 * 1024;
  char* text = kunit_kzalloc(test, size, GFP_KERNEL);
  struct file* file = open_in(debug_mnt, name, O_RDONLY);
  size_t len = 0;
  ssize_t n;

  KUNIT_ASSERT_NOT_NULL(test, text);
  KUNIT_ASSERT_FALSE(test, IS_ERR(file));
  while (len < size - 1 && (n = lt_fread(file, text + len, size - 1 - len)) > 0) len += n;
  text[len] = '\0';
  file_put(file);
  return text;
}

char* lt_debugfs_read_large(const char* name, size_t size) {
  char* text = vzalloc(size);
  struct file* file = open_in(debug_mnt, name, O_RDONLY);
  size_t len = 0;
  ssize_t n;

  if (!text || IS_ERR(file)) {
    vfree(text);
    if (!IS_ERR(file)) file_put(file);
    return NULL;
  }
  while (len < size - 1 && (n = lt_fread(file, text + len, size - 1 - len)) > 0) len += n;
  file_put(file);
  if (len == size - 1) {
    vfree(text);
    return NULL;
  }
  return text;
}

/* ---- Failing allocations ---- */

/*
 * Fault injection into the caches that the kernel command line marks (slub_debug=A,...):
 * only those caches, also for allocations that may sleep, silently. Set once.
 */
static int failslab_setup(void) {
  static bool done;

  if (done) return 0;
  if (lt_debugfs_write(NULL, "failslab/cache-filter", "Y") != 1 ||
      lt_debugfs_write(NULL, "failslab/ignore-gfp-wait", "N") != 1 ||
      lt_debugfs_write(NULL, "failslab/verbose", "0") != 1)
    return -EIO;
  done = true;
  return 0;
}

void lt_fail_nth(unsigned int n) { WRITE_ONCE(current->fail_nth, n); }

/* ---- Leaks ---- */

/*
 * Before the first case: kmemleak's automatic scans stop, and what it finds unreferenced from
 * the boot and the harness's own set-up is cleared; the last suite judges only objects allocated
 * after this (kmemleak on UML also reports objects of the boot that it cannot see referenced
 * later, such as the names of the device tree's nodes). The wait passes in the kernel's virtual
 * time. Once.
 */
unsigned long lt_kmemleak_since;

static int kmemleak_baseline(void) {
  static bool done;

  if (done) return 0;
  if (lt_debugfs_write(NULL, "kmemleak", "scan=off") != 8) return -EIO;
  msleep(LT_KMEMLEAK_MIN_AGE_MS);
  if (lt_debugfs_write(NULL, "kmemleak", "scan") != 4 ||
      lt_debugfs_write(NULL, "kmemleak", "clear") != 5)
    return -EIO;
  lt_kmemleak_since = jiffies;
  done = true;
  return 0;
}

/* ---- Parameters and binding ---- */

static char* param_path(char* buf, size_t size, const char* name) {
  snprintf(buf, size, "module/" LT_MODULE "/parameters/%s", name);
  return buf;
}

ssize_t lt_param_write(struct kunit* test, const char* name, const char* value) {
  char path[96];
  ssize_t ret = write_once(sys_mnt, param_path(path, sizeof(path), name), value, strlen(value));

  lt_settle();
  return ret;
}

const char* lt_param_read(struct kunit* test, const char* name) {
  char path[96];

  return read_whole(test, sys_mnt, param_path(path, sizeof(path), name));
}

umode_t lt_param_mode(const char* name) {
  char path[96];

  return mode_of(sys_mnt, param_path(path, sizeof(path), name)) & 0777;
}

static int bind_op(const char* op, const char* device) {
  char path[96];
  ssize_t ret;

  snprintf(path, sizeof(path), "bus/i2c/drivers/" LT_MODULE "/%s", op);
  ret = write_once(sys_mnt, path, device, strlen(device));
  lt_settle();
  return ret < 0 ? (int)ret : 0;
}

int lt_bind(struct kunit* test, const char* device) { return bind_op("bind", device); }
int lt_unbind(struct kunit* test, const char* device) { return bind_op("unbind", device); }

const char* lt_bound_driver(const char* device) {
  struct device* dev = bus_find_device_by_name(&i2c_bus_type, NULL, device);
  const char* name = NULL;

  if (!dev) return NULL;
  device_lock(dev);
  if (dev->driver) name = dev->driver->name;
  device_unlock(dev);
  put_device(dev);
  return name;
}

/* ---- The module ---- */

static int read_module_image(void) {
  void* image;
  int fd, n;

  if (module_image) return 0;
  if (!module_path) return -ENOENT;
  if (os_file_size(module_path, &module_size) < 0) return -ENOENT;
  image = vmalloc(module_size);
  if (!image) return -ENOMEM;
  fd = os_open_file(module_path, of_read(OPENFLAGS()), 0);
  if (fd < 0) {
    vfree(image);
    return fd;
  }
  n = os_read_file(fd, image, module_size);
  os_close_file(fd);
  if (n != module_size) {
    vfree(image);
    return n < 0 ? n : -EIO;
  }
  module_image = image;
  return 0;
}

int lt_insmod(struct kunit* test, const char* args) {
  unsigned long image, uargs = user_page();
  long ret;

  KUNIT_ASSERT_EQ_MSG(test, read_module_image(), 0, "reading %s", module_path);
  image = vm_mmap(NULL, 0, module_size, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, 0);
  KUNIT_ASSERT_FALSE(test, IS_ERR_VALUE(image));
  KUNIT_ASSERT_EQ(test, copy_to_user((void __user*)image, module_image, module_size), 0);
  KUNIT_ASSERT_EQ(test, copy_to_user((void __user*)uargs, args, strlen(args) + 1), 0);
  ret = sys_init_module((void __user*)image, module_size, (const char __user*)uargs);
  vm_munmap(image, module_size);
  lt_settle();
  return ret;
}

int lt_rmmod(struct kunit* test) {
  /*
   * KUnit of this kernel numbers the suites it reports with a counter that it resets whenever a
   * module goes (kunit_module_exit), which would number the suites after this one from 1 again:
   * the counter is put back.
   */
  size_t* suite_counter = (size_t*)kallsyms_lookup_name("kunit_suite_counter");
  size_t suites = suite_counter ? *suite_counter : 0;
  unsigned long name = user_page();
  long ret;

  if (copy_to_user((void __user*)name, LT_MODULE, sizeof(LT_MODULE))) return -EFAULT;
  ret = sys_delete_module((const char __user*)name, O_NONBLOCK);
  if (suite_counter) *suite_counter = suites;
  lt_board_settle_irqs();
  return ret;
}

bool lt_loaded(void) {
  bool loaded;

  preempt_disable();
  loaded = find_module(LT_MODULE) != NULL;
  preempt_enable();
  return loaded;
}

void* lt_sym(const char* name) {
  char full[96];

  snprintf(full, sizeof(full), LT_MODULE ":%s", name);
  return (void*)kallsyms_lookup_name(full);
}

struct work_struct* lt_work(void) {
  return lt_loaded() ? lt_sym("get_video_info_work") : NULL;
}

wait_queue_head_t* lt_status_queue(void) {
  /* lt7911_ctx begins with the wait queue of the status file's pollers. */
  return lt_loaded() ? lt_sym("lt7911_ctx") : NULL;
}

/* ---- Settling ---- */

/* The system work queue held: one active item, which waits for the release. */
static struct {
  struct work_struct work;
  struct completion running;
  struct completion release;
  bool held;
} wq_hold;

/* Whether the test holds the work item back: at a transfer, a power change or the queue. */
static bool holding(void) { return lt_board_holding() || READ_ONCE(wq_hold.held); }

/*
 * Waits until the work item is idle, or waits at a hold of the test (which only the test can
 * release); bounded.
 */
static void work_settle(void) {
  struct work_struct* work = lt_work();
  unsigned long end = jiffies + LT_WAIT * 6;

  if (!work || !READ_ONCE(work->func)) return;
  while (work_busy(work) && !holding() && time_before(jiffies, end))
    schedule_timeout_uninterruptible(1);
  if (!holding()) flush_work(work);
}

void lt_settle(void) {
  int i;

  for (i = 0; i < 10; i++) {
    int pulses = lt_chip_irq_pulses();

    lt_board_settle_irqs();
    work_settle();
    if (pulses == lt_chip_irq_pulses()) break;
  }
}

void lt_plug(struct kunit* test, const char* name) {
  const struct lt_mode* mode = lt_mode_find(name);

  KUNIT_ASSERT_NOT_NULL_MSG(test, mode, "mode %s", name);
  lt_chip_plug(mode);
  lt_settle();
}

void lt_unplug(void) {
  lt_chip_unplug();
  lt_settle();
}

void lt_interrupt(void) {
  lt_board_set_irq_level(false);
  lt_board_set_irq_level(true);
  lt_settle();
  lt_board_set_irq_level(false);
  lt_settle();
}

static void wq_hold_fn(struct work_struct* work) {
  complete(&wq_hold.running);
  wait_for_completion(&wq_hold.release);
}

void lt_wq_hold(void) {
  init_completion(&wq_hold.running);
  init_completion(&wq_hold.release);
  INIT_WORK(&wq_hold.work, wq_hold_fn);
  workqueue_set_max_active(system_wq, 1);
  queue_work(system_wq, &wq_hold.work);
  wait_for_completion(&wq_hold.running);
  wq_hold.held = true;
}

void lt_wq_release(void) {
  if (!wq_hold.held) return;
  wq_hold.held = false;
  complete(&wq_hold.release);
  flush_work(&wq_hold.work);
  workqueue_set_max_active(system_wq, WQ_DFL_ACTIVE);
}

/* ---- Pollers and watches ---- */

static int poller_main(struct lt_thread* t) {
  struct lt_poller* p = t->arg;
  struct poll_wqueues table;
  long remaining = p->timeout;
  __poll_t mask;

  /* As poll() does: register at the first poll, then sleep until woken and poll again. */
  poll_initwait(&table);
  mask = vfs_poll(p->file, &table.pt);
  for (;;) {
    if (mask & (EPOLLPRI | EPOLLERR | EPOLLHUP)) break;
    lt_thread_started(t);
    set_current_state(TASK_INTERRUPTIBLE);
    if (!table.triggered) remaining = schedule_timeout(remaining);
    __set_current_state(TASK_RUNNING);
    smp_store_mb(table.triggered, 0);
    mask = vfs_poll(p->file, NULL);
    if (!remaining) break;
  }
  p->files_there = lt_proc_exists("");
  poll_freewait(&table);
  p->revents = mask & (EPOLLPRI | EPOLLERR | EPOLLHUP);
  return 0;
}

void lt_poller_start(struct kunit* test, struct lt_poller* p, struct file* file) {
  p->file = file;
  if (!p->timeout) p->timeout = LT_WAIT;
  p->revents = 0;
  lt_thread_start(test, &p->thread, poller_main, p);
}

bool lt_poller_wait_registered(struct lt_poller* p) {
  unsigned long end = jiffies + LT_WAIT;
  wait_queue_head_t* queue = lt_status_queue();

  while (!(queue && waitqueue_active(queue) && lt_thread_blocked(&p->thread)) &&
         !lt_thread_done(&p->thread) && time_before(jiffies, end))
    schedule_timeout_uninterruptible(1);
  return queue && waitqueue_active(queue) && lt_thread_blocked(&p->thread);
}

__poll_t lt_poller_join(struct lt_poller* p) {
  if (!lt_thread_wait(&p->thread)) return (__poll_t)-1;
  return p->revents;
}

static int watch_wake(wait_queue_entry_t* entry, unsigned int mode, int sync, void* key) {
  struct lt_watch* w = container_of(entry, struct lt_watch, entry);

  atomic_inc(&w->wakeups);
  return 0;
}

static void watch_queue(struct file* file, wait_queue_head_t* head, poll_table* table) {
  struct lt_watch* w = container_of(table, struct lt_watch, table);

  if (w->head) return;
  w->head = head;
  init_waitqueue_func_entry(&w->entry, watch_wake);
  add_wait_queue(head, &w->entry);
}

void lt_watch_start(struct lt_watch* w, struct file* file) {
  w->head = NULL;
  atomic_set(&w->wakeups, 0);
  init_poll_funcptr(&w->table, watch_queue);
  vfs_poll(file, &w->table);
}

void lt_watch_stop(struct lt_watch* w) {
  if (w->head) remove_wait_queue(w->head, &w->entry);
  w->head = NULL;
}

/* ---- Kernel log ---- */

u64 lt_log_mark(void) {
  struct kmsg_dump_iter iter;

  kmsg_dump_rewind(&iter);
  while (kmsg_dump_get_line(&iter, false, NULL, 0, NULL)) {
  }
  return iter.cur_seq;
}

struct lt_log* lt_log_since(struct kunit* test, u64 mark) {
  struct lt_log* log = kunit_kzalloc(test, sizeof(*log), GFP_KERNEL);
  struct kmsg_dump_iter iter = {.cur_seq = mark};
  char* record = kunit_kzalloc(test, 1024, GFP_KERNEL);
  size_t len;

  KUNIT_ASSERT_NOT_NULL(test, log);
  KUNIT_ASSERT_NOT_NULL(test, record);
  while (log->n < ARRAY_SIZE(log->text) && kmsg_dump_get_line(&iter, true, record, 1023, &len)) {
    char* line = record;

    record[len] = '\0';
    /* One line per line of the record, each with its "<level>" prefix. */
    while (*line && log->n < ARRAY_SIZE(log->text)) {
      char* end = strchrnul(line, '\n');
      int level = 0;
      char* text;

      if (*line == '<') {
        level = simple_strtol(line + 1, &line, 10) & 7;
        if (*line == '>') line++;
      }
      log->level[log->n] = level;
      text = kunit_kzalloc(test, end - line + 1, GFP_KERNEL);
      KUNIT_ASSERT_NOT_NULL(test, text);
      memcpy(text, line, end - line);
      log->text[log->n] = text;
      log->n++;
      line = *end ? end + 1 : end;
    }
  }
  return log;
}

bool lt_log_in_order(struct kunit* test, u64 mark, const char* const* lines, int n) {
  struct lt_log* log = lt_log_since(test, mark);
  int i, at = 0;

  for (i = 0; i < log->n && at < n; i++)
    if (!strcmp(log->text[i], lines[at])) at++;
  if (at < n) kunit_info(test, "log line not found in order: \"%s\"", lines[at]);
  return at == n;
}

int lt_log_count(struct kunit* test, u64 mark, const char* text) {
  struct lt_log* log = lt_log_since(test, mark);
  int i, n = 0;

  for (i = 0; i < log->n; i++) n += !strcmp(log->text[i], text);
  return n;
}

int lt_log_count_prefix(struct kunit* test, u64 mark, const char* prefix) {
  struct lt_log* log = lt_log_since(test, mark);
  int i, n = 0;

  for (i = 0; i < log->n; i++) n += !strncmp(log->text[i], prefix, strlen(prefix));
  return n;
}

void lt_expect_errors(struct kunit* test, u64 mark, const char* const* lines, int n) {
  struct lt_log* log = lt_log_since(test, mark);
  int i, at = 0;

  for (i = 0; i < log->n; i++) {
    if (log->level[i] != 3) continue;
    if (at < n)
      KUNIT_EXPECT_STREQ_MSG(test, log->text[i], lines[at], "error line %d", at);
    else
      KUNIT_FAIL(test, "unexpected error line: \"%s\"", log->text[i]);
    at++;
  }
  KUNIT_EXPECT_EQ_MSG(test, at, n, "number of error lines");
}

/* ---- The module's cancel_work_sync ---- */

static void (*after_cancel_fn)(void*);
static void* after_cancel_arg;
static unsigned int cancel_calls;
static DEFINE_SPINLOCK(hook_lock);
static DECLARE_WAIT_QUEUE_HEAD(cancel_wq);

unsigned int lt_cancel_calls(void) { return READ_ONCE(cancel_calls); }

bool lt_wait_cancel_call(unsigned int since) {
  return wait_event_timeout(cancel_wq, READ_ONCE(cancel_calls) != since, LT_WAIT) != 0;
}

void lt_after_next_cancel(void (*fn)(void*), void* arg) {
  spin_lock(&hook_lock);
  after_cancel_fn = fn;
  after_cancel_arg = arg;
  spin_unlock(&hook_lock);
}

/*
 * The KUnit build of the module calls this for cancel_work_sync (scripts/kunit-check builds it
 * with -Dcancel_work_sync=lt7911_kunit_cancel_work_sync): the kernel's, then what a test armed.
 */
bool lt7911_kunit_cancel_work_sync(struct work_struct* work) {
  void (*fn)(void*);
  void* arg;
  bool ret;

  spin_lock(&hook_lock);
  cancel_calls++;
  spin_unlock(&hook_lock);
  wake_up_all(&cancel_wq);
  ret = cancel_work_sync(work);

  spin_lock(&hook_lock);
  fn = after_cancel_fn;
  arg = after_cancel_arg;
  after_cancel_fn = NULL;
  spin_unlock(&hook_lock);
  if (fn) fn(arg);
  return ret;
}
EXPORT_SYMBOL_GPL(lt7911_kunit_cancel_work_sync);

/* ---- Cases ---- */

static u64 case_start_mark;

int lt_case_init(struct kunit* test) {
  int ret;

  /* A parameterised case reuses the test record: nothing of the last run's may stay. */
  test->priv = NULL;

  if (!proc_mnt) {
    proc_mnt = mount_of("proc");
    sys_mnt = mount_of("sysfs");
    debug_mnt = mount_of("debugfs");
    if (IS_ERR(proc_mnt) || IS_ERR(sys_mnt) || IS_ERR(debug_mnt)) {
      kunit_err(test, "mounting proc and sysfs failed");
      proc_mnt = NULL;
      return -ENODEV;
    }
  }
  ret = user_attach();
  if (ret) return ret;
  ret = failslab_setup();
  if (ret) return ret;
  ret = kmemleak_baseline();
  if (ret) return ret;
  case_start_mark = lt_log_mark();
  return lt_board_create();
}

struct cleanup {
  struct kunit* test;
  struct completion done;
};

/* What every case leaves behind goes, in a thread of its own with an address space. */
static int cleanup_main(void* data) {
  struct cleanup* c = data;

  /* Nothing of the module waits at a hold of the case any more. */
  lt_bus_hold_disarm();
  lt_bus_hold_release();
  lt_board_power_hold_disarm();
  lt_board_power_hold_release();
  if (user_attach() == 0) {
    close_all();
    lt_wq_release();
    if (lt_loaded()) {
      long ret = lt_rmmod(c->test);

      if (ret) kunit_err(c->test, "unloading after the case: %ld", ret);
    }
  }
  lt_board_destroy();
  user_detach();
  complete(&c->done);
  return 0;
}

void lt_case_exit(struct kunit* test) {
  struct cleanup c = {.test = test};
  struct task_struct* task;

  init_completion(&c.done);
  lt_after_next_cancel(NULL, NULL);
  task = kthread_run(cleanup_main, &c, "lt7911-cleanup");
  if (!IS_ERR(task)) wait_for_completion(&c.done);
  /* In the case's own thread (not after an aborted case): its address space goes too. */
  if (current->flags & PF_KTHREAD) user_detach();
}
