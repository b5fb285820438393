// The LT7911D model behind the simulated bus: banks, identity, enable gating, measurements,
// power and its interrupt output.
#include "board/lt7911d.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "board/hdmi_source.h"
#include "board/i2c_bus.h"
#include "board/timings.h"
#include "support/kernel_test.h"

namespace {

using board::ChipConfig;
using board::Mode;
using board::RegAddr;
using host::kNsPerMs;
using testing::ElementsAre;
namespace reg = board::lt7911d;

constexpr uint16_t kAddr = 0x2B;

class ChipTest : public testing_support::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    make_chip({});
  }
  void TearDown() override {
    settle();
    bus_.detach(kAddr);
    chip_.reset();
    KernelTest::TearDown();
  }

  void make_chip(const ChipConfig& config) {
    if (chip_) {
      // The model goes only when its timers are idle.
      settle();
      bus_.detach(kAddr);
      chip_.reset();
    }
    chip_ = std::make_unique<board::Lt7911d>(source_, config);
    chip_->set_irq_output([this](bool level) {
      std::lock_guard<std::mutex> lock(edges_mutex_);
      edges_.push_back({now(), level});
    });
    bus_.attach(kAddr, chip_.get());
    chip_->set_power(true);
  }

  // SMBus transactions, as the I2C core hands them to the bus.
  int write(uint8_t r, uint8_t v) {
    uint8_t buf[2] = {r, v};
    i2c_msg m{kAddr, 0, 2, buf};
    int rc = bus_.master_xfer(&m, 1);
    return rc < 0 ? rc : 0;
  }
  int read(uint8_t r) {
    uint8_t cmd = r, v = 0;
    i2c_msg m[2] = {{kAddr, 0, 1, &cmd}, {kAddr, I2C_M_RD, 1, &v}};
    int rc = bus_.master_xfer(m, 2);
    return rc < 0 ? rc : v;
  }
  int receive() {
    uint8_t v = 0;
    i2c_msg m{kAddr, I2C_M_RD, 1, &v};
    int rc = bus_.master_xfer(&m, 1);
    return rc < 0 ? rc : v;
  }
  int select(uint8_t bank) { return write(reg::kBankSelect, bank); }
  int read(RegAddr a) {
    int rc = select(a.bank);
    return rc < 0 ? rc : read(a.reg);
  }
  int write(RegAddr a, uint8_t v) {
    int rc = select(a.bank);
    return rc < 0 ? rc : write(a.reg, v);
  }
  int read16(RegAddr high, RegAddr low) { return read(high) << 8 | read(low); }

  // What the driver computes from the registers, after enabling and selecting measurements.
  struct Measured {
    int width, height, htotal, vtotal, clock, fps;
  };
  Measured measure() {
    write(reg::kSysEnable, reg::kSysEnableOn);
    write(reg::kTimingSelect, reg::kTimingSelectMeasure);
    write(reg::kChipClockSelect, reg::kChipClockSelectInput);
    Measured m;
    m.width = read16(reg::kActiveWidthHigh, reg::kActiveWidthLow);
    m.height = read16(reg::kActiveHeightHigh, reg::kActiveHeightLow);
    m.htotal = ((read(reg::kTimingHtotalHigh) & 0x7F) << 8 | read(reg::kTimingHtotalLow)) * 2;
    m.vtotal = read16(reg::kTimingVtotalHigh, reg::kTimingVtotalLow);
    m.clock =
        (read(reg::kClockHigh) & 0x07) << 16 | read(reg::kClockMid) << 8 | read(reg::kClockLow);
    uint32_t total = static_cast<uint32_t>(m.htotal) * static_cast<uint32_t>(m.vtotal);
    m.fps = total == 0 ? 0 : static_cast<int>(static_cast<uint32_t>(m.clock) * 2000u / total);
    return m;
  }
  bool timing_words_nonzero() {
    return (read(reg::kTimingSyncAHigh) | read(reg::kTimingSyncALow)) != 0 &&
           (read(reg::kTimingSyncBHigh) | read(reg::kTimingSyncBLow)) != 0;
  }

  struct Edge {
    int64_t t;
    bool level;
    bool operator==(const Edge&) const = default;
    friend void PrintTo(const Edge& e, std::ostream* os) {
      *os << (e.level ? "rise@" : "fall@") << e.t;
    }
  };
  std::vector<Edge> edges() {
    std::lock_guard<std::mutex> lock(edges_mutex_);
    return edges_;
  }

  board::HdmiSource source_;
  board::SimBus bus_{400'000};
  std::unique_ptr<board::Lt7911d> chip_;
  std::mutex edges_mutex_;
  std::vector<Edge> edges_;
};

