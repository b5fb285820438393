#include "tools/monitor/follower.h"

#include "board/json_quote.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace monitor {
namespace {

std::string trim_newline(const std::string& text) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

// The decimal number a width, height or fps text holds, as JSON (null when it holds none).
std::string json_number(const std::string& text) {
  std::string t = trim_newline(text);
  size_t digits = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i == 0 && t[i] == '-' && t.size() > 1) continue;
    if (t[i] < '0' || t[i] > '9') return "null";
    ++digits;
  }
  if (digits == 0 || digits > 10) return "null";
  return t;
}

// Seconds on the board's clock, as its kernel log shows them.
std::string seconds(int64_t us, bool json) {
  char buf[40];
  if (us < 0) us = 0;
  std::snprintf(buf, sizeof buf, json ? "%lld.%06lld" : "%5lld.%06lld",
                static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
  return buf;
}

// A text that should hold a number, as JSON: the number, or null.
std::string json_number_or_null(const std::string& text) { return json_number(text); }

// A vanished directory (unbind, rmmod, simulator gone) rather than a real failure.
bool is_gone_errno(int e) {
  return e == ENOENT || e == EIO || e == ENODEV || e == ENOTCONN || e == ESTALE || e == ENOTDIR;
}

}  // namespace

std::string json_quote(const std::string& text) { return board::json_quote(text); }

std::string format_state(const Snapshot& s, int64_t time_us, bool acked, bool json) {
  if (json) {
    const std::string power = trim_newline(s.power);
    return "{\"event\":\"state\",\"time\":" + seconds(time_us, true) +
           ",\"status\":" + json_quote(trim_newline(s.status)) +
           ",\"width\":" + json_number(s.width) + ",\"height\":" + json_number(s.height) +
           ",\"fps\":" + json_number(s.fps) + ",\"hdcp\":" + json_quote(trim_newline(s.hdcp)) +
           ",\"asr\":" + json_number_or_null(s.asr) +
           ",\"power\":" + (power.empty() ? std::string("null") : json_quote(power)) +
           ",\"acked\":" + (acked ? "true" : "false") + "}";
  }
  auto or_unknown = [](const std::string& t) {
    std::string v = trim_newline(t);
    return v.empty() ? std::string("?") : v;
  };
  std::string line = "[" + seconds(time_us, false) + "] " + or_unknown(s.status) + ": " +
                     or_unknown(s.width) + "x" + or_unknown(s.height) + " @ " + or_unknown(s.fps) +
                     " fps, " + or_unknown(s.hdcp) + ", asr " + or_unknown(s.asr);
  if (trim_newline(s.power) == "off") line += ", power off";
  if (acked) line += ", ok sent";
  return line;
}

std::string format_event(const std::string& event, const std::string& message, int64_t time_us,
                         bool json) {
  if (json) {
    return "{\"event\":" + json_quote(event) + ",\"time\":" + seconds(time_us, true) +
           ",\"message\":" + json_quote(message) + "}";
  }
  return "[" + seconds(time_us, false) + "] " + message;
}

Follower::Follower(StatusTree& tree, Options options, std::function<void(const std::string&)> out,
                   std::function<void(const std::string&)> err)
    : tree_(tree), options_(std::move(options)), out_(std::move(out)), err_(std::move(err)) {}

std::optional<int64_t> Follower::remaining_ms() const {
  if (!options_.timeout_ms) return std::nullopt;
  return *options_.timeout_ms - tree_.now_ms();
}

void Follower::emit_state(const Snapshot& s, bool acked, bool woken) {
  out_(format_state(s, tree_.clock_us(), acked, options_.json));
  ++printed_;
  const bool matches = options_.until && trim_newline(s.status) == *options_.until;
  if (matches && woken) until_met_ = true;
  until_at_start_ = matches && !woken;
}

void Follower::emit_event(const std::string& event, const std::string& message) {
  out_(format_event(event, message, tree_.clock_us(), options_.json));
}

