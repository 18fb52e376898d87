// alloc_hooks.cpp - counting replacements of operator new and, on glibc,
// of malloc, calloc and realloc.  Linked into the validator's executable
// only: a plug-in that takes these from the C++ and C runtimes (Linux
// shared objects do) then reaches them.
//
// A Windows DLL links its own C++ runtime, whose operator new calls the C
// runtime's malloc; it reaches malloc and the system's heap functions
// through its import table. There the allocation imports of each plug-in
// are pointed at counting wrappers once it is loaded (hook_imports).
#include <cstdlib>
#include <new>

#include "alloc_probe.h"

#if defined(_WIN32)
#include <cstring>

#include <windows.h>

namespace {

// The originals, taken from the first import table that names each one.
void *(__cdecl *g_malloc)(size_t);
void *(__cdecl *g_calloc)(size_t, size_t);
void *(__cdecl *g_realloc)(void *, size_t);
char *(__cdecl *g_strdup)(const char *);
void *(__cdecl *g_aligned_malloc)(size_t, size_t);
LPVOID(WINAPI *g_heap_alloc)(HANDLE, DWORD, SIZE_T);
LPVOID(WINAPI *g_heap_realloc)(HANDLE, DWORD, LPVOID, SIZE_T);
HLOCAL(WINAPI *g_local_alloc)(UINT, SIZE_T);
HGLOBAL(WINAPI *g_global_alloc)(UINT, SIZE_T);
LPVOID(WINAPI *g_virtual_alloc)(LPVOID, SIZE_T, DWORD, DWORD);

void *__cdecl counted_malloc(size_t n)
{
    sevalidate_count_malloc();
    return g_malloc(n);
}
void *__cdecl counted_calloc(size_t n, size_t m)
{
    sevalidate_count_malloc();
    return g_calloc(n, m);
}
void *__cdecl counted_realloc(void *p, size_t n)
{
    sevalidate_count_malloc();
    return g_realloc(p, n);
}
char *__cdecl counted_strdup(const char *s)
{
    sevalidate_count_malloc();
    return g_strdup(s);
}
void *__cdecl counted_aligned_malloc(size_t n, size_t a)
{
    sevalidate_count_malloc();
    return g_aligned_malloc(n, a);
}
LPVOID WINAPI counted_heap_alloc(HANDLE h, DWORD f, SIZE_T n)
{
    sevalidate_count_malloc();
    return g_heap_alloc(h, f, n);
}
LPVOID WINAPI counted_heap_realloc(HANDLE h, DWORD f, LPVOID p, SIZE_T n)
{
    sevalidate_count_malloc();
    return g_heap_realloc(h, f, p, n);
}
HLOCAL WINAPI counted_local_alloc(UINT f, SIZE_T n)
{
    sevalidate_count_malloc();
    return g_local_alloc(f, n);
}
HGLOBAL WINAPI counted_global_alloc(UINT f, SIZE_T n)
{
    sevalidate_count_malloc();
    return g_global_alloc(f, n);
}
LPVOID WINAPI counted_virtual_alloc(LPVOID p, SIZE_T n, DWORD t, DWORD f)
{
    sevalidate_count_malloc();
    return g_virtual_alloc(p, n, t, f);
}

struct Hook {
    const char *dll; // lower case
    const char *name;
    void **original;
    void *wrapper;
};
// One entry; the wrapper has the type of the original it stands for.
template <class F> Hook hook(const char *dll, const char *name, F *original, F wrapper)
{
    return {dll, name, reinterpret_cast<void **>(original), reinterpret_cast<void *>(wrapper)};
}
const Hook kHooks[] = {
    hook("msvcrt.dll", "malloc", &g_malloc, &counted_malloc),
    hook("msvcrt.dll", "calloc", &g_calloc, &counted_calloc),
    hook("msvcrt.dll", "realloc", &g_realloc, &counted_realloc),
    hook("msvcrt.dll", "_strdup", &g_strdup, &counted_strdup),
    hook("msvcrt.dll", "_aligned_malloc", &g_aligned_malloc, &counted_aligned_malloc),
    hook("kernel32.dll", "HeapAlloc", &g_heap_alloc, &counted_heap_alloc),
    hook("kernel32.dll", "HeapReAlloc", &g_heap_realloc, &counted_heap_realloc),
    hook("kernel32.dll", "LocalAlloc", &g_local_alloc, &counted_local_alloc),
    hook("kernel32.dll", "GlobalAlloc", &g_global_alloc, &counted_global_alloc),
    hook("kernel32.dll", "VirtualAlloc", &g_virtual_alloc, &counted_virtual_alloc),
};

bool same_dll(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if ((*a >= 'A' && *a <= 'Z' ? *a + 32 : *a) != *b)
            return false;
    return *a == *b;
}

// Points one import slot at its wrapper. A slot that already holds the
// wrapper (the module was hooked before) counts as routed; one whose
// function is not the original the wrappers call is left alone.
bool route(const Hook &h, ULONG_PTR *slot)
{
    void *now = reinterpret_cast<void *>(*slot);
    if (now == h.wrapper)
        return true;
    if (!*h.original)
        *h.original = now;
    if (*h.original != now)
        return false;
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    *slot = reinterpret_cast<ULONG_PTR>(h.wrapper);
    VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

// Walks the import directory of the module holding `address`: each
// function of kHooks it imports by name is routed to its wrapper.
int hook_imports(const void *address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return 0;
    auto *base = reinterpret_cast<BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return 0;
    int routed = 0;
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name != 0; ++imp) {
        const char *dll = reinterpret_cast<const char *>(base + imp->Name);
        const DWORD names_at = imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + names_at);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            const char *name = reinterpret_cast<const char *>(by_name->Name);
            for (const Hook &h : kHooks)
                if (same_dll(dll, h.dll) && std::strcmp(name, h.name) == 0 &&
                    route(h, reinterpret_cast<ULONG_PTR *>(&slots->u1.Function)))
                    ++routed;
        }
    }
    return routed;
}

struct Announce {
    Announce() { sevalidate_import_hooks_present(&hook_imports); }
} announce;

} // namespace

#endif

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
