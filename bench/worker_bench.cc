// How much one HDMI event costs: from the chip's interrupt to the texts published and the chip
// disabled again, with the driver bound to the default board in virtual time.
//
// Reported per event: host CPU time (the benchmark's own figure), and as counters the SMBus
// transactions the worker made (offset selects included) and the virtual time the run took on
// the board (its sleeps plus the bus time at the board's 400 kHz).
#include <benchmark/benchmark.h>

#include <memory>

#include "board/board.h"
#include "board/timings.h"
#include "platform/host/kernel.h"
#include "platform/host/modules.h"

namespace {

struct BoundBoard {
  BoundBoard() {
    host::Kernel::boot();
    board::LoadResult r = board::Board::load(board::Board::default_dtb_path());
    if (!r) std::abort();
    board = std::move(r.board);
    if (host::Kernel::get().modules().insmod("lt7911_manage", {}) != 0) std::abort();
    host::Kernel::get().sched().settle();
  }
  ~BoundBoard() {
    host::Kernel::get().modules().rmmod("lt7911_manage");
    host::Kernel::get().sched().settle();
    board.reset();
    host::Kernel::shutdown();
  }
  std::unique_ptr<board::Board> board;
};

void BM_StableVideoEvent(benchmark::State& state) {
  BoundBoard b;
  host::Scheduler& sched = host::Kernel::get().sched();
  const board::Mode modes[2] = {board::Mode::cta(16), board::Mode::cta(4)};
  size_t transfers = 0;
  int64_t virtual_ns = 0;
  int i = 0;
  for (auto _ : state) {
    const size_t mark = b.board->bus().log().mark();
    const int64_t start = sched.now();
    b.board->hdmi().change_mode(modes[i++ & 1]);
    sched.settle();
    transfers += b.board->bus().log().mark() - mark;
    virtual_ns += sched.now() - start;
  }
  state.counters["transfers/event"] =
      benchmark::Counter(static_cast<double>(transfers), benchmark::Counter::kAvgIterations);
  state.counters["virtual_ms/event"] =
      benchmark::Counter(static_cast<double>(virtual_ns) / 1e6, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StableVideoEvent)->Unit(benchmark::kMicrosecond);

void BM_SignalLossEvent(benchmark::State& state) {
  BoundBoard b;
  host::Scheduler& sched = host::Kernel::get().sched();
  size_t transfers = 0;
  for (auto _ : state) {
    state.PauseTiming();
    b.board->hdmi().plug(board::Mode::cta(16));
    sched.settle();
    const size_t mark = b.board->bus().log().mark();
    state.ResumeTiming();
    b.board->hdmi().unplug();
    sched.settle();
    transfers += b.board->bus().log().mark() - mark;
  }
  state.counters["transfers/event"] =
      benchmark::Counter(static_cast<double>(transfers), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SignalLossEvent)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
