// The edid, edid_snapshot and version files.
//
// edid serves the EDID last read from the chip, read again only after more than 500 ms without
// a read of the file; writing a complete 256-byte EDID validates, writes, reads back, verifies
// and restarts the chip. edid_snapshot serves the last EDID that came from the chip. version
// serves the chip's version string ("unknown\n" while none is held); writing sends a string and
// verifies its read-back.
//
// Threading: the handlers run in the calling process and may sleep (a restart sleeps 100 ms).
// Each holds `lt7911_chip_lock` around its chip steps and around every use of the buffers here,
// so no buffer is read while half-written and chip traffic never interleaves with the power
// file or the status worker.
#pragma once

#include "platform/procfs.h"
#include "platform/types.h"

#define EDID_LENGTH 256

// 0 for a valid EDID of `length` bytes, -1 after logging why it is not.
int check_edid(const u8* data, size_t length);

ssize_t proc_video_edid_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_edid_write(struct file* file, const char __user* buf, size_t count,
                              loff_t* ppos);
ssize_t proc_video_edid_snapshot_read(struct file* file, char __user* buf, size_t count,
                                      loff_t* ppos);
ssize_t proc_version_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_version_write(struct file* file, const char __user* buf, size_t count, loff_t* ppos);
