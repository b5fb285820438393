// Hooks into ThreadSanitizer so that the host kernel's own bookkeeping does not hide races in
// the code it runs. The scheduler lock is taken with synchronisation ignored; each primitive
// then states the happens-before edge it really provides (mutex unlock -> lock, wake -> woken
// waiter, queue_work -> work run) with release/acquire on its own address.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define HOST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOST_TSAN 1
#endif
#endif

#ifdef HOST_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
namespace host::tsan {
inline void ignore_sync_begin() { AnnotateIgnoreSyncBegin(__FILE__, __LINE__); }
inline void ignore_sync_end() { AnnotateIgnoreSyncEnd(__FILE__, __LINE__); }
inline void acquire(const void* addr) { __tsan_acquire(const_cast<void*>(addr)); }
inline void release(const void* addr) { __tsan_release(const_cast<void*>(addr)); }
}  // namespace host::tsan
#else
namespace host::tsan {
inline void ignore_sync_begin() {}
inline void ignore_sync_end() {}
inline void acquire(const void*) {}
inline void release(const void*) {}
}  // namespace host::tsan
#endif
