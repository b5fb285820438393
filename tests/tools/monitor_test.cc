// The follower of lt7911-monitor: change detection, acknowledgement, JSON lines, exit codes and
// riding out a vanished directory, driven through a scripted tree; and the real binary against
// a plain directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tools/monitor/follower.h"
#include "tools/monitor/posix_tree.h"

namespace {

using monitor::Snapshot;
using monitor::Wake;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

Snapshot idle() { return {"disappear\n", "0\n", "0\n", "0\n", "no hdcp\n", "disappear\n", "on\n"}; }
Snapshot new_res() {
  return {"new res\n", "1920\n", "1080\n", "60\n", "no hdcp\n", "48\n", "on\n"};
}

// A tree whose every wait() or await_change() runs the next scripted event; with none left the
// run is interrupted, as by SIGINT.
class ScriptedTree : public monitor::StatusTree {
 public:
  using Event = std::function<Wake(ScriptedTree&)>;

  host::Result<void> open_status() override {
    ++opens;
    if (!present) return host::Error::from_errno(open_errno);
    is_open = true;
    return {};
  }
  void close_status() override { is_open = false; }
  host::Result<Snapshot> read() override {
    ++reads;
    if (!present || !is_open) return host::Error::from_errno(EIO);
    if (read_errno) return host::Error::from_errno(read_errno);
    return current;
  }
  Wake wait(int64_t timeout_ms) override {
    waits.push_back(timeout_ms);
    return next(timeout_ms);
  }
  bool await_change(int64_t ms) override {
    ++pauses;
    pause_limits.push_back(ms);
    return next(ms) != Wake::kInterrupted;
  }
  int ack() override {
    ++acks;
    if (ack_errno) return ack_errno;
    if (current.status == "new res\n") current.status = "stable\n";
    return 0;
  }
  int64_t now_ms() override { return now; }
  int64_t clock_us() override { return 5'000'000 + now * 1000; }

  Wake next(int64_t ms) {
    if (events.empty()) return Wake::kInterrupted;
    Event e = std::move(events.front());
    events.pop_front();
    Wake w = e(*this);
    if (w == Wake::kTimeout && ms > 0) now += ms;
    return w;
  }

  // Events.
  static Event change(Snapshot s) {
    return [s](ScriptedTree& t) {
      t.current = s;
      return Wake::kChanged;
    };
  }
  static Event quiet() {
    return [](ScriptedTree&) { return Wake::kTimeout; };
  }
  static Event vanish() {
    return [](ScriptedTree& t) {
      t.present = false;
      return Wake::kGone;
    };
  }
  static Event come_back(Snapshot s) {
    return [s](ScriptedTree& t) {
      t.present = true;
      t.current = s;
      return Wake::kTimeout;
    };
  }

  Snapshot current = idle();
  bool present = true;
  bool is_open = false;
  int open_errno = ENOENT;
  int read_errno = 0;
  int ack_errno = 0;
  int64_t now = 0;
  int opens = 0, reads = 0, pauses = 0, acks = 0;
  std::vector<int64_t> waits;
  std::vector<int64_t> pause_limits;
  std::deque<Event> events;
};

struct Outcome {
  int code;
  std::vector<std::string> out;
  std::vector<std::string> err;
};

Outcome follow(ScriptedTree& tree, monitor::Options options) {
  Outcome r{};
  monitor::Follower f(
      tree, options, [&](const std::string& l) { r.out.push_back(l); },
      [&](const std::string& l) { r.err.push_back(l); });
  r.code = f.run();
  return r;
}

TEST(FollowerChanges, PrintsTheStartStateAndOneLinePerChangeOnly) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::change(new_res()), ScriptedTree::quiet(),
                 ScriptedTree::change(new_res()),  // a wake-up with nothing new
                 ScriptedTree::change(idle())};
  Outcome r = follow(tree, {});
  EXPECT_EQ(r.code, monitor::kExitOk);
  EXPECT_THAT(r.out, ElementsAre(HasSubstr("disappear: 0x0 @ 0 fps, no hdcp, asr disappear"),
                                 HasSubstr("new res: 1920x1080 @ 60 fps, no hdcp, asr 48"),
                                 HasSubstr("disappear: 0x0 @ 0 fps")));
  EXPECT_TRUE(r.err.empty());
}

TEST(FollowerChanges, AsrRewrittenAfterTheWakeUpIsCaughtByTheNextRead) {
  ScriptedTree tree;
  Snapshot before_asr = new_res();
  before_asr.asr = "disappear\n";
  tree.events = {ScriptedTree::change(before_asr), ScriptedTree::change(new_res())};
  Outcome r = follow(tree, {});
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_THAT(r.out[1], HasSubstr("asr disappear"));
  EXPECT_THAT(r.out[2], HasSubstr("asr 48"));
}

