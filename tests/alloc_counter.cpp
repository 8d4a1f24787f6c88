// SPDX-License-Identifier: MIT
// The allocation counter of alloc_counter.h.
#include "alloc_counter.h"

#include <errno.h>
#include <stddef.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
namespace alloc_counter {
void onMalloc(const volatile void *, size_t) { allocationSeen(); }
void onFree(const volatile void *) {}
}  // namespace alloc_counter
// Refused (0) unless both hooks are given.
bool installAllocationCounter() {
    return __sanitizer_install_malloc_and_free_hooks(alloc_counter::onMalloc, alloc_counter::onFree) != 0;
}
#else
bool installAllocationCounter() { return true; }
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    allocationSeen();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) {
    allocationSeen();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) {
    allocationSeen();
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n) {
    allocationSeen();
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n) {
    allocationSeen();
    return __libc_memalign(a, n);
}
int posix_memalign(void **p, size_t a, size_t n) {
    allocationSeen();
    *p = __libc_memalign(a, n);
    return *p ? 0 : ENOMEM;
}
void free(void *p) { __libc_free(p); }
}
#endif
