// The simulator's control language and session scripts: what is accepted, what is refused
// (before anything changes), and a script played against the default board in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/kernel.h"
#include "platform/host/warn.h"
#include "tools/sim/controls.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"

namespace {

using ::testing::HasSubstr;

TEST(HdmiControl, AcceptsStandardModesExplicitTimingsAndUnplug) {
  auto c = sim::parse_hdmi("plug 1920x1080@60\n");
  ASSERT_TRUE(c) << c.error().message;
  EXPECT_EQ(c->mode->width, 1920);
  EXPECT_EQ(c->mode->htotal, 2200);
  EXPECT_EQ(c->mode->pixel_clock_hz, 148'500'000);

  c = sim::parse_hdmi("plug timing 1280 720 1650 750 74250");
  ASSERT_TRUE(c) << c.error().message;
  EXPECT_EQ(c->mode->vtotal, 750);
  EXPECT_EQ(c->mode->pixel_clock_hz, 74'250'000);

  c = sim::parse_hdmi("  unplug  ");
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->mode.has_value());
}

TEST(HdmiControl, RefusesMalformedCommands) {
  for (const char* bad : {"", "\n", "plug", "plug 1920x1080@60 extra", "plug nonsense",
                          "unplug now", "replug 1080p60", "plug timing 1280 720 1650 750",
                          "plug timing 1280 720 1000 750 74250",  // htotal below the width
                          "plug timing 1280 720 1650 750 -5", "plug timing a b c d e",
                          "plug 1080p60\nunplug", "PLUG 1080p60"}) {
    EXPECT_FALSE(sim::parse_hdmi(bad)) << "'" << bad << "'";
  }
}

TEST(HdmiControl, RefusalsSayWhyAndRefuseWhatNoHdmiSourceSends) {
  struct Case {
    const char* command;
    const char* why;
  } cases[] = {
      {"plug 1080i60",
       "'1080i60' is interlaced: the board's sources are progressive only (try 1080p60)"},
      {"plug 1366x768", "'1366x768' needs a refresh rate, as in 1366x768@60"},
      {"plug 4k60", "unknown mode '4k60' (for 4K try 3840x2160@60)"},
      {"plug 1920x1080@nan", "has no finite rate"},
      {"plug 1920x1080@inf", "has no finite rate"},
      {"plug 1920x1080@1e308", "the refresh rate must be above 0 and at most 1000 Hz"},
      {"plug 1080p1e308", "unknown mode '1080p1e308'"},
      {"plug 1920x1080,2200,1125,99999999999999",
       "a pixel clock of 99999999999999 Hz is more than HDMI 2.0 carries (600 MHz)"},
      {"plug 7680x4320@58.67", "needs a 2042.25 MHz pixel clock, more than HDMI 2.0 carries"},
      {"plug timing 7680 4320 9000 4400 2323200", "more than HDMI 2.0 carries (600 MHz)"},
      // A clock in kHz whose value in Hz does not fit 64 bits (found by the fuzzer).
      {"plug timing 1280 720 1650 750 48500000000000000",
       "a 48500000000000.00 MHz pixel clock is more than HDMI 2.0 carries"},
      {"plug timing 1280 720 1650 750 600001", "a 600.00 MHz pixel clock is more than"},
      {"plug timing 2 1 75 25 259450", "comes at 138373.33 Hz, more than 1000 Hz"},
      {"plug 2x1,8,2,84500", "unknown mode"},  // 5281 frames a second
      {"plug 91x89@6", "unknown mode"},        // a clock below CVT's step
  };
  for (const Case& c : cases) {
    auto r = sim::parse_hdmi(c.command);
    ASSERT_FALSE(r) << c.command;
    EXPECT_THAT(r.error().message, HasSubstr(c.why)) << c.command;
  }
  // The fastest HDMI 2.0 formats still pass.
  for (const char* ok : {"plug 3840x2160@60", "plug vic97", "plug 1920x1080,2200,1125,594000000",
                         "plug timing 3840 2160 4400 2250 594000"}) {
    EXPECT_TRUE(sim::parse_hdmi(ok)) << ok << ": " << sim::parse_hdmi(ok).error().message;
  }
}

