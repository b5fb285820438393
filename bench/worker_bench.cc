// How much one HDMI event costs: from the chip's interrupt to the texts published and the chip
// disabled again, with the driver bound to the default board in virtual time.
//
// Reported per event: host CPU time (the benchmark's own figure), and as counters the SMBus
// transactions the worker made (offset selects included) and the virtual time the run took on
// the board (its sleeps plus the bus time at the board's 400 kHz).
//
// BM_StableVideoEvent runs with the timeline off (timeline:0) and recording into a ring of
// 65536 events (timeline:65536, the simulator's default), and counts the timeline events one
// HDMI event records; the difference of the two times is what recording costs.
#include <benchmark/benchmark.h>

#include <time.h>

#include <memory>

#include "board/board.h"
#include "board/timings.h"
#include "platform/host/kernel.h"
#include "platform/host/log.h"
#include "platform/host/modules.h"
#include "platform/host/timeline.h"
#include "platform/printk.h"
#include "platform/procfs.h"

namespace {

// The driver bound to the default board in virtual time, on one CPU as lt7911-sim's script mode
// runs it (with one_cpu false its tasks may run on every CPU, as the tests run them).
struct BoundBoard {
  explicit BoundBoard(size_t timeline = 0, bool one_cpu = true) {
    host::Kernel::boot({.timeline = timeline, .one_cpu = one_cpu});
    auto r = board::Board::load(board::Board::default_dtb_path());
    if (!r) std::abort();
    board = std::move(*r);
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
  BoundBoard b(static_cast<size_t>(state.range(0)));
  host::Scheduler& sched = host::Kernel::get().sched();
  host::Timeline& timeline = host::Kernel::get().timeline();
  const uint64_t recorded_before = timeline.recorded();
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
  state.counters["timeline_events/event"] =
      benchmark::Counter(static_cast<double>(timeline.recorded() - recorded_before),
                         benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StableVideoEvent)
    ->ArgName("timeline")
    ->Arg(0)
    ->Arg(host::Timeline::kDefaultCapacity)
    ->Unit(benchmark::kMicrosecond);

// Host CPU per stable-video event, all threads of the process counted (the worker, the timer
// thread and the caller), with the simulator's default timeline, against an empty kernel log
// (log_full:0) and one whose ring is full (log_full:1): the cost must not grow as the log
// fills. Its tasks run on one CPU as the simulator runs them (one_cpu:1), or on every CPU
// (one_cpu:0). goal_ratio is the CPU time per event over the goal of 100 us.
void BM_StableVideoEventHostCpu(benchmark::State& state) {
  BoundBoard b(host::Timeline::kDefaultCapacity, state.range(1) != 0);
  if (state.range(0) != 0) {
    for (size_t i = 0; i < 2 * host::Log::kCapacity; ++i) printk(KERN_INFO "filler %zu\n", i);
  }
  host::Scheduler& sched = host::Kernel::get().sched();
  const board::Mode modes[2] = {board::Mode::cta(16), board::Mode::cta(4)};
  int i = 0;
  timespec t0{}, t1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
  for (auto _ : state) {
    b.board->hdmi().change_mode(modes[i++ & 1]);
    sched.settle();
  }
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
  const double us = (static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e9 +
                     static_cast<double>(t1.tv_nsec - t0.tv_nsec)) /
                    1e3 / static_cast<double>(state.iterations());
  state.counters["host_cpu_us/event"] = us;
  state.counters["goal_ratio"] = us / 100.0;
}
BENCHMARK(BM_StableVideoEventHostCpu)
    ->ArgNames({"log_full", "one_cpu"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

// One event put into the ring (a publication's note, as a hook makes it), from one task:
// what recording costs per event without the scheduling around it.
void BM_TimelineNote(benchmark::State& state) {
  host::Kernel::boot({.timeline = host::Timeline::kDefaultCapacity});
  for (auto _ : state) {
    host::Timeline::note(host::TimelineKind::kPublish, 0, 1, 0, 0x1000);
  }
  host::Kernel::shutdown();
}
BENCHMARK(BM_TimelineNote);

// A host call that carries a hook (a wake-up of a wait queue nobody waits on), with the
// timeline off (timeline:0: the hook is one relaxed load) and on (it notes a publication).
void BM_HookedWakeUp(benchmark::State& state) {
  host::Kernel::boot({.timeline = static_cast<size_t>(state.range(0))});
  wait_queue_head_t head;
  init_waitqueue_head(&head);
  for (auto _ : state) wake_up_interruptible(&head);
  host::Kernel::shutdown();
}
BENCHMARK(BM_HookedWakeUp)->ArgName("timeline")->Arg(0)->Arg(host::Timeline::kDefaultCapacity);

// A transaction's note with its bytes (a byte-data read: 6 bytes in two messages).
void BM_TimelineTransfer(benchmark::State& state) {
  host::Kernel::boot({.timeline = host::Timeline::kDefaultCapacity});
  uint8_t reg = 0x38, value = 0x07;
  const i2c_msg msgs[2] = {{0x2b, 0, 1, &reg}, {0x2b, I2C_M_RD, 1, &value}};
  host::TimelineEvent e;
  e.addr = 0x2b;
  for (auto _ : state) {
    host::Kernel::get().timeline().record_transfer(e, msgs);
  }
  host::Kernel::shutdown();
}
BENCHMARK(BM_TimelineTransfer);

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
