#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<sim::AllocHook> hook{nullptr};

void note()
{
    if (sim::AllocHook h = hook.load(std::memory_order_relaxed))
        h();
}
} // namespace

void sim::set_alloc_hook(AllocHook h) { hook.store(h, std::memory_order_release); }

extern "C" {
void *malloc(size_t n)
{
    note();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    note();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    note();
    return __libc_realloc(p, n);
}
void free(void *p) { __libc_free(p); }
}

void *operator new(size_t n)
{
    note();
    if (void *p = __libc_malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { __libc_free(p); }
void operator delete[](void *p) noexcept { __libc_free(p); }
void operator delete(void *p, size_t) noexcept { __libc_free(p); }
void operator delete[](void *p, size_t) noexcept { __libc_free(p); }
