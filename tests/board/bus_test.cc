// The simulated I2C bus: bus time, fault injection, the transfer log and holds.
#include "board/i2c_bus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "board/lt7911d.h"
#include "support/kernel_test.h"

namespace {

using board::BusFault;
using board::Direction;
using board::FaultKind;
using board::SimBus;
using board::TransferMatch;
using host::kNsPerUs;
using testing::ElementsAre;
namespace reg = board::lt7911d;

constexpr uint16_t kAddr = 0x2B;

class BusTest : public testing_support::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    chip_ = std::make_unique<board::Lt7911d>(source_);
    bus_.attach(kAddr, chip_.get());
    chip_->set_power(true);
  }
  void TearDown() override {
    bus_.release_holds();
    settle();
    bus_.detach(kAddr);
    chip_.reset();
    KernelTest::TearDown();
  }

  int write(uint8_t r, uint8_t v, uint16_t addr = kAddr) {
    uint8_t buf[2] = {r, v};
    i2c_msg m{addr, 0, 2, buf};
    int rc = bus_.master_xfer(&m, 1);
    return rc < 0 ? rc : 0;
  }
  int read(uint8_t r, uint16_t addr = kAddr) {
    uint8_t cmd = r, v = 0;
    i2c_msg m[2] = {{addr, 0, 1, &cmd}, {addr, I2C_M_RD, 1, &v}};
    int rc = bus_.master_xfer(m, 2);
    return rc < 0 ? rc : v;
  }
  // Time one call takes on the virtual clock.
  template <class F>
  int64_t cost(F f) {
    const int64_t start = now();
    f();
    return now() - start;
  }

  board::HdmiSource source_;
  SimBus bus_;
  std::unique_ptr<board::Lt7911d> chip_;
};

// ---- Bus time ------------------------------------------------------------------------------

