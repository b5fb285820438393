// The standard integer parameter operations and the kernel's integer parser behind them.
#include <climits>
#include <cstdio>

#include "platform/errno.h"
#include "platform/moduleparam.h"

namespace {

constexpr size_t kPageSize = 4096;

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool is_xdigit(char c) { return digit_value(c) < 16; }

// As the kernel's kstrtoull: base 0 picks 16 for "0x" followed by a hex digit, 8 for a leading
// 0, else 10; digits must follow; one newline may end the text; nothing else may.
int parse_ull(const char* s, unsigned base, unsigned long long* out) {
  if (base == 0) {
    if (s[0] == '0') {
      base = ((s[1] | 0x20) == 'x' && is_xdigit(s[2])) ? 16 : 8;
    } else {
      base = 10;
    }
  }
  if (base == 16 && s[0] == '0' && (s[1] | 0x20) == 'x') s += 2;
  unsigned long long v = 0;
  bool overflow = false;
  const char* p = s;
  for (; *p != '\0'; ++p) {
    const int d = digit_value(*p);
    if (d >= static_cast<int>(base)) break;
    if (v > (ULLONG_MAX - static_cast<unsigned>(d)) / base) overflow = true;
    v = v * base + static_cast<unsigned>(d);
  }
  if (overflow) return -ERANGE;
  if (p == s) return -EINVAL;
  if (*p == '\n') ++p;
  if (*p != '\0') return -EINVAL;
  *out = v;
  return 0;
}

int parse_ll(const char* s, unsigned base, long long* out) {
  unsigned long long tmp;
  if (s[0] == '-') {
    const int rv = parse_ull(s + 1, base, &tmp);
    if (rv < 0) return rv;
    if (tmp > static_cast<unsigned long long>(LLONG_MAX) + 1) return -ERANGE;
    *out = tmp == static_cast<unsigned long long>(LLONG_MAX) + 1 ? LLONG_MIN
                                                                 : -static_cast<long long>(tmp);
    return 0;
  }
  if (s[0] == '+') ++s;
  const int rv = parse_ull(s, base, &tmp);
  if (rv < 0) return rv;
  if (tmp > static_cast<unsigned long long>(LLONG_MAX)) return -ERANGE;
  *out = static_cast<long long>(tmp);
  return 0;
}

int parse_int(const char* s, unsigned base, int* out) {
  long long tmp;
  const int rv = parse_ll(s, base, &tmp);
  if (rv < 0) return rv;
  if (tmp < INT_MIN || tmp > INT_MAX) return -ERANGE;
  *out = static_cast<int>(tmp);
  return 0;
}

}  // namespace

extern "C" {

int param_set_int(const char* val, const struct kernel_param* kp) {
  if (val == nullptr) return -EINVAL;
  return parse_int(val, 0, static_cast<int*>(kp->arg));
}

int param_get_int(char* buffer, const struct kernel_param* kp) {
  return std::snprintf(buffer, kPageSize, "%i\n", *static_cast<const int*>(kp->arg));
}

}  // extern "C"