// ---- Banks and identity --------------------------------------------------------------------

TEST_F(ChipTest, BankSelectRoutesAccessesAndIsLogged) {
  EXPECT_EQ(read(reg::kBankSelect), 0x00);  // the reset bank
  ASSERT_EQ(select(0x40), 0);
  EXPECT_EQ(read(reg::kBankSelect), 0x40);
  ASSERT_EQ(write(0x10, 0xAB), 0);
  ASSERT_EQ(select(0x41), 0);
  EXPECT_EQ(read(0x10), 0x00);  // the same register in another bank
  ASSERT_EQ(write(0x10, 0xCD), 0);
  ASSERT_EQ(select(0x40), 0);
  EXPECT_EQ(read(0x10), 0xAB);

  EXPECT_THAT(bus_.log().lines(),
              ElementsAre("read 0x00:0xFF -> 0x00", "select 0x40", "read 0x40:0xFF -> 0x40",
                          "write 0x40:0x10 = 0xAB", "select 0x41", "read 0x41:0x10 -> 0x00",
                          "write 0x41:0x10 = 0xCD", "select 0x40", "read 0x40:0x10 -> 0xAB"));
}

TEST_F(ChipTest, IdentityIsReadOnlyAndConfigurable) {
  EXPECT_EQ(read(reg::kChipIdHigh), 0x16);
  EXPECT_EQ(read(reg::kChipIdLow), 0x05);
  EXPECT_EQ(write(reg::kChipIdHigh, 0x99), 0);
  EXPECT_EQ(read(reg::kChipIdHigh), 0x16);

  chip_->set_identity(0x16, 0x06);
  EXPECT_EQ(read(reg::kChipIdHigh), 0x16);
  EXPECT_EQ(read(reg::kChipIdLow), 0x06);
}

TEST_F(ChipTest, RegisterPointerContinuesAcrossBlockAndReceiveByte) {
  ASSERT_EQ(select(0x50), 0);
  uint8_t data[4] = {0x20, 1, 2, 3};
  i2c_msg w{kAddr, 0, 4, data};
  ASSERT_EQ(bus_.master_xfer(&w, 1), 1);
  uint8_t cmd = 0x20, out[3] = {};
  i2c_msg r[2] = {{kAddr, 0, 1, &cmd}, {kAddr, I2C_M_RD, 3, out}};
  ASSERT_EQ(bus_.master_xfer(r, 2), 2);
  EXPECT_THAT(out, ElementsAre(1, 2, 3));
  EXPECT_EQ(write(0x21, 2), 0);
  EXPECT_EQ(receive(), 3);  // the pointer stands after 0x21
  EXPECT_THAT(bus_.log().lines_since(1),
              ElementsAre("write 0x50:0x20 = 0x01 0x02 0x03", "read 0x50:0x20 -> 0x01 0x02 0x03",
                          "write 0x50:0x21 = 0x02", "receive -> 0x03"));
}

// ---- Measurements --------------------------------------------------------------------------

TEST_F(ChipTest, MeasurementsReadZeroUntilEnabled) {
  source_.plug(Mode::cta(16));
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  EXPECT_EQ(read(reg::kActiveWidthHigh), 0x00);
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x00);
  EXPECT_EQ(read(reg::kAudioRate), 0x00);
  EXPECT_EQ(read(reg::kChipIdHigh), 0x16);  // identity needs no enable

  write(reg::kSysEnable, reg::kSysEnableOn);
  EXPECT_EQ(read(reg::kActiveWidthHigh), 0x07);
  EXPECT_EQ(read(reg::kActiveWidthLow), 0x80);
  EXPECT_EQ(read(reg::kAudioRate), 48);

  write(reg::kSysEnable, 0x00);
  EXPECT_EQ(read(reg::kActiveWidthLow), 0x00);
}

