// The /proc directory and its files. See proc_entries.h.
#include "procfs/proc_entries.h"

#include "driver/module_state.h"
#include "driver/pins_power.h"
#include "driver/register_bus.h"
#include "platform/errno.h"
#include "platform/printk.h"
#include "platform/string.h"
#include "procfs/edid_version.h"
#include "procfs/status_texts.h"

#define PROC_DIR_NAME "lt7911_info"
#define PROC_MODE_RW 0666
#define PROC_MODE_RO 0444
// A power write longer than this is refused.
#define POWER_WRITE_MAX 15

/* ---- File operation tables ---- */

static const struct file_operations proc_video_power_fops = {
    .owner = THIS_MODULE, .read = proc_video_power_read, .write = proc_video_power_write};
static const struct file_operations proc_video_status_fops = {.owner = THIS_MODULE,
                                                              .read = proc_video_status_read,
                                                              .write = proc_video_status_write,
                                                              .poll = proc_video_status_poll,
                                                              .open = proc_open,
                                                              .release = proc_release};
static const struct file_operations proc_video_width_fops = {.owner = THIS_MODULE,
                                                             .read = proc_video_width_read};
static const struct file_operations proc_video_height_fops = {.owner = THIS_MODULE,
                                                              .read = proc_video_height_read};
static const struct file_operations proc_video_fps_fops = {.owner = THIS_MODULE,
                                                           .read = proc_video_fps_read};
static const struct file_operations proc_video_hdcp_fops = {.owner = THIS_MODULE,
                                                            .read = proc_video_hdcp_read};
static const struct file_operations proc_audio_sample_rate_fops = {
    .owner = THIS_MODULE, .read = proc_audio_sample_rate_read};
static const struct file_operations proc_video_edid_fops = {
    .owner = THIS_MODULE, .read = proc_video_edid_read, .write = proc_video_edid_write};
static const struct file_operations proc_video_edid_snapshot_fops = {
    .owner = THIS_MODULE, .read = proc_video_edid_snapshot_read};
static const struct file_operations proc_version_fops = {
    .owner = THIS_MODULE, .read = proc_version_read, .write = proc_version_write};

/* ---- Entries ---- */

// Marks of what the current bring-up created; cleared at removal and before each creation.
static struct proc_dir_entry* proc_lt7911_dir;
static struct proc_dir_entry* proc_video_power_file;
static struct proc_dir_entry* proc_video_status_file;
static struct proc_dir_entry* proc_video_width_file;
static struct proc_dir_entry* proc_video_height_file;
static struct proc_dir_entry* proc_video_fps_file;
static struct proc_dir_entry* proc_video_hdcp_file;
static struct proc_dir_entry* proc_audio_sample_rate_file;
static struct proc_dir_entry* proc_video_edid_file;
static struct proc_dir_entry* proc_video_edid_snapshot_file;
static struct proc_dir_entry* proc_version_file;

struct proc_file_desc {
  const char* name;
  umode_t mode;
  const struct file_operations* fops;
  struct proc_dir_entry** entry;
};

// In the order of creation.
static const struct proc_file_desc proc_files[] = {
    {"power", PROC_MODE_RW, &proc_video_power_fops, &proc_video_power_file},
    {"status", PROC_MODE_RW, &proc_video_status_fops, &proc_video_status_file},
    {"width", PROC_MODE_RO, &proc_video_width_fops, &proc_video_width_file},
    {"height", PROC_MODE_RO, &proc_video_height_fops, &proc_video_height_file},
    {"fps", PROC_MODE_RO, &proc_video_fps_fops, &proc_video_fps_file},
    {"hdcp", PROC_MODE_RO, &proc_video_hdcp_fops, &proc_video_hdcp_file},
    {"asr", PROC_MODE_RO, &proc_audio_sample_rate_fops, &proc_audio_sample_rate_file},
    {"edid", PROC_MODE_RW, &proc_video_edid_fops, &proc_video_edid_file},
    {"edid_snapshot", PROC_MODE_RO, &proc_video_edid_snapshot_fops, &proc_video_edid_snapshot_file},
    {"version", PROC_MODE_RW, &proc_version_fops, &proc_version_file},
};

// In the order of removal.
static struct proc_dir_entry** const proc_removal_order[] = {
    &proc_audio_sample_rate_file, &proc_video_hdcp_file,   &proc_video_fps_file,
    &proc_video_width_file,       &proc_video_height_file, &proc_video_status_file,
    &proc_video_power_file,       &proc_video_edid_file,   &proc_video_edid_snapshot_file,
    &proc_version_file,
};