TEST_F(BusTest, TransfersCostTheirBitTimeAt100And400Kilohertz) {
  // Write byte data: start, address, command, data, stop = 1 + 9 + 9 + 9 + 1 bits.
  EXPECT_EQ(cost([&] { write(0xFF, 0xA0); }), 290 * kNsPerUs);
  // Read byte data adds a repeated start and a second address: 39 bits.
  EXPECT_EQ(cost([&] { read(0x00); }), 390 * kNsPerUs);
  // Nobody answers at 0x50: the transfer ends after the address byte.
  EXPECT_EQ(cost([&] { EXPECT_EQ(read(0x00, 0x50), -ENXIO); }), 110 * kNsPerUs);

  bus_.set_clock_hz(400'000);
  EXPECT_EQ(cost([&] { write(0xFF, 0xA0); }), 72'500);
  EXPECT_EQ(cost([&] { read(0x00); }), 97'500);
}

TEST_F(BusTest, BitTimeFormula) {
  uint8_t buf[32] = {};
  i2c_msg block_read[2] = {{kAddr, 0, 1, buf}, {kAddr, I2C_M_RD, 32, buf}};
  EXPECT_EQ(SimBus::transfer_bits(block_read), 1 + 18 + 1 + 9 * 33 + 1);
  i2c_msg receive{kAddr, I2C_M_RD, 1, buf};
  EXPECT_EQ(SimBus::transfer_bits({&receive, 1}), 20);
  EXPECT_EQ(SimBus::transfer_bits({&receive, 1}, false), 11);
  // Rounded up to whole nanoseconds: 29 bits at 3.4 MHz.
  i2c_msg write{kAddr, 0, 2, buf};
  EXPECT_EQ(SimBus::transfer_ns({&write, 1}, 3'400'000), 8530);
}

// ---- Faults --------------------------------------------------------------------------------

TEST_F(BusTest, NthTransferFailsAndDoesNotReachTheDevice) {
  int id = bus_.faults().add(BusFault::nth_transfer(2, FaultKind::kIo));
  EXPECT_EQ(write(0xFF, 0x40), 0);
  EXPECT_EQ(write(0x10, 0x55), -EIO);
  EXPECT_EQ(write(0x11, 0x66), 0);
  EXPECT_EQ(read(0x10), 0x00);  // the failed write never happened
  EXPECT_EQ(read(0x11), 0x66);
  EXPECT_EQ(bus_.faults().fired(id), 1);
  EXPECT_THAT(bus_.log().lines(),
              ElementsAre("select 0x40", "write 0x40:0x10 = 0x55 -> EIO", "write 0x40:0x11 = 0x66",
                          "read 0x40:0x10 -> 0x00", "read 0x40:0x11 -> 0x66"));
}

TEST_F(BusTest, MatchingFaultsByBankRegisterAndDirection) {
  bus_.faults().add(
      BusFault::on({.bank = 0xD2, .reg = 0x8B, .dir = Direction::kRead}, FaultKind::kTimeout, -1));
  bus_.faults().add(BusFault::on({.bank = 0x80, .dir = Direction::kSelect}, FaultKind::kNoAck));
  EXPECT_EQ(write(0xFF, 0x80), -ENXIO);  // the first select of 0x80
  EXPECT_EQ(write(0xFF, 0x80), 0);
  EXPECT_EQ(write(0xFF, 0xD2), 0);
  EXPECT_EQ(write(0x8B, 0x01), 0);  // a write of the register is not matched
  EXPECT_EQ(read(0x8B), -ETIMEDOUT);
  EXPECT_EQ(read(0x8B), -ETIMEDOUT);
  EXPECT_EQ(read(0x8C), 0x00);
  EXPECT_EQ(write(0xFF, 0xC2), 0);
  EXPECT_EQ(read(0x8B), 0x00);  // another bank
}

TEST_F(BusTest, WrongByteFaultsCorruptReadsAndWrites) {
  bus_.faults().add(BusFault::on({.reg = 0x00, .dir = Direction::kRead}, FaultKind::kWrongByte));
  BusFault stuck = BusFault::on({.reg = 0x01, .dir = Direction::kRead}, FaultKind::kWrongByte);
  stuck.stuck_value = 0x00;
  bus_.faults().add(stuck);
  BusFault bad_write = BusFault::on({.reg = 0x20, .dir = Direction::kWrite}, FaultKind::kWrongByte);
  bad_write.xor_mask = 0x01;
  bus_.faults().add(bad_write);

  write(0xFF, 0xA0);
  EXPECT_EQ(read(reg::kChipIdHigh.reg), 0x16 ^ 0xFF);
  EXPECT_EQ(read(reg::kChipIdLow.reg), 0x00);
  EXPECT_EQ(read(reg::kChipIdHigh.reg), 0x16);  // each rule fired once
  EXPECT_EQ(write(0x20, 0x10), 0);
  EXPECT_EQ(read(0x20), 0x11);  // the device received the corrupted byte
  EXPECT_THAT(bus_.log().lines_since(1),
              ElementsAre("read 0xA0:0x00 -> 0xE9 (fault)", "read 0xA0:0x01 -> 0x00 (fault)",
                          "read 0xA0:0x00 -> 0x16", "write 0xA0:0x20 = 0x11 (fault)",
                          "read 0xA0:0x20 -> 0x11"));
}

TEST_F(BusTest, SeededFractionIsReproducible) {
  auto pattern = [&](uint64_t seed) {
    bus_.faults().clear();
    bus_.faults().add(BusFault::random(0.25, seed, FaultKind::kIo));
    std::string p;
    for (int i = 0; i < 400; ++i) p += read(0x00) < 0 ? 'x' : '.';
    return p;
  };
  const std::string a = pattern(7), b = pattern(7), c = pattern(8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const auto failures = std::count(a.begin(), a.end(), 'x');
  EXPECT_GT(failures, 60);
  EXPECT_LT(failures, 140);
}

TEST_F(BusTest, TimesAndCountingFromTheNthMatch) {
  BusFault f = BusFault::on({.dir = Direction::kRead}, FaultKind::kIo, 2);
  f.nth = 3;
  bus_.faults().add(f);
  std::string p;
  for (int i = 0; i < 6; ++i) p += read(0x00) < 0 ? 'x' : '.';
  EXPECT_EQ(p, "..xx..");
}

// ---- Log and holds -------------------------------------------------------------------------

TEST_F(BusTest, LogRecordsTimeAddressAndMarks) {
  write(0xFF, 0xA0);
  const size_t mark = bus_.log().mark();
  const int64_t t = now();
  read(0x00);
  auto since = bus_.log().since(mark);
  ASSERT_EQ(since.size(), 1u);
  EXPECT_EQ(since[0].time_ns, t);
  EXPECT_EQ(since[0].addr, kAddr);
  EXPECT_EQ(since[0].bank, 0xA0);
  EXPECT_EQ(since[0].reg, 0x00);
  EXPECT_THAT(since[0].data, ElementsAre(0x16));
  bus_.log().clear();
  EXPECT_TRUE(bus_.log().entries().empty());
  read(0x01);
  EXPECT_THAT(bus_.log().lines_since(mark), ElementsAre("read 0xA0:0x01 -> 0x05"));
}

TEST_F(BusTest, HoldBlocksTheMatchingTransferUntilReleased) {
  write(0xFF, 0xA0);
  auto hold = bus_.hold({.reg = 0x01, .dir = Direction::kRead});
  std::atomic<int> results{0};
  host::Thread t = sched().spawn("reader", [&] {
    EXPECT_EQ(read(0x00), 0x16);
    EXPECT_EQ(read(0x01), 0x05);
    results = 1;
  });
  settle();
  ASSERT_TRUE(hold->reached());
  EXPECT_EQ(results.load(), 0);
  ASSERT_TRUE(hold->held().has_value());
  EXPECT_EQ(hold->held()->str(), "read 0xA0:0x01 -> ");  // not run yet: nothing read

  // The clock moves while the transfer is held; it has not been logged yet.
  advance_ms(100);
  EXPECT_EQ(bus_.log().mark(), 2u);
  hold->release();
  t.join();
  EXPECT_EQ(results.load(), 1);
  EXPECT_THAT(bus_.log().lines_since(2), ElementsAre("read 0xA0:0x01 -> 0x05"));
}

}  // namespace