TEST(FollowerChanges, WaitsWithoutAPeriodicWakeUpOnlyTheTimeoutBoundsAWait) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::quiet(), ScriptedTree::change(new_res())};
  Outcome r = follow(tree, {});
  EXPECT_THAT(tree.waits, ElementsAre(-1, -1, -1));
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_EQ(tree.reads, 3);  // the start, the quiet wake-up, the change

  ScriptedTree timed;
  timed.events = {ScriptedTree::change(new_res()), ScriptedTree::quiet()};
  monitor::Options o;
  o.timeout_ms = 2500;
  r = follow(timed, o);
  EXPECT_EQ(r.code, monitor::kExitTimeout);
  EXPECT_THAT(timed.waits, ElementsAre(2500, 2500));
}

TEST(FollowerChanges, CountIncludesTheStartLineAndStopsTheRun) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::change(new_res()), ScriptedTree::change(idle()),
                 ScriptedTree::change(new_res())};
  monitor::Options o;
  o.count = 2;
  Outcome r = follow(tree, o);
  EXPECT_EQ(r.code, monitor::kExitOk);
  EXPECT_EQ(r.out.size(), 2u);
  EXPECT_EQ(tree.events.size(), 2u);  // it stopped without waiting again
}

TEST(FollowerChanges, UntilEndsTheRunAtTheStatusWaitedFor) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::change(idle()), ScriptedTree::quiet(),
                 ScriptedTree::change(new_res()), ScriptedTree::change(idle())};
  monitor::Options o;
  o.until = "new res";
  Outcome r = follow(tree, o);
  EXPECT_EQ(r.code, monitor::kExitOk);
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_THAT(r.out[1], HasSubstr("new res: 1920x1080"));
  EXPECT_EQ(tree.events.size(), 1u);  // it stopped without waiting again
  // Already there at start, and no change on its way: it ends after the grace.
  ScriptedTree there;
  there.current = new_res();
  there.events = {ScriptedTree::quiet(), ScriptedTree::change(idle())};
  Outcome r2 = follow(there, o);
  EXPECT_EQ(r2.code, monitor::kExitOk);
  EXPECT_EQ(r2.out.size(), 1u);
  EXPECT_THAT(there.waits, ElementsAre(1000));
  // Read at start while the driver was still writing the texts: the notification that follows
  // brings the finished state, and that ends it.
  ScriptedTree midway;
  midway.current = new_res();
  midway.current.fps = "0\n";
  midway.events = {ScriptedTree::change(new_res()), ScriptedTree::change(idle())};
  Outcome r3 = follow(midway, o);
  ASSERT_EQ(r3.out.size(), 2u);
  EXPECT_THAT(r3.out[1], HasSubstr("new res: 1920x1080 @ 60 fps"));
  EXPECT_EQ(midway.events.size(), 1u);
}

TEST(FollowerAck, WritesOkOnceAfterNewResAndSeesTheStableStatus) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::change(new_res()), ScriptedTree::change(tree.current),
                 ScriptedTree::quiet()};
  // The second event re-reads whatever the ack left: "stable\n".
  tree.events[1] = [](ScriptedTree&) { return Wake::kChanged; };
  monitor::Options o;
  o.ack = true;
  Outcome r = follow(tree, o);
  EXPECT_EQ(tree.acks, 1);
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_THAT(r.out[1], HasSubstr("new res: 1920x1080 @ 60 fps, no hdcp, asr 48, ok sent"));
  EXPECT_THAT(r.out[2], HasSubstr("stable: 1920x1080"));
  EXPECT_THAT(r.out[2], Not(HasSubstr("ok sent")));
}

TEST(FollowerAck, WithoutAckNothingIsWritten) {
  ScriptedTree tree;
  tree.events = {ScriptedTree::change(new_res())};
  Outcome r = follow(tree, {});
  EXPECT_EQ(tree.acks, 0);
  EXPECT_THAT(r.out.back(), Not(HasSubstr("ok sent")));
}

TEST(FollowerAck, FailedAckWriteIsAnError) {
  ScriptedTree tree;
  tree.ack_errno = EACCES;
  tree.events = {ScriptedTree::change(new_res())};
  monitor::Options o;
  o.ack = true;
  Outcome r = follow(tree, o);
  EXPECT_EQ(r.code, monitor::kExitError);
  ASSERT_EQ(r.err.size(), 1u);
  EXPECT_THAT(r.err[0], HasSubstr("writing ok failed"));
}

