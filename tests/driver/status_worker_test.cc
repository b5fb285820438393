// The status worker through the chip model: measured, unsupported, unlisted and lost inputs,
// standard modes end to end, failing transfers in every query, removal during a run, and the
// virtual time of a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "driver/driver_fixture.h"

namespace driver_test {
namespace {

using ::testing::ElementsAre;

class StatusWorker : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(insmod(), 0);
    status_fd_ = open("status");
    ASSERT_GE(status_fd_, 0);
    host::PollWatchResult w = kernel().vfs().poll_watch(
        proc_, status_fd_, [this] { wakeups_++; }, /*one_shot=*/false);
    watch_ = std::move(w.watch);
  }
  void TearDown() override {
    watch_.reset();
    DriverTest::TearDown();
  }
  // Module log lines since the mark, without the bus layer's host lines.
  std::vector<std::string> run_log(size_t mark) { return log_since(mark); }
  // Starts a run (an audio-rate change) and holds it at its resolution query; the caller
  // releases the hold.
  std::shared_ptr<board::TransferHold> hold_a_run_at_its_resolution_query() {
    std::shared_ptr<board::TransferHold> hold =
        bus().hold({.bank = 0xC2, .reg = 0x06, .dir = board::Direction::kRead});
    hdmi().set_audio_rate(32);
    EXPECT_TRUE(sched().run_until([&] { return hold->reached(); }));
    return hold;
  }
  int disables_since(size_t mark) {
    int n = 0;
    for (const std::string& l : bus().log().lines_since(mark))
      n += l.rfind("write 0x80:0xEE = 0x00", 0) == 0;
    return n;
  }

  int status_fd_ = -1;
  std::atomic<int> wakeups_{0};
  host::PollWatch watch_;
};

TEST_F(StatusWorker, First1080p60Run) {
  size_t mark = log_mark();
  plug("1080p60");
  std::map<std::string, std::string> t = texts();
  EXPECT_EQ(t["status"], "new res\n");
  EXPECT_EQ(t["width"], "1920\n");
  EXPECT_EQ(t["height"], "1080\n");
  EXPECT_EQ(t["hdcp"], "no hdcp\n");
  EXPECT_EQ(t["fps"], "60\n");
  EXPECT_EQ(t["asr"], "48\n");
  EXPECT_EQ(wakeups_.load(), 1);
  EXPECT_THAT(
      run_log(mark),
      ElementsAre("LT7911D chip platform unsupported", "HDMI signal state: 0x03",
                  "HDMI signal is stable", "Detected HDMI resolution type: 1",
                  "HDMI resolution: 1920 x 1080", "LT7911D chip platform does not support HDCP",
                  "HDCP mode: no hdcp\n", "HDMI HTotal: 2200, VTotal: 1125", "HDMI FPS: 60"));
}

TEST_F(StatusWorker, StableRunMakesExactlyTheseTransfers) {
  // Every transfer of one run, in order: a test that fails the Nth transfer cannot see two
  // transfers trade places, this one does. 1080p60: HTotal 2200 (0x898), VTotal 1125 (0x465),
  // half HTotal 1100 (0x44C), half pixel clock 74250 kHz (0x1220A), 1920 x 1080, audio 48.
  size_t bmark = bus().log().mark();
  plug("1080p60");
  EXPECT_THAT(bus().log().lines_since(bmark),
              ElementsAre("write 0x80:0xEE = 0x01",  // enable; bank 0x80 is still selected
                          "select 0xD2",             // signal state
                          "write 0xD2:0x83 = 0x10",  // timing measurement select
                          "read 0xD2:0x96 -> 0x08",  // first sync measurement, high
                          "read 0xD2:0x97 -> 0x98",  // first sync measurement, low
                          "read 0xD2:0x8B -> 0x04",  // second sync measurement, high
                          "read 0xD2:0x8C -> 0x65",  // second sync measurement, low
                          "select 0xC2",             // resolution
                          "read 0xC2:0x06 -> 0x04",  // height, high
                          "read 0xC2:0x07 -> 0x38",  // height, low
                          "read 0xC2:0x38 -> 0x07",  // width, high
                          "read 0xC2:0x39 -> 0x80",  // width, low
                          "select 0xD2",             // frame rate
                          "write 0xD2:0x83 = 0x10",  // timing measurement select
                          "read 0xD2:0x89 -> 0x04",  // half HTotal, high
                          "read 0xD2:0x8A -> 0x4C",  // half HTotal, low
                          "read 0xD2:0x9E -> 0x04",  // VTotal, high
                          "read 0xD2:0x9F -> 0x65",  // VTotal, low
                          "select 0xA0",             // clock measurement select
                          "write 0xA0:0x34 = 0x21",  // clock measurement select
                          "select 0xB8",             // clock
                          "read 0xB8:0xB1 -> 0x01",  // half clock, bits 16-18
                          "read 0xB8:0xB2 -> 0x22",  // half clock, bits 8-15
                          "read 0xB8:0xB3 -> 0x0A",  // half clock, bits 0-7
                          "select 0xD1",             // audio
                          "read 0xD1:0x55 -> 0x30",  // audio sample-rate byte
                          "select 0x80",             // disable
                          "write 0x80:0xEE = 0x00"));
}

