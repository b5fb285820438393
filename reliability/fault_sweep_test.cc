// Every fault at every position of every flow.
//
// A clean run of each flow is recorded first: how many transactions it makes on the chip's bus
// and how often it calls each host-kernel function that can fail. Then the flow runs again from
// a fresh kernel once per position: a fault on the nth transaction (the chip stops answering
// from there on, or that one transaction ends in EIO, in a timeout, or carries wrong bytes), or
// the nth call of a function failing. So a transaction or a call that a flow gains is swept
// without a new test.
//
// Each case must leave no warning and no hang (the flow returns within a minute of the kernel's
// clock), nothing claimed that the binding does not hold, and every text one of its values; and
// once the faults are gone, the recovery (load, bind, clear forced values, switch on, one HDMI
// event) must bring the texts that a clean run shows after the same recovery. A bank select
// that reached the chip with a wrong byte is the one fault that no event can undo by itself
// (see bank_select_corrupted): its recovery switches the chip off first.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "reliability/flows.h"
#include "reliability/rig.h"

namespace reliability {
namespace {

struct Recording {
  uint64_t transfers = 0;
  std::map<std::string, int> calls;              // faultable host-kernel calls, by name
  std::map<std::string, std::string> recovered;  // texts after the recovery
};

std::map<std::string, int> calls_since(const std::map<std::string, int>& before,
                                       const std::map<std::string, int>& after) {
  std::map<std::string, int> out;
  for (const auto& [call, n] : after) {
    auto it = before.find(call);
    int d = n - (it == before.end() ? 0 : it->second);
    if (d > 0) out[call] = d;
  }
  return out;
}

std::string join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "\n  " + l;
  return out;
}

struct BusKind {
  const char* name;
  board::FaultKind kind;
  bool from_there_on;
};
constexpr BusKind kBusKinds[] = {
    {"noack-from-there-on", board::FaultKind::kNoAck, true},
    {"eio", board::FaultKind::kIo, false},
    {"timeout", board::FaultKind::kTimeout, false},
    {"wrongbyte", board::FaultKind::kWrongByte, false},
};

class FaultSweep : public ::testing::TestWithParam<Flow> {
 protected:
  // The clean run: what it must show, and what it does.
  Recording record(const Flow& flow) {
    Recording rec;
    Rig rig;
    EXPECT_EQ(rig.load_error(), "");
    flow.before(rig);
    rig.settle();
    const uint64_t transfers = rig.bus().transfers();
    const std::map<std::string, int> calls = rig.kernel().faults().calls();
    rig.run_bounded(flow.name, [&] { flow.run(rig); });
    rec.transfers = rig.bus().transfers() - transfers;
    rec.calls = calls_since(calls, rig.kernel().faults().calls());
    std::vector<std::string> problems = flow.clean(rig);
    for (const std::string& w : rig.take_warnings()) problems.push_back("warning: " + w);
    for (const std::string& c : rig.claim_problems()) problems.push_back(c);
    EXPECT_TRUE(problems.empty()) << "a clean " << flow.name << ":" << join(problems);
    recover(rig);
    rec.recovered = rig.texts();
    EXPECT_EQ(rec.recovered["status"], "new res\n");
    EXPECT_EQ(rec.recovered["width"], "1280\n");
    EXPECT_TRUE(rig.take_warnings().empty());
    return rec;
  }

  // One case: the flow from a fresh kernel with `inject` armed after its preparation.
  std::vector<std::string> run_case(const Flow& flow, const std::string& what,
                                    const std::function<void(Rig&)>& inject, const Recording& rec) {
    std::vector<std::string> problems;
    Rig rig;
    flow.before(rig);
    rig.settle();
    for (const std::string& w : rig.take_warnings()) problems.push_back("before: " + w);
    const size_t bus_mark = rig.bus().log().mark();
    const size_t log_mark = rig.kernel().log().size();
    inject(rig);
    rig.run_bounded(flow.name + " with " + what, [&] { flow.run(rig); });
    for (const std::string& w : rig.take_warnings()) problems.push_back("warning: " + w);
    for (const std::string& c : rig.claim_problems()) problems.push_back(c);
    for (const std::string& t : rig.text_problems()) problems.push_back(t);
    recover(rig, bank_select_corrupted(rig, bus_mark));
    for (const std::string& w : rig.take_warnings())
      problems.push_back("warning in the recovery: " + w);
    for (const std::string& c : rig.claim_problems()) problems.push_back("recovered: " + c);
    for (const std::string& d : texts_differ(rig, rec.recovered))
      problems.push_back("recovered: " + d);
    if (!problems.empty()) {
      // What happened, for the failure message: the bus and the kernel log from the fault on.
      problems.push_back("bus:");
      for (const std::string& l : rig.bus().log().lines_since(bus_mark))
        problems.push_back("  " + l);
      problems.push_back("kernel log:");
      for (const std::string& l : rig.kernel().log().lines_since(log_mark))
        problems.push_back("  " + l);
    }
    return problems;
  }
};

TEST_P(FaultSweep, EveryTransactionAndHostCallOfTheFlow) {
  const Flow& flow = GetParam();
  const Recording rec = record(flow);
  if (HasFailure()) return;
  ASSERT_GT(rec.transfers + rec.calls.size(), 0u) << "the flow does nothing that can fail";

  int cases = 0;
  int failed = 0;
  auto check = [&](const std::string& what, const std::function<void(Rig&)>& inject) {
    ++cases;
    std::vector<std::string> problems = run_case(flow, what, inject, rec);
    if (problems.empty()) return;
    ++failed;
    ADD_FAILURE() << flow.name << " with " << what << ":" << join(problems);
  };

  for (uint64_t n = 1; n <= rec.transfers; ++n) {
    for (const BusKind& k : kBusKinds) {
      check("transaction " + std::to_string(n) + " " + k.name, [n, k](Rig& rig) {
        board::BusFault f = board::BusFault::nth_transfer(static_cast<int>(n), k.kind);
        if (k.from_there_on) f.times = -1;
        rig.bus().faults().add(f);
      });
    }
  }
  int calls = 0;
  for (const auto& [call, count] : rec.calls) {
    calls += count;
    for (int n = 1; n <= count; ++n) {
      check(call + " call " + std::to_string(n) + " failing", [call = call, n](Rig& rig) {
        host::FaultRule r;
        r.call = call;
        r.nth = n;
        rig.kernel().faults().inject(r);
      });
    }
  }
  std::printf(
      "[ sweep    ] %s: %llu transactions x %zu kinds, %d host calls of %zu kinds: %d "
      "cases, %d failed\n",
      flow.name.c_str(), static_cast<unsigned long long>(rec.transfers), std::size(kBusKinds),
      calls, rec.calls.size(), cases, failed);
  RecordProperty("cases", cases);
}

INSTANTIATE_TEST_SUITE_P(Flows, FaultSweep, ::testing::ValuesIn(flows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace reliability
