// lt7911-sim playing session scripts as a test runner is used: failures on stderr as FILE:LINE
// with what was expected and what was found, stop at the first failure, TAP and JUnit results,
// scripts refused when read, a script that unloads the module, --board and --plug, the options
// every mode shares taken alike before or after the mode's name, and no kernel line lost over
// thousands of events.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "board/board.h"
#include "tests/support/sim_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Child;
using testing_support::read_file;

struct Played {
  int code = -1;
  std::string out, err;
};

class ScriptRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_support::build_bin().empty()) GTEST_SKIP() << "LT_BUILD_DIR is not set";
    char tmpl[] = "/tmp/lt7911-script-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // Writes the script as FILE and plays it with the options given.
  Played play(const std::string& name, const std::string& script,
              std::vector<std::string> options = {}) {
    const std::string file = dir_ + "/" + name;
    std::ofstream(file) << script;
    options.push_back(file);
    return run(options);
  }
  // Runs the simulator with the arguments given.
  Played run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testing_support::build_bin() + "lt7911-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    Played p;
    if (!c.start(argv)) return p;
    p.out = c.rest_of_stdout(120'000);
    p.err = c.rest_of_stderr();
    std::optional<int> st = c.wait_exit(120'000);
    if (st) p.code = Child::code_of(*st);
    return p;
  }
  std::string dir_;
};

TEST_F(ScriptRunner, AFailureSaysFileLineExpectedAndActualOnStderr) {
  Played p = play("check.session",
                  "# checks\nplug 1280x720@60\nwait 100ms\nexpect stauts new res\n"
                  "expect width 1920\nexpect status new res\n");
  EXPECT_EQ(p.code, 1);
  const std::string file = dir_ + "/check.session";
  EXPECT_THAT(p.err, HasSubstr(file + ":4: expect stauts: expected \"new res\", but "
                                      "/proc/lt7911_info/stauts cannot be read\n"));
  EXPECT_THAT(p.err, HasSubstr(file + ":5: expect width: expected \"1920\", got \"1280\"\n"));
  EXPECT_THAT(p.err, Not(HasSubstr(":6:"))) << "the holding expect is not a failure";
  EXPECT_THAT(p.out, HasSubstr("$ expect status new res"));
}

TEST_F(ScriptRunner, FailFastStopsAtTheFirstFailureAndTheResultsSaySo) {
  const std::string tap = dir_ + "/result.tap", junit = dir_ + "/result.xml";
  Played p = play("ff.session", "expect status stable\nplug 1080p60\nexpect width 9\n",
                  {"--fail-fast", "--tap", tap, "--junit", junit});
  EXPECT_EQ(p.code, 1);
  EXPECT_THAT(p.err, HasSubstr(":1: expect status: expected \"stable\", got \"disappear\""));
  EXPECT_THAT(p.err, Not(HasSubstr(":3:")));
  EXPECT_THAT(p.out, Not(HasSubstr("$ plug"))) << "nothing runs after the failure";
  const std::string file = dir_ + "/ff.session";
  EXPECT_EQ(read_file(tap),
            "TAP version 13\n1..3\n"
            "not ok 1 - " +
                file +
                ":1 expect status stable\n"
                "  ---\n  message: 'expect status: expected \"stable\", got \"disappear\"'\n  ...\n"
                "ok 2 - " +
                file +
                ":2 plug 1080p60 # SKIP after the first failure\n"
                "ok 3 - " +
                file + ":3 expect width 9 # SKIP after the first failure\n");
  const std::string xml = read_file(junit);
  EXPECT_THAT(
      xml, HasSubstr("<testsuite name=\"" + file + "\" tests=\"3\" failures=\"1\" skipped=\"2\">"));
  EXPECT_THAT(xml,
              HasSubstr("name=\"line 1: expect status stable\"><failure message=\"expect status: "
                        "expected &quot;stable&quot;, got &quot;disappear&quot;\"/>"));
  EXPECT_THAT(xml, HasSubstr("name=\"line 2: plug 1080p60\"><skipped"));
}

TEST_F(ScriptRunner, WithoutFailFastEveryCommandRunsAndPassesAreListed) {
  const std::string tap = dir_ + "/all.tap";
  Played p =
      play("all.session", "expect status stable\nplug 1080p60\nwait 100ms\nexpect width 1920\n",
           {"--tap", tap});
  EXPECT_EQ(p.code, 1);
  const std::string result = read_file(tap);
  EXPECT_THAT(result, HasSubstr("not ok 1 - "));
  EXPECT_THAT(result, HasSubstr("ok 2 - " + dir_ + "/all.session:2 plug 1080p60\n"));
  EXPECT_THAT(result, HasSubstr("ok 4 - " + dir_ + "/all.session:4 expect width 1920\n"));
}