TEST(FollowerJson, StateLinesCarryBoardTimeNumbersStringsPowerAndTheAck) {
  Snapshot s = new_res();
  EXPECT_EQ(monitor::format_state(s, 81234567890, true, true),
            "{\"event\":\"state\",\"time\":81234.567890,\"status\":\"new res\",\"width\":1920,"
            "\"height\":1080,\"fps\":60,\"hdcp\":\"no hdcp\",\"asr\":48,\"power\":\"on\","
            "\"acked\":true}");
  Snapshot empty;  // read before the texts got their first values
  EXPECT_THAT(monitor::format_state(empty, 0, false, true),
              HasSubstr("\"status\":\"\",\"width\":null,\"height\":null,\"fps\":null"));
  EXPECT_THAT(monitor::format_state(empty, 0, false, true),
              HasSubstr("\"asr\":null,\"power\":null"));
  Snapshot odd = s;
  odd.width = "12a\n";
  odd.asr = "disappear\n";
  odd.power = "off\n";
  EXPECT_THAT(monitor::format_state(odd, 0, false, true),
              HasSubstr("\"width\":null,\"height\":1080"));
  EXPECT_THAT(monitor::format_state(odd, 0, false, true),
              HasSubstr("\"asr\":null,\"power\":\"off\""));
  EXPECT_THAT(
      monitor::format_state(odd, 2500, false, false),
      HasSubstr("[    0.002500] new res: 12ax1080 @ 60 fps, no hdcp, asr disappear, power off"));
}

TEST(FollowerJson, StringsAreEscaped) {
  EXPECT_EQ(monitor::json_quote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(monitor::format_event("vanished", "gone \"x\"", 2500000, true),
            "{\"event\":\"vanished\",\"time\":2.500000,\"message\":\"gone \\\"x\\\"\"}");
}

TEST(FollowerVanish, SaysSoWaitsAndPicksUpWhenTheDirectoryReturns) {
  ScriptedTree tree;
  Snapshot back = idle();
  back.status = "new res\n";
  tree.events = {ScriptedTree::change(new_res()), ScriptedTree::vanish(), ScriptedTree::quiet(),
                 ScriptedTree::come_back(back)};
  monitor::Options o;
  o.root = "/mnt/sim";
  Outcome r = follow(tree, o);
  EXPECT_EQ(r.code, monitor::kExitOk);
  ASSERT_EQ(r.out.size(), 5u);
  EXPECT_THAT(r.out[2], HasSubstr("/mnt/sim/proc/lt7911_info vanished"));
  EXPECT_THAT(r.out[3], HasSubstr("/mnt/sim/proc/lt7911_info is back"));
  EXPECT_THAT(r.out[4], HasSubstr("new res: 0x0"));
  EXPECT_EQ(tree.pauses, 2);
}

TEST(FollowerVanish, ReadFailureWithoutHangUpAlsoCountsAsVanished) {
  // A removed entry answers reads with EIO while poll may still look quiet.
  ScriptedTree tree;
  tree.events = {[](ScriptedTree& t) {
                   t.read_errno = EIO;
                   return Wake::kTimeout;
                 },
                 [](ScriptedTree& t) {
                   t.present = false;
                   return Wake::kTimeout;
                 }};
  monitor::Options o;
  o.json = true;
  Outcome r = follow(tree, o);
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_THAT(r.out[1], HasSubstr("\"event\":\"vanished\""));
  EXPECT_FALSE(tree.is_open);
}

TEST(FollowerVanish, MissingAtStartWaitsAndSaysSoOnce) {
  ScriptedTree tree;
  tree.present = false;
  tree.events = {ScriptedTree::quiet(), ScriptedTree::quiet(), ScriptedTree::come_back(idle())};
  monitor::Options o;
  o.json = true;
  Outcome r = follow(tree, o);
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_THAT(r.out[0], HasSubstr("\"event\":\"waiting\""));
  EXPECT_THAT(r.out[1], HasSubstr("\"event\":\"state\",\"time\":5.000000"));
}

TEST(FollowerErrors, PermissionDeniedIsNotMistakenForAVanishedDirectory) {
  ScriptedTree tree;
  tree.present = false;
  tree.open_errno = EACCES;
  Outcome r = follow(tree, {});
  EXPECT_EQ(r.code, monitor::kExitError);
  EXPECT_TRUE(r.out.empty());
  ASSERT_EQ(r.err.size(), 1u);
  EXPECT_THAT(r.err[0], HasSubstr("Permission denied"));
}

TEST(FollowerErrors, TimeoutWhileWaitingForTheDirectory) {
  ScriptedTree tree;
  tree.present = false;
  tree.events = {ScriptedTree::quiet(), ScriptedTree::quiet(), ScriptedTree::quiet()};
  monitor::Options o;
  o.timeout_ms = 150;
  Outcome r = follow(tree, o);
  EXPECT_EQ(r.code, monitor::kExitTimeout);
  EXPECT_THAT(tree.pause_limits, ElementsAre(150));  // the whole time left, in one wait
}

TEST(FollowerVanish, AHangUpOfAFileThatStillReadsIsLetGoUntilSomethingChanges) {
  // An entry on its way out: poll says hang-up while the texts still read. The follower closes
  // the file and waits for a change instead of polling the hang-up again and again.
  ScriptedTree tree;
  tree.events = {[](ScriptedTree&) { return Wake::kGone; },
                 [](ScriptedTree& t) {
                   t.present = false;
                   return Wake::kTimeout;
                 }};
  Outcome r = follow(tree, {});
  EXPECT_EQ(tree.pauses, 2);
  EXPECT_EQ(tree.opens, 2);  // at start, and after the change, when it is gone
  EXPECT_FALSE(tree.is_open);
  EXPECT_THAT(r.out.back(), HasSubstr("vanished"));
}

// The tree on files: a plain directory stands in for /proc/lt7911_info, and an unlinked status
// file that an open descriptor still reads stands in for an entry removed under the monitor.
TEST(PosixTreeRead, ATreeRemovedWhileItIsReadIsGoneAndOneWithoutPowerStillReads) {
  char tmpl[] = "/tmp/lt7911-posix-tree-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  const std::filesystem::path dir = root + "/proc/lt7911_info";
  std::filesystem::create_directories(dir);
  const Snapshot s = new_res();
  for (const auto& [name, text] : {std::pair<const char*, std::string>{"status", s.status},
                                   {"width", s.width},
                                   {"height", s.height},
                                   {"fps", s.fps},
                                   {"hdcp", s.hdcp},
                                   {"asr", s.asr},
                                   {"power", s.power}}) {
    std::ofstream(dir / name) << text;
  }
  // The tree takes SIGINT and SIGTERM for the monitor's own wait; this process gets them back.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  {
    monitor::PosixTree tree(root);
    ASSERT_TRUE(tree.open_status());
    host::Result<Snapshot> r = tree.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, s);
    // A tree without the power file still reads, with no power.
    std::filesystem::remove(dir / "power");
    r = tree.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->power, "");
    EXPECT_EQ(r->status, s.status);
    // The status entry went while the texts were read (it goes before the power file, so a
    // power file that does not read is looked at again): no state, the tree is gone. Once this
    // was a state line with no power, printed just before "vanished".
    std::filesystem::remove(dir / "status");
    r = tree.read();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().errnum, ENOENT);
  }
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  std::filesystem::remove_all(root);
}

