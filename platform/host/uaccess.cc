// User memory: the calling task's user ranges, copy_to_user/copy_from_user and
// simple_read_from_buffer.
#include "uaccess.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "faults.h"
#include "kernel.h"
#include "platform/errno.h"
#include "platform/procfs.h"
#include "sched.h"
#include "warn.h"

namespace host {
namespace {

// The user ranges of the calling task, innermost last. Only the task itself touches them.
thread_local std::vector<UserBuffer> t_user_ranges;

// The number of bytes from `p` on that can be touched, 0 when `p` lies in no range.
size_t accessible_from(const void* p) {
  const auto addr = reinterpret_cast<uintptr_t>(p);
  for (auto it = t_user_ranges.rbegin(); it != t_user_ranges.rend(); ++it) {
    if (it->data == nullptr) continue;
    const auto begin = reinterpret_cast<uintptr_t>(it->data);
    if (addr < begin || addr >= begin + it->size) continue;
    const uintptr_t ok_end = begin + it->accessible;
    return addr < ok_end ? ok_end - addr : 0;
  }
  return 0;
}

void might_fault(const char* what) {
  if (in_atomic_context()) {
    warn_context("BUG: sleeping function called from invalid context (%s)", what);
  }
}

// A fault rule on the copy makes the whole user range unreadable for it, as an address that is
// not mapped would.
bool copy_fails(const char* what) { return Kernel::booted() && fault(what).has_value(); }

void copy_done(const char* what) {
  if (Kernel::booted()) hook_point(what);
}

}  // namespace

UserMemoryScope::UserMemoryScope(const UserBuffer& buf) { t_user_ranges.push_back(buf); }
UserMemoryScope::~UserMemoryScope() { t_user_ranges.pop_back(); }

}  // namespace host

extern "C" {

unsigned long copy_to_user(void __user* to, const void* from, unsigned long n) {
  host::might_fault("copy_to_user");
  if (n == 0) return 0;
  if (host::copy_fails("copy_to_user")) return n;
  size_t ok = host::accessible_from(to);
  if (ok > n) ok = n;
  if (ok > 0) std::memcpy(to, from, ok);
  host::copy_done("copy_to_user");
  return n - ok;
}

unsigned long copy_from_user(void* to, const void __user* from, unsigned long n) {
  host::might_fault("copy_from_user");
  if (n == 0) return 0;
  size_t ok = host::copy_fails("copy_from_user") ? 0 : host::accessible_from(from);
  if (ok > n) ok = n;
  if (ok > 0) std::memcpy(to, from, ok);
  // As Linux: the bytes that could not be copied are zeroed.
  if (ok < n) std::memset(static_cast<char*>(to) + ok, 0, n - ok);
  host::copy_done("copy_from_user");
  return n - ok;
}

ssize_t simple_read_from_buffer(void __user* to, size_t count, loff_t* ppos, const void* from,
                                size_t available) {
  const loff_t pos = *ppos;
  if (pos < 0) return -EINVAL;
  if (static_cast<unsigned long long>(pos) >= available || count == 0) return 0;
  if (count > available - static_cast<size_t>(pos)) count = available - static_cast<size_t>(pos);
  const unsigned long left = copy_to_user(to, static_cast<const char*>(from) + pos, count);
  if (left == count) return -EFAULT;
  count -= left;
  *ppos = pos + static_cast<loff_t>(count);
  return static_cast<ssize_t>(count);
}

}  // extern "C"
