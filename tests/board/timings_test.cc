// Video timing tables against edid-decode, CVT reduced blanking, and mode names.
#include "board/timings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace {

using board::Mode;

// The first timing edid-decode prints for its arguments: active size, totals (porches, sync
// and borders added) and pixel clock.
struct Reference {
  int width = 0, height = 0, htotal = 0, vtotal = 0;
  int64_t pixel_clock_hz = 0;
  bool interlaced = false;
};

std::optional<Reference> edid_decode(const std::string& args) {
  std::string cmd = "edid-decode " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  pclose(p);
  // "VIC  16:  1920x1080   60.000000 Hz  16:9   67.500 kHz   148.500000 MHz", then the
  // horizontal and vertical lines: "Hfront 88 Hsync 44 Hback 148 Hpol P [Hborder 8]".
  Reference r;
  size_t x = out.find('x', out.find(':'));
  if (x == std::string::npos) return std::nullopt;
  size_t w0 = out.find_last_of(' ', x) + 1;
  if (std::sscanf(out.c_str() + w0, "%dx%d", &r.width, &r.height) != 2) return std::nullopt;
  r.interlaced = out[out.find_first_not_of("0123456789", x + 1)] == 'i';
  size_t mhz = out.find(" MHz");
  if (mhz == std::string::npos) return std::nullopt;
  r.pixel_clock_hz = std::llround(std::stod(out.substr(out.find_last_of(' ', mhz - 1) + 1)) * 1e6);
  auto totals = [&](const char* axis, int active) -> std::optional<int> {
    const std::string front = std::string(axis) + "front";
    size_t at = out.find(front);
    if (at == std::string::npos) return std::nullopt;
    int f = 0, sy = 0, b = 0;
    std::string pattern = std::string(axis) + "front %d " + axis + "sync %d " + axis + "back %d";
    if (std::sscanf(out.c_str() + at, pattern.c_str(), &f, &sy, &b) != 3) return std::nullopt;
    int border = 0;
    size_t eol = out.find('\n', at);
    size_t bo = out.find(std::string(axis) + "border", at);
    if (bo != std::string::npos && bo < eol) std::sscanf(out.c_str() + bo + 7, "%d", &border);
    return active + f + sy + b + 2 * border;
  };
  auto ht = totals("H", r.width);
  auto vt = totals("V", r.height);
  if (!ht || !vt) return std::nullopt;
  r.htotal = *ht;
  r.vtotal = *vt;
  return r;
}

void expect_matches(const Mode& mode, const std::string& args) {
  auto ref = edid_decode(args);
  ASSERT_TRUE(ref) << "edid-decode " << args << " gave nothing readable";
  EXPECT_FALSE(ref->interlaced) << args;
  EXPECT_EQ(mode.width, ref->width) << args;
  EXPECT_EQ(mode.height, ref->height) << args;
  EXPECT_EQ(mode.htotal, ref->htotal) << args;
  EXPECT_EQ(mode.vtotal, ref->vtotal) << args;
  EXPECT_EQ(mode.pixel_clock_hz, ref->pixel_clock_hz) << args;
}

TEST(TimingTables, EveryCtaFormatMatchesEdidDecode) {
  ASSERT_FALSE(board::known_vics().empty());
  for (int vic : board::known_vics()) {
    SCOPED_TRACE("VIC " + std::to_string(vic));
    expect_matches(Mode::cta(vic), "--vic " + std::to_string(vic));
  }
}

TEST(TimingTables, EveryDmtModeMatchesEdidDecode) {
  ASSERT_FALSE(board::known_dmts().empty());
  for (int id : board::known_dmts()) {
    char arg[32];
    std::snprintf(arg, sizeof arg, "--dmt 0x%02x", id);
    SCOPED_TRACE(arg);
    expect_matches(Mode::dmt(id), arg);
  }
}

TEST(TimingTables, CvtReducedBlankingMatchesEdidDecode) {
  struct Case {
    int w, h;
    double fps;
    int rb;
  };
  const Case cases[] = {
      {1920, 1080, 60, 1}, {1366, 768, 60, 1},  {2560, 1440, 60, 1},
      {1280, 1024, 75, 1}, {800, 600, 60, 1},   {3440, 1440, 50, 1},
      {2560, 1440, 60, 2}, {1920, 1200, 60, 2}, {1024, 600, 60, 2},
  };
  for (const Case& c : cases) {
    char args[96];
    std::snprintf(args, sizeof args, "--cvt w=%d,h=%d,fps=%g,rb=%d", c.w, c.h, c.fps, c.rb);
    SCOPED_TRACE(args);
    expect_matches(Mode::cvt_rb(c.w, c.h, c.fps, c.rb), args);
  }
}