// The real binary against a plain directory tree.
class MonitorBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("LT_BUILD_DIR");
    if (!build) GTEST_SKIP() << "LT_BUILD_DIR is not set (run through ctest)";
    binary_ = std::string(build) + "/bin/lt7911-monitor";
    char tmpl[] = "/tmp/lt7911-monitor-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }
  void write_tree(const Snapshot& s) {
    std::filesystem::path dir = root_ + "/proc/lt7911_info";
    std::filesystem::create_directories(dir);
    auto put = [&](const char* name, const std::string& text) {
      std::ofstream(dir / name) << text;
    };
    put("status", s.status);
    put("width", s.width);
    put("height", s.height);
    put("fps", s.fps);
    put("hdcp", s.hdcp);
    put("asr", s.asr);
    put("power", s.power);
  }
  // Runs the monitor with args; returns the exit code and fills out.
  int run(const std::string& args, std::string* out) {
    std::string cmd = binary_ + " " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string binary_, root_;
};

TEST_F(MonitorBinary, PrintsTheStateOfTheTreeAsJsonAndAcknowledges) {
  write_tree(new_res());
  std::string out;
  EXPECT_EQ(run("--root " + root_ + " --json --ack --count 1", &out), 0);
  EXPECT_THAT(out, HasSubstr("\"status\":\"new res\",\"width\":1920,\"height\":1080,\"fps\":60,"
                             "\"hdcp\":\"no hdcp\",\"asr\":48,\"power\":\"on\",\"acked\":true}\n"));
  std::ifstream status(root_ + "/proc/lt7911_info/status");
  std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.substr(0, 2), "ok");  // a plain file simply holds what was written
}

TEST_F(MonitorBinary, ExitCodesForTimeoutAndBadUsage) {
  std::string out;
  EXPECT_EQ(run("--root " + root_ + "/nowhere --timeout 0", &out), monitor::kExitTimeout);
  EXPECT_EQ(run("--count 0", &out), monitor::kExitUsage);
  EXPECT_EQ(run("--bogus", &out), monitor::kExitUsage);
  out.clear();
  EXPECT_EQ(run("--help", &out), 0);
  EXPECT_THAT(out, HasSubstr("Exit codes"));
}

}  // namespace
