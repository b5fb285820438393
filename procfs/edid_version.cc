// The edid, edid_snapshot and version files. See edid_version.h.
#include "procfs/edid_version.h"

#include "driver/module_state.h"
#include "driver/pins_power.h"
#include "driver/register_bus.h"
#include "monitor/chip_queries.h"
#include "platform/errno.h"
#include "platform/printk.h"
#include "platform/string.h"
#include "platform/time.h"

#define EDID_BLOCK_LENGTH 128
// A read more than this long after the previous one refreshes from the chip.
#define EDID_REFRESH_WINDOW_NS 500999999LL
#define CHIP_RESTART_OFF_MS 100
// Bytes of one edid write that its hex dump shows; a longer write is dumped up to here and the
// dump ends with "...".
#define EDID_DUMP_MAX 1024

static const u8 edid_header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Guarded by lt7911_chip_lock.
static u8 video_edid_buffer[EDID_LENGTH];
static int video_edid_buffer_length;
static s64 last_read_time;
static u8 video_edid_snapshot_buffer[EDID_LENGTH];
static int video_edid_snapshot_buffer_length;
static char version_buffer[LT7911_STR_MAX];

/* ---- Helpers ---- */

// Off, 100 ms, on; the caller holds lt7911_chip_lock.
static void lt7911_restart(void) {
  lt7911_pwr_ctrl(0);
  msleep(CHIP_RESTART_OFF_MS);
  lt7911_pwr_ctrl(1);
}

static u16 chip_length(size_t count) { return count > 0xFFFF ? 0xFFFF : (u16)count; }

// Copies the first `size` bytes of a `count`-byte user write into `to` and checks that the rest
// is readable too, through a bounded scratch buffer. 0, or -EFAULT.
static int copy_write_bytes(u8* to, size_t size, const char __user* from, size_t count) {
  size_t head = count < size ? count : size;
  if (copy_from_user(to, from, head)) return -EFAULT;
  u8 scratch[EDID_BLOCK_LENGTH];
  for (size_t done = head; done < count;) {
    size_t n = count - done < sizeof(scratch) ? count - done : sizeof(scratch);
    if (copy_from_user(scratch, from + done, n)) return -EFAULT;
    done += n;
  }
  return 0;
}

static int block_sum(const u8* block) {
  unsigned sum = 0;
  for (int i = 0; i < EDID_BLOCK_LENGTH; i++) sum += block[i];
  return (int)(sum & 0xFF);
}

/* ---- Validation ---- */

int check_edid(const u8* data, size_t length) {
  if (length != EDID_LENGTH) {
    printk(KERN_ERR "EDID data length is not %d bytes\n", EDID_LENGTH);
    return -1;
  }
  if (memcmp(data, edid_header, sizeof(edid_header)) != 0) {
    printk(KERN_ERR "EDID header is invalid\n");
    return -1;
  }
  if (block_sum(data) != 0) {
    printk(KERN_ERR "Checksum for first 128 bytes is incorrect\n");
    return -1;
  }
  if (block_sum(data + EDID_BLOCK_LENGTH) != 0) {
    printk(KERN_ERR "Checksum for second 128 bytes is incorrect\n");
    return -1;
  }
  return 0;
}

/* ---- edid ---- */

static ssize_t edid_read_locked(char __user* buf, size_t count, loff_t* ppos) {
  s64 now = ktime_get_real();
  s64 since = (s64)((u64)now - (u64)last_read_time);
  if (since > EDID_REFRESH_WINDOW_NS) {
    lt7911_pwr_ctrl(1);
    video_edid_buffer_length = EDID_LENGTH;
    printk(KERN_INFO "Reading EDID from LT7911UXC...\n");
    if (lt7911_edid_read(video_edid_buffer, EDID_LENGTH) < 0) return -EIO;
    memcpy(video_edid_snapshot_buffer, video_edid_buffer, EDID_LENGTH);
    video_edid_snapshot_buffer_length = EDID_LENGTH;
    printk(KERN_INFO "Restarting LT7911...\n");
    lt7911_restart();
  }
  last_read_time = now;
  return simple_read_from_buffer(buf, count, ppos, video_edid_buffer,
                                 (size_t)video_edid_buffer_length);
}

ssize_t proc_video_edid_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  (void)file;
  mutex_lock(&lt7911_chip_lock);
  ssize_t ret = edid_read_locked(buf, count, ppos);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}

