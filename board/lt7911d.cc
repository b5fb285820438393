#include "board/lt7911d.h"

#include <algorithm>
#include <cstring>

#include "platform/host/kernel.h"
#include "platform/host/thread_safety.h"
#include "platform/host/timers.h"

namespace board {

using namespace lt7911d;

namespace {

constexpr uint16_t key(RegAddr a) { return static_cast<uint16_t>(a.bank << 8 | a.reg); }

constexpr uint8_t high_byte(uint32_t v) { return static_cast<uint8_t>(v >> 8 & 0xFF); }
constexpr uint8_t low_byte(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }

// How a register of the map behaves.
enum class Kind {
  kIdentity,     // read-only, always readable: the configured identity byte
  kControl,      // stores what is written, 0x00 after power-on
  kMeasurement,  // read-only: shows the input, gated by the enable, the lock and its select
};

// The select a measurement register also needs holding its input value.
enum class Select { kNone, kTiming, kClock };

// The input as the measurement registers show it, each value saturated to its register's width.
struct Input {
  uint32_t width = 0, height = 0, half_htotal = 0, htotal = 0, vtotal = 0, half_clock = 0;
  uint8_t audio_rate = 0;
};

// What a register's read is computed from.
struct ReadContext {
  const ChipConfig& config;
  const Input& input;
};

using ReadFn = uint8_t (*)(const ReadContext&);

int64_t now_ns() { return host::Kernel::get().sched().now(); }

host::Timers::Id add_timer(int64_t when, std::function<void()> fn) {
  return host::Kernel::get().timers().add(when, std::move(fn));
}

}  // namespace

// The interrupt output, shared with the timer callbacks that change it, so that a callback
// that outlives the model finds it gone instead of touching freed memory.
//
// A change of the level is decided under `mutex` and told to the output under `output_mutex`,
// which is held from the decision until the output has been called: changes reach the output
// in the order they were decided, whichever thread makes them. Lock order: output_mutex, then
// mutex, then the scheduler's lock.
struct Lt7911d::IrqState {
  lt::Mutex output_mutex;
  lt::Mutex mutex;
  Lt7911d* chip LT_GUARDED_BY(mutex) = nullptr;
  std::function<void(bool)> output LT_GUARDED_BY(mutex);
  bool level LT_GUARDED_BY(mutex) = false;
  int pulses LT_GUARDED_BY(mutex) = 0;
  // Grows with every pulse and power-off: a drop armed before is void from then on, also one
  // whose timer is already running.
  uint64_t epoch LT_GUARDED_BY(mutex) = 0;
  std::optional<host::Timers::Id> drop_timer LT_GUARDED_BY(mutex);
};

// The line falls, unless a pulse or power-off after the drop was armed (epoch) replaced it.
void Lt7911d::drop_line(const std::weak_ptr<IrqState>& weak, uint64_t epoch) {
  auto irq = weak.lock();
  if (!irq) return;
  lt::MutexLock order(irq->output_mutex);
  std::function<void(bool)> output;
  {
    lt::MutexLock lock(irq->mutex);
    if (irq->epoch != epoch) return;
    irq->drop_timer.reset();
    if (!irq->level) return;
    irq->level = false;
    output = irq->output;
  }
  if (output) output(false);
}

Lt7911d::Lt7911d(HdmiSource& source, ChipConfig config)
    : source_(source),
      irq_(std::make_shared<IrqState>()),
      generation_(host::Kernel::generation()),
      config_(config) {
  irq_->chip = this;
  reset_locked();
  changes_seen_ = source_.state().changes;
  std::weak_ptr<IrqState> weak = irq_;
  source_.on_change([weak] {
    auto irq = weak.lock();
    if (!irq) return;
    Lt7911d* chip;
    {
      lt::MutexLock lock(irq->mutex);
      chip = irq->chip;
    }
    if (chip != nullptr) chip->on_input_change();
  });
}

Lt7911d::~Lt7911d() {
  lt::MutexLock lock(irq_->mutex);
  irq_->chip = nullptr;
  irq_->output = nullptr;
  if (irq_->drop_timer && host::Kernel::booted() && host::Kernel::generation() == generation_) {
    host::Kernel::get().timers().cancel(*irq_->drop_timer);
  }
}

// ---- The register map ----------------------------------------------------------------------

struct Lt7911d::MapEntry {
  RegAddr addr;
  Kind kind;
  Select select = Select::kNone;  // measurements
  ReadFn read = nullptr;          // identity and measurements
};

const Lt7911d::MapEntry* Lt7911d::map_entry(RegAddr a) {
  using C = const ReadContext&;
  static constexpr MapEntry kMap[] = {
      {kChipIdHigh, Kind::kIdentity, Select::kNone, [](C c) { return c.config.id_high; }},
      {kChipIdLow, Kind::kIdentity, Select::kNone, [](C c) { return c.config.id_low; }},
      {kSysEnable, Kind::kControl},
      {kTimingSelect, Kind::kControl},
      {kChipClockSelect, Kind::kControl},
      {kActiveWidthHigh, Kind::kMeasurement, Select::kNone,
       [](C c) { return high_byte(c.input.width); }},
      {kActiveWidthLow, Kind::kMeasurement, Select::kNone,
       [](C c) { return low_byte(c.input.width); }},
      {kActiveHeightHigh, Kind::kMeasurement, Select::kNone,
       [](C c) { return high_byte(c.input.height); }},
      {kActiveHeightLow, Kind::kMeasurement, Select::kNone,
       [](C c) { return low_byte(c.input.height); }},
      {kAudioRate, Kind::kMeasurement, Select::kNone, [](C c) { return c.input.audio_rate; }},
      {kTimingHtotalHigh, Kind::kMeasurement, Select::kTiming,
       [](C c) {
         const uint8_t unused = c.config.set_unused_bits ? 0x80 : 0x00;
         return static_cast<uint8_t>(unused | high_byte(c.input.half_htotal));
       }},
      {kTimingHtotalLow, Kind::kMeasurement, Select::kTiming,
       [](C c) { return low_byte(c.input.half_htotal); }},
      {kTimingVtotalHigh, Kind::kMeasurement, Select::kTiming,
       [](C c) { return high_byte(c.input.vtotal); }},
      {kTimingVtotalLow, Kind::kMeasurement, Select::kTiming,
       [](C c) { return low_byte(c.input.vtotal); }},
      {kTimingSyncAHigh, Kind::kMeasurement, Select::kTiming,
       [](C c) { return high_byte(c.input.htotal); }},
      {kTimingSyncALow, Kind::kMeasurement, Select::kTiming,
       [](C c) { return low_byte(c.input.htotal); }},
      {kTimingSyncBHigh, Kind::kMeasurement, Select::kTiming,
       [](C c) { return high_byte(c.input.vtotal); }},
      {kTimingSyncBLow, Kind::kMeasurement, Select::kTiming,
       [](C c) { return low_byte(c.input.vtotal); }},
      {kClockHigh, Kind::kMeasurement, Select::kClock,
       [](C c) {
         const uint8_t unused = c.config.set_unused_bits ? 0xF8 : 0x00;
         return static_cast<uint8_t>(unused | c.input.half_clock >> 16);
       }},
      {kClockMid, Kind::kMeasurement, Select::kClock,
       [](C c) { return high_byte(c.input.half_clock); }},
      {kClockLow, Kind::kMeasurement, Select::kClock,
       [](C c) { return low_byte(c.input.half_clock); }},
  };
  for (const MapEntry& e : kMap) {
    if (e.addr == a) return &e;
  }
  return nullptr;
}

// ---- Configuration -------------------------------------------------------------------------

ChipConfig Lt7911d::config() const {
  lt::MutexLock lock(mutex_);
  return config_;
}

void Lt7911d::configure(const ChipConfig& config) {
  lt::MutexLock lock(mutex_);
  config_ = config;
}

void Lt7911d::set_identity(uint8_t high, uint8_t low) {
  lt::MutexLock lock(mutex_);
  config_.id_high = high;
  config_.id_low = low;
}

// ---- Register access -----------------------------------------------------------------------

bool Lt7911d::answering_locked() const {
  return powered_ && now_ns() >= power_on_at_ + config_.boot_delay_ns;
}

bool Lt7911d::locked_on_locked() const {
  SourceState s = source_.state();
  return s.mode.has_value() && s.stable && now_ns() >= input_changed_at_ + config_.lock_time_ns;
}

uint8_t Lt7911d::measured_locked(const MapEntry& e) const {
  SourceState s = source_.state();
  if (!locked_on_locked() || !s.mode) return 0;
  const RegAddr sel = e.select == Select::kTiming ? kTimingSelect : kChipClockSelect;
  const uint8_t on = e.select == Select::kTiming ? kTimingSelectMeasure : kChipClockSelectInput;
  if (e.select != Select::kNone && regs_[sel.bank][sel.reg] != on) return 0;
  const Mode& m = *s.mode;
  Input in;
  in.width = static_cast<uint32_t>(std::clamp(m.width, 0, 0xFFFF));
  in.height = static_cast<uint32_t>(std::clamp(m.height, 0, 0xFFFF));
  in.half_htotal = static_cast<uint32_t>(std::clamp(m.htotal / 2, 0, 0x7FFF));
  in.htotal = static_cast<uint32_t>(std::clamp(m.htotal, 0, 0xFFFF));
  in.vtotal = static_cast<uint32_t>(std::clamp(m.vtotal, 0, 0xFFFF));
  // Half the pixel clock in kHz: the counter truncates.
  in.half_clock = static_cast<uint32_t>(std::clamp<int64_t>(m.pixel_clock_hz / 2000, 0, 0x7FFFF));
  in.audio_rate = s.audio_rate;
  return e.read({config_, in});
}

uint8_t Lt7911d::read_locked(RegAddr a) const {
  if (a.reg == kBankSelect) return bank_;
  const MapEntry* e = map_entry(a);
  const auto overridden = overrides_.find(key(a));
  if (e != nullptr && e->kind == Kind::kMeasurement) {
    if (regs_[kSysEnable.bank][kSysEnable.reg] != kSysEnableOn) return 0;
    if (overridden != overrides_.end()) return overridden->second;
    return measured_locked(*e);
  }
  if (overridden != overrides_.end()) return overridden->second;
  if (e != nullptr && e->kind == Kind::kIdentity) return e->read({config_, Input{}});
  if (a.bank == kEdidBank) return edid_[a.reg];
  if (a.bank == kVersionBank) return a.reg < kVersionSize ? version_[a.reg] : kUnmappedValue;
  return regs_[a.bank][a.reg];  // a control register, or one the map does not name
}

void Lt7911d::write_locked(uint8_t reg, uint8_t value) {
  if (reg == kBankSelect) {
    bank_ = value;
    return;
  }
  const RegAddr a{bank_, reg};
  const MapEntry* e = map_entry(a);
  if (e != nullptr && e->kind != Kind::kControl) return;  // read-only
  if (a.bank == kEdidBank) {
    edid_[reg] = value;
  } else if (a.bank == kVersionBank) {
    if (reg < kVersionSize) version_[reg] = value;
  } else {
    regs_[a.bank][a.reg] = value;
  }
}

void Lt7911d::reset_locked() {
  for (auto& bank : regs_) bank.fill(kUnmappedValue);  // the control registers reset to 0x00 too
  bank_ = config_.reset_bank;
  pointer_ = 0;
}

bool Lt7911d::transfer(std::span<i2c_msg> msgs) {
  lt::MutexLock lock(mutex_);
  if (!answering_locked()) return false;
  for (i2c_msg& msg : msgs) {
    if (msg.flags & I2C_M_RD) {
      for (uint16_t i = 0; i < msg.len; ++i) {
        msg.buf[i] = read_locked({bank_, pointer_});
        ++pointer_;
      }
    } else if (msg.len > 0) {
      pointer_ = msg.buf[0];
      for (uint16_t i = 1; i < msg.len; ++i) {
        write_locked(pointer_, msg.buf[i]);
        ++pointer_;
      }
    }
  }
  return true;
}

std::optional<uint8_t> Lt7911d::bank() const {
  lt::MutexLock lock(mutex_);
  return bank_;
}

uint8_t Lt7911d::peek(RegAddr addr) const {
  lt::MutexLock lock(mutex_);
  return read_locked(addr);
}

void Lt7911d::override_register(RegAddr addr, uint8_t value) {
  lt::MutexLock lock(mutex_);
  overrides_[key(addr)] = value;
}

void Lt7911d::clear_override(RegAddr addr) {
  lt::MutexLock lock(mutex_);
  overrides_.erase(key(addr));
}

void Lt7911d::clear_overrides() {
  lt::MutexLock lock(mutex_);
  overrides_.clear();
}

// ---- Non-volatile stores -------------------------------------------------------------------

std::array<uint8_t, kEdidSize> Lt7911d::edid() const {
  lt::MutexLock lock(mutex_);
  return edid_;
}

void Lt7911d::set_edid(std::span<const uint8_t> bytes) {
  lt::MutexLock lock(mutex_);
  edid_.fill(0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), edid_.size()), edid_.begin());
}

