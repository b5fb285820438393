#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kernel.h"

namespace host {

// A line of text with what a record says about it: the open continuation line, and the text
// of every slot of the ring.
struct Log::Line {
  int level = kDefaultLevel;
  int64_t time_ns = 0;
  int pid = 0;
  bool complete = false;
  size_t len = 0;
  char text[kLineMax];
};

struct Log::Slot {
  uint64_t offset = 0;   // of its formatted text, counted from boot
  uint32_t fmt_len = 0;  // bytes of its formatted text
  Line line;
};

namespace {

// How format() shows one byte of a record's text: true when it is escaped.
bool escaped(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n') || c >= 0x7f; }

// "<level>[seconds.micros] " into head; its length.
size_t format_head(int level, int64_t time_ns, char (&head)[64]) {
  const long long us = time_ns / 1000;
  int n =
      std::snprintf(head, sizeof head, "<%d>[%5lld.%06lld] ", level, us / 1000000, us % 1000000);
  return static_cast<size_t>(n);
}

// The length of format_line's result, without making it.
size_t formatted_length(int level, int64_t time_ns, const char* text, size_t len) {
  char head[64];
  const size_t n = format_head(level, time_ns, head);
  size_t total = n + 1;
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      if (i + 1 < len) total += 1 + n;
    } else {
      total += escaped(c) ? 4 : 1;
    }
  }
  return total;
}

std::string format_line(int level, int64_t time_ns, const char* text, size_t len) {
  char head[64];
  const size_t n = format_head(level, time_ns, head);
  std::string out(head, n);
  out.reserve(out.size() + len + 1);
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      if (i + 1 == len) break;  // a trailing line feed shows nothing
      out += '\n';
      out.append(n, ' ');
    } else if (escaped(c)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '\n';
  return out;
}

}  // namespace

Log::Log() : slots_(new Slot[kCapacity]), cont_(new Line()) {}
Log::~Log() = default;

void Log::printk(const char* message) {
  const char* text = message;
  size_t len = strnlen(message, kLineMax - 1);
  int level = -1;
  bool cont = false;
  while (len >= 2 && text[0] == '\001' && text[1] != '\0') {
    if (text[1] >= '0' && text[1] <= '7') {
      if (level < 0) level = text[1] - '0';
    } else if (text[1] == 'c') {
      cont = true;
    }
    text += 2;
    len -= 2;
  }
  if (level < 0) level = kDefaultLevel;
  const bool newline = len > 0 && text[len - 1] == '\n';
  if (newline) --len;

  std::vector<LogRecord> stored;
  std::shared_ptr<const Subscribers> subscribers;
  {
    const int pid = current().pid;
    const int64_t now = Kernel::get().sched().now();
    lt::MutexLock lock(mutex_);
    Line& open = *cont_;
    bool done = false;
    if (open.len > 0) {
      if (cont && open.pid == pid && open.len + len <= kLineMax) {
        std::memcpy(open.text + open.len, text, len);
        open.len += len;
        if (newline) {
          open.complete = true;
          store_locked(open, &stored);
          open.len = 0;
        }
        done = true;
      } else {
        store_locked(open, &stored);
        open.len = 0;
      }
    }
    if (!done && !(len == 0 && cont)) {
      Line* line = &open;
      Line single;
      if (newline) line = &single;
      line->level = level;
      line->time_ns = now;
      line->pid = pid;
      line->complete = newline;
      line->len = len;
      std::memcpy(line->text, text, len);
      if (newline) store_locked(single, &stored);
    }
    if (!stored.empty()) subscribers = subscribers_;
  }
  if (stored.empty()) return;
  if (Kernel::get().options().echo_log) {
    for (const LogRecord& r : stored) std::fputs(format(r).c_str(), stderr);
  }
  if (subscribers) {
    for (const LogRecord& r : stored) {
      for (const auto& [id, fn] : *subscribers) fn(r);
    }
  }
}

void Log::store_locked(const Line& line, std::vector<LogRecord>* stored) {
  if (next_ - first_ == kCapacity) ++first_;
  Slot& s = slots_[next_ % kCapacity];
  s.line.level = line.level;
  s.line.time_ns = line.time_ns;
  s.line.pid = line.pid;
  s.line.complete = line.complete;
  s.line.len = line.len;
  if (&s.line != &line) std::memcpy(s.line.text, line.text, line.len);
  s.offset = text_end_;
  s.fmt_len =
      static_cast<uint32_t>(formatted_length(line.level, line.time_ns, line.text, line.len));
  text_end_ += s.fmt_len;
  ++next_;
  if (stored) stored->push_back(record_locked(next_ - 1));
}

