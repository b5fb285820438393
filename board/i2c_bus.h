// The simulated I2C bus behind one adapter: devices by address, bus timing, a transfer log,
// fault injection and holds.
//
// Each transaction (one master_xfer call, which is one SMBus transaction) is:
//   1. matched against the holds; a matching hold blocks the calling task in the scheduler
//      until the test releases it;
//   2. matched against the fault rules; an error fault ends it without reaching the device;
//   3. run on the device (or answered by nobody: -ENXIO);
//   4. logged, one entry per transaction;
//   5. paid for in bus time: the calling task sleeps transfer_ns() of the clock;
//   6. put on the kernel's timeline while it records (start, end and the bytes on the wire).
//
// Bus time of a transaction at clock f: bits / f seconds, rounded up to whole nanoseconds, where
//   bits = 1 (start) + sum over messages of (9 for the address byte and its ack
//          + 9 per data byte) + 1 per repeated start + 1 (stop).
// A byte-data write costs 29 bits (290 us at 100 kHz), a byte-data read 39 bits. A transaction
// that nobody acknowledges ends after its first address byte: 11 bits.
//
// Thread safety: master_xfer is called by the I2C core with the adapter locked, so
// transactions on one bus never overlap; the log, faults and holds may be used from any thread
// at any time. The bus's mutex is never held while a task sleeps or waits on a hold.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "board/i2c_target.h"
#include "platform/host/i2c_core.h"
#include "platform/host/thread_safety.h"

namespace board {

enum class Direction { kSelect, kWrite, kRead };

// One logged transaction.
struct Transfer {
  int64_t time_ns = 0;  // when it started
  uint16_t addr = 0;
  Direction dir = Direction::kWrite;
  // Banked devices: the bank the access went to (for a select, the bank selected).
  std::optional<uint8_t> bank;
  std::optional<uint8_t> reg;  // empty for receive-byte and quick transactions
  std::vector<uint8_t> data;   // written, or read (as returned, after any wrong-byte fault)
  int result = 0;              // 0, or the negative errno returned
  bool faulted = false;        // a fault rule fired on it

  // "select 0xD2", "write 0x80:0xEE = 0x01", "read 0xA0:0x00 -> 0x16",
  // "read 0xA0:0x00 -> ENXIO", "receive -> 0x16"; " (fault)" marks a wrong-byte fault.
  std::string str() const;
};

// Which transactions a fault rule or a hold applies to; empty fields match anything.
struct TransferMatch {
  std::optional<uint16_t> addr;
  std::optional<uint8_t> bank;
  std::optional<uint8_t> reg;
  std::optional<Direction> dir;
  bool matches(const Transfer& t) const;
};

enum class FaultKind {
  kNoAck,      // -ENXIO, the address is not acknowledged; the device sees nothing
  kIo,         // -EIO; the device sees nothing
  kTimeout,    // -ETIMEDOUT; the device sees nothing
  kWrongByte,  // succeeds, but the data bytes (read or written) are corrupted
};

struct BusFault {
  FaultKind kind = FaultKind::kIo;
  TransferMatch match;
  int nth = 1;    // the first matching transaction that fails (1 = the next one)
  int times = 1;  // how many fail from then on; -1: all
  // Below 1: from the nth on, each matching transaction fails with this probability, drawn
  // from a generator seeded with `seed` (reproducible).
  double fraction = 1.0;
  uint64_t seed = 1;
  // Wrong byte: each data byte becomes `stuck_value` if set, else byte ^ xor_mask.
  std::optional<uint8_t> stuck_value;
  uint8_t xor_mask = 0xFF;

  static BusFault nth_transfer(int n, FaultKind kind);
  static BusFault on(TransferMatch match, FaultKind kind, int times = 1);
  static BusFault random(double fraction, uint64_t seed, FaultKind kind);
};

class BusFaults {
 public:
  // Returns an id for fired().
  int add(BusFault fault);
  void clear();
  // How often the rule has fired.
  int fired(int id) const;
  // The rules in the order added.
  std::vector<BusFault> rules() const;

