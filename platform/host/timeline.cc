#include "timeline.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "process.h"
#include "tsan.h"

namespace host {

std::atomic<bool> g_timeline_recording{false};

namespace {

// The timeline's lock, invisible to ThreadSanitizer like the scheduler's: recording must not
// order the tasks it watches.
class LT_SCOPED_CAPABILITY QuietLock {
 public:
  explicit QuietLock(lt::Mutex& m) LT_ACQUIRE(m) : m_(m) {
    tsan::ignore_begin();
    m_.lock();
  }
  ~QuietLock() LT_RELEASE() {
    m_.unlock();
    tsan::ignore_end();
  }
  QuietLock(const QuietLock&) = delete;
  QuietLock& operator=(const QuietLock&) = delete;

 private:
  lt::Mutex& m_;
};

}  // namespace

Timeline::~Timeline() {
  if (recording()) g_timeline_recording.store(false, std::memory_order_relaxed);
}

void Timeline::start(size_t capacity) {
  capacity = std::max<size_t>(capacity, 1);
  std::vector<TimelineEvent> ring(capacity);
  std::vector<uint8_t> bytes(capacity * kBytesPerEvent);
  {
    QuietLock lock(mutex_);
    ring_.swap(ring);
    byte_ring_.swap(bytes);
    forget_locked();
  }
  g_timeline_recording.store(true, std::memory_order_relaxed);
}

void Timeline::stop() { g_timeline_recording.store(false, std::memory_order_relaxed); }

void Timeline::clear() {
  QuietLock lock(mutex_);
  forget_locked();
}

void Timeline::forget_locked() {
  written_ = 0;
  bytes_base_ = bytes_written_;
}

bool Timeline::recording() const { return g_timeline_recording.load(std::memory_order_relaxed); }

size_t Timeline::capacity() const {
  QuietLock lock(mutex_);
  return ring_.size();
}

uint64_t Timeline::recorded() const {
  QuietLock lock(mutex_);
  return written_;
}

void Timeline::put_bytes_locked(const uint8_t* data, size_t n) {
  const size_t size = byte_ring_.size();
  size_t at = static_cast<size_t>(bytes_written_ % size);
  bytes_written_ += n;
  while (n > 0) {
    const size_t chunk = std::min(n, size - at);
    std::memcpy(byte_ring_.data() + at, data, chunk);
    data += chunk;
    n -= chunk;
    at = 0;
  }
}

void Timeline::put_locked(const TimelineEvent& e, const std::string& task_name) {
  ring_[written_ % ring_.size()] = e;
  ++written_;
  const size_t pid = static_cast<size_t>(e.task);
  if (pid >= task_names_.size()) task_names_.resize(pid + 1);
  if (task_names_[pid].empty()) task_names_[pid] = task_name;
}

void Timeline::record(TimelineEvent e, std::span<const uint8_t> bytes) {
  // The task is looked up before the lock: a thread's first look-up attaches it in the
  // scheduler, whose lock must not be taken under this one.
  const Task& self = current();
  e.task = self.pid;
  e.time_ns = Kernel::get().sched().now();
  e.end_ns = e.time_ns;
  QuietLock lock(mutex_);
  if (ring_.empty() || !recording()) return;
  e.bytes_at = bytes_written_;
  e.bytes = static_cast<uint32_t>(bytes.size());
  if (!bytes.empty()) put_bytes_locked(bytes.data(), bytes.size());
  put_locked(e, self.name);
}

void Timeline::record_transfer(TimelineEvent e, std::span<const i2c_msg> msgs) {
  const Task& self = current();
  e.task = self.pid;
  e.kind = TimelineKind::kBusTransfer;
  e.messages = static_cast<uint8_t>(std::min<size_t>(msgs.size(), 255));
  QuietLock lock(mutex_);
  if (ring_.empty() || !recording()) return;
  e.bytes_at = bytes_written_;
  for (size_t i = 0; i < e.messages; ++i) {
    const i2c_msg& m = msgs[i];
    const uint8_t head[3] = {static_cast<uint8_t>((m.flags & I2C_M_RD) ? 1 : 0),
                             static_cast<uint8_t>(m.len & 0xff), static_cast<uint8_t>(m.len >> 8)};
    put_bytes_locked(head, sizeof head);
    if (m.len > 0 && m.buf != nullptr) put_bytes_locked(m.buf, m.len);
  }
  e.bytes = static_cast<uint32_t>(bytes_written_ - e.bytes_at);
  put_locked(e, self.name);
}

void Timeline::name_irq(int irq, const char* name) {
  QuietLock lock(mutex_);
  if (irq_names_.count(irq) == 0) irq_names_[irq] = name ? name : "";
}

void Timeline::name_process(int pid, const std::string& name) {
  QuietLock lock(mutex_);
  if (process_names_.count(pid) == 0) process_names_[pid] = name;
}

void Timeline::name_symbol(uint64_t address) {
  {
    QuietLock lock(mutex_);
    if (symbols_.count(address) != 0) return;
  }
  // Looked up outside the lock: dladdr takes the dynamic loader's.
  Dl_info info{};
  std::string name;
  if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_sname != nullptr &&
      info.dli_saddr == reinterpret_cast<void*>(address)) {
    name = info.dli_sname;
  }
  QuietLock lock(mutex_);
  symbols_.emplace(address, name);
}