Follower::Step Follower::refresh(bool woken) {
  host::Result<Snapshot> s = tree_.read();
  if (!s) {
    const int e = s.error().errnum;
    if (is_gone_errno(e)) return Step::kGone;
    err_(std::string("lt7911-monitor: reading the texts failed: ") + std::strerror(e));
    return Step::kError;
  }
  if (!pending_event_.empty()) {
    emit_event("returned", pending_event_);
    pending_event_.clear();
  }
  if (last_ && *last_ == *s) {
    if (woken && until_at_start_) until_met_ = true;  // notified, and nothing changed meanwhile
    return Step::kOk;
  }
  bool acked = false;
  if (options_.ack && s->status == "new res\n") {
    int r = tree_.ack();
    if (r != 0) {
      if (is_gone_errno(r)) return Step::kGone;
      err_(std::string("lt7911-monitor: writing ok failed: ") + std::strerror(r));
      return Step::kError;
    }
    acked = true;
  }
  emit_state(*s, acked, woken);
  last_ = *s;
  return Step::kOk;
}

bool Follower::await_change() {
  std::optional<int64_t> rem = remaining_ms();
  return tree_.await_change(rem ? std::max<int64_t>(*rem, 0) : -1);
}

int Follower::run() {
  const std::string dir =
      options_.root + (options_.root.ends_with('/') ? "" : "/") + "proc/lt7911_info";
  bool open = false;
  bool ever_open = false;
  bool announced = false;  // a "waiting" or "vanished" line is out since the last open
  while (!done()) {
    std::optional<int64_t> rem = remaining_ms();
    if (rem && *rem <= 0) return kExitTimeout;
    if (!open) {
      host::Result<void> opened = tree_.open_status();
      if (opened) {
        open = true;
        // "returned" is said once the texts read again, just before their state line.
        if (ever_open && announced) pending_event_ = dir + " is back";
        Step st = refresh(false);
        if (st == Step::kError) return kExitError;
        if (st == Step::kGone) {
          // It opened but does not read (an entry being removed): look again after a change.
          tree_.close_status();
          open = false;
          pending_event_.clear();
          if (!announced) emit_event("vanished", dir + " vanished; waiting for it to come back");
          announced = true;
          if (!await_change()) return exit_code_;
        } else {
          ever_open = true;
          announced = false;
        }
        continue;
      }
      const int e = opened.error().errnum;
      if (!is_gone_errno(e)) {
        err_("lt7911-monitor: cannot open " + dir + "/status: " + std::strerror(e));
        return kExitError;
      }
      if (!announced) {
        if (ever_open) {
          emit_event("vanished", dir + " vanished; waiting for it to come back");
        } else {
          emit_event("waiting", "waiting for " + dir);
        }
        announced = true;
      }
      if (!await_change()) return exit_code_;
      continue;
    }
    int64_t limit = rem ? *rem : -1;
    if (until_at_start_)
      limit = limit < 0 ? options_.until_grace_ms : std::min(limit, options_.until_grace_ms);
    Wake w = tree_.wait(limit);
    if (w == Wake::kInterrupted) return exit_code_;
    if (w == Wake::kTimeout && until_at_start_ && !(rem && *rem <= limit)) {
      until_met_ = true;  // no change was on its way: the state at start stands
      continue;
    }
    if (w == Wake::kError) {
      err_(std::string("lt7911-monitor: poll failed: ") + std::strerror(errno));
      return kExitError;
    }
    Step st = refresh(w == Wake::kChanged);
    if (st == Step::kError) return kExitError;
    if (st == Step::kGone) {
      tree_.close_status();
      open = false;
      emit_event("vanished", dir + " vanished; waiting for it to come back");
      announced = true;
    } else if (w == Wake::kGone) {
      // The file hung up but the texts still read (an entry on its way out): let go of it and
      // open it again once something changed, rather than spin on the hang-up.
      tree_.close_status();
      open = false;
      if (!await_change()) return exit_code_;
    }
  }
  return kExitOk;
}

}  // namespace monitor
