#include "board/i2c_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/host/kernel.h"
#include "platform/host/sched.h"
#include "platform/host/timeline.h"
#include "platform/host/tsan.h"

namespace board {

namespace {

std::string hex(uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

std::string errno_name(int result) {
  switch (-result) {
    case ENXIO:
      return "ENXIO";
    case EIO:
      return "EIO";
    case ETIMEDOUT:
      return "ETIMEDOUT";
    case EINVAL:
      return "EINVAL";
    case EOPNOTSUPP:
      return "EOPNOTSUPP";
    default:
      return std::to_string(result);
  }
}

std::string bytes(const std::vector<uint8_t>& data) {
  std::string s;
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) s += ' ';
    s += hex(data[i]);
  }
  return s;
}

}  // namespace

// ---- Transfer ------------------------------------------------------------------------------

std::string Transfer::str() const {
  std::string where;
  if (bank && reg) {
    where = hex(*bank) + ":" + hex(*reg);
  } else if (reg) {
    where = hex(*reg);
  }
  std::string s;
  switch (dir) {
    case Direction::kSelect:
      s = "select " + (bank ? hex(*bank) : std::string("?"));
      if (result < 0) s += " -> " + errno_name(result);
      break;
    case Direction::kWrite:
      s = "write";
      if (!where.empty()) s += " " + where;
      if (!data.empty()) s += " = " + bytes(data);
      if (result < 0) s += " -> " + errno_name(result);
      break;
    case Direction::kRead:
      s = reg ? "read " + where : std::string("receive");
      s += " -> " + (result < 0 ? errno_name(result) : bytes(data));
      break;
  }
  if (faulted && result == 0) s += " (fault)";
  return s;
}

bool TransferMatch::matches(const Transfer& t) const {
  if (addr && *addr != t.addr) return false;
  if (bank && bank != t.bank) return false;
  if (reg && reg != t.reg) return false;
  if (dir && *dir != t.dir) return false;
  return true;
}

// ---- Faults --------------------------------------------------------------------------------

BusFault BusFault::nth_transfer(int n, FaultKind kind) {
  BusFault f;
  f.kind = kind;
  f.nth = n;
  return f;
}

BusFault BusFault::on(TransferMatch match, FaultKind kind, int times) {
  BusFault f;
  f.kind = kind;
  f.match = match;
  f.times = times;
  return f;
}

BusFault BusFault::random(double fraction, uint64_t seed, FaultKind kind) {
  BusFault f;
  f.kind = kind;
  f.fraction = fraction;
  f.seed = seed;
  f.times = -1;
  return f;
}

int BusFaults::add(BusFault fault) {
  lt::MutexLock lock(mutex_);
  Rule r{fault, std::mt19937_64(fault.seed)};
  rules_.push_back(std::move(r));
  return static_cast<int>(rules_.size()) - 1;
}

void BusFaults::clear() {
  lt::MutexLock lock(mutex_);
  rules_.clear();
}

int BusFaults::fired(int id) const {
  lt::MutexLock lock(mutex_);
  if (id < 0 || static_cast<size_t>(id) >= rules_.size()) return 0;
  return rules_[id].fired;
}

std::vector<BusFault> BusFaults::rules() const {
  lt::MutexLock lock(mutex_);
  std::vector<BusFault> out;
  for (const Rule& r : rules_) out.push_back(r.fault);
  return out;
}

std::optional<BusFault> BusFaults::decide(const Transfer& t) {
  lt::MutexLock lock(mutex_);
  std::optional<BusFault> chosen;
  for (Rule& r : rules_) {
    if (!r.fault.match.matches(t)) continue;
    ++r.seen;
    if (chosen || r.seen < r.fault.nth) continue;
    if (r.fault.times >= 0 && r.fired >= r.fault.times) continue;
    if (r.fault.fraction < 1.0) {
      std::uniform_real_distribution<double> draw(0.0, 1.0);
      if (draw(r.rng) >= r.fault.fraction) continue;
    }
    ++r.fired;
    chosen = r.fault;
  }
  return chosen;
}

// ---- Log -----------------------------------------------------------------------------------

