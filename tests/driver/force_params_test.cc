// The forced-mode parameters: given at load, written and read later through their parameter
// files, and applied by the status worker.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver_fixture.h"

namespace driver_test {
namespace {

using ::testing::ElementsAre;

class ForceParams : public DriverTest {
 protected:
  void load(const std::vector<std::string>& params = {}) {
    ASSERT_EQ(insmod(params), 0);
    status_fd_ = open("status");
    ASSERT_GE(status_fd_, 0);
    watch_ = kernel()
                 .vfs()
                 .poll_watch(
                     proc_, status_fd_, [this] { wakeups_++; }, /*one_shot=*/false)
                 .watch;
  }
  void TearDown() override {
    watch_.reset();
    DriverTest::TearDown();
  }
  ssize_t set(const std::string& name, const std::string& value) {
    ssize_t ret = param_write(proc_, name, value);
    settle();
    return ret;
  }
  std::string get(const std::string& name) {
    int fd = kernel().vfs().open(proc_, param_path(name), O_RDONLY);
    std::string v = kernel().vfs().read(proc_, fd, 64).data;
    kernel().vfs().close(proc_, fd);
    return v;
  }
  int worker_runs_since(size_t mark) {
    int n = 0;
    for (const std::string& l : log_since(mark)) n += l.rfind("HDMI signal state: ", 0) == 0;
    return n;
  }
  std::string mode() { return read("width") + read("height") + read("fps"); }

