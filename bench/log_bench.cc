// What the kernel log costs once its ring is full: a printk, a reader taking what is new, and
// a read of the text view (as kernel.log is served), each against a ring of 8,192 records.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/host/kernel.h"
#include "platform/host/log.h"
#include "platform/printk.h"

namespace {

struct FullLog {
  FullLog() {
    host::Kernel::boot();
    for (size_t i = 0; i < 2 * host::Log::kCapacity; ++i) {
      printk(KERN_INFO "HDMI signal state: 0x%02zx\n", i & 0xff);
    }
  }
  ~FullLog() { host::Kernel::shutdown(); }
  host::Log& log() { return host::Kernel::get().log(); }
};

void BM_PrintkIntoAFullRing(benchmark::State& state) {
  FullLog l;
  for (auto _ : state) printk(KERN_INFO "HDMI resolution: %d x %d\n", 1920, 1080);
}
BENCHMARK(BM_PrintkIntoAFullRing);

// A reader that keeps its place: one new record per read.
void BM_ReaderTakesWhatIsNew(benchmark::State& state) {
  FullLog l;
  uint64_t seq = l.log().next_seq();
  for (auto _ : state) {
    printk(KERN_INFO "HDMI FPS: %d\n", 60);
    host::Log::Batch b = l.log().read(seq);
    seq = b.next;
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_ReaderTakesWhatIsNew);

// A 4 KiB page of kernel.log from the middle of the held text.
void BM_TextViewPageRead(benchmark::State& state) {
  FullLog l;
  host::Log::Extent e = l.log().text_extent();
  const uint64_t middle = e.begin + (e.end - e.begin) / 2;
  char page[4096];
  for (auto _ : state) benchmark::DoNotOptimize(l.log().read_text(middle, page, sizeof page));
}
BENCHMARK(BM_TextViewPageRead);

}  // namespace