TEST_F(ChipTest, StandardModesGiveTheDriversArithmetic) {
  struct Case {
    Mode mode;
    int fps;
  };
  const Case cases[] = {
      {Mode::cta(16), 60},
      {Mode::cta(4), 60},
      {Mode::cta(19), 50},
      {Mode::cta(31), 50},
      {Mode::cta(32), 24},
      {Mode::cta(97), 60},
      {Mode::cta(2), 59},
      {Mode::cta(63), 120},
      {Mode::dmt(0x23), 60},
      {Mode::dmt(0x10), 60},
      {Mode::cvt_rb(2560, 1440, 60), 59},
      {Mode::cta(16).fractional(), 59},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode.name);
    source_.plug(c.mode);
    Measured m = measure();
    EXPECT_EQ(m.width, c.mode.width);
    EXPECT_EQ(m.height, c.mode.height);
    EXPECT_EQ(m.htotal, c.mode.htotal / 2 * 2);
    EXPECT_EQ(m.vtotal, c.mode.vtotal);
    EXPECT_EQ(m.clock, c.mode.pixel_clock_hz / 2000);
    EXPECT_EQ(m.fps, c.fps);
    EXPECT_TRUE(timing_words_nonzero());
  }
}

TEST_F(ChipTest, WorkedExamplesOfTheFrameRate) {
  source_.plug(Mode::cta(16));
  // HTotal/2 = 1100 = 0x044C, VTotal 1125 = 0x0465, clock 74250 = 0x1220A.
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  write(reg::kChipClockSelect, reg::kChipClockSelectInput);
  EXPECT_EQ(read(reg::kTimingHtotalHigh), 0x04);
  EXPECT_EQ(read(reg::kTimingHtotalLow), 0x4C);
  EXPECT_EQ(read(reg::kTimingVtotalHigh), 0x04);
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x65);
  EXPECT_EQ(read(reg::kClockHigh), 0x01);
  EXPECT_EQ(read(reg::kClockMid), 0x22);
  EXPECT_EQ(read(reg::kClockLow), 0x0A);
  EXPECT_EQ(measure().fps, 60);

  // 148.35 MHz: clock register 74175 (0x121BF), which truncates to 59.
  source_.plug(Mode::timings(1920, 1080, 2200, 1125, 148'350'000));
  EXPECT_EQ(read(reg::kClockMid), 0x21);
  EXPECT_EQ(read(reg::kClockLow), 0xBF);
  EXPECT_EQ(measure().fps, 59);
}

TEST_F(ChipTest, UnusedBitsCanBeSetWithoutChangingTheValues) {
  ChipConfig config;
  config.set_unused_bits = true;
  make_chip(config);
  source_.plug(Mode::cta(16));
  Measured m = measure();
  EXPECT_EQ(read(reg::kTimingHtotalHigh), 0x84);
  EXPECT_EQ(read(reg::kClockHigh), 0xF9);
  EXPECT_EQ(m.htotal, 2200);
  EXPECT_EQ(m.clock, 74250);
  EXPECT_EQ(m.fps, 60);
}

TEST_F(ChipTest, MeasurementSelectsGateTheirRegisters) {
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  // Nothing selected: the bank 0xD2 timing and the clock read 0; sizes need no select.
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x00);
  EXPECT_EQ(read(reg::kTimingSyncALow), 0x00);
  EXPECT_EQ(read(reg::kClockLow), 0x00);
  EXPECT_EQ(read(reg::kActiveHeightLow), 0x38);
  write(reg::kTimingSelect, 0x11);
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x00);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x65);
  EXPECT_EQ(read(reg::kTimingSelect), reg::kTimingSelectMeasure);  // reads back
  write(reg::kChipClockSelect, reg::kChipClockSelectInput);
  EXPECT_EQ(read(reg::kClockLow), 0x0A);
}

TEST_F(ChipTest, NoStableInputMeansNoMeasurements) {
  // Nothing plugged in.
  Measured m = measure();
  EXPECT_EQ(m.width, 0);
  EXPECT_EQ(m.vtotal, 0);
  EXPECT_FALSE(timing_words_nonzero());
  EXPECT_EQ(read(reg::kAudioRate), 0);

  source_.plug(Mode::cta(4));
  EXPECT_TRUE(timing_words_nonzero());
  source_.set_stable(false);
  EXPECT_FALSE(timing_words_nonzero());
  source_.set_stable(true);
  EXPECT_TRUE(timing_words_nonzero());
  source_.unplug();
  EXPECT_FALSE(timing_words_nonzero());
  EXPECT_EQ(measure().width, 0);
}

