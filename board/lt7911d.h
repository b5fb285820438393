// A register-level model of the Lontium LT7911D HDMI-to-MIPI-CSI bridge, as an I2C target.
//
// Registers are addressed (bank, register): writing register 0xFF selects one of 256 banks of
// 256 registers, and every other access goes to the selected bank. The chip's register map (the
// constants below, one behaviour per register):
//
//   (0xA0, 0x00) (0xA0, 0x01)  kChipIdHigh, kChipIdLow: identity, 0x16 0x05 (configurable),
//   read-only,
//                              always readable
//   (0x80, 0xEE)               kSysEnable: register-access enable; the measurement registers below
//                              read 0x00 unless it holds kSysEnableOn (0x01)
//   (0xD2, 0x83)               kTimingSelect: while it holds kTimingSelectMeasure (0x10) the
//                              bank 0xD2 measurements show the HDMI input's timing, otherwise
//                              they read 0
//   (0xA0, 0x34)               kChipClockSelect: while it holds kChipClockSelectInput (0x21) the
//                              (0xB8, 0xB1..B3) clock registers show the HDMI input's clock,
//                              otherwise they read 0
//   (0xC2, 0x38/0x39)          kActiveWidthHigh/Low: active width
//   (0xC2, 0x06/0x07)          kActiveHeightHigh/Low: active height
//   (0xD2, 0x89/0x8A)          kTimingHtotalHigh/Low: HTotal / 2 as 15 bits; bit 7 of 0x89 is not
//   part
//                              of it
//   (0xD2, 0x9E/0x9F)          kTimingVtotalHigh/Low: VTotal, 16 bits
//   (0xD2, 0x96/0x97)          kTimingSyncAHigh/Low: line length in pixels (HTotal), 0 while no
//   stable
//                              input
//   (0xD2, 0x8B/0x8C)          kTimingSyncBHigh/Low: frame length in lines (VTotal), 0 while no
//   stable
//                              input
//   (0xB8, 0xB1/0xB2/0xB3)     kClockHigh/Mid/Low: half the pixel clock in kHz (truncated) as 19
//                              bits; bits 3-7 of 0xB1 are not part of it
//   (0xD1, 0x55)               kAudioRate: audio sample-rate byte of the source
//   (0x90, 0x00..0xFF)         EDID store, 256 bytes, read/write, kept across power cycles
//   (0x91, 0x00..0x1F)         version string store, 32 bytes, read/write, kept likewise
//
// The identity and measurement registers are read-only (writes are ignored); the enable and the
// two selects store what is written and read it back. High/low pairs are the value's high and
// low byte.
//
// Registers the map does not name read kUnmappedValue (0x00), the value every register takes at
// power-on, never a measurement: the chip acknowledges every register of its banks, so a read
// never sees the idle bus's 0xFF. Those addresses keep what is written to them and read it back
// until the next power-on (a plain register file), except the version bank past its 32 bytes
// (0x91, 0x20..0xFE), which keeps nothing and always reads kUnmappedValue.
//
// Measurements come from the HDMI source while the chip is locked on to it: a source is
// plugged in, its signal is stable and the lock time (default 0) has passed since the last
// input change; otherwise they read 0. Values too wide for their registers saturate. Each access
// moves a register pointer one on, so block transfers and receive-byte (a read without a register)
// continue from the last register accessed.
//
// Power: with the power input low the chip acknowledges nothing. When it rises, every register
// returns to its reset value (0, the bank select to ChipConfig::reset_bank, 0x00 by default)
// and the chip answers again after the boot delay (default 0).
//
// Interrupt: on every input change of the source (plug, unplug, mode change, stability, audio
// rate) a powered chip raises its interrupt output and drops it after the pulse width. A change
// during a pulse drops the line and raises it again, so every change gives a rising edge. When
// the chip has booted after a power-up and is locked on to a source, it pulses once too (it
// sees its input appear), unless an input change was already signalled since the power came
// on; ChipConfig::pulse_on_power_up turns that off. A pulse rises at once on the thread that
// made it due (the one that changed the source, or the kernel's timer thread, in atomic
// context, for the pulses after a boot or a lock time); its drop after the pulse width, and the
// fall at power-off, run on the timer thread. Changes reach the output in the order they were
// made: the output function is called with only the lock that orders them held (it must not
// call back into the model's interrupt output), never the lock of the model's state.
//
// Thread safety: the bus's transfer thread, the timer thread, GPIO callers and tests may use
// the model at once; one mutex guards its state and is never held while the model blocks
// or changes its interrupt output. Destroy the model only when the kernel is idle (after
// settle()) or has shut down.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "board/hdmi_source.h"
#include "board/i2c_target.h"
#include "platform/host/thread_safety.h"

