// Kernel memory allocation (kmalloc, kzalloc, kfree): the allocations it keeps track of.
//
// Every allocation is recorded until it is freed, so that freeing an address that was never
// allocated (or freeing one twice) is caught as a WARN, and tests can check for leaks. The
// record is process-wide and safe to use from any task and any context.
#pragma once

#include <cstddef>

namespace host {

// Allocations made through kmalloc/kzalloc and not yet freed.
size_t slab_live_allocations();

}  // namespace host
