// Counting the heap: a test or benchmark binary that links hidbridge_alloc_counter has
// malloc, calloc, realloc and operator new report every allocation to one hook before they
// allocate. The hook decides what counts (which thread, which phase). Not for sanitizer
// builds, which bring their own allocator.
#pragma once

namespace sim {

using AllocHook = void (*)();

// Installs the hook (nullptr: none). Set it before the threads it watches start.
void set_alloc_hook(AllocHook hook);

} // namespace sim
