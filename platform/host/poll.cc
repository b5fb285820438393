// Poll: poll tables, poll(2), watches and poll_wait.
#include "poll.h"

#include <cstdint>
#include <optional>

#include "descriptors.h"
#include "kernel.h"
#include "sched.h"
#include "timeline.h"
#include "tsan.h"
#include "vfs.h"

// A poll table: the module passes it to poll_wait, which hands each wait queue to qproc.
struct poll_table_struct {
  void (*qproc)(struct file* filp, wait_queue_head_t* head, poll_table_struct* pt);
};

namespace host {
namespace {

using QueueEntries = std::vector<std::pair<std::shared_ptr<WaitQueue>, WaitQueue::Id>>;

// A poll table that registers a callback on every queue it is handed while qproc is set.
struct CallbackTable : poll_table_struct {
  std::function<void()> fn;
  QueueEntries* entries = nullptr;

  bool once = false;  // entries leave their queue when they fire

  CallbackTable(std::function<void()> f, QueueEntries* e, bool one_shot)
      : fn(std::move(f)), entries(e), once(one_shot) {
    qproc = &CallbackTable::add;
  }
  static void add(struct file*, wait_queue_head_t* head, poll_table_struct* pt) {
    if (head == nullptr) return;
    auto* table = static_cast<CallbackTable*>(pt);
    std::shared_ptr<WaitQueue> q = Kernel::get().vfs().wait_queue(head);
    // While a timeline records, the waiter notes each wake-up that reaches this poller.
    const WaitQueue::Id id = q->add(
        timeline_on() ? Timeline::traced_waiter(q.get(), table->fn) : table->fn, table->once);
    table->entries->emplace_back(std::move(q), id);
  }
};

void remove_entries(QueueEntries* entries) {
  for (auto& [q, id] : *entries) q->remove(id);
  entries->clear();
}

// One call of the file's poll. A removed entry answers with the default mask, as Linux's
// proc_reg_poll does, and registers nothing.
__poll_t poll_file(const FileRef& f, poll_table* pt) {
  if (!begin_call(*f)) return DEFAULT_POLLMASK;
  __poll_t mask = DEFAULT_POLLMASK;
  const file_operations* fops = f->node->fops;
  if (!f->node->attribute && fops != nullptr && fops->poll != nullptr) {
    mask = fops->poll(&f->file, pt);
  }
  end_call(f);
  return mask;
}

}  // namespace

// --- PollWatch --------------------------------------------------------------------------------

PollWatch::PollWatch(PollWatch&& other) noexcept : entries_(std::move(other.entries_)) {
  other.entries_.clear();
}

PollWatch& PollWatch::operator=(PollWatch&& other) noexcept {
  if (this != &other) {
    reset();
    entries_ = std::move(other.entries_);
    other.entries_.clear();
  }
  return *this;
}

PollWatch::~PollWatch() { reset(); }

void PollWatch::reset() { remove_entries(&entries_); }

// --- Poll -------------------------------------------------------------------------------------

int poll_files(std::vector<pollfd>& fds, int timeout_ms,
               const std::function<std::shared_ptr<OpenFile>(int fd)>& lookup) {
  Scheduler& s = Kernel::get().sched();
  Task* self = &current();
  bool triggered = false;  // scheduler lock
  QueueEntries entries;
  CallbackTable table(
      [&s, self, &triggered] {
        Scheduler::Lock lock(s);
        triggered = true;
        s.wake(self);
      },
      &entries, /*one_shot=*/false);
  std::optional<int64_t> deadline;
  if (timeout_ms >= 0) deadline = s.now() + static_cast<int64_t>(timeout_ms) * kNsPerMs;

  int count = 0;
  for (;;) {
    count = 0;
    for (pollfd& p : fds) {
      p.revents = 0;
      if (p.fd < 0) continue;
      FileRef f = lookup(p.fd);
      unsigned mask;
      if (f == nullptr) {
        mask = POLLNVAL;
      } else {
        mask = poll_file(f, &table);
        mask &= static_cast<unsigned>(static_cast<unsigned short>(p.events)) | POLLERR | POLLHUP;
      }
      if (mask != 0) {
        p.revents = static_cast<short>(mask);
        ++count;
        table.qproc = nullptr;  // no need to wait any more
      }
    }
    table.qproc = nullptr;
    if (count > 0 || timeout_ms == 0) break;
    bool timed_out;
    {
      Scheduler::Lock lock(s);
      timed_out = !s.wait(
          lock, "poll", [&] { return triggered; }, deadline);
      triggered = false;
    }
    for (auto& [q, id] : entries) tsan::acquire(q.get());
    if (timed_out) break;
  }
  remove_entries(&entries);
  return count;
}

PollWatchResult watch_file(const FileRef& f, std::function<void()> on_wake, bool one_shot) {
  PollWatchResult r;
  CallbackTable table(std::move(on_wake), &r.watch.entries_, one_shot);
  r.mask = static_cast<int>(poll_file(f, &table));
  return r;
}

}  // namespace host

extern "C" {

void poll_wait(struct file* filp, wait_queue_head_t* wait_address, poll_table* p) {
  if (p != nullptr && p->qproc != nullptr && wait_address != nullptr) {
    p->qproc(filp, wait_address, p);
  }
}

}  // extern "C"