TEST(TimingTables, UnknownIdsAreRefused) {
  EXPECT_FALSE(board::find_cta(5).has_value());  // 1080i: interlaced formats are not listed
  EXPECT_FALSE(board::find_cta(0).has_value());
  EXPECT_FALSE(board::find_dmt(0x99).has_value());
  EXPECT_THROW(Mode::cta(255), std::invalid_argument);
  EXPECT_THROW(Mode::cvt_rb(0, 1080, 60), std::invalid_argument);
}

TEST(ModeNames, ParseFindsTheStandardMode) {
  struct Case {
    const char* text;
    int width, height, htotal, vtotal;
    int64_t clock;
  };
  const Case cases[] = {
      {"vic16", 1920, 1080, 2200, 1125, 148500000},
      {"VIC 4", 1280, 720, 1650, 750, 74250000},
      {"dmt0x23", 1280, 1024, 1688, 1066, 108000000},
      {"DMT 0x52", 1920, 1080, 2200, 1125, 148500000},
      {"1080p60", 1920, 1080, 2200, 1125, 148500000},
      {"1080p50", 1920, 1080, 2640, 1125, 148500000},
      {"720p50", 1280, 720, 1980, 750, 74250000},
      {"2160p30", 3840, 2160, 4400, 2250, 297000000},
      {"576p", 720, 576, 864, 625, 27000000},
      {"1920x1080@60", 1920, 1080, 2200, 1125, 148500000},
      {"1920x1080@24", 1920, 1080, 2750, 1125, 74250000},
      {"1280x1024@60", 1280, 1024, 1688, 1066, 108000000},     // DMT, no CTA format
      {"640x480@60", 640, 480, 800, 525, 25175000},            // 59.94 Hz is near enough
      {"1920x1080@59.94", 1920, 1080, 2200, 1125, 148351648},  // 148.5 MHz * 1000/1001
      {"1920x1080@60-rb", 1920, 1080, 2080, 1111, 138500000},
      {"2560x1440@60-rb2", 2560, 1440, 2640, 1481, 234590000},
      {"1600x1000@60", 1600, 1000, 1760, 1029, 108500000},  // nothing listed: CVT-RB
      {"1920x1080,2200,1125,148350000", 1920, 1080, 2200, 1125, 148350000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto m = board::parse_mode(c.text);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->width, c.width);
    EXPECT_EQ(m->height, c.height);
    EXPECT_EQ(m->htotal, c.htotal);
    EXPECT_EQ(m->vtotal, c.vtotal);
    EXPECT_EQ(m->pixel_clock_hz, c.clock);
  }
}

TEST(ModeNames, MalformedNamesAreRefused) {
  for (const char* text :
       {"", "vic", "vic16x", "1081p60", "1920x@60", "1920x1080", "1920x1080@", "1920x1080@60-rb7",
        "1920x1080,2200,1125", "1920x1080,1000,1125,148500000", "0x0@60", "dmtzz",
        "2x1,8,2,84500" /* 5281 frames a second */}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(board::parse_mode(text).has_value());
  }
  EXPECT_THROW(Mode::parse("nonsense"), std::invalid_argument);
}

// CVT rounds the clock down to its step: a size and rate below one step would be a mode with no
// clock and a rate of 0 Hz. The smallest that have a clock are kept.
TEST(ModeNames, ModesWhoseClockRoundsToNothingAreRefused) {
  for (const char* text : {"91x89@6", "91x89@6-rb", "16x16@1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(board::parse_mode(text).has_value());
  }
  for (const char* text : {"640x480@1", "91x89@60", "8x8@1000-rb2"}) {
    SCOPED_TRACE(text);
    std::optional<Mode> m = board::parse_mode(text);
    ASSERT_TRUE(m.has_value());
    EXPECT_GT(m->pixel_clock_hz, 0);
    EXPECT_GT(m->refresh(), 0.0);
  }
}

TEST(ModeNames, RefreshAndFractionalRate) {
  EXPECT_DOUBLE_EQ(Mode::cta(16).refresh(), 60.0);
  const Mode f = Mode::cta(16).fractional();
  EXPECT_NEAR(f.refresh(), 59.94, 0.001);
  EXPECT_EQ(f.htotal, 2200);
  EXPECT_EQ(f.vtotal, 1125);
}

}  // namespace
