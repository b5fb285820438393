// User memory: pieces of memory that the calling task may touch as user memory, for
// copy_to_user, copy_from_user and simple_read_from_buffer (platform/uaccess.h).
#pragma once

#include <cstddef>

namespace host {

// A piece of user memory: `size` bytes at `data`, of which the first `accessible` can be
// touched; a copy that reaches beyond them faults there.
struct UserBuffer {
  void* data = nullptr;
  size_t size = 0;
  size_t accessible = 0;

  // All bytes accessible.
  static UserBuffer of(void* data, size_t size) { return {data, size, size}; }
  // Faults after the first `accessible` bytes.
  static UserBuffer faulting_after(void* data, size_t size, size_t accessible) {
    return {data, size, accessible < size ? accessible : size};
  }
  // An address that is not mapped at all: every copy faults at its first byte.
  static UserBuffer unmapped(size_t size) { return {nullptr, size, 0}; }
};

// Makes `buf` part of the calling task's user memory until destroyed. The VFS opens one for
// the buffer of every read and write; tests that call copy_*_user directly open their own.
// Scopes nest; they must be destroyed in the reverse order, on the task that made them.
class UserMemoryScope {
 public:
  explicit UserMemoryScope(const UserBuffer& buf);
  ~UserMemoryScope();
  UserMemoryScope(const UserMemoryScope&) = delete;
  UserMemoryScope& operator=(const UserMemoryScope&) = delete;
};

}  // namespace host