TEST_F(StatusWorker, UnusedMeasurementBitsDoNotCount) {
  // The chip may read back 1 in bit 7 of the half-HTotal high byte and in bits 3-7 of the clock
  // high byte; only the measurement bits count.
  board::ChipConfig config = chip().config();
  config.set_unused_bits = true;
  chip().configure(config);
  size_t mark = log_mark();
  plug("1080p60");
  EXPECT_TRUE(in_order(log_since(mark), {"HDMI HTotal: 2200, VTotal: 1125", "HDMI FPS: 60"}));
  EXPECT_EQ(read("fps"), "60\n");
  EXPECT_EQ(read("width") + read("height"), "1920\n1080\n");
}

// Stable video: both sync measurements nonzero, whichever of their bytes holds the value.
struct SyncCase {
  std::string name;
  uint8_t a_high, a_low, b_high, b_low;
  bool stable;
};

class SyncMeasurements : public StatusWorker, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncMeasurements, DecideWhetherTheVideoIsStable) {
  const SyncCase& c = GetParam();
  namespace reg = board::lt7911d;
  chip().override_register(reg::kTimingSyncAHigh, c.a_high);
  chip().override_register(reg::kTimingSyncALow, c.a_low);
  chip().override_register(reg::kTimingSyncBHigh, c.b_high);
  chip().override_register(reg::kTimingSyncBLow, c.b_low);
  size_t mark = log_mark();
  plug("1080p60");
  EXPECT_TRUE(
      in_order(run_log(mark), {c.stable ? "HDMI signal state: 0x03" : "HDMI signal state: 0x02"}));
  EXPECT_EQ(read("status"), c.stable ? "new res\n" : "disappear\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, SyncMeasurements,
                         ::testing::Values(SyncCase{"BothFull", 0x08, 0x98, 0x04, 0x65, true},
                                           SyncCase{"LowBytesOnly", 0x00, 0x98, 0x00, 0x65, true},
                                           SyncCase{"HighBytesOnly", 0x08, 0x00, 0x04, 0x00, true},
                                           SyncCase{"FirstZero", 0x00, 0x00, 0x04, 0x65, false},
                                           SyncCase{"SecondZero", 0x08, 0x98, 0x00, 0x00, false},
                                           SyncCase{"BothZero", 0x00, 0x00, 0x00, 0x00, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(StatusWorker, ZeroTotalsGiveFps0) {
  namespace reg = board::lt7911d;
  chip().override_register(reg::kTimingHtotalHigh, 0);
  chip().override_register(reg::kTimingHtotalLow, 0);
  size_t mark = log_mark();
  plug("1080p60");
  EXPECT_TRUE(in_order(run_log(mark), {"HDMI HTotal: 0, VTotal: 1125", "HDMI FPS: 0"}));
  EXPECT_EQ(read("fps"), "0\n");
  EXPECT_EQ(read("width"), "1920\n");
}

TEST_F(StatusWorker, SameInputAgainIsPublishedAgain) {
  plug("1080p60");
  ASSERT_EQ(write("status", "ok"), 2);
  ASSERT_EQ(read("status"), "stable\n");
  int before = wakeups_.load();
  size_t mark = log_mark();
  interrupt();
  EXPECT_TRUE(in_order(run_log(mark), {"Detected HDMI resolution type: 0"}));
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(wakeups_.load(), before + 1);
}

TEST_F(StatusWorker, UnsupportedAndUnlistedModesArePublished) {
  size_t mark = log_mark();
  plug("1366x768@60");
  EXPECT_TRUE(in_order(run_log(mark), {"Detected HDMI resolution type: 2"}));
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(read("width"), "1366\n");
  EXPECT_EQ(read("height"), "768\n");
  mark = log_mark();
  plug("1024x600@60");
  EXPECT_TRUE(in_order(run_log(mark), {"Detected HDMI resolution type: 3"}));
  EXPECT_EQ(read("width"), "1024\n");
  EXPECT_EQ(read("height"), "600\n");
}

TEST_F(StatusWorker, ClassificationRemembersTheLastSupportedMode) {
  size_t mark = log_mark();
  plug("1080p60");
  plug("1366x768@60");
  plug("1080p60");
  plug("1920x1200@60");
  plug("1080p60");
  std::vector<std::string> types;
  for (const std::string& l : run_log(mark))
    if (l.rfind("Detected HDMI resolution type: ", 0) == 0) types.push_back(l.substr(31));
  EXPECT_THAT(types, ElementsAre("1", "2", "0", "1", "1"));
}

TEST_F(StatusWorker, SignalLoss) {
  plug("1080p60");
  int before = wakeups_.load();
  size_t mark = log_mark();
  size_t bmark = bus().log().mark();
  unplug();
  std::map<std::string, std::string> t = texts();
  EXPECT_EQ(t["status"], "disappear\n");
  EXPECT_EQ(t["width"], "0\n");
  EXPECT_EQ(t["height"], "0\n");
  EXPECT_EQ(t["fps"], "0\n");
  EXPECT_EQ(t["hdcp"], "no hdcp\n");
  EXPECT_EQ(t["asr"], "0\n") << "the audio flag is always set: the byte is read";
  EXPECT_EQ(wakeups_.load(), before + 1);
  EXPECT_THAT(run_log(mark), ElementsAre("LT7911D chip platform unsupported",
                                         "HDMI signal state: 0x02", "HDMI signal has disappeared"));
  EXPECT_EQ(disables_since(bmark), 2);
}

// Width, height and fps texts equal the driver's arithmetic on the model's registers.
class StandardModes : public StatusWorker, public ::testing::WithParamInterface<const char*> {};

TEST_P(StandardModes, EndToEnd) {
  board::Mode m = board::Mode::parse(GetParam());
  plug(GetParam());
  uint32_t half_htotal = static_cast<uint32_t>(m.htotal / 2) & 0x7FFF;
  uint32_t htotal = half_htotal * 2;
  uint32_t vtotal = static_cast<uint32_t>(m.vtotal) & 0xFFFF;
  uint32_t clock = static_cast<uint32_t>(m.pixel_clock_hz / 2000) & 0x7FFFF;
  uint32_t total = htotal * vtotal;
  uint32_t fps = total != 0 ? clock * 2000u / total : 0;
  EXPECT_EQ(read("width"), std::to_string(m.width) + "\n");
  EXPECT_EQ(read("height"), std::to_string(m.height) + "\n");
  EXPECT_EQ(read("fps"), std::to_string(fps & 0xFFFF) + "\n");
  EXPECT_LE(std::abs(static_cast<double>(fps) - m.refresh()), 1.0);
  EXPECT_EQ(read("status"), "new res\n");
}

INSTANTIATE_TEST_SUITE_P(Modes, StandardModes,
                         ::testing::Values("480p", "720p50", "720p60", "1080p24", "1080p30",
                                           "1080p50", "1080p60", "2160p30", "1920x1080@59.94",
                                           "800x600@60", "1024x768@60", "1280x1024@60",
                                           "1600x900@60", "2560x1440@60-rb2", "3840x2160@60"));

// The classification of every supported size, and of sizes next to the unsupported one.
struct SizeCase {
  int width;
  int height;
  int type;  // as the worker logs it: 1 new (supported), 2 unsupported, 3 not listed
};

class Sizes : public StatusWorker, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(Sizes, AreClassified) {
  const SizeCase& c = GetParam();
  const int htotal = c.width + 160;
  const int vtotal = c.height + 45;
  size_t mark = log_mark();
  hdmi().plug(board::Mode::timings(c.width, c.height, htotal, vtotal,
                                   static_cast<int64_t>(htotal) * vtotal * 60));
  settle();
  EXPECT_TRUE(
      in_order(run_log(mark), {"Detected HDMI resolution type: " + std::to_string(c.type)}));
  EXPECT_EQ(read("width") + read("height"),
            std::to_string(c.width) + "\n" + std::to_string(c.height) + "\n");
  EXPECT_EQ(read("status"), "new res\n");
}

INSTANTIATE_TEST_SUITE_P(
    Supported, Sizes,
    ::testing::Values(SizeCase{3840, 2400, 1}, SizeCase{3840, 2160, 1}, SizeCase{3440, 1440, 1},
                      SizeCase{2560, 1600, 1}, SizeCase{2560, 1440, 1}, SizeCase{2560, 1080, 1},
                      SizeCase{2048, 1536, 1}, SizeCase{2048, 1152, 1}, SizeCase{1920, 1440, 1},
                      SizeCase{1920, 1200, 1}, SizeCase{1920, 1080, 1}, SizeCase{1680, 1050, 1},
                      SizeCase{1600, 1200, 1}, SizeCase{1600, 900, 1}, SizeCase{1440, 1080, 1},
                      SizeCase{1440, 900, 1}, SizeCase{1440, 1050, 1}, SizeCase{1368, 768, 1},
                      SizeCase{1280, 1024, 1}, SizeCase{1280, 960, 1}, SizeCase{1280, 800, 1},
                      SizeCase{1280, 720, 1}, SizeCase{1152, 864, 1}, SizeCase{1024, 768, 1},
                      SizeCase{800, 600, 1}),
    [](const auto& info) {
      return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
    });

INSTANTIATE_TEST_SUITE_P(Others, Sizes,
                         ::testing::Values(SizeCase{1366, 768, 2}, SizeCase{1366, 720, 3},
                                           SizeCase{1360, 768, 3}, SizeCase{3840, 1080, 3},
                                           SizeCase{640, 480, 3}, SizeCase{0, 0, 3}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

// One failing transfer of a stable-video run, by its position in the run: every position.
struct FaultCase {
  std::string name;
  int nth;
  std::vector<std::string> errors;
  bool published;
  std::string asr;
  std::string fps;
  int disables;
};

class FailingTransfer : public StatusWorker, public ::testing::WithParamInterface<FaultCase> {};

// The position of the run's last totals read (VTotal's low byte): failures before it stop the run
// or the frame-rate query before the totals are known.
constexpr int kLastTotalsRead = 18;

TEST_P(FailingTransfer, FollowsTheOutcomeTable) {
  const FaultCase& c = GetParam();
  plug("1080p60");
  ASSERT_EQ(write("status", "ok"), 2);
  int before = wakeups_.load();
  size_t mark = log_mark();
  size_t bmark = bus().log().mark();
  bus().faults().add(board::BusFault::nth_transfer(c.nth, board::FaultKind::kIo));
  hdmi().set_audio_rate(44);  // the next run's input: one interrupt
  settle();
  EXPECT_EQ(errors_since(mark), c.errors);
  EXPECT_EQ(read("status"), c.published ? "new res\n" : "stable\n");
  EXPECT_EQ(wakeups_.load(), before + (c.published ? 1 : 0));
  EXPECT_EQ(read("asr"), c.asr);
  EXPECT_EQ(read("fps"), c.fps);
  EXPECT_EQ(disables_since(bmark), c.disables);
  // The frame-rate query logs its totals only once it has read all four of them.
  size_t totals = 0;
  for (const std::string& l : run_log(mark)) totals += l.rfind("HDMI HTotal:", 0) == 0;
  EXPECT_EQ(totals, c.nth > kLastTotalsRead ? 1u : 0u);
  if (std::find(c.errors.begin(), c.errors.end(), "Failed to get HDMI state") != c.errors.end()) {
    EXPECT_TRUE(in_order(run_log(mark), {"HDMI signal state: 0x00"})) << "no state was read";
  }
}

const std::string kWOffset = "[W]Failed to write offset to the i2c bus; ret = -5";
const std::string kWData = "[W]Failed to write data to the i2c bus; ret = -5";
const std::string kRData = "[R]Failed to read data from the i2c bus; ret = -5";
const std::string kWatchdog = "LT7911D chip platform unsupported";
const std::string kHdcp = "LT7911D chip platform does not support HDCP";

INSTANTIATE_TEST_SUITE_P(
    Positions, FailingTransfer,
    ::testing::Values(
        // The previous run ended in bank 0x80, so the enable needs no select.
        FaultCase{"EnableWrite", 1, {kWData, "Failed to enable LT7911D"}, false, "48\n", "60\n", 0},
        FaultCase{"StateSelect",
                  2,
                  {kWatchdog, kWOffset, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        FaultCase{"StateMeasureWrite",
                  3,
                  {kWatchdog, kWData, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        FaultCase{"StateRead96",
                  4,
                  {kWatchdog, kRData, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        FaultCase{"StateRead97",
                  5,
                  {kWatchdog, kRData, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        FaultCase{"StateRead8B",
                  6,
                  {kWatchdog, kRData, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        FaultCase{"StateRead8C",
                  7,
                  {kWatchdog, kRData, "Failed to get HDMI state"},
                  false,
                  "48\n",
                  "60\n",
                  1},
        // The resolution failure disables the chip before the audio read, which then reads 0.
        FaultCase{"ResSelect",
                  8,
                  {kWatchdog, kWOffset, "Failed to get HDMI resolution"},
                  false,
                  "0\n",
                  "60\n",
                  2},
        FaultCase{"ResRead06",
                  9,
                  {kWatchdog, kRData, "Failed to get HDMI resolution"},
                  false,
                  "0\n",
                  "60\n",
                  2},
        FaultCase{"ResRead07",
                  10,
                  {kWatchdog, kRData, "Failed to get HDMI resolution"},
                  false,
                  "0\n",
                  "60\n",
                  2},
        FaultCase{"ResRead38",
                  11,
                  {kWatchdog, kRData, "Failed to get HDMI resolution"},
                  false,
                  "0\n",
                  "60\n",
                  2},
        FaultCase{"ResRead39",
                  12,
                  {kWatchdog, kRData, "Failed to get HDMI resolution"},
                  false,
                  "0\n",
                  "60\n",
                  2},
        FaultCase{"FpsSelect", 13, {kWatchdog, kHdcp, kWOffset}, true, "44\n", "0\n", 1},
        FaultCase{"FpsMeasureWrite", 14, {kWatchdog, kHdcp, kWData}, true, "44\n", "0\n", 1},
        FaultCase{"FpsRead89", 15, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"FpsRead8A", 16, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"FpsRead9E", 17, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"FpsRead9F", 18, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"ClockSelectBank", 19, {kWatchdog, kHdcp, kWOffset}, true, "44\n", "0\n", 1},
        FaultCase{"ClockSelectWrite", 20, {kWatchdog, kHdcp, kWData}, true, "44\n", "0\n", 1},
        FaultCase{"ClockBank", 21, {kWatchdog, kHdcp, kWOffset}, true, "44\n", "0\n", 1},
        FaultCase{"ClockReadB1", 22, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"ClockReadB2", 23, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"ClockReadB3", 24, {kWatchdog, kHdcp, kRData}, true, "44\n", "0\n", 1},
        FaultCase{"AudioSelect",
                  25,
                  {kWatchdog, kHdcp, kWOffset, "Failed to get audio sample rate"},
                  true,
                  "unknown\n",
                  "60\n",
                  1},
        FaultCase{"AudioRead",
                  26,
                  {kWatchdog, kHdcp, kRData, "Failed to get audio sample rate"},
                  true,
                  "unknown\n",
                  "60\n",
                  1},
        FaultCase{"DisableSelect",
                  27,
                  {kWatchdog, kHdcp, kWOffset, "Failed to disable LT7911D"},
                  true,
                  "44\n",
                  "60\n",
                  0},
        FaultCase{"DisableWrite",
                  28,
                  {kWatchdog, kHdcp, kWData, "Failed to disable LT7911D"},
                  true,
                  "44\n",
                  "60\n",
                  1}),
    [](const auto& info) { return info.param.name; });

// The disable that ends a failed run fails too: the query's failure is logged first.
TEST_F(StatusWorker, AFailedQueryIsLoggedBeforeAFailedDisable) {
  plug("1080p60");
  struct Case {
    int nth;
    std::string read_error;
    std::string query_error;
  };
  int rate = 40;
  for (const Case& c : {Case{4, kRData, "Failed to get HDMI state"},
                        Case{9, kRData, "Failed to get HDMI resolution"}}) {
    size_t mark = log_mark();
    bus().faults().add(board::BusFault::nth_transfer(c.nth, board::FaultKind::kIo));
    board::BusFault disable = board::BusFault::on(
        {.bank = 0x80, .reg = 0xEE, .dir = board::Direction::kWrite}, board::FaultKind::kIo);
    disable.nth = 2;  // the run's enable is the first such write
    bus().faults().add(disable);
    hdmi().set_audio_rate(rate++);
    settle();
    EXPECT_THAT(errors_since(mark), ElementsAre(kWatchdog, c.read_error, c.query_error, kWData,
                                                "Failed to disable LT7911D"));
    bus().faults().clear();
  }
}

TEST_F(StatusWorker, StableRunTakesItsSleepsPlusItsBusTime) {
  size_t bmark = bus().log().mark();
  plug("1080p60");
  std::vector<board::Transfer> run = bus().log().since(bmark);
  // Bank 0x80 is still selected from the end of the bind's own run, so the run starts with its
  // enable write: 28 transactions.
  ASSERT_EQ(run.size(), 28u);
  EXPECT_EQ(run.front().str(), "write 0x80:0xEE = 0x01");
  uint32_t hz = bus().clock_hz();
  auto cost = [hz](const board::Transfer& t) {
    // A byte-data write (select or data) is 29 bits, a byte-data read 39.
    int bits = t.dir == board::Direction::kRead ? 39 : 29;
    return (static_cast<int64_t>(bits) * 1'000'000'000 + hz - 1) / hz;
  };
  int64_t bus_time = 0;
  for (const board::Transfer& t : run) bus_time += cost(t);
  int64_t took = run.back().time_ns + cost(run.back()) - run.front().time_ns;
  const int64_t sleeps = (5 + 20 + 10) * host::kNsPerMs;
  EXPECT_EQ(took, sleeps + bus_time);
  RecordProperty("run_ns", std::to_string(took));
  RecordProperty("bus_ns", std::to_string(bus_time));
  std::printf(
      "stable-video run: %lld ns = %lld ns of sleeps + %lld ns of bus time (%zu transfers at %u "
      "Hz)\n",
      static_cast<long long>(took), static_cast<long long>(sleeps),
      static_cast<long long>(bus_time), run.size(), hz);
}

TEST_F(StatusWorker, RemoveWaitsForARunningRun) {
  plug("1080p60");
  size_t mark = log_mark();
  std::shared_ptr<board::TransferHold> hold = hold_a_run_at_its_resolution_query();
  ASSERT_TRUE(hold->reached());
  close(status_fd_);
  watch_.reset();
  std::atomic<bool> removed{false};
  host::Thread remover = sched().spawn("unbind", [&] {
    kernel().i2c().unbind(brd().chip_device_name());
    removed = true;
  });
  advance_ms(500);
  EXPECT_FALSE(removed.load()) << "the remove waits for the held run";
  EXPECT_TRUE(kernel().vfs().exists(kDir));
  hold->release();
  remover.join();
  EXPECT_TRUE(removed.load());
  EXPECT_TRUE(in_order(log_since(mark), {"HDMI FPS: 60", "GPIO-I2C interrupt module unloaded"}));
  EXPECT_FALSE(kernel().vfs().exists(kDir));
  EXPECT_TRUE(chip().powered());
}

TEST_F(StatusWorker, RunQueuedAfterRemoveStartsDoesNothing) {
  plug("1080p60");
  watch_.reset();  // a lasting watch holds the remove until it lets go, as an epoll set does
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  size_t bmark = bus().log().mark();
  hdmi().plug(board::Mode::parse("720p60"));
  settle();
  EXPECT_TRUE(bus().log().lines_since(bmark).empty());
}

TEST_F(StatusWorker, PowerWriteWaitsForTheWorkersChipSequence) {
  plug("1080p60");
  size_t mark = log_mark();
  std::shared_ptr<board::TransferHold> hold = hold_a_run_at_its_resolution_query();
  ASSERT_TRUE(hold->reached());
  std::atomic<ssize_t> result{1};
  host::Thread writer = sched().spawn("power-writer", [&] {
    host::Process p{700, 0, 0, "writer"};
    int fd = kernel().vfs().open(p, proc_path("power"), O_WRONLY);
    result = kernel().vfs().write(p, fd, "off");
    kernel().vfs().close(p, fd);
  });
  advance_ms(300);
  EXPECT_EQ(result.load(), 1) << "the switch waits for the run";
  EXPECT_TRUE(chip().powered());
  hold->release();
  writer.join();
  EXPECT_EQ(result.load(), 3);
  EXPECT_FALSE(chip().powered());
  EXPECT_TRUE(errors_since(mark) == std::vector<std::string>({kWatchdog, kHdcp}))
      << "the run finished without a failed transfer";
  EXPECT_EQ(read("status"), "disappear\n");
}

}  // namespace
}  // namespace driver_test
