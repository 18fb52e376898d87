// alloc_probe.cpp - the counters behind the allocation hooks.
#include "alloc_probe.h"

namespace sevalidate {
namespace alloc_probe {
State &state()
{
    static State s{0, 0, 0, 0, 0, nullptr};
    return s;
}
namespace {
thread_local bool t_exempt = false;
}
void exempt_this_thread()
{
    t_exempt = true;
}
namespace {
// The thread-local flag is read only while armed (its first touch on a
// thread must not run inside every allocation of every program).
bool counted_here()
{
    return state().armed && !t_exempt;
}
} // namespace
} // namespace alloc_probe
} // namespace sevalidate

using sevalidate::alloc_probe::counted_here;
using sevalidate::alloc_probe::state;

extern "C" void sevalidate_count_new()
{
    if (counted_here())
        state().news = state().news + 1;
}
extern "C" void sevalidate_count_malloc()
{
    if (counted_here())
        state().mallocs = state().mallocs + 1;
}
extern "C" void sevalidate_hooks_present(int new_hooked, int malloc_hooked)
{
    state().new_hooked = new_hooked;
    state().malloc_hooked = malloc_hooked;
}
extern "C" void sevalidate_import_hooks_present(int (*hook_imports)(const void *))
{
    state().hook_imports = hook_imports;
    state().malloc_hooked = 1;
}