// Logs the written bytes: the first EDID_LENGTH from `held`, any further ones copied again from
// user space in bounded pieces.
static void edid_dump(const u8* held, const char __user* from, size_t count) {
  printk(KERN_INFO "Writing EDID: ");
  size_t shown = count < EDID_DUMP_MAX ? count : EDID_DUMP_MAX;
  for (size_t i = 0; i < shown && i < EDID_LENGTH; i++) printk(KERN_CONT "%02x ", held[i]);
  u8 piece[EDID_BLOCK_LENGTH];
  for (size_t done = EDID_LENGTH; done < shown;) {
    size_t n = shown - done < sizeof(piece) ? shown - done : sizeof(piece);
    if (copy_from_user(piece, from + done, n)) break;
    for (size_t i = 0; i < n; i++) printk(KERN_CONT "%02x ", piece[i]);
    done += n;
  }
  if (shown < count) printk(KERN_CONT "...");
  printk(KERN_CONT "\n");
}

static ssize_t edid_write_locked(const u8* edid, size_t count) {
  u8 read_back[EDID_LENGTH];
  lt7911_pwr_ctrl(1);
  if (lt7911_edid_write(edid, EDID_LENGTH) < 0) return -EIO;
  if (lt7911_edid_read(read_back, EDID_LENGTH) < 0) return -EIO;
  memcpy(video_edid_snapshot_buffer, read_back, EDID_LENGTH);
  video_edid_snapshot_buffer_length = EDID_LENGTH;
  if (memcmp(edid, read_back, EDID_LENGTH) != 0) {
    printk(KERN_ERR "EDID write verification failed\n");
    return -EIO;
  }
  printk(KERN_INFO "Restarting LT7911UXC...\n");
  lt7911_restart();
  return (ssize_t)count;
}

ssize_t proc_video_edid_write(struct file* file, const char __user* buf, size_t count,
                              loff_t* ppos) {
  (void)file;
  (void)ppos;
  u8 edid[EDID_LENGTH];
  memset(edid, 0, sizeof(edid));
  if (copy_write_bytes(edid, sizeof(edid), buf, count) < 0) return -EFAULT;
  edid_dump(edid, buf, count);
  if (check_edid(edid, count) < 0) return -EINVAL;

  mutex_lock(&lt7911_chip_lock);
  ssize_t ret = edid_write_locked(edid, count);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}

/* ---- edid_snapshot ---- */

ssize_t proc_video_edid_snapshot_read(struct file* file, char __user* buf, size_t count,
                                      loff_t* ppos) {
  (void)file;
  mutex_lock(&lt7911_chip_lock);
  ssize_t ret = simple_read_from_buffer(buf, count, ppos, video_edid_snapshot_buffer,
                                        (size_t)video_edid_snapshot_buffer_length);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}

/* ---- version ---- */

ssize_t proc_version_read(struct file* file, char __user* buf, size_t count, loff_t* ppos) {
  (void)file;
  mutex_lock(&lt7911_chip_lock);
  if (version_buffer[0] == '\0') {
    static const char unknown[] = "unknown\n";
    memcpy(version_buffer, unknown, sizeof(unknown));
  }
  size_t length = strnlen(version_buffer, sizeof(version_buffer));
  ssize_t ret = simple_read_from_buffer(buf, count, ppos, version_buffer, length);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}

static ssize_t version_write_locked(const char* text, size_t count) {
  lt7911_pwr_ctrl(1);
  if (lt7911_str_write((const u8*)text, chip_length(count)) < 0) return -EIO;
  if (lt7911_str_read((u8*)version_buffer) < 0) return -EIO;
  size_t compared = count < sizeof(version_buffer) ? count : sizeof(version_buffer);
  if (memcmp(text, version_buffer, compared) != 0) {
    printk(KERN_ERR "version write verification failed\n");
    return -EIO;
  }
  printk(KERN_INFO "Restarting LT7911UXC...\n");
  lt7911_restart();
  return (ssize_t)count;
}

ssize_t proc_version_write(struct file* file, const char __user* buf, size_t count, loff_t* ppos) {
  (void)file;
  (void)ppos;
  // The bytes as written, at most LT7911_STR_MAX of them, and a terminator for the log.
  char text[LT7911_STR_MAX + 1];
  memset(text, 0, sizeof(text));
  if (copy_write_bytes((u8*)text, LT7911_STR_MAX, buf, count) < 0) return -EFAULT;
  printk(KERN_INFO "Writing version: ");
  printk(KERN_CONT "%s\n", text);

  mutex_lock(&lt7911_chip_lock);
  ssize_t ret = version_write_locked(text, count);
  mutex_unlock(&lt7911_chip_lock);
  return ret;
}