namespace board {

// A register address: bank and register in that bank.
struct RegAddr {
  uint8_t bank;
  uint8_t reg;
  bool operator==(const RegAddr&) const = default;
};

// The chip's registers, stated here independently of the driver's map (driver/lt7911_regs.h),
// so that a wrong address in one is caught by the other. The names are the driver's, in this
// code's style: LT7911_TIMING_SYNC_A_HIGH is kTimingSyncAHigh, a value of a register follows
// it (kTimingSelectMeasure).
namespace lt7911d {

constexpr uint8_t kBankSelect = 0xFF;  // writing it selects the bank of later accesses

constexpr RegAddr kChipIdHigh{0xA0, 0x00};
constexpr RegAddr kChipIdLow{0xA0, 0x01};
constexpr uint8_t kChipIdHighLt7911d = 0x16;
constexpr uint8_t kChipIdLowLt7911d = 0x05;

constexpr RegAddr kSysEnable{0x80, 0xEE};
constexpr uint8_t kSysEnableOn = 0x01;

constexpr RegAddr kTimingSelect{0xD2, 0x83};
constexpr uint8_t kTimingSelectMeasure = 0x10;
constexpr RegAddr kChipClockSelect{0xA0, 0x34};
constexpr uint8_t kChipClockSelectInput = 0x21;

constexpr RegAddr kActiveWidthHigh{0xC2, 0x38};
constexpr RegAddr kActiveWidthLow{0xC2, 0x39};
constexpr RegAddr kActiveHeightHigh{0xC2, 0x06};
constexpr RegAddr kActiveHeightLow{0xC2, 0x07};
constexpr RegAddr kTimingHtotalHigh{0xD2, 0x89};  // HTotal / 2, bits 8-14 in bits 0-6
constexpr RegAddr kTimingHtotalLow{0xD2, 0x8A};
constexpr RegAddr kTimingVtotalHigh{0xD2, 0x9E};
constexpr RegAddr kTimingVtotalLow{0xD2, 0x9F};
constexpr RegAddr kTimingSyncAHigh{0xD2, 0x96};  // line length
constexpr RegAddr kTimingSyncALow{0xD2, 0x97};
constexpr RegAddr kTimingSyncBHigh{0xD2, 0x8B};  // frame length
constexpr RegAddr kTimingSyncBLow{0xD2, 0x8C};
constexpr RegAddr kClockHigh{0xB8, 0xB1};  // bits 0-2 are bits 16-18
constexpr RegAddr kClockMid{0xB8, 0xB2};
constexpr RegAddr kClockLow{0xB8, 0xB3};
constexpr RegAddr kAudioRate{0xD1, 0x55};

constexpr uint8_t kEdidBank = 0x90;
constexpr uint8_t kVersionBank = 0x91;
constexpr size_t kEdidSize = 256;
constexpr size_t kVersionSize = 32;

// What a register the map does not name reads while nothing has been written to it.
constexpr uint8_t kUnmappedValue = 0x00;

}  // namespace lt7911d

struct ChipConfig {
  uint8_t id_high = lt7911d::kChipIdHighLt7911d;
  uint8_t id_low = lt7911d::kChipIdLowLt7911d;
  uint8_t reset_bank = 0x00;         // the bank selected after power-on
  int64_t boot_delay_ns = 0;         // from power-on until the chip acknowledges
  int64_t irq_pulse_ns = 1'000'000;  // interrupt pulse width (1 ms)
  int64_t lock_time_ns = 0;          // from an input change until measurements are valid
  // Pulse once after booting when a source is plugged in (the chip sees its input appear),
  // unless an input change has been signalled since the power came on.
  bool pulse_on_power_up = true;
  bool set_unused_bits = false;  // bit 7 of (0xD2, 0x89) and bits 3-7 of (0xB8, 0xB1) read 1
};

class Lt7911d : public I2cTarget {
 public:
  // The model watches `source` (which must outlive it) for input changes.
  explicit Lt7911d(HdmiSource& source, ChipConfig config = {});
  ~Lt7911d() override;
  Lt7911d(const Lt7911d&) = delete;
  Lt7911d& operator=(const Lt7911d&) = delete;