TEST(OtherControls, FaultRulesNameACallThatCanFail) {
  for (const char* bad : {"frobnicate", "kzallco nth=1"}) {
    auto r = sim::parse_fault(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_THAT(r.error().message, HasSubstr("unknown call")) << bad;
    EXPECT_THAT(r.error().message, HasSubstr("kzalloc, of_get_named_gpio"))
        << "the calls are listed";
  }
  for (const char* ok :
       {"copy_to_user", "proc_create match=status", "i2c_new_dummy times=always"}) {
    EXPECT_TRUE(sim::parse_fault(ok)) << ok;
  }
}

TEST(OtherControls, AudioModuleAndFaultGrammar) {
  EXPECT_EQ(*sim::parse_audio("48\n"), 48);
  EXPECT_EQ(*sim::parse_audio("0x30"), 0x30);
  for (const char* bad : {"", "256", "-1", "48 44", "x"}) EXPECT_FALSE(sim::parse_audio(bad));

  auto m = sim::parse_module("insmod force_width=1280 force_fps=30\n");
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->load);
  EXPECT_EQ(m->params, (std::vector<std::string>{"force_width=1280", "force_fps=30"}));
  EXPECT_FALSE(sim::parse_module("rmmod")->load);
  for (const char* bad : {"", "rmmod now", "insmod =3", "insmod force_width", "modprobe"}) {
    EXPECT_FALSE(sim::parse_module(bad)) << bad;
  }

  auto f = sim::parse_fault("gpio_request match=67 nth=2 times=always error=EBUSY\n");
  ASSERT_TRUE(f) << f.error().message;
  EXPECT_EQ(f->rule->call, "gpio_request");
  EXPECT_EQ(f->rule->match, "67");
  EXPECT_EQ(f->rule->nth, 2);
  EXPECT_EQ(f->rule->times, -1);
  EXPECT_EQ(f->rule->error, -16);
  EXPECT_EQ(sim::format_fault(*f->rule), "gpio_request match=67 nth=2 times=always error=-EBUSY");
  auto again = sim::parse_fault(sim::format_fault(*f->rule));
  ASSERT_TRUE(again);
  EXPECT_EQ(sim::format_fault(*again->rule), sim::format_fault(*f->rule));
  EXPECT_FALSE(sim::parse_fault("clear")->rule.has_value());
  for (const char* bad : {"", "Gpio", "kzalloc nth=0", "kzalloc times=0", "kzalloc error=EWHAT",
                          "kzalloc when=1", "kzalloc nth", "clear all"}) {
    EXPECT_FALSE(sim::parse_fault(bad)) << bad;
  }
}

TEST(OtherControls, BusFaultGrammarRoundTrips) {
  auto f = sim::parse_fault("bus eio bank=0xD2 reg=0x96 dir=read nth=2 times=3\n");
  ASSERT_TRUE(f) << f.error().message;
  ASSERT_TRUE(f->bus);
  EXPECT_FALSE(f->rule);
  EXPECT_EQ(f->bus->kind, board::FaultKind::kIo);
  EXPECT_EQ(f->bus->match.bank, 0xD2);
  EXPECT_EQ(f->bus->match.reg, 0x96);
  EXPECT_EQ(f->bus->match.dir, board::Direction::kRead);
  EXPECT_FALSE(f->bus->match.addr);
  EXPECT_EQ(f->bus->nth, 2);
  EXPECT_EQ(f->bus->times, 3);
  EXPECT_EQ(sim::format_fault(*f->bus), "bus eio bank=0xd2 reg=0x96 dir=read nth=2 times=3");

  // A fraction fails every matching transaction by chance unless times says otherwise.
  auto r = sim::parse_fault("bus timeout fraction=0.1 seed=7");
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->bus->times, -1);
  EXPECT_EQ(sim::format_fault(*r->bus), "bus timeout nth=1 times=always fraction=0.1 seed=7");
  auto w = sim::parse_fault("bus wrongbyte addr=0x2b dir=select value=0x05");
  ASSERT_TRUE(w) << w.error().message;
  EXPECT_EQ(w->bus->stuck_value, 0x05);
  EXPECT_EQ(sim::format_fault(*w->bus),
            "bus wrongbyte addr=0x2b dir=select nth=1 times=1 value=0x05");
  EXPECT_EQ(sim::format_fault(*sim::parse_fault("bus wrongbyte")->bus),
            "bus wrongbyte nth=1 times=1 xor=0xff");
  for (const auto* text : {"bus noack", "bus eio bank=0xd2 reg=0x96 dir=read nth=2 times=3",
                           "bus timeout nth=1 times=always fraction=0.25 seed=9",
                           "bus wrongbyte reg=0x38 nth=4 times=always xor=0x0f"}) {
    auto once = sim::parse_fault(text);
    ASSERT_TRUE(once) << text << ": " << once.error().message;
    EXPECT_EQ(sim::format_fault(*once->bus),
              sim::format_fault(*sim::parse_fault(sim::format_fault(*once->bus))->bus));
  }
  for (const char* bad :
       {"bus", "bus eoi", "bus eio bank=0x100", "bus eio reg=-1", "bus eio dir=sideways",
        "bus eio addr=0x80", "bus eio nth=0", "bus eio times=never", "bus eio fraction=0",
        "bus eio fraction=1.5", "bus eio fraction=nan", "bus eio value=0x05",
        "bus wrongbyte value=0x05 xor=0x01", "bus wrongbyte value=300", "bus eio bank",
        "bus eio colour=red"}) {
    EXPECT_FALSE(sim::parse_fault(bad)) << bad;
  }
}