std::array<uint8_t, kVersionSize> Lt7911d::version() const {
  lt::MutexLock lock(mutex_);
  return version_;
}

void Lt7911d::set_version(const std::string& text) {
  lt::MutexLock lock(mutex_);
  version_.fill(0);
  std::memcpy(version_.data(), text.data(), std::min(text.size(), version_.size()));
}

// ---- Power ---------------------------------------------------------------------------------

void Lt7911d::set_power(bool on) {
  bool pulse_after_boot = false;
  int64_t boot_delay = 0;
  int power_up = 0;
  int signalled = 0;
  {
    lt::MutexLock lock(mutex_);
    if (on == powered_) return;
    powered_ = on;
    if (on) {
      reset_locked();
      power_on_at_ = now_ns();
      ++power_ups_;
      pulse_after_boot = config_.pulse_on_power_up;
      boot_delay = config_.boot_delay_ns;
      power_up = power_ups_;
      signalled = changes_signalled_;
    }
  }
  host::Timers& timers = host::Kernel::get().timers();
  std::weak_ptr<IrqState> weak = irq_;
  if (!on) {
    // An unpowered chip does not drive its interrupt output: the line falls (on the timer
    // thread, since the caller is the module driving the power line).
    uint64_t epoch;
    {
      lt::MutexLock lock(irq_->mutex);
      if (irq_->drop_timer) timers.cancel(*irq_->drop_timer);
      irq_->drop_timer.reset();
      epoch = ++irq_->epoch;
    }
    add_timer(now_ns(), [weak, epoch] { drop_line(weak, epoch); });
    return;
  }
  if (pulse_after_boot) {
    // Only for the latest power-up, and only if no input change has been signalled since or
    // is on its way (its own pulse stands for this one).
    pulse_at(now_ns() + boot_delay,
             [power_up, signalled](const Lt7911d& chip) LT_REQUIRES(chip.mutex_) {
               return chip.power_ups_ == power_up && chip.changes_signalled_ == signalled &&
                      chip.source_.state().changes == chip.changes_seen_;
             });
  }
}

