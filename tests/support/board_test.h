// A booted kernel with the default board (or another one) loaded: the chip model, its HDMI
// source, the bus with its log, faults and holds, and the chip's GPIO lines.
//
//   class MyTest : public testing_support::BoardTest {};
//   TEST_F(MyTest, Plug) {
//     hdmi().plug(Mode::cta(16));
//     settle();
//     EXPECT_THAT(bus().log().lines(), ...);
//   }
//
// Override board_path() or board_options() to load another tree or configure the chip. At the
// end of a test every hold is released, the kernel settles and the board is taken down before
// the kernel shuts down.
#pragma once

#include <memory>
#include <string>

#include "board/board.h"
#include "board/timings.h"
#include "support/kernel_test.h"

namespace testing_support {

using board::BusFault;
using board::Direction;
using board::FaultKind;
using board::Mode;
using board::RegAddr;
using board::TransferMatch;

class BoardTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    auto loaded = board::Board::load(board_path(), board_options());
    ASSERT_TRUE(loaded) << loaded.error().message;
    board_ = std::move(*loaded);
  }
  void TearDown() override {
    if (board_ && host::Kernel::booted()) {
      for (int nr : board_->bus_numbers()) board_->bus(nr)->release_holds();
      settle();
      board_.reset();
    }
    KernelTest::TearDown();
  }

  virtual std::string board_path() { return board::Board::default_dtb_path(); }
  virtual board::LoadOptions board_options() { return {}; }

  board::Board& board() { return *board_; }
  board::Lt7911d& chip() { return board_->chip(); }
  board::HdmiSource& hdmi() { return board_->hdmi(); }
  board::SimBus& bus() { return board_->bus(); }
  board::BusFaults& bus_faults() { return board_->bus().faults(); }

 private:
  std::unique_ptr<board::Board> board_;
};

}  // namespace testing_support