TEST_F(ChipTest, LockTimeDelaysValidMeasurements) {
  ChipConfig config;
  config.lock_time_ns = 50 * kNsPerMs;
  make_chip(config);
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  EXPECT_FALSE(timing_words_nonzero());
  advance_ms(50);
  EXPECT_TRUE(timing_words_nonzero());
  // A second interrupt tells the driver that the chip has locked on.
  EXPECT_EQ(chip_->irq_pulses(), 2);
}

TEST_F(ChipTest, AudioRateFollowsTheSource) {
  source_.set_audio_rate(44);
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  EXPECT_EQ(read(reg::kAudioRate), 44);
  source_.set_audio_rate(32);
  EXPECT_EQ(read(reg::kAudioRate), 32);
}

TEST_F(ChipTest, OverridesReplaceMeasurementsButKeepTheGating) {
  source_.plug(Mode::cta(16));
  chip_->override_register(reg::kTimingSyncAHigh, 0x00);
  chip_->override_register(reg::kTimingSyncALow, 0x01);
  chip_->override_register(reg::kTimingSyncBHigh, 0x80);
  chip_->override_register(reg::kTimingSyncBLow, 0x00);
  EXPECT_EQ(read(reg::kTimingSyncALow), 0x00);  // not enabled
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  EXPECT_EQ(read(reg::kTimingSyncALow), 0x01);
  EXPECT_EQ(read(reg::kTimingSyncBHigh), 0x80);
  chip_->clear_overrides();
  EXPECT_EQ(read(reg::kTimingSyncALow), 0x98);  // 2200 = 0x0898
}

// ---- The register map ----------------------------------------------------------------------

// Every register of the map with what it reads for 1080p60 (148.5 MHz, 2200 x 1125) and 48 kHz
// audio, once enabled and both measurements selected: each byte distinct from its neighbours',
// so a register answering for another shows.
struct MapCase {
  RegAddr addr;
  uint8_t value;
};
// clang-format off
constexpr MapCase kMap1080p60[] = {
    {reg::kChipIdHigh, 0x16},
    {reg::kChipIdLow, 0x05},
    {reg::kSysEnable, 0x01},
    {reg::kTimingSelect, 0x10},
    {reg::kChipClockSelect, 0x21},
    {reg::kActiveWidthHigh, 0x07}, {reg::kActiveWidthLow, 0x80},      // 1920
    {reg::kActiveHeightHigh, 0x04}, {reg::kActiveHeightLow, 0x38},    // 1080
    {reg::kTimingHtotalHigh, 0x04}, {reg::kTimingHtotalLow, 0x4C},    // 2200 / 2
    {reg::kTimingVtotalHigh, 0x04}, {reg::kTimingVtotalLow, 0x65},    // 1125
    {reg::kTimingSyncAHigh, 0x08}, {reg::kTimingSyncALow, 0x98},      // 2200
    {reg::kTimingSyncBHigh, 0x04}, {reg::kTimingSyncBLow, 0x65},      // 1125
    {reg::kClockHigh, 0x01}, {reg::kClockMid, 0x22}, {reg::kClockLow, 0x0A},  // 74250 kHz
    {reg::kAudioRate, 48},
};
// clang-format on

TEST_F(ChipTest, EachRegisterOfTheMapAnswersForItselfAndIgnoresWritesWhenReadOnly) {
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  write(reg::kChipClockSelect, reg::kChipClockSelectInput);
  for (const MapCase& c : kMap1080p60) {
    // The enable and the selects already hold what they read; the others are read-only.
    if (c.addr == reg::kSysEnable || c.addr == reg::kTimingSelect ||
        c.addr == reg::kChipClockSelect)
      EXPECT_EQ(write(c.addr, c.value), 0);
    else
      EXPECT_EQ(write(c.addr, static_cast<uint8_t>(~c.value)), 0);
  }
  for (const MapCase& c : kMap1080p60) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << "register 0x" << int{c.addr.bank} << ":0x" << int{c.addr.reg});
    EXPECT_EQ(read(c.addr), c.value);
    EXPECT_EQ(chip_->peek(c.addr), c.value);
  }
}