  // I2cTarget.
  bool transfer(std::span<i2c_msg> msgs) override;
  std::optional<uint8_t> bank_select_register() const override { return lt7911d::kBankSelect; }
  std::optional<uint8_t> bank() const override;

  ChipConfig config() const;
  void configure(const ChipConfig& config);
  void set_identity(uint8_t high, uint8_t low);

  // The power input. A rising level resets the registers.
  void set_power(bool on);
  bool powered() const;
  // Powered and booted: the chip acknowledges its address.
  bool answering() const;
  int power_ups() const;

  // The interrupt output; `output` is called with each new level (see the header comment).
  void set_irq_output(std::function<void(bool)> output);
  bool irq_level() const;
  int irq_pulses() const;

  // What a read of the register would return now, without moving the register pointer; works
  // with the power off too (what the registers hold).
  uint8_t peek(RegAddr addr) const;
  // Makes reads of a register return `value` instead of what it holds or measures (the enable
  // gating still applies to measurement registers). Overrides survive power cycles.
  void override_register(RegAddr addr, uint8_t value);
  void clear_override(RegAddr addr);
  void clear_overrides();

  // The EDID and version stores (non-volatile: power cycles keep them).
  std::array<uint8_t, lt7911d::kEdidSize> edid() const;
  void set_edid(std::span<const uint8_t> bytes);
  std::array<uint8_t, lt7911d::kVersionSize> version() const;
  // The string's bytes, zero-padded (cut at 32 bytes).
  void set_version(const std::string& text);

 private:
  struct IrqState;
  struct MapEntry;  // one register of the map and how it behaves

  // The register of the map at `addr`, or nullptr for an address the map does not name.
  static const MapEntry* map_entry(RegAddr addr);

  bool answering_locked() const LT_REQUIRES(mutex_);
  bool locked_on_locked() const LT_REQUIRES(mutex_);
  uint8_t measured_locked(const MapEntry& entry) const LT_REQUIRES(mutex_);
  uint8_t read_locked(RegAddr addr) const LT_REQUIRES(mutex_);
  void write_locked(uint8_t reg, uint8_t value) LT_REQUIRES(mutex_);
  void reset_locked() LT_REQUIRES(mutex_);
  void on_input_change();
  void pulse();
  static void drop_line(const std::weak_ptr<IrqState>& weak, uint64_t epoch);
  // Pulses at `when` if the model still exists, answers, is locked on to its source and
  // still_due (called with mutex_ held) agrees.
  void pulse_at(int64_t when, std::function<bool(const Lt7911d&)> still_due);

  HdmiSource& source_;
  std::shared_ptr<IrqState> irq_;
  const uint64_t generation_;  // of the kernel whose timers the model uses

  mutable lt::Mutex mutex_;
  ChipConfig config_ LT_GUARDED_BY(mutex_);
  bool powered_ LT_GUARDED_BY(mutex_) = false;
  int64_t power_on_at_ LT_GUARDED_BY(mutex_) = 0;
  int power_ups_ LT_GUARDED_BY(mutex_) = 0;
  int64_t input_changed_at_ LT_GUARDED_BY(mutex_) = 0;
  int changes_signalled_ LT_GUARDED_BY(mutex_) = 0;  // input changes the chip has pulsed for
  // The source's change count as of the latest on_input_change(); behind the source while a
  // change is on its way to the chip.
  uint64_t changes_seen_ LT_GUARDED_BY(mutex_) = 0;
  uint8_t bank_ LT_GUARDED_BY(mutex_) = 0;
  uint8_t pointer_ LT_GUARDED_BY(mutex_) = 0;
  std::array<std::array<uint8_t, 256>, 256> regs_ LT_GUARDED_BY(mutex_){};
  std::map<uint16_t, uint8_t> overrides_ LT_GUARDED_BY(mutex_);
  std::array<uint8_t, lt7911d::kEdidSize> edid_ LT_GUARDED_BY(mutex_){};
  std::array<uint8_t, lt7911d::kVersionSize> version_ LT_GUARDED_BY(mutex_){};
};

}  // namespace board
