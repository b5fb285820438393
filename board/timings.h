// Video timings of HDMI sources: CTA-861 video formats (VICs), VESA DMT modes, CVT reduced
// blanking and fully explicit timings.
//
// A Mode is a plain value: the active size, the totals (active plus blanking) and the pixel
// clock. Only progressive formats are listed. Lookups that can fail return std::optional; the
// Mode::cta/dmt/parse shorthands throw std::invalid_argument for an unknown mode, which suits
// test code that names modes it knows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace board {

// Bounds of what parse_mode accepts: a refresh rate above kMaxRefreshHz, or an explicit pixel
// clock above kMaxPixelClockHz, is no video timing.
inline constexpr double kMaxRefreshHz = 1000.0;
inline constexpr int64_t kMaxPixelClockHz = 10'000'000'000;

struct Mode {
  std::string name;
  int width = 0;
  int height = 0;
  int htotal = 0;
  int vtotal = 0;
  int64_t pixel_clock_hz = 0;

  // Frames per second: pixel clock / (htotal * vtotal).
  double refresh() const;

  // CTA-861 progressive format by VIC.
  static Mode cta(int vic);
  // VESA DMT mode by DMT ID.
  static Mode dmt(int id);
  // CVT reduced blanking (version 1 or 2) for any size and rate.
  static Mode cvt_rb(int width, int height, double fps, int version = 1);
  // Fully explicit timings.
  static Mode timings(int width, int height, int htotal, int vtotal, int64_t pixel_clock_hz);
  // A name as parse_mode accepts it.
  static Mode parse(std::string_view text);

  // The same format at 1000/1001 of its rate (59.94 Hz for a 60 Hz format).
  Mode fractional() const;

  bool operator==(const Mode&) const = default;
};

std::optional<Mode> find_cta(int vic);
std::optional<Mode> find_dmt(int id);
// The VICs and DMT IDs this table knows.
std::vector<int> known_vics();
std::vector<int> known_dmts();

// Accepts:
//   "vic16" / "VIC 16"            a CTA-861 format
//   "dmt0x52" / "DMT 0x52"        a DMT mode
//   "1080p60", "720p50", "2160p30", "480p", "576p"   the usual CTA names
//   "1920x1080@60"                the CTA format of that size and rate, else the DMT mode,
//                                 else CVT reduced blanking
//   "1920x1080@59.94"             a CTA format at 1000/1001 of its rate
//   "2560x1440@60-rb2"            CVT reduced blanking v2 (also "-rb" for v1)
//   "1920x1080,2200,1125,148500000"  explicit width, height, htotal, vtotal, pixel clock (Hz)
std::optional<Mode> parse_mode(std::string_view text);

}  // namespace board
