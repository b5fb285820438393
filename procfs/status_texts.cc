// The status texts, the change notification and the status file. See status_texts.h.
#include "procfs/status_texts.h"

#include "platform/errno.h"
#include "platform/module.h"
#include "platform/slab.h"
#include "platform/string.h"
#include "platform/time.h"

DEFINE_SPINLOCK(lt7911_text_lock);

char video_power_buffer[INFO_TEXT_SIZE];
int video_power_buffer_length;
char video_status_buffer[INFO_TEXT_SIZE];
int video_status_buffer_length;
char video_width_buffer[INFO_TEXT_SIZE];
int video_width_buffer_length;
char vidio_height_buffer[INFO_TEXT_SIZE];
int video_height_buffer_length;
char video_fps_buffer[INFO_TEXT_SIZE];
int video_fps_buffer_length;
char video_hdcp_buffer[INFO_TEXT_SIZE];
int video_hdcp_buffer_length;
char audio_sample_rate_buffer[INFO_TEXT_SIZE];
int audio_sample_rate_buffer_length;

struct lt7911_context lt7911_ctx = {__WAIT_QUEUE_HEAD_INITIALIZER(lt7911_ctx.wq), ATOMIC_INIT(0)};

// Bytes of the last write to the status file, guarded by lt7911_text_lock.
static char video_status_write_buffer[INFO_TEXT_SIZE];

// A status write longer than this is refused.
#define STATUS_WRITE_MAX 15

// How often the remove looks again for pollers that have not yet left.
#define STATUS_POLLER_DRAIN_MS 1

// Set while the chip goes away (see status_pollers_release).
static bool status_going;

/* ---- Texts ---- */

void info_text_store(char* buffer, int* length, const char* literal) {
  assert_spin_locked(&lt7911_text_lock);
  size_t n = strlen(literal);
  if (n > INFO_TEXT_SIZE - 1) n = INFO_TEXT_SIZE - 1;
  memcpy(buffer, literal, n);
  buffer[n] = '\0';
  *length = (int)strlen(buffer);
}

void info_text_store_number(char* buffer, int* length, long long value) {
  assert_spin_locked(&lt7911_text_lock);
  snprintf(buffer, INFO_TEXT_SIZE, "%lld\n", value);
  *length = (int)strlen(buffer);
}

int info_text_copy(const char* buffer, const int* length, char* out) {
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  int n = *length;
  if (n < 0) n = 0;
  if (n > INFO_TEXT_SIZE - 1) n = INFO_TEXT_SIZE - 1;
  memcpy(out, buffer, INFO_TEXT_SIZE);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  return n;
}

ssize_t info_text_read(const char* buffer, const int* length, char __user* buf, size_t count,
                       loff_t* ppos) {
  char text[INFO_TEXT_SIZE];
  int n = info_text_copy(buffer, length, text);
  return simple_read_from_buffer(buf, count, ppos, text, (size_t)n);
}

void power_text_set(const char* literal) {
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_power_buffer, &video_power_buffer_length, literal);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
}

void proc_buffer_init(void) {
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_status_buffer, &video_status_buffer_length, "disappear\n");
  info_text_store(video_width_buffer, &video_width_buffer_length, "0\n");
  info_text_store(vidio_height_buffer, &video_height_buffer_length, "0\n");
  info_text_store(video_fps_buffer, &video_fps_buffer_length, "0\n");
  info_text_store(video_hdcp_buffer, &video_hdcp_buffer_length, "no hdcp\n");
  info_text_store(audio_sample_rate_buffer, &audio_sample_rate_buffer_length, "disappear\n");
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
}

/* ---- Change notification ---- */

void notify_status_change(void) {
  // A fully ordered increment: the texts of the change are visible to whoever sees the count.
  (void)atomic_inc_return(&lt7911_ctx.change_count);
  wake_up_interruptible(&lt7911_ctx.wq);
}

static int change_count_now(void) { return smp_load_acquire(&lt7911_ctx.change_count.counter); }

// Whether the status text is one of the resolution events that an "ok" acknowledges.
static bool status_is_resolution_event(void) {
  return strncmp(video_status_buffer, "new res", 7) == 0 ||
         strncmp(video_status_buffer, "error res", 9) == 0 ||
         strcmp(video_status_buffer, "normal res") == 0 ||
         strncmp(video_status_buffer, "unsupport res", 13) == 0 ||
         strcmp(video_status_buffer, "unknown res") == 0;
}

void update_status(void) {
  bool changed = false;
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  if (video_status_buffer_length > 0 && status_is_resolution_event()) {
    info_text_store(video_status_buffer, &video_status_buffer_length, "stable\n");
    changed = true;
  }
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  if (changed) notify_status_change();
}

/* ---- Status file ---- */

// The per-open count of the last change this opener caught up with. Several threads may share
// one open file, so it is accessed atomically.
static int seen_count_get(const int* seen) { return __atomic_load_n(seen, __ATOMIC_RELAXED); }
static void seen_count_set(int* seen, int value) {
  __atomic_store_n(seen, value, __ATOMIC_RELAXED);
}

int proc_open(struct inode* inode, struct file* file) {
  (void)inode;
  if (!try_module_get(THIS_MODULE)) return -ENODEV;
  int* seen_count = (int*)kzalloc(sizeof(int), GFP_KERNEL);
  if (!seen_count) {
    module_put(THIS_MODULE);
    return -ENOMEM;
  }
  file->private_data = seen_count;
  seen_count_set(seen_count, change_count_now());
  return 0;
}

ssize_t proc_video_status_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  // The count is taken before the copy, so a change published during the copy stays pending.
  int seen = change_count_now();
  ssize_t ret = info_text_read(video_status_buffer, &video_status_buffer_length, buf, count, ppos);
  int* seen_count = (int*)file->private_data;
  if (ret > 0 && seen_count) seen_count_set(seen_count, seen);
  return ret;
}

ssize_t proc_video_status_write(struct file* file, const char __user* buf, size_t count,
                                loff_t* ppos) {
  (void)file;
  (void)ppos;
  if (count > STATUS_WRITE_MAX) return -EINVAL;

  char bytes[INFO_TEXT_SIZE];
  unsigned long missing = copy_from_user(bytes, buf, count);

  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  memcpy(video_status_write_buffer, bytes, count);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  if (missing) return -EFAULT;

  // Judged on this write's own bytes only.
  if (count >= 2 && bytes[0] == 'o' && bytes[1] == 'k') update_status();
  return (ssize_t)count;
}

void status_pollers_welcome(void) { smp_store_release(&status_going, false); }

void status_pollers_release(void) {
  smp_store_release(&status_going, true);
  wake_up_interruptible(&lt7911_ctx.wq);
  while (waitqueue_active(&lt7911_ctx.wq)) msleep(STATUS_POLLER_DRAIN_MS);
}

__poll_t proc_video_status_poll(struct file* file, poll_table* wait) {
  if (smp_load_acquire(&status_going)) return POLLERR | POLLHUP;
  poll_wait(file, &lt7911_ctx.wq, wait);
  // A release that began before the registration has woken the queue already; the queue's
  // lock orders its flag before this load.
  if (smp_load_acquire(&status_going)) return POLLERR | POLLHUP;
  int* seen_count = (int*)file->private_data;
  if (!seen_count) return POLLERR;
  return seen_count_get(seen_count) == change_count_now() ? 0 : POLLPRI;
}

int proc_release(struct inode* inode, struct file* file) {
  (void)inode;
  if (file->private_data) {
    kfree(file->private_data);
    file->private_data = NULL;
  }
  module_put(THIS_MODULE);
  return 0;
}
