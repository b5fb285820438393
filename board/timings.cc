#include "board/timings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace board {

namespace {

struct TableEntry {
  int id;
  int width;
  int height;
  int htotal;
  int vtotal;
  int64_t pixel_clock_hz;
};

// CTA-861 progressive formats (active size, totals, pixel clock).
constexpr TableEntry kCtaFormats[] = {
    {1, 640, 480, 800, 525, 25175000LL},         // 59.94 Hz
    {2, 720, 480, 858, 525, 27000000LL},         // 59.94 Hz, 4:3
    {3, 720, 480, 858, 525, 27000000LL},         // 59.94 Hz, 16:9
    {4, 1280, 720, 1650, 750, 74250000LL},       // 60 Hz
    {14, 1440, 480, 1716, 525, 54000000LL},      // 59.94 Hz, 4:3
    {15, 1440, 480, 1716, 525, 54000000LL},      // 59.94 Hz, 16:9
    {16, 1920, 1080, 2200, 1125, 148500000LL},   // 60 Hz
    {17, 720, 576, 864, 625, 27000000LL},        // 50 Hz, 4:3
    {18, 720, 576, 864, 625, 27000000LL},        // 50 Hz, 16:9
    {19, 1280, 720, 1980, 750, 74250000LL},      // 50 Hz
    {29, 1440, 576, 1728, 625, 54000000LL},      // 50 Hz, 4:3
    {30, 1440, 576, 1728, 625, 54000000LL},      // 50 Hz, 16:9
    {31, 1920, 1080, 2640, 1125, 148500000LL},   // 50 Hz
    {32, 1920, 1080, 2750, 1125, 74250000LL},    // 24 Hz
    {33, 1920, 1080, 2640, 1125, 74250000LL},    // 25 Hz
    {34, 1920, 1080, 2200, 1125, 74250000LL},    // 30 Hz
    {41, 1280, 720, 1980, 750, 148500000LL},     // 100 Hz
    {47, 1280, 720, 1650, 750, 148500000LL},     // 120 Hz
    {60, 1280, 720, 3300, 750, 59400000LL},      // 24 Hz
    {61, 1280, 720, 3960, 750, 74250000LL},      // 25 Hz
    {62, 1280, 720, 3300, 750, 74250000LL},      // 30 Hz
    {63, 1920, 1080, 2200, 1125, 297000000LL},   // 120 Hz
    {64, 1920, 1080, 2640, 1125, 297000000LL},   // 100 Hz
    {93, 3840, 2160, 5500, 2250, 297000000LL},   // 24 Hz
    {94, 3840, 2160, 5280, 2250, 297000000LL},   // 25 Hz
    {95, 3840, 2160, 4400, 2250, 297000000LL},   // 30 Hz
    {96, 3840, 2160, 5280, 2250, 594000000LL},   // 50 Hz
    {97, 3840, 2160, 4400, 2250, 594000000LL},   // 60 Hz
    {98, 4096, 2160, 5500, 2250, 297000000LL},   // 24 Hz
    {99, 4096, 2160, 5280, 2250, 297000000LL},   // 25 Hz
    {100, 4096, 2160, 4400, 2250, 297000000LL},  // 30 Hz
    {101, 4096, 2160, 5280, 2250, 594000000LL},  // 50 Hz
    {102, 4096, 2160, 4400, 2250, 594000000LL},  // 60 Hz
};

// VESA DMT modes; totals include the borders of the 640x480 mode.
constexpr TableEntry kDmtModes[] = {
    {0x04, 640, 480, 800, 525, 25175000LL},       // 59.94 Hz
    {0x09, 800, 600, 1056, 628, 40000000LL},      // 60.32 Hz
    {0x10, 1024, 768, 1344, 806, 65000000LL},     // 60.00 Hz
    {0x1C, 1280, 800, 1680, 831, 83500000LL},     // 59.81 Hz
    {0x20, 1280, 960, 1800, 1000, 108000000LL},   // 60.00 Hz
    {0x23, 1280, 1024, 1688, 1066, 108000000LL},  // 60.02 Hz
    {0x27, 1360, 768, 1792, 795, 85500000LL},     // 60.02 Hz
    {0x2F, 1440, 900, 1904, 934, 106500000LL},    // 59.89 Hz
    {0x33, 1600, 1200, 2160, 1250, 162000000LL},  // 60.00 Hz
    {0x3A, 1680, 1050, 2240, 1089, 146250000LL},  // 59.95 Hz
    {0x44, 1920, 1200, 2080, 1235, 154000000LL},  // 59.95 Hz, reduced blanking
    {0x45, 1920, 1200, 2592, 1245, 193250000LL},  // 59.88 Hz
    {0x51, 1366, 768, 1792, 798, 85500000LL},     // 59.79 Hz
    {0x52, 1920, 1080, 2200, 1125, 148500000LL},  // 60.00 Hz
    {0x53, 1600, 900, 1800, 1000, 108000000LL},   // 60.00 Hz, reduced blanking
    {0x55, 1280, 720, 1650, 750, 74250000LL},     // 60.00 Hz
    {0x56, 1366, 768, 1500, 800, 72000000LL},     // 60.00 Hz, reduced blanking
};

std::string format_name(const char* prefix, int id, bool hex, int w, int h, double hz) {
  char buf[96];
  if (hex) {
    std::snprintf(buf, sizeof buf, "%s 0x%02X %dx%d@%.2f", prefix, id, w, h, hz);
  } else {
    std::snprintf(buf, sizeof buf, "%s %d %dx%d@%.2f", prefix, id, w, h, hz);
  }
  return buf;
}

Mode from_entry(const TableEntry& e, const char* prefix, bool hex) {
  Mode m;
  m.width = e.width;
  m.height = e.height;
  m.htotal = e.htotal;
  m.vtotal = e.vtotal;
  m.pixel_clock_hz = e.pixel_clock_hz;
  m.name = format_name(prefix, e.id, hex, e.width, e.height, m.refresh());
  return m;
}

// Rates match when they agree to within 0.5%, so 60 finds a 59.94 Hz format too; an exact
// match is preferred by the caller.
bool rate_matches(double have, double want, double tolerance) {
  return std::fabs(have - want) <= want * tolerance;
}

std::optional<Mode> find_by_size(int w, int h, double fps) {
  // Prefer a close rate over a loose one, CTA over DMT.
  for (double tolerance : {0.0001, 0.005}) {
    for (const auto& e : kCtaFormats) {
      Mode m = from_entry(e, "VIC", false);
      if (m.width == w && m.height == h && rate_matches(m.refresh(), fps, tolerance)) return m;
    }
    for (const auto& e : kDmtModes) {
      Mode m = from_entry(e, "DMT", true);
      if (m.width == w && m.height == h && rate_matches(m.refresh(), fps, tolerance)) return m;
    }
  }
  return std::nullopt;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Parses a whole integer (decimal, or hex with 0x); nothing may follow it.
std::optional<int64_t> parse_int(std::string_view s) {
  s = trim(s);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::optional<double> parse_double(std::string_view s) {
  s = trim(s);
  double v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) return std::nullopt;
  if (!std::isfinite(v)) return std::nullopt;  // "nan", "inf": no rate
  return v;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

double Mode::refresh() const {
  if (htotal <= 0 || vtotal <= 0) return 0.0;
  return static_cast<double>(pixel_clock_hz) / (static_cast<double>(htotal) * vtotal);
}

std::optional<Mode> find_cta(int vic) {
  for (const auto& e : kCtaFormats) {
    if (e.id == vic) return from_entry(e, "VIC", false);
  }
  return std::nullopt;
}

std::optional<Mode> find_dmt(int id) {
  for (const auto& e : kDmtModes) {
    if (e.id == id) return from_entry(e, "DMT", true);
  }
  return std::nullopt;
}

std::vector<int> known_vics() {
  std::vector<int> v;
  for (const auto& e : kCtaFormats) v.push_back(e.id);
  return v;
}

std::vector<int> known_dmts() {
  std::vector<int> v;
  for (const auto& e : kDmtModes) v.push_back(e.id);
  return v;
}

Mode Mode::cta(int vic) {
  auto m = find_cta(vic);
  if (!m) throw std::invalid_argument("unknown CTA-861 VIC " + std::to_string(vic));
  return *m;
}

Mode Mode::dmt(int id) {
  auto m = find_dmt(id);
  if (!m) throw std::invalid_argument("unknown DMT ID " + std::to_string(id));
  return *m;
}

// CVT reduced blanking, as VESA CVT 1.2 computes it. Version 1: 160 pixels of horizontal
// blanking, 0.25 MHz clock steps, a vertical sync width that encodes the aspect ratio. Version
// 2: 80 pixels of blanking, 1 kHz clock steps, vertical sync 8. Both give at least 460 us of
// vertical blanking. The clock is computed on the width rounded down to the 8-pixel cell, the
// blanking added to the real width.
Mode Mode::cvt_rb(int width, int height, double fps, int version) {
  if (width <= 0 || height <= 0 || fps <= 0 || (version != 1 && version != 2)) {
    throw std::invalid_argument("bad CVT request");
  }
  constexpr double kMinVBlankUs = 460.0;
  const int cell_width = width / 8 * 8;
  int hblank = 160;
  int vfront = 3;
  int vsync = 10;
  constexpr int kMinVBackPorch = 6;
  double clock_step_mhz = 0.25;
  if (version == 1) {
    if (width * 3 == height * 4) {
      vsync = 4;
    } else if (width * 9 == height * 16) {
      vsync = 5;
    } else if (width * 10 == height * 16) {
      vsync = 6;
    } else if (width * 4 == height * 5 || width * 9 == height * 15) {
      vsync = 7;
    }
  } else {
    hblank = 80;
    vfront = 1;
    vsync = 8;
    clock_step_mhz = 0.001;
  }
  const double hperiod_est_us = (1'000'000.0 / fps - kMinVBlankUs) / height;
  int vbi_lines = static_cast<int>(std::floor(kMinVBlankUs / hperiod_est_us)) + 1;
  vbi_lines = std::max(vbi_lines, vfront + vsync + kMinVBackPorch);
  const int vtotal = height + vbi_lines;
  const double clock_mhz = clock_step_mhz * std::floor(fps * vtotal * (cell_width + hblank) /
                                                       1'000'000.0 / clock_step_mhz);
  Mode m;
  m.width = width;
  m.height = height;
  m.htotal = width + hblank;
  m.vtotal = vtotal;
  m.pixel_clock_hz = std::llround(clock_mhz * 1'000'000.0);
  char buf[64];
  std::snprintf(buf, sizeof buf, "CVT-RB%s %dx%d@%.2f", version == 2 ? "v2" : "", width, height,
                m.refresh());
  m.name = buf;
  return m;
}

Mode Mode::timings(int width, int height, int htotal, int vtotal, int64_t pixel_clock_hz) {
  Mode m;
  m.width = width;
  m.height = height;
  m.htotal = htotal;
  m.vtotal = vtotal;
  m.pixel_clock_hz = pixel_clock_hz;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%dx%d (%dx%d, %lld Hz)", width, height, htotal, vtotal,
                static_cast<long long>(pixel_clock_hz));
  m.name = buf;
  return m;
}

Mode Mode::parse(std::string_view text) {
  auto m = parse_mode(text);
  if (!m) throw std::invalid_argument("unknown mode '" + std::string(text) + "'");
  return *m;
}

Mode Mode::fractional() const {
  Mode m = *this;
  m.pixel_clock_hz = (pixel_clock_hz * 1000 + 500) / 1001;
  char buf[32];
  std::snprintf(buf, sizeof buf, " (1000/1001: %.2f)", m.refresh());
  m.name += buf;
  return m;
}

std::optional<Mode> parse_mode(std::string_view text) {
  std::string_view s = trim(text);
  if (s.empty()) return std::nullopt;

  if (starts_with_nocase(s, "vic")) {
    auto id = parse_int(s.substr(3));
    if (!id) return std::nullopt;
    return find_cta(static_cast<int>(*id));
  }
  if (starts_with_nocase(s, "dmt")) {
    auto id = parse_int(s.substr(3));
    if (!id) return std::nullopt;
    return find_dmt(static_cast<int>(*id));
  }

  // Explicit timings: width x height, htotal, vtotal, pixel clock.
  if (s.find(',') != std::string_view::npos) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
      size_t comma = s.find(',', start);
      parts.push_back(s.substr(start, comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (parts.size() != 4) return std::nullopt;
    size_t x = parts[0].find('x');
    if (x == std::string_view::npos) return std::nullopt;
    auto w = parse_int(parts[0].substr(0, x));
    auto h = parse_int(parts[0].substr(x + 1));
    auto ht = parse_int(parts[1]);
    auto vt = parse_int(parts[2]);
    auto clk = parse_int(parts[3]);
    if (!w || !h || !ht || !vt || !clk || *w <= 0 || *h <= 0 || *ht < *w || *vt < *h || *clk <= 0 ||
        *ht > 65535 || *vt > 65535 || *clk > kMaxPixelClockHz) {
      return std::nullopt;
    }
    Mode m = Mode::timings(static_cast<int>(*w), static_cast<int>(*h), static_cast<int>(*ht),
                           static_cast<int>(*vt), *clk);
    if (m.refresh() > kMaxRefreshHz) return std::nullopt;  // a small frame at a fast clock
    return m;
  }

  // "1080p60" and friends.
  size_t p = s.find('p');
  if (p != std::string_view::npos && s.find('x') == std::string_view::npos) {
    auto lines = parse_int(s.substr(0, p));
    std::optional<double> rate;
    if (p + 1 < s.size()) {
      rate = parse_double(s.substr(p + 1));
      if (!rate) return std::nullopt;
    }
    if (!lines) return std::nullopt;
    int w = 0;
    switch (*lines) {
      case 480:
        w = 720;
        break;
      case 576:
        w = 720;
        break;
      case 720:
        w = 1280;
        break;
      case 1080:
        w = 1920;
        break;
      case 2160:
        w = 3840;
        break;
      default:
        return std::nullopt;
    }
    double fps = rate.value_or(*lines == 576 ? 50.0 : 60.0);
    if (fps <= 0 || fps > kMaxRefreshHz) return std::nullopt;
    for (const auto& e : kCtaFormats) {
      Mode m = from_entry(e, "VIC", false);
      if (m.width == w && m.height == *lines && rate_matches(m.refresh(), fps, 0.005)) return m;
    }
    return std::nullopt;
  }

  // WIDTHxHEIGHT@FPS[-rb|-rb2]
  size_t x = s.find('x');
  size_t at = s.find('@');
  if (x == std::string_view::npos || at == std::string_view::npos || at < x) return std::nullopt;
  auto w = parse_int(s.substr(0, x));
  auto h = parse_int(s.substr(x + 1, at - x - 1));
  std::string_view rate_text = s.substr(at + 1);
  int cvt_version = 0;
  size_t dash = rate_text.find('-');
  if (dash != std::string_view::npos) {
    std::string_view suffix = rate_text.substr(dash + 1);
    if (suffix == "rb" || suffix == "rb1") {
      cvt_version = 1;
    } else if (suffix == "rb2") {
      cvt_version = 2;
    } else {
      return std::nullopt;
    }
    rate_text = rate_text.substr(0, dash);
  }
  auto fps = parse_double(rate_text);
  if (!w || !h || !fps || *w <= 0 || *h <= 0 || *fps <= 0 || *fps > kMaxRefreshHz || *w > 16384 ||
      *h > 16384) {
    return std::nullopt;
  }
  // CVT rounds the pixel clock down to its step (0.25 MHz for version 1): a size and rate that
  // need less than one step have no clock, and are no timing.
  auto with_clock = [](Mode m) -> std::optional<Mode> {
    if (m.pixel_clock_hz <= 0) return std::nullopt;
    return m;
  };
  if (cvt_version != 0) {
    return with_clock(Mode::cvt_rb(static_cast<int>(*w), static_cast<int>(*h), *fps, cvt_version));
  }
  // A 1000/1001 rate of a listed format, e.g. 1920x1080@59.94.
  if (auto m = find_by_size(static_cast<int>(*w), static_cast<int>(*h), *fps)) {
    if (rate_matches(m->refresh(), *fps, 0.0001)) return m;
    Mode f = m->fractional();
    if (rate_matches(f.refresh(), *fps, 0.0001)) return f;
    return m;
  }
  return with_clock(Mode::cvt_rb(static_cast<int>(*w), static_cast<int>(*h), *fps, 1));
}

}  // namespace board
