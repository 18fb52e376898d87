// alloc_hooks.cpp - counting replacements of operator new and, on glibc,
// of malloc, calloc and realloc.  Linked into the validator's executable
// only: a plug-in that takes these from the C++ and C runtimes (Linux
// shared objects do) then reaches them.  A Windows DLL links its own
// runtime, so nothing is counted there and the check answers skip.
#include <cstdlib>
#include <new>

#include "alloc_probe.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEVALIDATE_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SEVALIDATE_SANITIZED 1
#endif

#if !defined(_WIN32)

#if !defined(SEVALIDATE_SANITIZED) && defined(__GLIBC__)
// The sanitizer brings its own malloc; elsewhere glibc's entry points are
// reached under their internal names.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
    sevalidate_count_malloc();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    sevalidate_count_malloc();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    sevalidate_count_malloc();
    return __libc_realloc(p, n);
}
void free(void *p)
{
    __libc_free(p);
}
}
#define SEVALIDATE_MALLOC_HOOKED 1
#else
#define SEVALIDATE_MALLOC_HOOKED 0
#endif

namespace {
void *counted_new(std::size_t n)
{
    sevalidate_count_new();
    if (n == 0)
        n = 1;
    for (;;) {
        if (void *p = std::malloc(n))
            return p;
        std::new_handler h = std::get_new_handler();
        if (!h)
            throw std::bad_alloc();
        h();
    }
}
struct Announce {
    Announce() { sevalidate_hooks_present(1, SEVALIDATE_MALLOC_HOOKED); }
} announce;
} // namespace

void *operator new(std::size_t n)
{
    return counted_new(n);
}
void *operator new[](std::size_t n)
{
    return counted_new(n);
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    try {
        return counted_new(n);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept
{
    try {
        return counted_new(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept
{
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept
{
    std::free(p);
}

#endif
