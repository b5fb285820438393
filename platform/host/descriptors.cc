// Open files: the descriptor table, calls in flight, release and rundown.
#include "descriptors.h"

#include <algorithm>

#include "kernel.h"
#include "process.h"
#include "sched.h"
#include "tsan.h"

namespace host {
namespace {

// Leaves a call on `node`: the last call out of a removed entry wakes its removers. Scheduler
// lock held.
void leave_locked(Scheduler& s, proc_dir_entry& node) {
  if (--node.in_flight == 0 && node.removed) {
    for (Task* t : node.removers) s.wake(t);
  }
}

// Leaves a call on `node`, which happens before a removal that waits for it.
void leave(proc_dir_entry& node) {
  tsan::release(&node);
  Scheduler& s = Kernel::get().sched();
  Scheduler::Lock lock(s);
  leave_locked(s, node);
}

// Runs the file's .release, if it has one.
void call_release(OpenFile& f) {
  const file_operations* fops = f.node->fops;
  if (fops != nullptr && fops->release != nullptr) fops->release(&f.node->ino, &f.file);
}

// Releases f and takes it off its entry's open files.
void release_now(const FileRef& f) {
  call_release(*f);
  Scheduler::Lock lock(Kernel::get().sched());
  auto& files = f->node->files;
  auto it = std::find(files.begin(), files.end(), f);
  if (it != files.end()) files.erase(it);
}

}  // namespace

// --- The descriptor table ---------------------------------------------------------------------

int DescriptorTable::install(FileRef f) {
  lt::MutexLock lock(mutex_);
  const int fd = next_fd_++;
  files_[fd] = std::move(f);
  return fd;
}

FileRef DescriptorTable::get(const Process& proc, int fd) const {
  lt::MutexLock lock(mutex_);
  auto it = files_.find(fd);
  if (it == files_.end() || it->second->pid != proc.pid) return nullptr;
  return it->second;
}

FileRef DescriptorTable::take(const Process& proc, int fd) {
  lt::MutexLock lock(mutex_);
  auto it = files_.find(fd);
  if (it == files_.end() || it->second->pid != proc.pid) return nullptr;
  FileRef f = std::move(it->second);
  files_.erase(it);
  return f;
}

size_t DescriptorTable::size() const {
  lt::MutexLock lock(mutex_);
  return files_.size();
}

void DescriptorTable::clear() {
  lt::MutexLock lock(mutex_);
  files_.clear();
}

// --- Calls in flight --------------------------------------------------------------------------

bool begin_call(OpenFile& f) {
  Scheduler::Lock lock(Kernel::get().sched());
  if (f.released || f.node->removed) return false;
  ++f.node->in_flight;
  ++f.refs;
  return true;
}

// The release of a closed file still counts as in flight, so that a rundown waits for it too.
void end_call(const FileRef& f) {
  bool release = false;
  {
    Scheduler::Lock lock(Kernel::get().sched());
    if (--f->refs == 0 && !f->released && !f->node->removed) {
      f->released = true;
      release = true;
    }
  }
  if (release) release_now(f);
  leave(*f->node);
}

void open_succeeded(const FileRef& f) {
  proc_dir_entry& node = *f->node;
  // The open happens before a removal that waits for it: the edge is stated before the
  // in-flight count drops.
  tsan::release(&node);
  Scheduler& s = Kernel::get().sched();
  Scheduler::Lock lock(s);
  node.files.push_back(f);
  // This call's reference becomes the descriptor's.
  leave_locked(s, node);
}

void open_failed(const FileRef& f) {
  {
    Scheduler::Lock lock(Kernel::get().sched());
    f->released = true;
  }
  end_call(f);
}

void put_file(const FileRef& f) {
  {
    Scheduler::Lock lock(Kernel::get().sched());
    if (--f->refs > 0 || f->released || f->node->removed) return;
    // Released here, as a call in flight, so that a rundown that starts now waits for it.
    f->released = true;
    ++f->node->in_flight;
  }
  release_now(f);
  leave(*f->node);
}

// --- Rundown ----------------------------------------------------------------------------------

// As in Linux, nobody is woken: pollers of a removed entry wait on whatever queue they were on.
void rundown(const std::vector<std::shared_ptr<proc_dir_entry>>& nodes) {
  if (nodes.empty()) return;
  Scheduler& s = Kernel::get().sched();
  Task* self = &current();
  std::vector<FileRef> to_release;
  {
    Scheduler::Lock lock(s);
    for (const auto& n : nodes) n->removed = true;
    for (const auto& n : nodes) {
      if (n->in_flight > 0) {
        n->removers.push_back(self);
        s.wait(lock, "proc entry rundown", [&] { return n->in_flight == 0; });
        n->removers.erase(std::find(n->removers.begin(), n->removers.end(), self));
      }
      for (FileRef& f : n->files) {
        if (!f->released) {
          f->released = true;
          to_release.push_back(f);
        }
      }
      n->files.clear();
    }
  }
  for (const auto& n : nodes) tsan::acquire(n.get());
  for (const FileRef& f : to_release) call_release(*f);
}

}  // namespace host