TimelineSnapshot Timeline::snapshot() const {
  TimelineSnapshot s;
  s.now_ns = Kernel::get().sched().now();
  s.recording = recording();
  QuietLock lock(mutex_);
  s.capacity = ring_.size();
  if (ring_.empty()) return s;
  const uint64_t held = std::min<uint64_t>(written_, ring_.size());
  const uint64_t first = written_ - held;
  // Bytes older than this were overwritten (or belong to an earlier recording).
  const uint64_t oldest_byte =
      std::max(bytes_base_, bytes_written_ > byte_ring_.size() ? bytes_written_ - byte_ring_.size()
                                                               : uint64_t{0});
  uint64_t keep_from = first;
  for (uint64_t i = first; i < written_; ++i) {
    const TimelineEvent& e = ring_[i % ring_.size()];
    if (e.bytes > 0 && e.bytes_at < oldest_byte) keep_from = i + 1;
  }
  s.dropped = keep_from;
  s.events.reserve(written_ - keep_from);
  for (uint64_t i = keep_from; i < written_; ++i) {
    TimelineEvent e = ring_[i % ring_.size()];
    const uint64_t at = e.bytes_at;
    e.bytes_at = s.bytes.size();
    for (uint32_t k = 0; k < e.bytes; ++k) {
      s.bytes.push_back(byte_ring_[(at + k) % byte_ring_.size()]);
    }
    s.events.push_back(e);
  }
  for (size_t pid = 0; pid < task_names_.size(); ++pid) {
    if (!task_names_[pid].empty()) s.tasks[static_cast<int>(pid)] = task_names_[pid];
  }
  s.processes = process_names_;
  s.irqs = irq_names_;
  s.symbols = symbols_;
  return s;
}

// ---- Hooks ---------------------------------------------------------------------------------

void Timeline::note(TimelineKind kind, int32_t number, int32_t value, uint8_t flags,
                    uint64_t object, uint64_t func) {
  TimelineEvent e;
  e.kind = kind;
  e.number = number;
  e.value = value;
  e.flags = flags;
  e.object = object;
  e.func = func;
  Kernel::get().timeline().record(e);
}

void Timeline::name_work(const void* work, void (*func)(work_struct*)) {
  Timeline& t = Kernel::get().timeline();
  t.name_symbol(reinterpret_cast<uintptr_t>(work));
  t.name_symbol(reinterpret_cast<uintptr_t>(func));
}

void Timeline::note_control(std::string_view text) {
  TimelineEvent e;
  e.kind = TimelineKind::kControl;
  Kernel::get().timeline().record(e, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::function<void()> Timeline::traced_waiter(const void* queue, std::function<void()> fn) {
  const Process* p = current_process();
  const int pid = p != nullptr ? p->pid : 0;
  Kernel::get().timeline().name_process(pid, p != nullptr ? p->name : std::string("kernel"));
  const uint64_t q = reinterpret_cast<uintptr_t>(queue);
  return [pid, q, fn = std::move(fn)] {
    if (timeline_on()) note(TimelineKind::kPollerWoken, pid, 0, 0, q);
    fn();
  };
}

}  // namespace host
