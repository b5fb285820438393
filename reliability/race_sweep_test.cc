// Every other user's operation at every point of every flow.
//
// A clean run of each flow is recorded first: how often it passes each point at which the host
// kernel can hold a task after a call returns (every I2C transaction, cancel_work_sync,
// remove_proc_entry, a module's exit). Then the flow runs again from a fresh kernel once per
// point and per intruder: the task that reaches the point stays there while another process
// does one thing (toggles a parameter, switches the power, acknowledges, polls, reads every
// text, changes the HDMI input, unbinds and binds, unloads and loads), for as long as that takes
// or at most 200 ms of the kernel's clock; then the flow goes on. One intruder clears a forced
// value while the system work queue is kept busy until the flow has returned, so that the item
// it queues is still pending when the flow goes on (as a loaded machine would leave it).
//
// Each case must leave no warning and no hang, the intruder must read only texts of the
// vocabulary, nothing may be left claimed, and the recovery must bring the texts of a clean
// run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/workqueue.h"
#include "reliability/flows.h"
#include "reliability/rig.h"

namespace reliability {
namespace {

std::string join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "\n  " + l;
  return out;
}

// Keeps the system work queue's worker busy until released, so that an item queued meanwhile
// stays pending. Made and released from any tasks.
class BusyWorker {
 public:
  explicit BusyWorker(host::Scheduler& s) : sched_(s) {
    current_ = this;
    INIT_WORK(&work_, &BusyWorker::run);
    queue_work(system_wq, &work_);
  }
  // Once the worker has left the item (the kernel settled after release()).
  ~BusyWorker() {
    release();
    if (!left_.load(std::memory_order_acquire)) std::abort();  // freed under the worker
  }
  void release() {
    host::Scheduler::Lock lock(sched_);
    released_ = true;
    if (worker_) sched_.wake(worker_);
  }

 private:
  static void run(work_struct*) {
    BusyWorker* self = current_;
    host::Task* me = &host::current();
    {
      host::Scheduler::Lock lock(self->sched_);
      self->worker_ = me;
      self->sched_.wait(lock, "busy", [self] { return self->released_; });
      self->worker_ = nullptr;
    }
    // The scheduler's own ordering is hidden from ThreadSanitizer: this states that everything
    // the worker did here comes before the object goes.
    self->left_.store(true, std::memory_order_release);
  }
  static inline BusyWorker* current_ = nullptr;
  host::Scheduler& sched_;
  work_struct work_{};
  // Under the scheduler lock.
  bool released_ = false;
  host::Task* worker_ = nullptr;
  std::atomic<bool> left_{false};
};

struct Intruder {
  std::string name;
  // Runs as process `p`; adds what it read that is wrong to `problems`.
  std::function<void(Rig&, host::Process&, std::vector<std::string>& problems)> run;
  bool busy_worker = false;
};

void read_texts(Rig& rig, host::Process& p, std::vector<std::string>& problems) {
  for (const std::string& t : rig.text_problems(p)) problems.push_back("intruder read: " + t);
}

std::vector<Intruder> intruders() {
  auto toggle = [](Rig& rig, host::Process& p, std::vector<std::string>&) {
    rig.write(p, param_path("force_width"), "1280");
    rig.write(p, param_path("force_width"), "-1");
  };
  return {
      {"ParameterToggle", toggle},
      {"ParameterToggleBehindABusyWorker", toggle, true},
      {"ForcedModeSetAndCleared",
       [](Rig& rig, host::Process& p, std::vector<std::string>& problems) {
         rig.write(p, param_path("force_width"), "800");
         rig.write(p, param_path("force_height"), "600");
         read_texts(rig, p, problems);
         rig.write(p, param_path("force_width"), "-1");
         rig.write(p, param_path("force_height"), "-1");
       }},
      {"PowerOffOn",
       [](Rig& rig, host::Process& p, std::vector<std::string>&) {
         rig.write(p, proc_path("power"), "off");
         rig.write(p, proc_path("power"), "on");
       }},
      {"AckAndRead",
       [](Rig& rig, host::Process& p, std::vector<std::string>& problems) {
         rig.write(p, proc_path("status"), "ok");
         read_texts(rig, p, problems);
       }},
      {"Poller",
       [](Rig& rig, host::Process& p, std::vector<std::string>& problems) {
         host::Vfs& vfs = rig.kernel().vfs();
         int fd = vfs.open(p, proc_path("status"), O_RDWR);
         if (fd < 0) return;
         host::ReadResult r = vfs.read(p, fd, 64);
         if (r.ret > 0 && !text_allowed("status", r.data))
           problems.push_back("poller read " + printable(r.data));
         std::vector<pollfd> fds{{fd, POLLPRI, 0}};
         vfs.poll(p, fds, 50);
         vfs.close(p, fd);
       }},
      {"HdmiChange",
       [](Rig& rig, host::Process&, std::vector<std::string>&) { rig.plug("1080p30"); }},
      {"UnbindBind",
       [](Rig& rig, host::Process&, std::vector<std::string>&) {
         rig.unbind();
         rig.bind();
       }},
      {"RmmodInsmod",
       [](Rig& rig, host::Process&, std::vector<std::string>&) {
         if (rig.rmmod() == 0) rig.insmod();
       }},
  };
}

struct Recording {
  std::map<std::string, int> points;  // hook points passed, by name
  std::map<std::string, std::string> recovered;
};

class RaceSweep : public ::testing::TestWithParam<Flow> {
 protected:
  Recording record(const Flow& flow) {
    Recording rec;
    Rig rig;
    EXPECT_EQ(rig.load_error(), "");
    flow.before(rig);
    rig.settle();
    std::map<std::string, int> before = rig.kernel().faults().hook_passes();
    rig.run_bounded(flow.name, [&] { flow.run(rig); });
    for (const auto& [point, n] : rig.kernel().faults().hook_passes()) {
      int d = n - before[point];
      if (d > 0) rec.points[point] = d;
    }
    std::vector<std::string> problems = flow.clean(rig);
    for (const std::string& w : rig.take_warnings()) problems.push_back("warning: " + w);
    EXPECT_TRUE(problems.empty()) << "a clean " << flow.name << ":" << join(problems);
    recover(rig);
    rec.recovered = rig.texts();
    return rec;
  }