bool Lt7911d::powered() const {
  lt::MutexLock lock(mutex_);
  return powered_;
}

bool Lt7911d::answering() const {
  lt::MutexLock lock(mutex_);
  return answering_locked();
}

int Lt7911d::power_ups() const {
  lt::MutexLock lock(mutex_);
  return power_ups_;
}

// ---- Interrupt output ----------------------------------------------------------------------

void Lt7911d::set_irq_output(std::function<void(bool)> output) {
  lt::MutexLock lock(irq_->mutex);
  irq_->output = std::move(output);
}

bool Lt7911d::irq_level() const {
  lt::MutexLock lock(irq_->mutex);
  return irq_->level;
}

int Lt7911d::irq_pulses() const {
  lt::MutexLock lock(irq_->mutex);
  return irq_->pulses;
}

void Lt7911d::on_input_change() {
  int64_t lock_time;
  uint64_t change;
  {
    lt::MutexLock lock(mutex_);
    input_changed_at_ = now_ns();
    changes_seen_ = source_.state().changes;
    if (!answering_locked()) return;
    ++changes_signalled_;
    lock_time = config_.lock_time_ns;
    change = source_.state().changes;
  }
  pulse();
  if (lock_time <= 0) return;
  // The chip signals once more when it has locked on to the new input.
  pulse_at(now_ns() + lock_time,
           [change](const Lt7911d& chip) { return chip.source_.state().changes == change; });
}

