// The status texts behind the simple /proc files, the change notification of the status file
// and the status file's operations.
//
// Each text is a 16-byte NUL-terminated buffer of at most 15 characters with a length equal to
// its strlen. Every text and its length are written and read only under `lt7911_text_lock`, a
// short spinlock that no holder sleeps under: a reader copies the text out under the lock and
// copies it to user space after releasing it, so it never sees a text and a length from two
// updates. A change is published with notify_status_change after all texts of the change are
// written and the lock is released.
//
// Threading: the status file handlers run in the calling process. The text helpers may be called
// from any process context (worker, parameter writers, /proc writers, the probe).
#pragma once

#include "platform/locking.h"
#include "platform/procfs.h"
#include "platform/types.h"

#define INFO_TEXT_SIZE 16

extern spinlock_t lt7911_text_lock;

// The texts, guarded by lt7911_text_lock.
extern char video_power_buffer[INFO_TEXT_SIZE];
extern int video_power_buffer_length;
extern char video_status_buffer[INFO_TEXT_SIZE];
extern int video_status_buffer_length;
extern char video_width_buffer[INFO_TEXT_SIZE];
extern int video_width_buffer_length;
// "vidio" as given: the name is the system's own, spelt so; do not correct it.
extern char vidio_height_buffer[INFO_TEXT_SIZE];
extern int video_height_buffer_length;
extern char video_fps_buffer[INFO_TEXT_SIZE];
extern int video_fps_buffer_length;
extern char video_hdcp_buffer[INFO_TEXT_SIZE];
extern int video_hdcp_buffer_length;
extern char audio_sample_rate_buffer[INFO_TEXT_SIZE];
extern int audio_sample_rate_buffer_length;

// Pollers of the status file and the number of changes published since load.
struct lt7911_context {
  wait_queue_head_t wq;
  atomic_t change_count;
};
extern struct lt7911_context lt7911_ctx;

// Text writers; the caller holds lt7911_text_lock.
void info_text_store(char* buffer, int* length, const char* literal);
void info_text_store_number(char* buffer, int* length, long long value);

// Copies a text out under the lock; returns its length (0 to 15).
int info_text_copy(const char* buffer, const int* length, char* out);

// Serves a text copied out under the lock from *ppos, as simple_read_from_buffer does, for an
// open file that keeps a mark of what its reads saw (*mark, 0 before any). A read from the start
// serves the text and marks it; a later read serves the rest of the text only while it is the
// one marked, and otherwise ends the file. So a reader that reads on to the end of the file
// gets the bytes of one value, never the head of one and the tail of the next.
ssize_t info_text_read(const char* buffer, const int* length, unsigned long* mark, char __user* buf,
                       size_t count, loff_t* ppos);

// info_text_read for a file whose private_data holds nothing but that mark (the simple files).
ssize_t info_text_file_read(struct file* file, const char* buffer, const int* length,
                            char __user* buf, size_t count, loff_t* ppos);

// Writes the power text ("on\n" or "off\n") under the lock.
void power_text_set(const char* literal);

// Start texts of status, width, height, fps, hdcp and asr.
void proc_buffer_init(void);

// Publishes one change: the counter grows by one (a release, so a reader that sees the new
// count also sees the texts of the change), then every poller wakes.
void notify_status_change(void);

// The acknowledgement: "new res" or "error res" becomes "stable\n" and is published.
void update_status(void);

// Pollers of the status file while the chip goes away. The remove calls
// status_pollers_release before the files are removed: from then on a poll of the status file
// reports POLLERR | POLLHUP and waits on nothing, every poller is woken, and the call returns
// once no poller is left on lt7911_ctx.wq (a removed entry wakes nobody, and the queue lives in
// this module's memory). A poller that registered by other means than poll() and select() (an
// epoll set that ignores the hang-up) keeps it waiting until it lets go of the file.
// status_pollers_welcome, at bring-up before the files exist, makes polls wait again. Both
// sleep.
void status_pollers_release(void);
void status_pollers_welcome(void);

// Status file operations.
int proc_open(struct inode* inode, struct file* file);
ssize_t proc_video_status_read(struct file* file, char __user* buf, size_t count, loff_t* ppos);
ssize_t proc_video_status_write(struct file* file, const char __user* buf, size_t count,
                                loff_t* ppos);
__poll_t proc_video_status_poll(struct file* file, poll_table* wait);
int proc_release(struct inode* inode, struct file* file);
