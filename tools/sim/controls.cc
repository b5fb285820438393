#include "tools/sim/controls.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

namespace sim {
namespace {

std::optional<int64_t> parse_integer(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool negative = false;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return negative ? -v : v;
}

// Errno names the fault grammar accepts.
constexpr std::pair<const char*, int> kErrnoNames[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},       {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},
    {"EFAULT", EFAULT},       {"EBUSY", EBUSY},         {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},       {"EINVAL", EINVAL},       {"ENOSPC", ENOSPC},
    {"EREMOTEIO", EREMOTEIO}, {"ETIMEDOUT", ETIMEDOUT}, {"EOPNOTSUPP", EOPNOTSUPP},
};

// The host-kernel calls a fault rule can make fail.
constexpr const char* kFaultCalls[] = {
    "copy_from_user", "copy_to_user",      "gpio_request",         "gpiod_direction_output",
    "gpiod_to_irq",   "i2c_get_adapter",   "i2c_new_dummy",        "kmalloc",
    "kzalloc",        "of_get_named_gpio", "of_property_read_u32", "proc_create",
    "proc_mkdir",     "request_irq",       "try_module_get",
};

bool is_fault_call(std::string_view s) {
  for (const char* c : kFaultCalls) {
    if (s == c) return true;
  }
  return false;
}

std::string fault_calls() {
  std::string out;
  for (const char* c : kFaultCalls) out += (out.empty() ? "" : ", ") + std::string(c);
  return out;
}

bool is_call_name(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// One line: a single trailing line feed (or CR LF) is allowed, an inner one is not.
static host::Result<std::vector<std::string_view>> words_of(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0') return host::Error("one command per write");
  }
  return split_words(text);
}

namespace {

// The LT7911D receives HDMI 2.0 at most: a 600 MHz pixel clock (TMDS character rate).
constexpr int64_t kMaxHdmiPixelClockHz = 600'000'000;

bool all_digits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Why a mode text is not a mode, as helpfully as the text allows.
std::string why_not_a_mode(std::string_view word) {
  const std::string w(word);
  const std::string forms =
      "; modes are WxH@RATE (1920x1080@60), 1080p60, vic16, dmt0x52, 2560x1440@60-rb2 or "
      "WxH,HTOTAL,VTOTAL,CLK_HZ (1920x1080,2200,1125,148500000)";
  const size_t i = word.find('i');
  if (i != std::string_view::npos && i > 0 && all_digits(word.substr(0, i)) &&
      (i + 1 == word.size() ||
       word.substr(i + 1).find_first_not_of("0123456789.") == std::string_view::npos)) {
    return "'" + w + "' is interlaced: the board's sources are progressive only (try " +
           std::string(word.substr(0, i)) + "p" + std::string(word.substr(i + 1)) + ")";
  }
  const size_t x = word.find('x');
  if (x != std::string_view::npos && all_digits(word.substr(0, x)) &&
      all_digits(word.substr(x + 1))) {
    return "'" + w + "' needs a refresh rate, as in " + w + "@60";
  }
  if (word.size() >= 2 && (word.starts_with("4k") || word.starts_with("4K"))) {
    return "unknown mode '" + w + "' (for 4K try 3840x2160@" +
           (word.size() > 2 ? std::string(word.substr(2)) : std::string("60")) + ")" + forms;
  }
  if (word.find("nan") != std::string_view::npos || word.find("inf") != std::string_view::npos) {
    return "'" + w + "' has no finite rate" + forms;
  }
  const size_t at = word.find('@');
  if (at != std::string_view::npos) {
    std::string_view rate = word.substr(at + 1);
    rate = rate.substr(0, rate.find('-'));
    double r = 0;
    auto [end, ec] = std::from_chars(rate.data(), rate.data() + rate.size(), r);
    if ((ec == std::errc() || ec == std::errc::result_out_of_range) &&
        end == rate.data() + rate.size() && !(r > 0 && r <= board::kMaxRefreshHz)) {
      return "'" + w + "': the refresh rate must be above 0 and at most 1000 Hz";
    }
  }
  const size_t comma = word.rfind(',');
  if (comma != std::string_view::npos) {
    std::string_view clk = word.substr(comma + 1);
    if (all_digits(clk) &&
        (clk.size() > 11 || std::stoll(std::string(clk)) > kMaxHdmiPixelClockHz)) {
      return "'" + w + "': a pixel clock of " + std::string(clk) +
             " Hz is more than HDMI 2.0 carries (600 MHz)";
    }
  }
  return "unknown mode '" + w + "'" + forms;
}

// hz as a double: a clock too large for 64-bit Hz is still told in MHz.
std::string mhz(double hz) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f MHz", hz / 1e6);
  return buf;
}

}  // namespace

