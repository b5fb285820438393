// Open files, the descriptor table, and the rundown that removal does with them.
//
// File descriptors are numbered from 3 across the whole VFS; a descriptor can only be used by
// the process that opened it.
//
// Calls on an open file count as in flight on its entry (begin_call/end_call). Removal works
// like Linux's proc_entry_rundown: new calls on a removed entry fail at once, calls in flight
// finish first (the remover waits in the scheduler), then .release runs once for every file
// still open. Nobody is woken: a poller of the entry keeps waiting on the queues the file's poll
// registered it on. A closed file is released by its last call out, once.
//
// Locks: the table's mutex guards the table; the entries' call counts and the files' release
// state are guarded by the scheduler lock (a remover blocks on them). Module code is never
// called with either held. Lock order: the table's mutex, then the scheduler lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "locks.h"
#include "platform/procfs.h"
#include "proc_tree.h"
#include "thread_safety.h"

namespace host {

struct Process;

// An open file.
struct OpenFile {
  std::shared_ptr<proc_dir_entry> node;
  struct file file = {};
  int pid = 0;
  Mutex pos_lock;  // serialises calls that use f_pos, as f_pos_lock does
  // An attribute file's page, filled by the first read and served to later reads that go on
  // from where the last one stopped, as sysfs's seq_file does; pos_lock.
  std::string attr_page;
  bool attr_filled = false;
  loff_t attr_next = 0;
  // Scheduler lock.
  int refs = 1;  // the descriptor table's reference plus calls in flight
  bool released = false;
};

using FileRef = std::shared_ptr<OpenFile>;

class DescriptorTable {
 public:
  // Gives f the next descriptor.
  int install(FileRef f);
  // The file open as `fd` by `proc`, nullptr when there is none.
  FileRef get(const Process& proc, int fd) const;
  // As get, and takes the descriptor out of the table.
  FileRef take(const Process& proc, int fd);
  size_t size() const;
  void clear();

 private:
  mutable lt::Mutex mutex_;
  std::map<int, FileRef> files_ LT_GUARDED_BY(mutex_);
  int next_fd_ LT_GUARDED_BY(mutex_) = 3;
};

// Enters a call on f's entry; false once the entry is removed or the file released.
bool begin_call(OpenFile& f);
// Leaves a call; the last reference of a closed file releases it.
void end_call(const FileRef& f);
// An open's call, begun on a new file with no references, ends: on success the call's reference
// becomes the descriptor's and the file joins its entry's open files; a failed open is never
// released.
void open_succeeded(const FileRef& f);
void open_failed(const FileRef& f);
// Drops the descriptor table's reference.
void put_file(const FileRef& f);
// Marks the detached entries removed, waits for the calls in flight on them and releases their
// open files. No lock is held.
void rundown(const std::vector<std::shared_ptr<proc_dir_entry>>& nodes);

}  // namespace host
