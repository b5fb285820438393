// Everything at once, in rounds: writers of every file, readers, pollers, parameter toggles,
// HDMI churn, unbind/bind and rmmod/insmod, each a task of its own with its own seeded sequence
// of operations and pauses on the kernel's clock.
//
// Each round every churning task does its operations and then waits at a gate; when all wait
// and the kernel is idle, the round is checked. What counts:
//   - a torn read: a text outside the vocabulary, or of a length that does not match it, from
//     any reader or poller at any time;
//   - a lost wake-up: at any moment when every task is blocked (checked each time, before the
//     kernel's clock moves on), a poller blocked in poll() on a live status file although the
//     module has published a change since that poller's last read: nothing is left to wake it;
//   - every warning of the kernel;
//   - at the end of a round, what the module holds not matching its binding, with one module
//     reference per open status file.
// The run fails on any of them. The sequences are repeatable (LT_STRESS_SEED, default 1); the
// interleaving of tasks that run at the same moment of the kernel's clock is the machine's.
// LT_STRESS_ROUNDS (default 40) sets the length: each round is about sixty operations.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/locking.h"
#include "procfs/status_texts.h"
#include "reliability/rig.h"
#include "tests/driver/edid_samples.h"

namespace reliability {
namespace {

uint64_t env_or(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

struct Counts {
  std::atomic<uint64_t> operations{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> torn{0};
  std::atomic<uint64_t> empty{0};  // a text read before its first value (after a load)
  std::atomic<uint64_t> wakeups{0};
  std::atomic<uint64_t> hangups{0};
  std::atomic<uint64_t> binds{0};
  std::atomic<uint64_t> unbinds{0};
  std::atomic<uint64_t> loads{0};
  std::atomic<uint64_t> unloads{0};
  std::atomic<uint64_t> unloads_refused{0};
};

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = env_or("LT_STRESS_SEED", 1);
    rounds_ = static_cast<int>(env_or("LT_STRESS_ROUNDS", 40));
    rig_ = std::make_unique<Rig>();
    ASSERT_EQ(rig_->load_error(), "");
    gate_ = std::make_unique<Gate>(rig_->sched());
    poll_gate_ = std::make_unique<Gate>(rig_->sched());
    mutex_init(&module_guard_);
  }
  void TearDown() override {
    gate_.reset();
    poll_gate_.reset();
    rig_.reset();
  }

  // Judges one read of a text file.
  void judge(const std::string& file, const std::string& text) {
    counts_.reads++;
    if (text.empty() && file != "power") {
      counts_.empty++;
      return;
    }
    if (text_allowed(file, text)) return;
    if (counts_.torn++ < 10) {
      std::lock_guard<std::mutex> lock(mutex_);
      findings_.push_back("torn read of " + file + ": " + printable(text));
    }
  }
  void read_all(host::Process& p) {
    for (const std::string& f : text_files()) {
      int err = 0;
      if (std::optional<std::string> t = rig_->read(p, proc_path(f), &err)) judge(f, *t);
    }
    // The other files must answer, whatever they answer.
    rig_->read(p, proc_path("version"));
    rig_->read(p, proc_path("edid_snapshot"));
  }

  // A churning task: `ops` operations per round, each followed by a pause of up to `pause_ms`.
  void churn(const std::string& name, int ops, int pause_ms,
             std::function<void(std::mt19937_64&, host::Process&)> op) {
    const int index = static_cast<int>(tasks_.size());
    tasks_.push_back(rig_->sched().spawn(name, [this, index, name, ops, pause_ms, op] {
      std::mt19937_64 rng(seed_ * 1000 + static_cast<uint64_t>(index));
      host::Process p{1000 + index, 0, 0, name};
      for (int round = gate_->wait_past(0); round > 0; round = gate_->wait_past(round)) {
        for (int i = 0; i < ops; ++i) {
          op(rng, p);
          counts_.operations++;
          rig_->sched().sleep_for(static_cast<int64_t>(rng() % (pause_ms * 1000 + 1)) *
                                  host::kNsPerUs);
        }
      }
    }));
    churners_++;
  }

  // A poller: opens the status file, reads it and waits in poll() for POLLPRI, reading again
  // after every wake-up; after a hang-up (the chip goes) it closes and tries again; every few
  // wake-ups it closes and reopens, as programs come and go. It waits for the next round while
  // the file is not there.
  struct PollerState {
    std::atomic<bool> has_file{false};
    std::atomic<bool> in_poll{false};
    std::atomic<int> expected{0};               // the change count after its last read
    std::atomic<lt7911_context*> ctx{nullptr};  // the module's, at that read
    int flagged = -1;                           // the last change count found lost (main task only)
  };
  void poller(int index) {
    auto state = std::make_shared<PollerState>();
    pollers_.push_back(state);
    tasks_.push_back(rig_->sched().spawn("poller", [this, index, state] {
      std::mt19937_64 rng(seed_ * 2000 + static_cast<uint64_t>(index));
      host::Process p{2000 + index, 0, 0, "poller"};
      host::Vfs& vfs = rig_->kernel().vfs();
      while (!stop_.load()) {
        int fd = vfs.open(p, proc_path("status"), O_RDWR);
        if (fd < 0) {
          if (poll_gate_->wait_past(poll_gate_->round()) < 0) return;
          continue;
        }
        state->has_file = true;
        int budget = 1 + static_cast<int>(rng() % 8);
        for (;;) {
          vfs.lseek(p, fd, 0, SEEK_SET);
          host::ReadResult r = vfs.read(p, fd, 64);
          if (r.ret > 0) judge("status", r.data);
          // The change count, read while no unload can unmap it: an unbind may already have
          // removed this file and so let go of the module.
          mutex_lock(&module_guard_);
          auto* ctx =
              static_cast<lt7911_context*>(rig_->kernel().modules().symbol(kModule, "lt7911_ctx"));
          state->expected =
              ctx ? __atomic_load_n(&ctx->change_count.counter, __ATOMIC_ACQUIRE) : -1;
          state->ctx = ctx;
          mutex_unlock(&module_guard_);
          if (stop_.load() || budget-- == 0) break;
          // POLLIN too: the status file never reports it, while a file whose entry went away
          // (the chip was unbound after the read above) answers the default mask, so that a
          // wait for POLLPRI alone would never end.
          std::vector<pollfd> fds{{fd, POLLPRI | POLLIN, 0}};
          state->in_poll = true;
          vfs.poll(p, fds, -1);
          state->in_poll = false;
          if (fds[0].revents & (POLLERR | POLLHUP | POLLIN)) {
            counts_.hangups++;
            break;
          }
          if (fds[0].revents & POLLPRI) counts_.wakeups++;
          if (r.ret > 0 && (rng() % 4) == 0) vfs.write(p, fd, "ok");
        }
        state->ctx = nullptr;
        vfs.close(p, fd);
        state->has_file = false;
        rig_->sched().sleep_for(static_cast<int64_t>(rng() % 5) * host::kNsPerMs);
      }
    }));
  }

  // At a moment when every task is blocked: a poller blocked in poll() has registered on the
  // queue of a live status file (whose open holds the module) and found no change then, so a
  // change published since must have woken it (a woken task is not blocked). Returns the status
  // files the pollers hold open.
  int check_pollers(int round) {
    int open_status = 0;
    for (auto& s : pollers_) {
      if (s->has_file.load()) ++open_status;
      lt7911_context* ctx = s->ctx.load();
      if (!ctx || !s->in_poll.load()) continue;
      if (rig_->kernel().modules().symbol(kModule, "lt7911_ctx") != ctx) continue;
      int now = __atomic_load_n(&ctx->change_count.counter, __ATOMIC_ACQUIRE);
      if (now != s->expected.load() && s->flagged != s->expected.load()) {
        s->flagged = s->expected.load();
        if (lost_++ < 10)
          findings_.push_back(
              "round " + std::to_string(round) + ": a poller sleeps in poll() after change " +
              std::to_string(s->expected.load()) + ", the module is at " + std::to_string(now));
      }
    }
    idle_checks_++;
    return open_status;
  }

  // At the end of a round, with the kernel idle and the churners at the gate.
  void check_round(int round) {
    int open_status = check_pollers(round);
    for (const std::string& w : rig_->take_warnings()) {
      warnings_++;
      findings_.push_back("round " + std::to_string(round) + ": warning: " + w);
    }
    for (const std::string& c : rig_->claim_problems(open_status))
      findings_.push_back("round " + std::to_string(round) + ": " + c);
  }

  uint64_t seed_ = 1;
  int rounds_ = 40;
  std::unique_ptr<Rig> rig_;
  std::unique_ptr<Gate> gate_;       // the churners wait here between rounds
  std::unique_ptr<Gate> poll_gate_;  // pollers wait here while the status file is not there
  struct mutex module_guard_;        // an unload waits while a poller reads the module's count
  std::vector<host::Thread> tasks_;
  size_t churners_ = 0;
  std::vector<std::shared_ptr<PollerState>> pollers_;
  std::atomic<bool> stop_{false};
  Counts counts_;
  uint64_t lost_ = 0;
  uint64_t idle_checks_ = 0;
  uint64_t warnings_ = 0;
  std::mutex mutex_;  // guards findings_ while tasks run
  std::vector<std::string> findings_;
};

TEST_F(Stress, WritersPollersTogglesChurnAndCyclesTogether) {
  Rig& rig = *rig_;
  rig.plug("1080p60");
  ASSERT_EQ(rig.insmod(), 0);
  rig.settle();
  const std::string edid = [] {
    edid_samples::Edid e = edid_samples::monitor_1080p();
    return std::string(reinterpret_cast<const char*>(e.data()), e.size());
  }();

  churn("power-writer", 6, 20, [&](std::mt19937_64& rng, host::Process& p) {
    static const char* words[] = {"on", "off", "1", "0", "on\n", "maybe", ""};
    rig.write(p, proc_path("power"), words[rng() % std::size(words)]);
  });
  churn("status-writer", 8, 10, [&](std::mt19937_64& rng, host::Process& p) {
    static const char* words[] = {"ok", "ok\n", "okay", "OK", "k", "0123456789abcdef"};
    rig.write(p, proc_path("status"), words[rng() % std::size(words)]);
  });
  churn("edid-writer", 3, 30, [&](std::mt19937_64& rng, host::Process& p) {
    switch (rng() % 3) {
      case 0:
        rig.write(p, proc_path("edid"), edid);
        break;
      case 1:
        rig.write(p, proc_path("edid"), edid.substr(0, rng() % 300));
        break;
      default:
        rig.read(p, proc_path("edid"));
        break;
    }
  });
  churn("version-writer", 3, 30, [&](std::mt19937_64& rng, host::Process& p) {
    static const char* words[] = {"v1.0\n", "", "0123456789012345678901234567890123456789"};
    rig.write(p, proc_path("version"), words[rng() % std::size(words)]);
  });
  churn("readonly-writer", 3, 20, [&](std::mt19937_64& rng, host::Process& p) {
    rig.write(p, proc_path(text_files()[2 + rng() % 5]), "1\n");
  });
  churn("param-toggler", 10, 10, [&](std::mt19937_64& rng, host::Process& p) {
    static const char* values[] = {"-1", "-1", "1280", "720", "640", "0", "30", "65536", "x"};
    rig.write(p, param_path(param_names()[rng() % 3]), values[rng() % std::size(values)]);
  });
  churn("hdmi", 8, 40, [&](std::mt19937_64& rng, host::Process&) {
    static const char* modes[] = {"1080p60", "720p60", "2160p30", "1024x768@60", "480p"};
    switch (rng() % 4) {
      case 0:
        rig.hdmi().unplug();
        break;
      case 1:
        rig.hdmi().set_audio_rate(static_cast<uint8_t>(rng()));
        break;
      default:
        rig.plug(modes[rng() % std::size(modes)]);
        break;
    }
  });
  churn("binder", 2, 60, [&](std::mt19937_64& rng, host::Process&) {
    if (rig.unbind() == 0) counts_.unbinds++;
    rig.sched().sleep_for(static_cast<int64_t>(rng() % 20) * host::kNsPerMs);
    if (rig.bind() == 0) counts_.binds++;
  });
  churn("loader", 1, 80, [&](std::mt19937_64& rng, host::Process&) {
    mutex_lock(&module_guard_);
    int r = rig.rmmod();
    mutex_unlock(&module_guard_);
    if (r == -EWOULDBLOCK) counts_.unloads_refused++;
    if (r != 0) return;
    counts_.unloads++;
    rig.sched().sleep_for(static_cast<int64_t>(rng() % 20) * host::kNsPerMs);
    if (rig.insmod() == 0) counts_.loads++;
  });
  for (int i = 0; i < 2; ++i)
    churn("reader", 8, 10, [&](std::mt19937_64&, host::Process& p) { read_all(p); });
  for (int i = 0; i < 3; ++i) poller(i);

  for (int round = 1; round <= rounds_; ++round) {
    gate_->open();
    poll_gate_->open();
    // At every moment the whole kernel waits (before its clock moves on), the pollers.
    bool idle = rig.sched().run_until([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      check_pollers(round);
      return gate_->waiting() >= churners_;
    });
    ASSERT_TRUE(idle) << "round " << round << " hangs:\n"
                      << [&] {
                           host::Scheduler::Lock lock(rig.sched());
                           return rig.sched().describe_tasks_locked();
                         }();
    std::lock_guard<std::mutex> lock(mutex_);
    check_round(round);
  }

  // Stop: the churners leave at the gate, the pollers at their next wake-up or hang-up.
  stop_ = true;
  gate_->open(true);
  poll_gate_->open(true);
  if (!rig.loaded()) rig.insmod();
  if (!rig.bound()) rig.bind();
  rig.settle();
  rig.unbind();
  for (host::Thread& t : tasks_) t.join();
  rig.settle();
  check_round(rounds_ + 1);

  std::printf(
      "[ stress   ] seed %llu, %d rounds: %llu operations, %llu text reads, %llu poller "
      "wake-ups, %llu hang-ups, %llu binds, %llu unbinds, %llu loads, %llu unloads "
      "(%llu refused while in use), %llu idle moments checked; %llu torn reads, %llu lost "
      "wake-ups, %llu warnings, %llu reads before the first value\n",
      static_cast<unsigned long long>(seed_), rounds_,
      static_cast<unsigned long long>(counts_.operations.load()),
      static_cast<unsigned long long>(counts_.reads.load()),
      static_cast<unsigned long long>(counts_.wakeups.load()),
      static_cast<unsigned long long>(counts_.hangups.load()),
      static_cast<unsigned long long>(counts_.binds.load()),
      static_cast<unsigned long long>(counts_.unbinds.load()),
      static_cast<unsigned long long>(counts_.loads.load()),
      static_cast<unsigned long long>(counts_.unloads.load()),
      static_cast<unsigned long long>(counts_.unloads_refused.load()),
      static_cast<unsigned long long>(idle_checks_),
      static_cast<unsigned long long>(counts_.torn.load()), static_cast<unsigned long long>(lost_),
      static_cast<unsigned long long>(warnings_),
      static_cast<unsigned long long>(counts_.empty.load()));
  std::string all;
  for (const std::string& f : findings_) all += "\n  " + f;
  EXPECT_TRUE(findings_.empty()) << all;
  EXPECT_EQ(counts_.torn.load(), 0u);
  EXPECT_EQ(lost_, 0u);
  EXPECT_EQ(warnings_, 0u);
  // The run did what it is for.
  EXPECT_GT(counts_.wakeups.load(), 0u);
  EXPECT_GT(counts_.unbinds.load(), 0u);
}

}  // namespace
}  // namespace reliability
