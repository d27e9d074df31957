// Counts the heap allocations of the process it is linked into: the per-wake-up counter of
// scripts/footprint.sh and the tests that prove a path allocates nothing. Linking
// heap_counter.cpp replaces malloc, calloc, realloc and the aligned forms with counting
// versions that forward to the C library's allocator (operator new goes through malloc); under
// AddressSanitizer its allocation hook counts instead.
#pragma once

namespace ulvheap {

// Allocations made by this process so far (a realloc counts as one).
unsigned long HeapAllocations();

}  // namespace ulvheap