static const char* proc_file_name(struct proc_dir_entry* const* entry) {
  for (size_t i = 0; i < ARRAY_SIZE(proc_files); i++)
    if (proc_files[i].entry == entry) return proc_files[i].name;
  return "";
}

static void proc_marks_clear(void) {
  proc_lt7911_dir = NULL;
  for (size_t i = 0; i < ARRAY_SIZE(proc_files); i++) *proc_files[i].entry = NULL;
}

static void proc_remove_created(void) {
  // Files are removed only when their own directory was created: a file mark never refers to
  // an entry outside /proc/lt7911_info.
  for (size_t i = 0; i < ARRAY_SIZE(proc_removal_order); i++) {
    struct proc_dir_entry** entry = proc_removal_order[i];
    if (*entry && proc_lt7911_dir) remove_proc_entry(proc_file_name(entry), proc_lt7911_dir);
  }
  if (proc_lt7911_dir) remove_proc_entry(PROC_DIR_NAME, NULL);
  proc_marks_clear();
}

int proc_info_init(void) {
  proc_marks_clear();
  proc_lt7911_dir = proc_mkdir(PROC_DIR_NAME, NULL);
  if (!proc_lt7911_dir) goto fail;
  for (size_t i = 0; i < ARRAY_SIZE(proc_files); i++) {
    const struct proc_file_desc* desc = &proc_files[i];
    *desc->entry = proc_create(desc->name, desc->mode, proc_lt7911_dir, desc->fops);
    if (!*desc->entry) goto fail;
  }
  return 0;

fail:
  printk(KERN_ERR "Failed to create proc entries\n");
  proc_remove_created();
  return -1;
}

int proc_info_exit(void) {
  proc_remove_created();
  return 0;
}

/* ---- Simple reads ---- */

ssize_t proc_video_power_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  return info_text_file_read(file, video_power_buffer, &video_power_buffer_length, buf, count,
                             ppos);
}

ssize_t proc_video_width_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  return info_text_file_read(file, video_width_buffer, &video_width_buffer_length, buf, count,
                             ppos);
}

ssize_t proc_video_height_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  return info_text_file_read(file, vidio_height_buffer, &video_height_buffer_length, buf, count,
                             ppos);
}

ssize_t proc_video_fps_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  return info_text_file_read(file, video_fps_buffer, &video_fps_buffer_length, buf, count, ppos);
}

ssize_t proc_video_hdcp_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  return info_text_file_read(file, video_hdcp_buffer, &video_hdcp_buffer_length, buf, count, ppos);
}

ssize_t proc_audio_sample_rate_read(struct file* file, char __user* buf, size_t count,
                                    loff_t* ppos) {
  return info_text_file_read(file, audio_sample_rate_buffer, &audio_sample_rate_buffer_length, buf,
                             count, ppos);
}

/* ---- Power write ---- */

// Bytes of the last power write followed by a NUL; guarded by lt7911_chip_lock.
static char video_power_write_buffer[POWER_WRITE_MAX + 1];

// 1 to switch on, 0 to switch off, -1 for a text that is neither.
static int power_write_decision(const char* text) {
  if (strncmp(text, "on", 2) == 0) return 1;
  if (text[0] == '1') return 1;
  if (strncmp(text, "off", 3) == 0) return 0;
  if (text[0] == '0') return 0;
  return -1;
}

static ssize_t power_write_locked(const char __user* buf, size_t count) {
  if (copy_from_user(video_power_write_buffer, buf, count)) return -EFAULT;
  video_power_write_buffer[count] = '\0';

  int on = power_write_decision(video_power_write_buffer);
  if (on < 0) return -EINVAL;
  if (lt7911_pwr_ctrl(on) < 0) return -EIO;
  if (!on) {
    unsigned long flags;
    spin_lock_irqsave(&lt7911_text_lock, flags);
    info_text_store(video_status_buffer, &video_status_buffer_length, "disappear\n");
    spin_unlock_irqrestore(&lt7911_text_lock, flags);
    notify_status_change();
  }
  return (ssize_t)count;
}

ssize_t proc_video_power_write(struct file* file, const char __user* buf, size_t count,
                               loff_t* ppos) {
  (void)file;
  (void)ppos;
  if (count > POWER_WRITE_MAX) return -EINVAL;
  mutex_lock(&lt7911_chip_lock);
  ssize_t ret = power_write_locked(buf, count);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}
