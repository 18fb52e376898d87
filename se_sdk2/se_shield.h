// se_shield.h - no exception crosses into the host.
//
// The host calls a plug-in through plain C entries and may be built with
// another compiler or none of its runtime: an exception thrown below an
// entry (a hook that throws, an allocation that fails) must end inside the
// plug-in. Each entry runs its work through shield(), which answers the
// entry's failure value in place of the exception. Plug-ins built without
// exceptions (the Windows ones) have nothing to catch: shield() is then the
// plain call.
#ifndef SE_SHIELD_H
#define SE_SHIELD_H

namespace se_sdk {

// work() or, should it throw, `failure`.
template <class R, class F> R shield(R failure, F &&work) noexcept
{
#if defined(__cpp_exceptions)
    try {
        return work();
    } catch (...) {
        return failure;
    }
#else
    static_cast<void>(failure);
    return work();
#endif
}

// work(), its exception (if any) dropped: what it did so far stands.
template <class F> void shield(F &&work) noexcept
{
#if defined(__cpp_exceptions)
    try {
        work();
    } catch (...) {
    }
#else
    work();
#endif
}

} // namespace se_sdk

#endif