TEST_F(ScriptRunner, ScriptsWithUnknownFaultsOrControlsAreRefusedWhenRead) {
  struct Case {
    const char* script;
    const char* said;
  } cases[] = {
      {"plug 1080p60\nfault frobnicate\n", ": line 2: unknown call 'frobnicate'"},
      {"fault kzallco nth=1\n", ": line 1: unknown call 'kzallco'"},
      {"say hello\n\nwrite /sim/faults kzallco nth=1\n", ": line 3: /sim/faults: unknown call"},
      {"write /sim/hdmi plug 4k60\n", ": line 1: /sim/hdmi: "},
      {"write /sim/frob 1\n", ": line 1: /sim/frob: no such control"},
  };
  for (const Case& c : cases) {
    Played p = play("bad.session", c.script);
    EXPECT_EQ(p.code, 2) << c.script;
    EXPECT_THAT(p.err, HasSubstr(dir_ + "/bad.session" + c.said)) << c.script;
    EXPECT_THAT(p.out, Not(HasSubstr("$ "))) << "nothing ran: " << c.script;
  }
}

TEST_F(ScriptRunner, AScriptCanUnloadTheModuleAsAUserAtTheBoardCan) {
  Played p = play("rmmod.session",
                  "plug 1080p60\nwait 100ms\nexpect status new res\nrmmod\n"
                  "unplug\nwrite /sim/module insmod force_fps=30\nwait 300ms\n"
                  "expect status disappear\n"
                  "write /sim/module rmmod\ninsmod\n");
  EXPECT_EQ(p.code, 0) << p.err << p.out;
  EXPECT_THAT(p.out, HasSubstr("] GPIO-I2C interrupt module unloaded"));
}

TEST_F(ScriptRunner, BoardAndPlugOptionsSetUpTheSession) {
  // A board with the chip's interrupt on another line, and a source present before the module
  // loads: the bind reports it at once, and again after a power cycle.
  std::string dts = read_file(board::Board::default_dts_path());
  dts.replace(dts.find("irq-gpio = <&gpio1 12 0>;"), 25, "irq-gpio = <&gpio1 13 0>;");
  const std::string board = dir_ + "/other.dts";
  std::ofstream(board) << dts;
  Played p = play("board.session",
                  "expect status new res\nexpect width 1280\n"
                  "power off\nwait 100ms\npower on\nwait 400ms\nexpect status new res\n"
                  "expect width 1280\n",
                  {"--board", board, "--plug", "1280x720@60"});
  EXPECT_EQ(p.code, 0) << p.err << p.out;
  EXPECT_THAT(p.out, HasSubstr("irq_gpio=45"));
}

TEST_F(ScriptRunner, TheBoardOptionIsTakenAlikeByEveryModeBeforeOrAfterItsName) {
  std::string dts = read_file(board::Board::default_dts_path());
  dts.replace(dts.find("irq-gpio = <&gpio1 12 0>;"), 25, "irq-gpio = <&gpio1 13 0>;");
  const std::string board = dir_ + "/other.dts", script = dir_ + "/show.session";
  std::ofstream(board) << dts;
  std::ofstream(script) << "show\n";
  const std::vector<std::vector<std::string>> modes = {{"--board", board, script},
                                                       {script, "--board", board},
                                                       {"demo", "--board", board},
                                                       {"--board", board, "demo"}};
  for (const auto& args : modes) {
    Played p = run(args);
    EXPECT_EQ(p.code, 0) << args[0] << " " << args[1] << "\n" << p.err;
    EXPECT_THAT(p.out, HasSubstr("irq_gpio=45")) << args[0] << " " << args[1];
  }
  // A board that cannot be read stops each mode before anything starts, run's mount included.
  const std::string missing = dir_ + "/missing.dts";
  const std::vector<std::vector<std::string>> refused = {
      {"--board", missing, script},
      {script, "--board", missing},
      {"demo", "--board", missing},
      {"--board", missing, "demo"},
      {"run", "--mount", dir_, "--board", missing},
      {"--board", missing, "run", "--mount", dir_}};
  for (const auto& args : refused) {
    Played p = run(args);
    EXPECT_EQ(p.code, 1) << args[0] << " " << args[1];
    EXPECT_THAT(p.err, HasSubstr("cannot load the board " + missing)) << args[0] << " " << args[1];
  }
}

// The mode's arguments with the options before them, and after them.
std::vector<std::vector<std::string>> before_and_after(const std::vector<std::string>& mode,
                                                       const std::vector<std::string>& options) {
  std::vector<std::string> before = options, after = mode;
  before.insert(before.end(), mode.begin(), mode.end());
  after.insert(after.end(), options.begin(), options.end());
  return {before, after};
}

