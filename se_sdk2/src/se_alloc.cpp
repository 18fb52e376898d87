// se_alloc.cpp - the global allocation functions of a Windows plug-in.
//
// A Windows DLL carries its own copy of the C++ runtime. The runtime's
// operator new reports failure by throwing, which drags the whole exception
// machinery (unwinder, threads library, a name demangler for the terminate
// message) into every DLL: some 200 KB for modules that allocate a few
// objects. Plug-ins are built without exceptions, since none may cross the
// host boundary anyway, and take these replacements instead, which go
// straight to the C runtime's malloc and free (msvcrt.dll).
//
// The nothrow forms answer null when memory runs out, so makeModule answers
// null as before. The plain forms have no exception to throw: they stop the
// process, which is what an allocation failure inside a host call would
// come to once it reached the host boundary.
//
// Linked into plug-ins on Windows only: a Linux plug-in must keep reaching
// the operator new of the process that loads it, where the validator counts
// allocations.
#include <cstdlib>
#include <new>

namespace {
void *allocate(std::size_t size) noexcept
{
    return std::malloc(size != 0 ? size : 1);
}
void *allocate_or_stop(std::size_t size) noexcept
{
    void *p = allocate(size);
    if (p == nullptr)
        std::abort();
    return p;
}
} // namespace

void *operator new(std::size_t size)
{
    return allocate_or_stop(size);
}
void *operator new[](std::size_t size)
{
    return allocate_or_stop(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size);
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