  std::vector<std::string> run_case(const Flow& flow, const std::string& point, int nth,
                                    const Intruder& intruder, const Recording& rec) {
    std::vector<std::string> problems;
    std::vector<std::string> intruder_problems;
    Rig rig;
    flow.before(rig);
    rig.settle();
    rig.take_warnings();
    host::Process p{500, 0, 0, "intruder"};
    host::Thread intruder_task;
    std::unique_ptr<BusyWorker> busy;
    std::atomic<bool> intruder_done{false};
    // Set when the hook (which runs in whichever task passes the point) has made the intruder:
    // what it assigned is read only after this says so.
    std::atomic<bool> hook_done{false};
    rig.kernel().faults().after(point, nth, [&] {
      if (intruder.busy_worker && host::current().name.rfind("kworker", 0) != 0)
        busy = std::make_unique<BusyWorker>(rig.sched());
      intruder_task = rig.sched().spawn("intruder", [&] {
        intruder.run(rig, p, intruder_problems);
        intruder_done = true;
      });
      // The held task stays here while the intruder runs as far as it can.
      for (int ms = 0; ms < 200 && !intruder_done.load(); ++ms)
        rig.sched().sleep_for(host::kNsPerMs, "held");
      hook_done.store(true, std::memory_order_release);
    });
    const std::string what =
        flow.name + " held after " + point + " " + std::to_string(nth) + " by " + intruder.name;
    if (std::getenv("LT_SWEEP_VERBOSE")) std::fprintf(stderr, "case: %s\n", what.c_str());
    rig.run_bounded(what, [&] { flow.run(rig); });
    const bool fired = hook_done.load(std::memory_order_acquire);
    if (!fired) problems.push_back("the hold point was not passed");
    if (fired && busy) busy->release();
    rig.run_bounded(what + " (the intruder)", [&] {
      if (fired && intruder_task.joinable()) intruder_task.join();
    });
    if (busy) {
      rig.settle();  // the worker leaves the busy item before it goes
      busy.reset();
    }
    for (const std::string& i : intruder_problems) problems.push_back(i);
    for (const std::string& w : rig.take_warnings()) problems.push_back("warning: " + w);
    for (const std::string& c : rig.claim_problems()) problems.push_back(c);
    for (const std::string& t : rig.text_problems()) problems.push_back(t);
    recover(rig);
    for (const std::string& w : rig.take_warnings())
      problems.push_back("warning in the recovery: " + w);
    for (const std::string& c : rig.claim_problems()) problems.push_back("recovered: " + c);
    for (const std::string& d : texts_differ(rig, rec.recovered))
      problems.push_back("recovered: " + d);
    return problems;
  }
};

TEST_P(RaceSweep, EveryHoldPointOfTheFlowWithEveryIntruder) {
  const Flow& flow = GetParam();
  const Recording rec = record(flow);
  if (HasFailure()) return;
  ASSERT_FALSE(rec.points.empty()) << "the flow passes no hold point";
  int cases = 0;
  int failed = 0;
  int points = 0;
  for (const auto& [point, count] : rec.points) {
    points += count;
    for (int n = 1; n <= count; ++n) {
      for (const Intruder& intruder : intruders()) {
        ++cases;
        std::vector<std::string> problems = run_case(flow, point, n, intruder, rec);
        if (problems.empty()) continue;
        ++failed;
        ADD_FAILURE() << flow.name << " held after " << point << " " << n << " by " << intruder.name
                      << ":" << join(problems);
      }
    }
  }
  std::printf("[ races    ] %s: %d hold points x %zu intruders: %d cases, %d failed\n",
              flow.name.c_str(), points, intruders().size(), cases, failed);
  RecordProperty("cases", cases);
}

INSTANTIATE_TEST_SUITE_P(Flows, RaceSweep, ::testing::ValuesIn(flows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace reliability