TEST(ScriptFormat, ParsesCommandsAndNamesTheFirstBadLine) {
  auto s =
      sim::parse_script("# a comment\n\nplug 1080p60\n  wait 250ms\nexpect status new res\\n\n");
  ASSERT_TRUE(s) << s.error().message;
  ASSERT_EQ(s->size(), 3u);
  EXPECT_EQ((*s)[1].verb, "wait");
  EXPECT_EQ((*s)[1].number, 4);
  EXPECT_EQ((*s)[2].rest, "status new res\\n");

  auto bad = sim::parse_script("plug 1080p60\nwait soon\n");
  ASSERT_FALSE(bad);
  EXPECT_THAT(bad.error().message, HasSubstr("line 2: wait takes a duration"));
  EXPECT_THAT(sim::parse_script("jump\n").error().message,
              HasSubstr("line 1: unknown command 'jump'"));
  EXPECT_THAT(sim::parse_script("power maybe\n").error().message, HasSubstr("line 1:"));
  EXPECT_THAT(sim::parse_script("ack now\n").error().message, HasSubstr("ack takes nothing"));
  EXPECT_TRUE(sim::parse_script(sim::kDemoScript));
}

TEST(ScriptFormat, DurationsAndEscapes) {
  EXPECT_EQ(sim::parse_duration("250ms"), 250'000'000);
  EXPECT_EQ(sim::parse_duration("1.5s"), 1'500'000'000);
  EXPECT_EQ(sim::parse_duration("500us"), 500'000);
  EXPECT_FALSE(sim::parse_duration("5"));
  EXPECT_FALSE(sim::parse_duration("-1s"));
  EXPECT_FALSE(sim::parse_duration("ms"));
  EXPECT_FALSE(sim::parse_duration("nanms"));  // from_chars reads "nan"
  EXPECT_FALSE(sim::parse_duration("NaNs"));
  EXPECT_EQ(sim::unescape("a\\nb\\\\c\\t"), "a\nb\\c\t");
}

// A script against the default board with the module, in virtual time.
class ScriptRun : public ::testing::Test {
 protected:
  void TearDown() override {
    session_.reset();
    if (host::Kernel::booted()) host::Kernel::shutdown();
  }
  int play(const std::string& text) {
    auto started = sim::Session::start({});
    EXPECT_TRUE(started) << started.error().message;
    if (!started) return -1;
    session_ = std::move(*started);
    auto parsed = sim::parse_script(text);
    EXPECT_TRUE(parsed) << parsed.error().message;
    return sim::run_script(*session_, *parsed, [this](const std::string& l) { out_ += l + "\n"; });
  }
  std::unique_ptr<sim::Session> session_;
  std::string out_;
};

TEST_F(ScriptRun, ExpectationsHoldThroughPlugAckAndPower) {
  EXPECT_EQ(play("plug 1920x1080@60\nwait 100ms\nexpect status new res\nexpect width 1920\n"
                 "ack\nexpect status stable\npower off\nexpect status disappear\n"
                 "expect power off\n"),
            0)
      << out_;
  EXPECT_THAT(out_, HasSubstr("status poller woke with POLLPRI"));
  EXPECT_THAT(out_, HasSubstr("] HDMI resolution: 1920 x 1080"));
  EXPECT_EQ(host::Kernel::get().warnings().count(), 0u)
      << host::Kernel::get().warnings().describe();
}

TEST_F(ScriptRun, TheDemoShowsEveryStepOfItsSession) {
  ASSERT_EQ(play(sim::kDemoScript), 0) << out_;
  for (const char* step :
       {"status=new res width=1920 height=1080 fps=60 hdcp=no hdcp asr=48 power=on",
        "status=stable width=1920 height=1080 fps=60",
        "status=new res width=3840 height=2160 fps=30", "width=1280 height=720 fps=25",
        "status=disappear width=3840 height=2160 fps=30 hdcp=no hdcp asr=48 power=off",
        "status=new res width=3840 height=2160 fps=30 hdcp=no hdcp asr=48 power=on",
        "status=disappear width=0 height=0 fps=0 hdcp=no hdcp asr=0 power=on"}) {
    EXPECT_THAT(out_, HasSubstr(step));
  }
  // The steps come in the session's order.
  EXPECT_LT(out_.find("width=1920"), out_.find("width=3840"));
  EXPECT_LT(out_.find("width=1280"), out_.find("power=off"));
  EXPECT_LT(out_.find("power=off"), out_.rfind("status=new res width=3840"));
  EXPECT_LT(out_.find("power=off"), out_.rfind("width=0 height=0"));
  EXPECT_EQ(host::Kernel::get().warnings().count(), 0u)
      << host::Kernel::get().warnings().describe();
}

TEST_F(ScriptRun, BusFaultsReachTheDriverAndShowInTheFaultsFile) {
  // The first signal-state read fails: that run publishes nothing. The next change is read
  // through a stuck width byte (0x0780 becomes 0x0580).
  ASSERT_EQ(play("fault bus eio bank=0xd2 reg=0x96 dir=read\n"
                 "fault bus wrongbyte bank=0xc2 reg=0x38 dir=read value=0x05\n"
                 "plug 1920x1080@60\nwait 100ms\nexpect status disappear\n"
                 "plug 1920x1080@50\nwait 100ms\nexpect status new res\nexpect width 1408\n"),
            0)
      << out_;
  EXPECT_THAT(out_, HasSubstr("] Failed to get HDMI state"));
  EXPECT_EQ(session_->faults_text(),
            "bus eio bank=0xd2 reg=0x96 dir=read nth=1 times=1\n"
            "bus wrongbyte bank=0xc2 reg=0x38 dir=read nth=1 times=1 value=0x05\n");
  EXPECT_EQ(session_->faults("clear"), 0);
  EXPECT_EQ(session_->faults_text(), "");
  EXPECT_EQ(session_->faults("bus eio bank=0xd2 reg=0x96 dir=read junk"), -22);
  EXPECT_EQ(session_->faults_text(), "");
}

TEST_F(ScriptRun, AFailedExpectationOrCommandFailsTheRun) {
  EXPECT_EQ(play("expect status stable\nparam nosuch=1\n"), 1);
  EXPECT_THAT(out_, HasSubstr("failed: expect status: expected \"stable\", got \"disappear\""));
  EXPECT_THAT(out_, HasSubstr("failed: param nosuch=1: No such file or directory"));
}

TEST_F(ScriptRun, ControlsRefuseBadCommandsWithoutChangingTheBoard) {
  ASSERT_EQ(play("plug 1280x720@60\nwait 50ms\n"), 0);
  EXPECT_EQ(session_->hdmi("plug 1280x720@60 please"), -22);
  EXPECT_THAT(session_->error(), HasSubstr("plug takes one mode"));
  EXPECT_THAT(session_->hdmi_text(), HasSubstr("1280x720@60.00"));
  EXPECT_EQ(session_->module("rmmod"), 0);
  EXPECT_EQ(session_->module_text(), "not loaded\n");
  EXPECT_EQ(session_->module("insmod force_width=640"), 0);
  EXPECT_EQ(session_->read("/sys/module/lt7911_manage/parameters/force_width"), "640\n");
}

}  // namespace
