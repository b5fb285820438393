#include "tools/monitor/follower.h"

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

std::string seconds(int64_t ms, bool json) {
  char buf[32];
  std::snprintf(buf, sizeof buf, json ? "%.3f" : "%9.3f", static_cast<double>(ms) / 1000.0);
  return buf;
}

// A vanished directory (unbind, rmmod, simulator gone) rather than a real failure.
bool is_gone_errno(int e) {
  return e == ENOENT || e == EIO || e == ENODEV || e == ENOTCONN || e == ESTALE || e == ENOTDIR;
}

}  // namespace

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string format_state(const Snapshot& s, int64_t elapsed_ms, bool acked, bool json) {
  if (json) {
    return "{\"event\":\"state\",\"time\":" + seconds(elapsed_ms, true) +
           ",\"status\":" + json_quote(trim_newline(s.status)) +
           ",\"width\":" + json_number(s.width) + ",\"height\":" + json_number(s.height) +
           ",\"fps\":" + json_number(s.fps) + ",\"hdcp\":" + json_quote(trim_newline(s.hdcp)) +
           ",\"asr\":" + json_quote(trim_newline(s.asr)) +
           ",\"acked\":" + (acked ? "true" : "false") + "}";
  }
  auto or_unknown = [](const std::string& t) {
    std::string v = trim_newline(t);
    return v.empty() ? std::string("?") : v;
  };
  std::string line = "[" + seconds(elapsed_ms, false) + "] " + or_unknown(s.status) + ": " +
                     or_unknown(s.width) + "x" + or_unknown(s.height) + " @ " + or_unknown(s.fps) +
                     " fps, " + or_unknown(s.hdcp) + ", asr " + or_unknown(s.asr);
  if (acked) line += ", ok sent";
  return line;
}

std::string format_event(const std::string& event, const std::string& message, int64_t elapsed_ms,
                         bool json) {
  if (json) {
    return "{\"event\":" + json_quote(event) + ",\"time\":" + seconds(elapsed_ms, true) +
           ",\"message\":" + json_quote(message) + "}";
  }
  return "[" + seconds(elapsed_ms, false) + "] " + message;
}

Follower::Follower(StatusTree& tree, Options options, std::function<void(const std::string&)> out,
                   std::function<void(const std::string&)> err)
    : tree_(tree), options_(std::move(options)), out_(std::move(out)), err_(std::move(err)) {}

std::optional<int64_t> Follower::remaining_ms() const {
  if (!options_.timeout_ms) return std::nullopt;
  return *options_.timeout_ms - tree_.now_ms();
}

void Follower::emit_state(const Snapshot& s, bool acked) {
  out_(format_state(s, tree_.now_ms(), acked, options_.json));
  ++printed_;
}

void Follower::emit_event(const std::string& event, const std::string& message) {
  out_(format_event(event, message, tree_.now_ms(), options_.json));
}

Follower::Step Follower::refresh() {
  int e = 0;
  std::optional<Snapshot> s = tree_.read(&e);
  if (!s) {
    if (is_gone_errno(e)) return Step::kGone;
    err_(std::string("lt7911-monitor: reading the texts failed: ") + std::strerror(e));
    return Step::kError;
  }
  if (!pending_event_.empty()) {
    emit_event("returned", pending_event_);
    pending_event_.clear();
  }
  if (last_ && *last_ == *s) return Step::kOk;
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
  emit_state(*s, acked);
  last_ = *s;
  return Step::kOk;
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
      int e = 0;
      if (tree_.open_status(&e)) {
        open = true;
        // "returned" is said once the texts read again, just before their state line.
        if (ever_open && announced) pending_event_ = dir + " is back";
        Step st = refresh();
        if (st == Step::kError) return kExitError;
        if (st == Step::kGone) {
          // It opened but does not read (an entry being removed): look again later.
          tree_.close_status();
          open = false;
          pending_event_.clear();
          if (!announced) emit_event("vanished", dir + " vanished; waiting for it to come back");
          announced = true;
          int64_t p = rem ? std::min(options_.retry_ms, *rem) : options_.retry_ms;
          if (!tree_.pause(p)) return exit_code_;
        } else {
          ever_open = true;
          announced = false;
        }
        continue;
      }
      if (!is_gone_errno(e)) {
        err_("lt7911-monitor: cannot open " + dir + "/status: " + std::strerror(e));
        return kExitError;
      }
      if (!announced) {
        emit_event("waiting", "waiting for " + dir);
        announced = true;
      }
      int64_t p = rem ? std::min(options_.retry_ms, *rem) : options_.retry_ms;
      if (!tree_.pause(p)) return exit_code_;
      continue;
    }
    int64_t t = rem ? std::min(options_.heartbeat_ms, *rem) : options_.heartbeat_ms;
    Wake w = tree_.wait(t);
    if (w == Wake::kInterrupted) return exit_code_;
    if (w == Wake::kError) {
      err_(std::string("lt7911-monitor: poll failed: ") + std::strerror(errno));
      return kExitError;
    }
    Step st = refresh();
    if (st == Step::kError) return kExitError;
    if (st == Step::kGone) {
      tree_.close_status();
      open = false;
      emit_event("vanished", dir + " vanished; waiting for it to come back");
      announced = true;
    } else if (w == Wake::kGone) {
      // The poll said hang-up but the texts still read: do not spin on it.
      if (!tree_.pause(options_.retry_ms)) return exit_code_;
    }
  }
  return kExitOk;
}

}  // namespace monitor