host::Result<HdmiCommand> parse_hdmi(std::string_view text) {
  auto w = words_of(text);
  if (!w) return w.error();
  const auto& words = *w;
  if (words.size() == 1 && words[0] == "unplug") return HdmiCommand{};
  if (words.size() < 2 || words[0] != "plug") {
    return host::Error(
        "expected 'plug MODE', 'plug timing W H HTOTAL VTOTAL PCLK_KHZ' or 'unplug'");
  }
  if (words[1] == "timing") {
    if (words.size() != 7) return host::Error("plug timing takes W H HTOTAL VTOTAL PCLK_KHZ");
    int64_t v[5];
    for (int i = 0; i < 5; ++i) {
      auto n = parse_integer(words[2 + i]);
      if (!n || *n <= 0)
        return host::Error("plug timing: '" + std::string(words[2 + i]) +
                           "' is not a positive number");
      v[i] = *n;
    }
    if (v[0] > 65535 || v[1] > 65535 || v[2] < v[0] || v[3] < v[1] || v[2] > 65535 ||
        v[3] > 65535) {
      return host::Error("plug timing: totals must hold the active size and fit 16 bits");
    }
    // Compared in kHz, as given: a clock of any size is refused without a product that could
    // overflow (the limit is a whole number of kHz).
    static_assert(kMaxHdmiPixelClockHz % 1000 == 0);
    if (v[4] > kMaxHdmiPixelClockHz / 1000) {
      return host::Error("plug timing: a " + mhz(static_cast<double>(v[4]) * 1e3) +
                         " pixel clock is more than HDMI 2.0 carries (600 MHz)");
    }
    board::Mode m =
        board::Mode::timings(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                             static_cast<int>(v[3]), v[4] * 1000);
    if (m.refresh() > board::kMaxRefreshHz) {
      char rate[32];
      std::snprintf(rate, sizeof rate, "%.2f Hz", m.refresh());
      return host::Error(
          std::string("plug timing: a frame of these totals at this clock comes at ") + rate +
          ", more than 1000 Hz");
    }
    return HdmiCommand{std::move(m)};
  }
  if (words.size() != 2) return host::Error("plug takes one mode");
  std::optional<board::Mode> m = board::parse_mode(words[1]);
  if (!m) return host::Error(why_not_a_mode(words[1]));
  if (m->pixel_clock_hz > kMaxHdmiPixelClockHz) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f Hz", m->refresh());
    return host::Error("'" + std::string(words[1]) + "' (" + std::to_string(m->width) + "x" +
                       std::to_string(m->height) + " at " + rate + ") needs a " +
                       mhz(m->pixel_clock_hz) +
                       " pixel clock, more than HDMI 2.0 carries (600 MHz) and the LT7911D takes");
  }
  return HdmiCommand{std::move(m)};
}

host::Result<uint8_t> parse_audio(std::string_view text) {
  auto w = words_of(text);
  if (!w) return w.error();
  if (w->size() != 1) return host::Error("expected one sample-rate byte");
  auto n = parse_integer((*w)[0]);
  if (!n || *n < 0 || *n > 255) return host::Error("the sample-rate byte is 0..255");
  return static_cast<uint8_t>(*n);
}

host::Result<ModuleCommand> parse_module(std::string_view text) {
  auto w = words_of(text);
  if (!w) return w.error();
  const auto& words = *w;
  if (words.size() == 1 && words[0] == "rmmod") return ModuleCommand{false, {}};
  if (words.empty() || words[0] != "insmod")
    return host::Error("expected 'insmod [NAME=VALUE ...]' or 'rmmod'");
  ModuleCommand c;
  for (size_t i = 1; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == 0 || eq == std::string_view::npos || !is_call_name(words[i].substr(0, eq))) {
      return host::Error("parameter '" + std::string(words[i]) + "' is not NAME=VALUE");
    }
    c.params.emplace_back(words[i]);
  }
  return c;
}