TEST_F(ChipTest, RegistersTheMapDoesNotNameReadZeroAndNeverAMeasurement) {
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  write(reg::kChipClockSelect, reg::kChipClockSelectInput);
  chip_->set_version("v1.2");
  // Every address but the bank selects, the map's registers and the two stores' bytes.
  int unnamed = 0;
  for (int bank = 0; bank < 256; ++bank) {
    for (int r = 0; r < 0xFF; ++r) {
      const RegAddr a{static_cast<uint8_t>(bank), static_cast<uint8_t>(r)};
      if (bank == reg::kEdidBank ||
          (bank == reg::kVersionBank && r < static_cast<int>(reg::kVersionSize)))
        continue;
      if (std::any_of(std::begin(kMap1080p60), std::end(kMap1080p60),
                      [&](const MapCase& c) { return c.addr == a; }))
        continue;
      ++unnamed;
      if (chip_->peek(a) != reg::kUnmappedValue)
        ADD_FAILURE() << std::hex << "0x" << bank << ":0x" << r << " reads 0x"
                      << int{chip_->peek(a)};
    }
  }
  EXPECT_EQ(unnamed, 256 * 255 - 255 - 32 - 21);
  // Over the bus too: the neighbours of the measurements in their banks.
  for (RegAddr a : {RegAddr{0xD2, 0x8D}, RegAddr{0xD2, 0x9D}, RegAddr{0xD2, 0xA0},
                    RegAddr{0xC2, 0x3A}, RegAddr{0xB8, 0xB4}, RegAddr{0xD1, 0x56}})
    EXPECT_EQ(read(a), reg::kUnmappedValue);

  // They keep what is written until the next power-on; the version bank past its 32 bytes keeps
  // nothing.
  write(RegAddr{0xD2, 0x8D}, 0x5A);
  write(RegAddr{reg::kVersionBank, 0x20}, 0x5A);
  EXPECT_EQ(read(RegAddr{0xD2, 0x8D}), 0x5A);
  EXPECT_EQ(read(RegAddr{reg::kVersionBank, 0x20}), reg::kUnmappedValue);
  EXPECT_EQ(read(reg::kTimingVtotalLow), 0x65);
  chip_->set_power(false);
  chip_->set_power(true);
  EXPECT_EQ(read(RegAddr{0xD2, 0x8D}), reg::kUnmappedValue);
}

// ---- Power ---------------------------------------------------------------------------------

TEST_F(ChipTest, PoweredOffChipAcknowledgesNothing) {
  chip_->set_power(false);
  EXPECT_EQ(select(0xA0), -ENXIO);
  EXPECT_EQ(read(0x00), -ENXIO);
  EXPECT_EQ(receive(), -ENXIO);
  EXPECT_THAT(bus_.log().lines(),
              ElementsAre("select 0xA0 -> ENXIO", "read 0x00:0x00 -> ENXIO", "receive -> ENXIO"));
}

TEST_F(ChipTest, PowerOnResetsRegistersButKeepsTheStores) {
  source_.plug(Mode::cta(16));
  write(reg::kSysEnable, reg::kSysEnableOn);
  write(reg::kTimingSelect, reg::kTimingSelectMeasure);
  write(RegAddr{0x60, 0x01}, 0x5A);
  write(RegAddr{reg::kEdidBank, 0x00}, 0x00);
  write(0x01, 0xFF);
  chip_->set_version("v1.2");
  ASSERT_EQ(read(reg::kBankSelect), reg::kEdidBank);

  chip_->set_power(false);
  chip_->set_power(true);
  EXPECT_EQ(chip_->power_ups(), 2);
  EXPECT_EQ(read(reg::kBankSelect), 0x00);  // the bank select is back at its reset value
  EXPECT_EQ(read(RegAddr{0x60, 0x01}), 0x00);
  EXPECT_EQ(read(reg::kSysEnable), 0x00);
  EXPECT_EQ(read(reg::kActiveWidthLow), 0x00);  // gated again
  EXPECT_EQ(read(RegAddr{reg::kEdidBank, 0x01}), 0xFF);
  EXPECT_EQ(read(RegAddr{reg::kVersionBank, 0x01}), '1');
  EXPECT_EQ(chip_->edid()[1], 0xFF);
}

TEST_F(ChipTest, BootDelayKeepsThePoweredChipSilent) {
  ChipConfig config;
  config.boot_delay_ns = 30 * kNsPerMs;
  config.reset_bank = 0x80;
  make_chip(config);
  chip_->set_power(false);
  chip_->set_power(true);
  EXPECT_FALSE(chip_->answering());
  EXPECT_EQ(read(0xEE), -ENXIO);
  advance_ms(30);
  EXPECT_TRUE(chip_->answering());
  EXPECT_EQ(read(reg::kBankSelect), 0x80);
}

