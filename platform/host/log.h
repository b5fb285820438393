// The kernel log, kept as Linux 4.19's printk keeps it: a fixed ring of records, each with a
// sequence number, a level, a timestamp and its text.
//
// A message is cut to kLineMax - 1 bytes (level markers included), as vprintk_emit formats into
// a LOG_LINE_MAX buffer. Its leading markers are taken off: the first level marker gives the
// level (kDefaultLevel, 4, without one), KERN_CONT marks a continuation. One trailing line feed
// ends the line; any other line feed stays in the text, so "a\n\n" is the one record "a\n".
// A line that does not end is held back as the open continuation line of its task: later
// KERN_CONT messages of the same task are added to it (while it fits in kLineMax bytes), and any
// other message, or one that does not fit, stores it as it is. An open line is not readable
// until it is stored. A KERN_CONT message that continues nothing starts a record of its own
// with its own level (the default), whoever left a line open.
//
// Readers follow sequence numbers: read(from) gives the records from `from` on that the ring
// still holds and says how many were overwritten before they were read. Once the ring is full
// each new record overwrites the oldest; printk and reads cost the same whatever was logged
// before.
//
// format() shows a record as `dmesg -r` does: "<level>[seconds.micros] text". Bytes that are
// not printable (control characters, ESC, bytes above 0x7e) appear as \xHH; a line feed inside
// the text starts a continuation line indented to the text's column; a trailing one shows
// nothing. The text view is the ring in that form, one formatted record after another, at byte
// offsets counted from boot: text_extent() says which bytes are still held.
//
// Threading: every member may be called from any task, in any context (printk runs in hard
// interrupts). Subscribers are called after a record is stored, outside the log's lock, in the
// context of the printk that stored it: they must not block and must not printk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "thread_safety.h"

namespace host {

struct LogRecord {
  uint64_t seq = 0;     // 0 for the first record after boot
  int level = 4;        // 0..7
  int64_t time_ns = 0;  // since boot, when the line was started
  std::string text;     // without the line feed that ended it
  int pid = 0;
  bool complete = false;  // ended by a line feed (else stored when something else came)
};

class Log {
 public:
  static constexpr int kDefaultLevel = 4;    // default_message_loglevel
  static constexpr size_t kCapacity = 8192;  // records the ring holds
  static constexpr size_t kLineMax = 992;    // LOG_LINE_MAX: 1024 minus the prefix room

  Log();
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Logs one printk message (with its level markers, if any).
  void printk(const char* message);

  // The sequence number the next stored record gets; also the number stored since boot.
  uint64_t next_seq() const;
  // The oldest record the ring holds (== next_seq() when it is empty).
  uint64_t first_seq() const;

  struct Batch {
    std::vector<LogRecord> records;
    uint64_t next = 0;  // where the next read continues
    uint64_t lost = 0;  // records from `from` on that were overwritten before this read
  };
  // Up to max records from sequence number `from` on.
  Batch read(uint64_t from, size_t max = SIZE_MAX) const;

  // Every record the ring holds.
  std::vector<LogRecord> records() const;
  // Texts of the records the ring holds.
  std::vector<std::string> lines() const;
  // Texts of the held records from sequence number `from` on (from = an earlier size()).
  std::vector<std::string> lines_since(uint64_t from) const;
  // Records stored since boot (next_seq()): a mark for lines_since.
  size_t size() const;

  // The ring as `dmesg -r` prints it, one formatted record per line.
  std::string dmesg() const;
  static std::string format(const LogRecord& r);

  // The formatted bytes the ring holds: [begin, end), counted from boot.
  struct Extent {
    uint64_t begin = 0;
    uint64_t end = 0;
  };
  Extent text_extent() const;
  // Copies formatted bytes from `offset` on: the count (0 at the end), or -EPIPE when the bytes
  // at offset were overwritten.
  ssize_t read_text(uint64_t offset, char* buf, size_t size) const;

  // Called with every record stored. Returns an id for unsubscribe(); a callback may still be
  // running when unsubscribe returns, so it must own what it touches.
  uint64_t subscribe(std::function<void(const LogRecord&)> fn);
  void unsubscribe(uint64_t id);

 private:
  struct Slot;
  struct Line;
  using Subscribers = std::vector<std::pair<uint64_t, std::function<void(const LogRecord&)>>>;

  void store_locked(const Line& line, std::vector<LogRecord>* stored) LT_REQUIRES(mutex_);
  LogRecord record_locked(uint64_t seq) const LT_REQUIRES(mutex_);
  uint64_t find_locked(uint64_t offset) const LT_REQUIRES(mutex_);

  mutable lt::Mutex mutex_;
  std::unique_ptr<Slot[]> slots_ LT_GUARDED_BY(mutex_);
  uint64_t first_ LT_GUARDED_BY(mutex_) = 0;          // oldest held sequence number
  uint64_t next_ LT_GUARDED_BY(mutex_) = 0;           // next sequence number
  uint64_t text_end_ LT_GUARDED_BY(mutex_) = 0;       // formatted bytes stored since boot
  std::unique_ptr<Line> cont_ LT_GUARDED_BY(mutex_);  // the open continuation line (len 0: none)
  std::shared_ptr<const Subscribers> subscribers_ LT_GUARDED_BY(mutex_);
  uint64_t next_subscriber_ LT_GUARDED_BY(mutex_) = 1;
};

}  // namespace host