std::optional<int> parse_errno(std::string_view text) {
  std::string_view s = text;
  if (s.starts_with('-')) s.remove_prefix(1);
  for (const auto& [name, value] : kErrnoNames) {
    if (s == name) return -value;
  }
  auto n = parse_integer(s);
  if (!n || *n <= 0 || *n > 4095) return std::nullopt;
  return -static_cast<int>(*n);
}

namespace {

constexpr std::pair<const char*, board::FaultKind> kBusFaultKinds[] = {
    {"noack", board::FaultKind::kNoAck},
    {"eio", board::FaultKind::kIo},
    {"timeout", board::FaultKind::kTimeout},
    {"wrongbyte", board::FaultKind::kWrongByte},
};

constexpr std::pair<const char*, board::Direction> kDirections[] = {
    {"select", board::Direction::kSelect},
    {"write", board::Direction::kWrite},
    {"read", board::Direction::kRead},
};

std::optional<uint8_t> parse_byte(std::string_view s) {
  auto n = parse_integer(s);
  if (!n || *n < 0 || *n > 255) return std::nullopt;
  return static_cast<uint8_t>(*n);
}

// nth and times of both kinds of rule: a count from 1; times may also be "always" (-1).
std::optional<int> parse_count(std::string_view s) {
  auto n = parse_integer(s);
  if (!n || *n < 1 || *n > 1'000'000) return std::nullopt;
  return static_cast<int>(*n);
}

std::optional<int> parse_times(std::string_view s) {
  if (s == "always") return -1;
  return parse_count(s);
}

std::string format_counts(int nth, int times) {
  return " nth=" + std::to_string(nth) +
         " times=" + (times < 0 ? std::string("always") : std::to_string(times));
}

std::string hex_byte(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v);
  return buf;
}

host::Result<FaultCommand> parse_bus_fault(const std::vector<std::string_view>& words) {
  if (words.size() < 2)
    return host::Error("expected 'bus noack|eio|timeout|wrongbyte [KEY=VALUE ...]'");
  board::BusFault f;
  bool kind_known = false;
  for (const auto& [name, kind] : kBusFaultKinds) {
    if (words[1] == name) {
      f.kind = kind;
      kind_known = true;
    }
  }
  if (!kind_known) return host::Error("unknown bus fault '" + std::string(words[1]) + "'");
  bool times_given = false;
  bool corruption_given = false;
  for (size_t i = 2; i < words.size(); ++i) {
    std::string_view word = words[i];
    size_t eq = word.find('=');
    if (eq == std::string_view::npos)
      return host::Error("'" + std::string(word) + "' is not KEY=VALUE");
    std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
    if (key == "addr") {
      auto n = parse_integer(value);
      if (!n || *n < 0 || *n > 0x7f) return host::Error("addr is a 7-bit address");
      f.match.addr = static_cast<uint16_t>(*n);
    } else if (key == "bank" || key == "reg") {
      auto b = parse_byte(value);
      if (!b) return host::Error(std::string(key) + " is a byte");
      (key == "bank" ? f.match.bank : f.match.reg) = *b;
    } else if (key == "dir") {
      bool found = false;
      for (const auto& [name, dir] : kDirections) {
        if (value == name) {
          f.match.dir = dir;
          found = true;
        }
      }
      if (!found) return host::Error("dir is select, write or read");
    } else if (key == "nth") {
      auto n = parse_count(value);
      if (!n) return host::Error("nth is a count from 1");
      f.nth = *n;
    } else if (key == "times") {
      times_given = true;
      auto n = parse_times(value);
      if (!n) return host::Error("times is a count from 1 or 'always'");
      f.times = *n;
    } else if (key == "fraction") {
      double d = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), d);
      if (ec != std::errc() || end != value.data() + value.size() || !(d > 0.0) || !(d <= 1.0)) {
        return host::Error("fraction is a number above 0 and at most 1");
      }
      f.fraction = d;
    } else if (key == "seed") {
      auto n = parse_integer(value);
      if (!n || *n < 0) return host::Error("seed is a number from 0");
      f.seed = static_cast<uint64_t>(*n);
    } else if (key == "value" || key == "xor") {
      if (f.kind != board::FaultKind::kWrongByte) {
        return host::Error(std::string(key) + " belongs to a wrongbyte fault");
      }
      if (corruption_given) return host::Error("give value or xor, once");
      corruption_given = true;
      auto b = parse_byte(value);
      if (!b) return host::Error(std::string(key) + " is a byte");
      if (key == "value") {
        f.stuck_value = *b;
      } else {
        f.xor_mask = *b;
      }
    } else {
      return host::Error("unknown key '" + std::string(key) + "'");
    }
  }
  if (!times_given && f.fraction < 1.0) f.times = -1;
  FaultCommand c;
  c.bus = f;
  return c;
}

}  // namespace