 private:
  friend class SimBus;
  struct Rule {
    BusFault fault;
    std::mt19937_64 rng;
    int seen = 0;
    int fired = 0;
  };
  // The first rule that fires on t, if any; every matching rule counts t.
  std::optional<BusFault> decide(const Transfer& t);

  mutable lt::Mutex mutex_;
  std::vector<Rule> rules_ LT_GUARDED_BY(mutex_);
};

class TransferLog {
 public:
  static constexpr size_t kCapacity = 1 << 16;  // older entries are dropped

  std::vector<Transfer> entries() const;
  std::vector<std::string> lines() const;
  // A position in the log (the number of entries ever logged), for since().
  size_t mark() const;
  std::vector<Transfer> since(size_t mark) const;
  std::vector<std::string> lines_since(size_t mark) const;
  void clear();

 private:
  friend class SimBus;
  void append(Transfer t);

  mutable lt::Mutex mutex_;
  std::deque<Transfer> entries_ LT_GUARDED_BY(mutex_);
  size_t dropped_ LT_GUARDED_BY(mutex_) = 0;  // entries dropped from the front, or cleared
};

// A transaction held mid-way: the first transaction that matches blocks its task (in the
// scheduler, so the clock moves) until release(). One-shot.
class TransferHold {
 public:
  explicit TransferHold(TransferMatch match) : match_(match) {}
  // True once a transaction is held (and stays true after release).
  bool reached() const;
  void release();
  // The held transaction as it was about to run.
  std::optional<Transfer> held() const;

 private:
  friend class SimBus;
  void wait();

  const TransferMatch match_;
  // Guarded by the scheduler lock.
  bool reached_ = false;
  bool released_ = false;
  void* waiter_ = nullptr;  // host::Task*
  std::optional<Transfer> held_;
};

class SimBus : public host::I2cBus {
 public:
  static constexpr uint32_t kDefaultClockHz = 100'000;

  explicit SimBus(uint32_t clock_hz = kDefaultClockHz);

  // Devices are not owned; detach a device before destroying it.
  void attach(uint16_t addr, I2cTarget* device);
  void detach(uint16_t addr);

  uint32_t clock_hz() const;
  void set_clock_hz(uint32_t hz);

  // Bus time of a transaction (see the header comment).
  static int transfer_bits(std::span<const i2c_msg> msgs, bool acknowledged = true);
  static int64_t transfer_ns(std::span<const i2c_msg> msgs, uint32_t clock_hz,
                             bool acknowledged = true);

  int master_xfer(struct i2c_msg* msgs, int num) override;

  TransferLog& log() { return log_; }
  BusFaults& faults() { return faults_; }
  std::shared_ptr<TransferHold> hold(TransferMatch match);
  // Releases every hold this bus made (a test's clean-up, so no task stays blocked).
  void release_holds();
  // Transactions run so far.
  uint64_t transfers() const;

 private:
  Transfer describe_locked(std::span<const i2c_msg> msgs, I2cTarget* device) const
      LT_REQUIRES(mutex_);
  // Puts a finished transaction on the kernel's timeline, with the messages as on the wire.
  void record(const Transfer& t, std::optional<FaultKind> fault, bool acknowledged,
              std::span<const i2c_msg> wire) const;

  mutable lt::Mutex mutex_;
  std::map<uint16_t, I2cTarget*> devices_ LT_GUARDED_BY(mutex_);
  uint32_t clock_hz_ LT_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<TransferHold>> holds_ LT_GUARDED_BY(mutex_);      // not yet reached
  std::vector<std::shared_ptr<TransferHold>> all_holds_ LT_GUARDED_BY(mutex_);  // every hold made
  uint64_t transfers_ LT_GUARDED_BY(mutex_) = 0;
  TransferLog log_;
  BusFaults faults_;
};

}  // namespace board