LogRecord Log::record_locked(uint64_t seq) const {
  const Slot& s = slots_[seq % kCapacity];
  LogRecord r;
  r.seq = seq;
  r.level = s.line.level;
  r.time_ns = s.line.time_ns;
  r.text.assign(s.line.text, s.line.len);
  r.pid = s.line.pid;
  r.complete = s.line.complete;
  return r;
}

uint64_t Log::next_seq() const {
  lt::MutexLock lock(mutex_);
  return next_;
}

uint64_t Log::first_seq() const {
  lt::MutexLock lock(mutex_);
  return first_;
}

Log::Batch Log::read(uint64_t from, size_t max) const {
  lt::MutexLock lock(mutex_);
  Batch b;
  uint64_t seq = from;
  if (seq < first_) {
    b.lost = first_ - seq;
    seq = first_;
  }
  for (; seq < next_ && b.records.size() < max; ++seq) b.records.push_back(record_locked(seq));
  b.next = seq > from ? seq : from;
  return b;
}

std::vector<LogRecord> Log::records() const { return read(0).records; }

std::vector<std::string> Log::lines() const { return lines_since(0); }

std::vector<std::string> Log::lines_since(uint64_t from) const {
  std::vector<std::string> out;
  for (LogRecord& r : read(from).records) out.push_back(std::move(r.text));
  return out;
}

size_t Log::size() const { return next_seq(); }

std::string Log::format(const LogRecord& r) {
  std::string line = format_line(r.level, r.time_ns, r.text.data(), r.text.size());
  line.pop_back();
  return line;
}

std::string Log::dmesg() const {
  lt::MutexLock lock(mutex_);
  std::string out;
  for (uint64_t seq = first_; seq < next_; ++seq) {
    const Line& l = slots_[seq % kCapacity].line;
    out += format_line(l.level, l.time_ns, l.text, l.len);
  }
  return out;
}

Log::Extent Log::text_extent() const {
  lt::MutexLock lock(mutex_);
  return {first_ < next_ ? slots_[first_ % kCapacity].offset : text_end_, text_end_};
}

// The held record whose formatted text holds `offset` (which lies in the held extent).
uint64_t Log::find_locked(uint64_t offset) const {
  uint64_t lo = first_, hi = next_ - 1;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo + 1) / 2;
    if (slots_[mid % kCapacity].offset <= offset) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

ssize_t Log::read_text(uint64_t offset, char* buf, size_t size) const {
  lt::MutexLock lock(mutex_);
  if (offset >= text_end_ || size == 0) return 0;
  if (first_ == next_ || offset < slots_[first_ % kCapacity].offset) return -EPIPE;
  size_t copied = 0;
  for (uint64_t seq = find_locked(offset); seq < next_ && copied < size; ++seq) {
    const Slot& s = slots_[seq % kCapacity];
    const std::string text = format_line(s.line.level, s.line.time_ns, s.line.text, s.line.len);
    const size_t skip = offset > s.offset ? static_cast<size_t>(offset - s.offset) : 0;
    const size_t n = std::min(size - copied, text.size() - skip);
    std::memcpy(buf + copied, text.data() + skip, n);
    copied += n;
  }
  return static_cast<ssize_t>(copied);
}

uint64_t Log::subscribe(std::function<void(const LogRecord&)> fn) {
  lt::MutexLock lock(mutex_);
  auto next = std::make_shared<Subscribers>(subscribers_ ? *subscribers_ : Subscribers{});
  const uint64_t id = next_subscriber_++;
  next->emplace_back(id, std::move(fn));
  subscribers_ = std::move(next);
  return id;
}

void Log::unsubscribe(uint64_t id) {
  lt::MutexLock lock(mutex_);
  if (!subscribers_) return;
  auto next = std::make_shared<Subscribers>();
  for (const auto& entry : *subscribers_) {
    if (entry.first != id) next->push_back(entry);
  }
  subscribers_ = next->empty() ? nullptr : std::move(next);
}

}  // namespace host

extern "C" int printk(const char* fmt, ...) {
  // Formatted into a LOG_LINE_MAX buffer, as vprintk_emit does: longer messages are cut.
  char buf[host::Log::kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  host::Kernel::get().log().printk(buf);
  return n < 0 ? 0 : std::min(n, static_cast<int>(sizeof buf) - 1);
}