host::Result<FaultCommand> parse_fault(std::string_view text) {
  auto w = words_of(text);
  if (!w) return w.error();
  const auto& words = *w;
  if (words.size() == 1 && words[0] == "clear") return FaultCommand{};
  if (!words.empty() && words[0] == "bus") return parse_bus_fault(words);
  if (words.empty() || !is_call_name(words[0])) {
    return host::Error(
        "expected 'CALL [match=ARG] [nth=N] [times=N|always] [error=ERRNO]' or 'clear'");
  }
  if (!is_fault_call(words[0])) {
    return host::Error("unknown call '" + std::string(words[0]) +
                       "'; the calls that can fail are " + fault_calls() + ", or 'bus KIND ...'");
  }
  host::FaultRule rule;
  rule.call = std::string(words[0]);
  for (size_t i = 1; i < words.size(); ++i) {
    std::string_view word = words[i];
    size_t eq = word.find('=');
    if (eq == std::string_view::npos)
      return host::Error("'" + std::string(word) + "' is not KEY=VALUE");
    std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
    if (key == "match") {
      if (value.empty()) return host::Error("match needs a value");
      rule.match = std::string(value);
    } else if (key == "nth") {
      auto n = parse_count(value);
      if (!n) return host::Error("nth is a count from 1");
      rule.nth = *n;
    } else if (key == "times") {
      auto n = parse_times(value);
      if (!n) return host::Error("times is a count from 1 or 'always'");
      rule.times = *n;
    } else if (key == "error") {
      auto e = parse_errno(value);
      if (!e) return host::Error("unknown errno '" + std::string(value) + "'");
      rule.error = *e;
    } else {
      return host::Error("unknown key '" + std::string(key) + "'");
    }
  }
  FaultCommand c;
  c.rule = std::move(rule);
  return c;
}

std::string format_fault(const host::FaultRule& rule) {
  std::string s = rule.call;
  if (!rule.match.empty()) s += " match=" + rule.match;
  s += format_counts(rule.nth, rule.times);
  std::string err = std::to_string(rule.error);
  for (const auto& [name, value] : kErrnoNames) {
    if (-value == rule.error) err = std::string("-") + name;
  }
  return s + " error=" + err;
}

std::string format_fault(const board::BusFault& f) {
  std::string s = "bus";
  for (const auto& [name, kind] : kBusFaultKinds) {
    if (f.kind == kind) s += std::string(" ") + name;
  }
  if (f.match.addr) s += " addr=" + hex_byte(*f.match.addr);
  if (f.match.bank) s += " bank=" + hex_byte(*f.match.bank);
  if (f.match.reg) s += " reg=" + hex_byte(*f.match.reg);
  if (f.match.dir) {
    for (const auto& [name, dir] : kDirections) {
      if (*f.match.dir == dir) s += std::string(" dir=") + name;
    }
  }
  s += format_counts(f.nth, f.times);
  if (f.fraction < 1.0) {
    char buf[32];
    auto end = std::to_chars(buf, buf + sizeof buf, f.fraction).ptr;  // shortest exact form
    s += " fraction=" + std::string(buf, end) + " seed=" + std::to_string(f.seed);
  }
  if (f.kind == board::FaultKind::kWrongByte) {
    s += f.stuck_value ? " value=" + hex_byte(*f.stuck_value) : " xor=" + hex_byte(f.xor_mask);
  }
  return s;
}

std::string format_source(const std::optional<board::Mode>& mode) {
  if (!mode) return "unplugged";
  char buf[160];
  std::snprintf(buf, sizeof buf, "%dx%d@%.2f htotal %d vtotal %d pclk %lld kHz (%s)", mode->width,
                mode->height, mode->refresh(), mode->htotal, mode->vtotal,
                static_cast<long long>(mode->pixel_clock_hz / 1000), mode->name.c_str());
  return buf;
}

}  // namespace sim