TEST_F(ScriptRunner, PlugModuleAndTimelineOptionsAreTakenAlikeBeforeOrAfterTheModesName) {
  const std::string script = dir_ + "/show.session", trace = dir_ + "/trace.txt";
  std::ofstream(script) << "show\n";
  const std::vector<std::vector<std::string>> played = {{script}, {"demo"}};
  for (const auto& mode : played) {
    for (const auto& args : before_and_after(
             mode, {"--plug", "1280x720@60", "--timeline-size", "4", "--export-text", trace})) {
      std::filesystem::remove(trace);
      Played p = run(args);
      const std::string said = args[0] + " ... " + args.back();
      EXPECT_EQ(p.code, 0) << said << "\n" << p.err;
      // The source was there when the module loaded: the bind's run saw it.
      EXPECT_THAT(p.out, HasSubstr("  /proc/lt7911_info: status=new res width=1280")) << said;
      EXPECT_THAT(read_file(trace), HasSubstr("ring of 4,")) << said;
    }
  }
  // A value that is refused is refused in every mode, wherever it stands, before anything starts
  // (a timeline size out of range once crashed the simulator as it made the ring).
  const std::string missing = dir_ + "/missing.so";
  struct Refusal {
    std::vector<std::string> options;
    int code;
    std::string said;
  } refusals[] = {
      {{"--plug", "1280x720@61x"}, 2, "lt7911-sim: --plug 1280x720@61x: "},
      {{"--module", missing}, 1, "lt7911-sim: no module object at " + missing},
      {{"--timeline-size", "-1"}, 2, "--timeline-size: Value -1 not in range 0 to 16777216"},
      {{"--timeline-size", "16777217"}, 2, "--timeline-size: Value 16777217 not in range"},
  };
  const std::vector<std::vector<std::string>> modes = {
      {script}, {"demo"}, {"run", "--mount", dir_}};
  for (const Refusal& r : refusals) {
    for (const auto& mode : modes) {
      for (const auto& args : before_and_after(mode, r.options)) {
        Played p = run(args);
        const std::string said = args[0] + " ... " + args.back();
        EXPECT_EQ(p.code, r.code) << said << "\n" << p.err;
        EXPECT_THAT(p.err, HasSubstr(r.said)) << said;
        EXPECT_EQ(p.out, "") << said;
      }
    }
  }
}

TEST_F(ScriptRunner, AScriptsOptionsWorkForDemoOnEitherSideAndAreRefusedBeforeRun) {
  // demo is a played script: its results go where --tap says, before or after its name.
  const std::string tap = dir_ + "/demo.tap";
  for (const auto& args : before_and_after({"demo"}, {"--tap", tap, "-x"})) {
    std::filesystem::remove(tap);
    Played p = run(args);
    EXPECT_EQ(p.code, 0) << args[0] << "\n" << p.err;
    EXPECT_THAT(read_file(tap), HasSubstr("ok 1 ")) << args[0];
  }
  // Before run they once were taken and did nothing; a script before a mode's name was dropped.
  const std::string script = dir_ + "/show.session";
  std::ofstream(script) << "show\n";
  // The refusal comes before the mount is tried: a mount point that is not there is not looked at.
  const std::vector<std::string> mount = {"run", "--mount", dir_ + "/not-there"};
  struct Refusal {
    std::vector<std::string> args;
    std::string said;
  } refusals[] = {
      {{"--tap", tap}, "lt7911-sim: --tap is for a played script (SCRIPT or demo); run plays none"},
      {{"-x"}, "lt7911-sim: --fail-fast is for a played script"},
      {{"--junit", tap}, "lt7911-sim: --junit is for a played script"},
      {{"--export-vcd", tap}, "lt7911-sim: --export-vcd is for a played script"},
      {{script}, "lt7911-sim: a script (" + script + ") and run are two modes: give one"},
  };
  for (Refusal& r : refusals) {
    r.args.insert(r.args.end(), mount.begin(), mount.end());
    Played p = run(r.args);
    EXPECT_EQ(p.code, 2) << r.args[0] << "\n" << p.err;
    EXPECT_THAT(p.err, HasSubstr(r.said));
    EXPECT_EQ(p.out, "");
  }
  Played p = run({script, "demo"});
  EXPECT_EQ(p.code, 2);
  EXPECT_THAT(p.err, HasSubstr("a script (" + script + ") and demo are two modes: give one"));
}

TEST_F(ScriptRunner, NoKernelLineIsLostOverThousandsOfEvents) {
  std::string script;
  for (int i = 0; i < 2000; ++i)
    script += i % 2 ? "unplug\nwait 20ms\n" : "plug 1080p60\nwait 20ms\n";
  script += "wait 100s\n";
  Played p = play("many.session", script);
  EXPECT_EQ(p.code, 0) << p.err;
  size_t states = 0;
  for (size_t at = p.out.find("] HDMI signal state"); at != std::string::npos;
       at = p.out.find("] HDMI signal state", at + 1)) {
    ++states;
  }
  EXPECT_EQ(states, 2001u) << "the bind's own run and one per event";
  EXPECT_THAT(p.out, Not(HasSubstr("overwritten")));
}

}  // namespace
