// Counts the heap allocations of the test process, for tests that prove a path allocates
// nothing. Linking heap_counter.cpp replaces malloc, calloc, realloc and the aligned forms with
// counting versions that forward to the C library's allocator (operator new goes through
// malloc); under AddressSanitizer its allocation hook counts instead.
#pragma once

namespace ulvtest {

// Allocations made by this process so far (a realloc counts as one).
unsigned long HeapAllocations();

}  // namespace ulvtest
