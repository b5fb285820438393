// Hooks into ThreadSanitizer so that the host kernel's own bookkeeping does not hide races in
// the code it runs. Scheduler sections (under Scheduler::Lock) are invisible to TSan: their
// synchronisation and memory accesses are ignored, and they never run module code. Each
// primitive then states the happens-before edge it really provides (mutex unlock -> lock, wake
// -> woken waiter, queue_work -> work run) with release/acquire on its own address.
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
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
namespace host::tsan {
// Makes the calling thread's synchronisation and memory accesses invisible until the matching
// end: the scheduler's critical sections, which only ever touch host-kernel bookkeeping.
inline void ignore_begin() {
  AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
inline void ignore_end() {
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
  AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}
inline void acquire(const void* addr) { __tsan_acquire(const_cast<void*>(addr)); }
inline void release(const void* addr) { __tsan_release(const_cast<void*>(addr)); }
}  // namespace host::tsan
#else
namespace host::tsan {
inline void ignore_begin() {}
inline void ignore_end() {}
inline void acquire(const void*) {}
inline void release(const void*) {}
}  // namespace host::tsan
#endif