// ---- Interrupt output ----------------------------------------------------------------------

TEST_F(ChipTest, EveryInputChangePulsesTheInterrupt) {
  const int64_t t0 = now();
  source_.plug(Mode::cta(16));
  // The edge is raised by the change itself, before any other task runs.
  EXPECT_TRUE(chip_->irq_level());
  EXPECT_EQ(chip_->irq_pulses(), 1);
  advance_ms(10);
  source_.change_mode(Mode::cta(4));
  advance_ms(10);
  source_.unplug();
  advance_ms(10);
  const int64_t w = chip_->config().irq_pulse_ns;
  const int64_t t1 = t0 + 10 * kNsPerMs, t2 = t1 + 10 * kNsPerMs;
  EXPECT_THAT(edges(), ElementsAre(Edge{t0, true}, Edge{t0 + w, false}, Edge{t1, true},
                                   Edge{t1 + w, false}, Edge{t2, true}, Edge{t2 + w, false}));
  EXPECT_EQ(chip_->irq_pulses(), 3);
  EXPECT_FALSE(chip_->irq_level());
}

TEST_F(ChipTest, ChangeDuringAPulseGivesANewRisingEdge) {
  ChipConfig config;
  config.irq_pulse_ns = 10 * kNsPerMs;
  make_chip(config);
  const int64_t t0 = now();
  source_.plug(Mode::cta(16));
  advance_ms(4);
  source_.set_audio_rate(32);
  advance_ms(20);
  const int64_t t1 = t0 + 4 * kNsPerMs;
  EXPECT_THAT(edges(), ElementsAre(Edge{t0, true}, Edge{t1, false}, Edge{t1, true},
                                   Edge{t1 + 10 * kNsPerMs, false}));
}

TEST_F(ChipTest, UnpoweredChipDoesNotPulseAndPowerLossDropsTheLine) {
  ChipConfig config;
  config.irq_pulse_ns = 10 * kNsPerMs;
  make_chip(config);
  source_.plug(Mode::cta(16));
  advance_ms(2);
  EXPECT_TRUE(chip_->irq_level());
  chip_->set_power(false);
  settle();
  EXPECT_FALSE(chip_->irq_level());
  source_.unplug();
  advance_ms(20);
  EXPECT_EQ(chip_->irq_pulses(), 1);
  EXPECT_EQ(edges().size(), 2u);
}

TEST_F(ChipTest, PulseAfterBootWhenASourceIsPresent) {
  ChipConfig config;
  config.boot_delay_ns = 5 * kNsPerMs;
  make_chip(config);
  advance_ms(10);
  EXPECT_EQ(chip_->irq_pulses(), 0);  // no source at the first power-up
  source_.plug(Mode::cta(16));
  advance_ms(10);
  ASSERT_EQ(chip_->irq_pulses(), 1);
  chip_->set_power(false);
  const int64_t on = now();
  chip_->set_power(true);
  advance_ms(10);
  EXPECT_EQ(chip_->irq_pulses(), 2);
  EXPECT_EQ(edges()[2], (Edge{on + 5 * kNsPerMs, true}));

  // A power cycle within the boot delay gives one pulse, for the latest power-up; a change
  // while the chip boots is signalled by that same pulse.
  chip_->set_power(false);
  chip_->set_power(true);
  advance_ms(1);
  chip_->set_power(false);
  const int64_t again = now();
  chip_->set_power(true);
  advance_ms(2);
  source_.plug(Mode::cta(4));
  advance_ms(10);
  EXPECT_EQ(chip_->irq_pulses(), 3);
  EXPECT_EQ(edges().back(), (Edge{again + 6 * kNsPerMs, false}));
}

TEST_F(ChipTest, NoPulseAtPowerUpWhenSwitchedOff) {
  ChipConfig config;
  config.pulse_on_power_up = false;
  make_chip(config);
  source_.plug(Mode::cta(16));
  advance_ms(10);
  chip_->set_power(false);
  chip_->set_power(true);
  advance_ms(10);
  EXPECT_EQ(chip_->irq_pulses(), 1);
}

}  // namespace