std::vector<Transfer> TransferLog::entries() const {
  lt::MutexLock lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

std::vector<std::string> TransferLog::lines() const { return lines_since(0); }

size_t TransferLog::mark() const {
  lt::MutexLock lock(mutex_);
  return dropped_ + entries_.size();
}

std::vector<Transfer> TransferLog::since(size_t mark) const {
  lt::MutexLock lock(mutex_);
  size_t skip = mark > dropped_ ? mark - dropped_ : 0;
  if (skip >= entries_.size()) return {};
  return {entries_.begin() + static_cast<std::ptrdiff_t>(skip), entries_.end()};
}

std::vector<std::string> TransferLog::lines_since(size_t mark) const {
  std::vector<std::string> out;
  for (const Transfer& t : since(mark)) out.push_back(t.str());
  return out;
}

void TransferLog::clear() {
  lt::MutexLock lock(mutex_);
  dropped_ += entries_.size();
  entries_.clear();
}

void TransferLog::append(Transfer t) {
  lt::MutexLock lock(mutex_);
  entries_.push_back(std::move(t));
  if (entries_.size() > kCapacity) {
    entries_.pop_front();
    ++dropped_;
  }
}

// ---- Holds ---------------------------------------------------------------------------------

bool TransferHold::reached() const {
  host::Scheduler::Lock lock(host::Kernel::get().sched());
  return reached_;
}

std::optional<Transfer> TransferHold::held() const {
  host::Scheduler::Lock lock(host::Kernel::get().sched());
  return held_;
}

void TransferHold::release() {
  host::tsan::release(this);
  host::Scheduler& s = host::Kernel::get().sched();
  host::Scheduler::Lock lock(s);
  released_ = true;
  if (waiter_ != nullptr) s.wake(static_cast<host::Task*>(waiter_));
}

void TransferHold::wait() {
  host::Scheduler& s = host::Kernel::get().sched();
  host::Task* self = &host::current();
  {
    host::Scheduler::Lock lock(s);
    waiter_ = self;
    s.wait(lock, "i2c transfer held", [this] { return released_; });
    waiter_ = nullptr;
  }
  host::tsan::acquire(this);
}

// ---- Bus -----------------------------------------------------------------------------------

SimBus::SimBus(uint32_t clock_hz) : clock_hz_(clock_hz) {}

void SimBus::attach(uint16_t addr, I2cTarget* device) {
  lt::MutexLock lock(mutex_);
  devices_[addr] = device;
}

void SimBus::detach(uint16_t addr) {
  lt::MutexLock lock(mutex_);
  devices_.erase(addr);
}

uint32_t SimBus::clock_hz() const {
  lt::MutexLock lock(mutex_);
  return clock_hz_;
}

void SimBus::set_clock_hz(uint32_t hz) {
  lt::MutexLock lock(mutex_);
  clock_hz_ = hz;
}

uint64_t SimBus::transfers() const {
  lt::MutexLock lock(mutex_);
  return transfers_;
}

int SimBus::transfer_bits(std::span<const i2c_msg> msgs, bool acknowledged) {
  constexpr int kStart = 1, kStop = 1, kRepeatedStart = 1, kByte = 9;  // a byte plus its ack
  if (msgs.empty()) return 0;
  if (!acknowledged) return kStart + kByte + kStop;
  int bits = kStart + kStop;
  for (size_t i = 0; i < msgs.size(); ++i) {
    if (i > 0) bits += kRepeatedStart;
    bits += kByte * (1 + msgs[i].len);
  }
  return bits;
}

int64_t SimBus::transfer_ns(std::span<const i2c_msg> msgs, uint32_t clock_hz, bool acknowledged) {
  if (clock_hz == 0) return 0;
  const int64_t bits = transfer_bits(msgs, acknowledged);
  return (bits * host::kNsPerSec + clock_hz - 1) / clock_hz;
}

std::shared_ptr<TransferHold> SimBus::hold(TransferMatch match) {
  auto h = std::make_shared<TransferHold>(match);
  lt::MutexLock lock(mutex_);
  holds_.push_back(h);
  all_holds_.push_back(h);
  return h;
}

void SimBus::release_holds() {
  std::vector<std::shared_ptr<TransferHold>> all;
  {
    lt::MutexLock lock(mutex_);
    all = all_holds_;
    holds_.clear();
  }
  for (auto& h : all) h->release();
}

Transfer SimBus::describe_locked(std::span<const i2c_msg> msgs, I2cTarget* device) const {
  Transfer t;
  t.time_ns = host::Kernel::get().sched().now();
  t.addr = msgs.empty() ? 0 : msgs[0].addr;
  std::optional<uint8_t> bank = device ? device->bank() : std::nullopt;
  std::optional<uint8_t> select = device ? device->bank_select_register() : std::nullopt;
  t.bank = bank;
  if (msgs.empty()) return t;
  const i2c_msg& first = msgs[0];
  if (first.flags & I2C_M_RD) {
    t.dir = Direction::kRead;  // receive-byte, or a read from the register pointer
    return t;
  }
  if (first.len == 0) {
    t.dir = Direction::kWrite;  // a quick write
    return t;
  }
  t.reg = first.buf[0];
  if (msgs.size() > 1 && (msgs[1].flags & I2C_M_RD)) {
    t.dir = Direction::kRead;
    return t;
  }
  t.data.assign(first.buf + 1, first.buf + first.len);
  if (select && *select == first.buf[0] && first.len == 2) {
    t.dir = Direction::kSelect;
    t.bank = first.buf[1];
    t.data.clear();
  } else {
    t.dir = Direction::kWrite;
  }
  return t;
}

int SimBus::master_xfer(struct i2c_msg* msgs, int num) {
  if (num <= 0 || msgs == nullptr) return -EINVAL;
  std::span<i2c_msg> span(msgs, static_cast<size_t>(num));
  const uint16_t addr = msgs[0].addr;

  // 1. A hold on this transaction.
  std::shared_ptr<TransferHold> hold;
  {
    lt::MutexLock lock(mutex_);
    auto it = devices_.find(addr);
    Transfer t = describe_locked(span, it == devices_.end() ? nullptr : it->second);
    for (auto h = holds_.begin(); h != holds_.end(); ++h) {
      if ((*h)->match_.matches(t)) {
        hold = *h;
        holds_.erase(h);
        host::Scheduler::Lock slock(host::Kernel::get().sched());
        hold->reached_ = true;
        hold->held_ = t;
        break;
      }
    }
  }
  if (hold) hold->wait();

  // 2. Faults, decided on the transaction as it is now.
  I2cTarget* device = nullptr;
  Transfer t;
  uint32_t clock;
  {
    lt::MutexLock lock(mutex_);
    auto it = devices_.find(addr);
    device = it == devices_.end() ? nullptr : it->second;
    t = describe_locked(span, device);
    clock = clock_hz_;
    ++transfers_;
  }
  std::optional<BusFault> fault = faults_.decide(t);
  t.faulted = fault.has_value();

  // 3. The device. `sent` is what crossed the wire: a corrupted write sends corrupted copies.
  bool acknowledged = true;
  int result = num;
  std::vector<std::vector<uint8_t>> copies;
  std::vector<i2c_msg> sent(span.begin(), span.end());
  if (fault && fault->kind != FaultKind::kWrongByte) {
    acknowledged = fault->kind != FaultKind::kNoAck;
    t.result = fault->kind == FaultKind::kNoAck ? -ENXIO
               : fault->kind == FaultKind::kIo  ? -EIO
                                                : -ETIMEDOUT;
    result = t.result;
  } else {
    auto corrupt = [&](uint8_t b) {
      return fault->stuck_value ? *fault->stuck_value : static_cast<uint8_t>(b ^ fault->xor_mask);
    };
    // A corrupted write reaches the device corrupted: change a copy of the data bytes.
    if (fault && t.dir != Direction::kRead) {
      for (i2c_msg& m : sent) {
        if (m.flags & I2C_M_RD || m.len < 2) continue;
        copies.emplace_back(m.buf, m.buf + m.len);
        for (size_t i = 1; i < copies.back().size(); ++i) {
          copies.back()[i] = corrupt(copies.back()[i]);
        }
        m.buf = copies.back().data();
      }
      if (t.dir == Direction::kSelect) {
        t.bank = corrupt(*t.bank);
      } else {
        for (uint8_t& b : t.data) b = corrupt(b);
      }
    }
    if (device == nullptr || !device->transfer(sent)) {
      acknowledged = false;
      t.result = -ENXIO;
      result = -ENXIO;
    } else if (t.dir == Direction::kRead) {
      for (i2c_msg& m : span) {
        if (!(m.flags & I2C_M_RD)) continue;
        if (fault) {
          for (uint16_t i = 0; i < m.len; ++i) m.buf[i] = corrupt(m.buf[i]);
        }
        t.data.insert(t.data.end(), m.buf, m.buf + m.len);
      }
    }
  }

  // 4. The log, then 5. the bus time.
  const bool traced = host::timeline_on();
  log_.append(t);
  const int64_t cost = transfer_ns(span, clock, acknowledged);
  // The whole bus time, also in real time: the wire cannot go faster than its bits.
  if (cost > 0) host::Kernel::get().sched().sleep_for(cost, "i2c transfer", /*whole=*/true);
  if (traced)
    record(t, fault ? std::optional<FaultKind>(fault->kind) : std::nullopt, acknowledged, sent);
  return result;
}

void SimBus::record(const Transfer& t, std::optional<FaultKind> fault, bool acknowledged,
                    std::span<const i2c_msg> wire) const {
  host::TimelineEvent e;
  e.time_ns = t.time_ns;
  e.end_ns = host::Kernel::get().sched().now();
  e.object = reinterpret_cast<uintptr_t>(this);
  e.addr = t.addr;
  e.dir = static_cast<uint8_t>(t.dir);
  e.bank = t.bank ? static_cast<int16_t>(*t.bank) : int16_t{-1};
  e.reg = t.reg ? static_cast<int16_t>(*t.reg) : int16_t{-1};
  e.value = t.result;
  e.fault = fault ? static_cast<uint8_t>(1 + static_cast<int>(*fault)) : uint8_t{0};
  e.flags = (acknowledged ? host::TimelineEvent::kBusAcknowledged : 0) |
            (t.faulted ? host::TimelineEvent::kBusFaulted : 0);
  host::Kernel::get().timeline().record_transfer(e, wire);
}

}  // namespace board
