#include "heap_counter.h"

#include <cstddef>

namespace {
unsigned long allocations = 0;
}  // namespace

unsigned long ulvheap::HeapAllocations() {
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}

namespace {
void Count() {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer owns malloc; it calls this hook for every allocation it serves.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));

namespace {
void OnMalloc(const volatile void*, size_t) {
    Count();
}
void OnFree(const volatile void*) {}
[[maybe_unused]] const int installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
}  // namespace

#else
// The C library's own allocator under its internal names, so that this replacement of the
// public names (allowed by the C library) keeps its behaviour.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
    Count();
    return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    Count();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return 12;  // ENOMEM
    *out = block;
    return 0;
}
void* valloc(size_t size) {
    Count();
    return __libc_valloc(size);
}
void* pvalloc(size_t size) {
    Count();
    return __libc_pvalloc(size);
}
void free(void* block) {
    __libc_free(block);
}
}  // extern "C"
#endif
