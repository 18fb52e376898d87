// alloc_probe.cpp - the counters behind the allocation hooks.
#include "alloc_probe.h"

namespace sevalidate {
namespace alloc_probe {
State &state() {
    static State s{0, 0, 0, 0, 0};
    return s;
}
} // namespace alloc_probe
} // namespace sevalidate

using sevalidate::alloc_probe::state;

extern "C" void sevalidate_count_new() {
    if (state().armed)
        state().news = state().news + 1;
}
extern "C" void sevalidate_count_malloc() {
    if (state().armed)
        state().mallocs = state().mallocs + 1;
}
extern "C" void sevalidate_hooks_present(int new_hooked, int malloc_hooked) {
    state().new_hooked = new_hooked;
    state().malloc_hooked = malloc_hooked;
}