void Lt7911d::pulse_at(int64_t when, std::function<bool(const Lt7911d&)> still_due) {
  std::weak_ptr<IrqState> weak = irq_;
  add_timer(when, [weak, still_due = std::move(still_due)] {
    auto irq = weak.lock();
    if (!irq) return;
    Lt7911d* chip;
    {
      lt::MutexLock lock(irq->mutex);
      chip = irq->chip;
    }
    if (chip == nullptr) return;
    bool due;
    {
      lt::MutexLock lock(chip->mutex_);
      due = chip->answering_locked() && chip->locked_on_locked() && still_due(*chip);
    }
    if (due) chip->pulse();
  });
}

// One pulse: (a drop, if a pulse is in progress,) a rise now, raised on the calling thread
// (a source's change, or the timer thread), and a drop after the pulse width on the timer
// thread.
void Lt7911d::pulse() {
  int64_t width;
  {
    lt::MutexLock lock(mutex_);
    width = config_.irq_pulse_ns;
  }
  host::Timers& timers = host::Kernel::get().timers();
  const int64_t t = now_ns();
  uint64_t epoch;
  {
    lt::MutexLock order(irq_->output_mutex);
    std::function<void(bool)> output;
    bool was_high;
    {
      lt::MutexLock lock(irq_->mutex);
      if (irq_->drop_timer) timers.cancel(*irq_->drop_timer);
      irq_->drop_timer.reset();
      epoch = ++irq_->epoch;
      was_high = irq_->level;
      irq_->level = true;
      ++irq_->pulses;
      output = irq_->output;
    }
    if (output) {
      if (was_high) output(false);
      output(true);
    }
  }
  std::weak_ptr<IrqState> weak = irq_;
  const host::Timers::Id id =
      add_timer(t + std::max<int64_t>(width, 1), [weak, epoch] { drop_line(weak, epoch); });
  lt::MutexLock lock(irq_->mutex);
  // A later pulse or power-off has voided this drop meanwhile; its timer finds that out.
  if (irq_->epoch == epoch) irq_->drop_timer = id;
}

}  // namespace board