  int status_fd_ = -1;
  std::atomic<int> wakeups_{0};
  host::PollWatch watch_;
};

TEST_F(ForceParams, FilesShowTheValuesWithTheirModes) {
  load();
  for (const char* p : {"force_width", "force_height", "force_fps"}) {
    EXPECT_EQ(get(p), "-1\n") << p;
    std::optional<host::Stat> st = kernel().vfs().stat(param_path(p));
    ASSERT_TRUE(st) << p;
    EXPECT_EQ(st->mode & 0777, 0644) << p;
  }
}

TEST_F(ForceParams, GivenAtLoadTheyShowAtTheFirstInterruptWithASignal) {
  load({"force_width=1280", "force_height=720", "force_fps=50"});
  EXPECT_EQ(read("status"), "disappear\n") << "the probe's start texts stay";
  EXPECT_EQ(read("width"), "0\n");
  size_t mark = log_mark();
  plug("1080p60");
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(mode(), "1280\n720\n50\n");
  EXPECT_EQ(read("hdcp"), "no hdcp\n");
  EXPECT_EQ(read("asr"), "48\n");
  EXPECT_THAT(log_since(mark),
              ElementsAre("LT7911D chip platform unsupported", "HDMI signal state: 0x03"))
      << "no resolution, HDCP or frame-rate query";
  EXPECT_EQ(wakeups_.load(), 1);
}

TEST_F(ForceParams, SetOperationPublishesAndQueuesByItsRules) {
  load();
  plug("1080p60");
  ASSERT_EQ(write("status", "ok"), 2);
  int w = wakeups_.load();

  // Width alone publishes nothing.
  EXPECT_EQ(set("force_width", "1920"), 4);
  EXPECT_EQ(get("force_width"), "1920\n");
  EXPECT_EQ(read("status"), "stable\n");
  EXPECT_EQ(wakeups_.load(), w);

  // With the height, the forced mode is published at once, fps -1 showing as 30.
  size_t mark = log_mark();
  EXPECT_EQ(set("force_height", "1080"), 4);
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(mode(), "1920\n1080\n30\n");
  EXPECT_EQ(wakeups_.load(), ++w);
  EXPECT_EQ(worker_runs_since(mark), 0) << "published in the writer, not by the worker";

  EXPECT_EQ(set("force_fps", "60"), 2);
  EXPECT_EQ(mode(), "1920\n1080\n60\n");
  EXPECT_EQ(wakeups_.load(), ++w);

  // The same value again publishes again.
  EXPECT_EQ(set("force_width", "1920"), 4);
  EXPECT_EQ(wakeups_.load(), ++w);

  // Clearing fps queues a measurement although width and height still force a mode; the
  // worker then publishes the forced mode with fps 30.
  mark = log_mark();
  EXPECT_EQ(set("force_fps", "-1"), 2);
  EXPECT_EQ(worker_runs_since(mark), 1);
  EXPECT_EQ(mode(), "1920\n1080\n30\n");
  EXPECT_EQ(wakeups_.load(), ++w);

  // Writing -1 where it already is -1 publishes (width and height are positive).
  mark = log_mark();
  EXPECT_EQ(set("force_fps", "-1"), 2);
  EXPECT_EQ(worker_runs_since(mark), 0);
  EXPECT_EQ(wakeups_.load(), ++w);

  // 0 is not positive: no publication and no measurement.
  mark = log_mark();
  EXPECT_EQ(set("force_width", "0"), 1);
  EXPECT_EQ(worker_runs_since(mark), 0);
  EXPECT_EQ(wakeups_.load(), w);

  // A text that is no integer is refused and changes nothing.
  EXPECT_EQ(set("force_height", "abc"), -EINVAL);
  EXPECT_EQ(get("force_height"), "1080\n");
  EXPECT_EQ(wakeups_.load(), w);

  // Clearing the height queues one measurement and publishes nothing itself; the worker,
  // with height -1, publishes the measured mode.
  mark = log_mark();
  EXPECT_EQ(set("force_height", "-1"), 2);
  EXPECT_EQ(worker_runs_since(mark), 1);
  EXPECT_EQ(mode(), "1920\n1080\n60\n");
  EXPECT_EQ(wakeups_.load(), ++w);
}

TEST_F(ForceParams, AnySizeFromOnePixelIsForcedAndZeroIsNot) {
  load();
  EXPECT_EQ(set("force_width", "1"), 1);
  EXPECT_EQ(set("force_height", "0"), 1);
  EXPECT_EQ(wakeups_.load(), 0) << "a height of 0 forces nothing";
  EXPECT_EQ(read("status"), "disappear\n");
  EXPECT_EQ(set("force_height", "1"), 1);
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(mode(), "1\n1\n30\n");
  EXPECT_EQ(wakeups_.load(), 1);
}

TEST_F(ForceParams, ClearingBeforeAnyBindQueuesNothing) {
  // The same parameter given twice at load: set, then cleared before the work item exists.
  // Queueing an uninitialised item would be a recorded WARN, which fails the test.
  load({"force_width=1280", "force_width=-1"});
  EXPECT_EQ(get("force_width"), "-1\n");
}

struct WorkerForced {
  std::string name;
  std::vector<std::string> params;
  std::string plug;  // "" to unplug
  std::string status;
  std::string mode;
};

class ForcedByWorker : public ForceParams, public ::testing::WithParamInterface<WorkerForced> {};

TEST_P(ForcedByWorker, PublishesTheForcedOrMeasuredMode) {
  const WorkerForced& c = GetParam();
  load(c.params);
  plug("1080p60");
  if (c.plug.empty()) {
    unplug();
  } else {
    plug(c.plug);
  }
  EXPECT_EQ(read("status"), c.status);
  EXPECT_EQ(mode(), c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForcedByWorker,
    ::testing::Values(
        WorkerForced{"Fps0Shows30",
                     {"force_width=1280", "force_height=720", "force_fps=0"},
                     "720p60",
                     "new res\n",
                     "1280\n720\n30\n"},
        WorkerForced{"Fps1",
                     {"force_width=1280", "force_height=720", "force_fps=1"},
                     "720p60",
                     "new res\n",
                     "1280\n720\n1\n"},
        WorkerForced{"Fps144",
                     {"force_width=1280", "force_height=720", "force_fps=144"},
                     "720p60",
                     "new res\n",
                     "1280\n720\n144\n"},
        WorkerForced{"Width0",
                     {"force_width=0", "force_height=1080"},
                     "720p60",
                     "new res\n",
                     "0\n1080\n30\n"},
        WorkerForced{"Width70000",
                     {"force_width=70000", "force_height=1080"},
                     "720p60",
                     "new res\n",
                     "4464\n1080\n30\n"},
        WorkerForced{
            "SignalLost", {"force_width=1280", "force_height=720"}, "", "disappear\n", "0\n0\n0\n"},
        WorkerForced{
            "HeightNotForced", {"force_width=1280"}, "720p60", "new res\n", "1280\n720\n60\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ForceParams, ParameterWritesRaceTheWorkerWithoutTornTexts) {
  load();
  std::atomic<bool> done{false};
  host::Thread writer = sched().spawn("writer", [&] {
    host::Process p{500, 0, 0, "writer"};
    for (int i = 0; i < 20 && !done.load(); i++) {
      int fd = kernel().vfs().open(p, param_path(i % 2 ? "force_width" : "force_height"), O_WRONLY);
      kernel().vfs().write(p, fd, i % 2 ? "1280" : "720");
      kernel().vfs().close(p, fd);
      sched().sleep_for(3 * host::kNsPerMs);
    }
  });
  for (int i = 0; i < 6; i++) {
    hdmi().plug(board::Mode::parse(i % 2 ? "720p60" : "1080p60"));
    advance_ms(20);
    std::string w = read("width");
    EXPECT_TRUE(w == "0\n" || w == "1280\n" || w == "1920\n") << w;
  }
  done = true;
  writer.join();
}

}  // namespace
}  // namespace driver_test
