// The directory /proc/lt7911_info and its ten files.
//
// Threading: proc_info_init and proc_info_exit run only from the probe and the remove, never at
// the same time. The read handlers run in the reading process and copy their text out under the
// text lock. The power write holds `lt7911_chip_lock` around its buffer, the power switch and
// the status update.
#pragma once

#include "platform/procfs.h"

// 0 when the directory and all ten files exist; -1 after a failure, having removed what it
// created.
int proc_info_init(void);
// Removes the files and the directory that the current bring-up created. Always 0.
int proc_info_exit(void);

ssize_t proc_video_power_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_power_write(struct file* file, const char __user* buf, size_t count,
                               loff_t* ppos);
ssize_t proc_video_width_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_height_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_fps_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_hdcp_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_audio_sample_rate_read(struct file* file, char __user* buf, size_t count,
                                    loff_t* ppos);
