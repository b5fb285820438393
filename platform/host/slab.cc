// kmalloc, kzalloc and kfree over the C heap, with a record of what is live.
#include "slab.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "faults.h"
#include "kernel.h"
#include "platform/slab.h"
#include "thread_safety.h"
#include "warn.h"

namespace host {
namespace {

// An allocation may sleep when its flags hold the bits that GFP_KERNEL has and GFP_ATOMIC
// lacks (reclaim by the caller, as __GFP_DIRECT_RECLAIM means).
constexpr gfp_t kGfpMaySleep = GFP_KERNEL & ~GFP_ATOMIC;

struct Registry {
  lt::Mutex mutex;
  std::unordered_map<const void*, size_t> live LT_GUARDED_BY(mutex);
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: frees may come late at exit
  return *r;
}

void* allocate(size_t size, gfp_t flags, bool zero, const char* call) {
  if ((flags & kGfpMaySleep) != 0 && Kernel::booted() && in_atomic_context()) {
    warn_context("BUG: sleeping function called from invalid context (%s)", call);
  }
  if (Kernel::booted() && fault(call, std::to_string(size))) return nullptr;
  // kmalloc(0) returns a unique non-NULL pointer in Linux; one byte keeps it unique here.
  void* p = zero ? std::calloc(1, size == 0 ? 1 : size) : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  Registry& r = registry();
  lt::MutexLock lock(r.mutex);
  r.live[p] = size;
  return p;
}

}  // namespace

size_t slab_live_allocations() {
  Registry& r = registry();
  lt::MutexLock lock(r.mutex);
  return r.live.size();
}

}  // namespace host

extern "C" {

void* kmalloc(size_t size, gfp_t flags) { return host::allocate(size, flags, false, "kmalloc"); }

void* kzalloc(size_t size, gfp_t flags) { return host::allocate(size, flags, true, "kzalloc"); }

void kfree(const void* ptr) {
  if (ptr == nullptr) return;
  host::Registry& r = host::registry();
  bool known;
  {
    lt::MutexLock lock(r.mutex);
    known = r.live.erase(ptr) != 0;
  }
  if (!known) {
    // Not ours (or freed already): leave it alone rather than corrupt the heap.
    host::warn_context("kfree of %p, which kmalloc did not hand out or which was freed already",
                       ptr);
    return;
  }
  std::free(const_cast<void*>(ptr));
}

}  // extern "C"
