// se_check.h - the SDK's contract checks.
//
// A failed check is a programming error of the host or of a module, never a
// user error: it prints the expression text and the SDK source that made
// the check to standard error and stops the process.  Defining SE_NO_CHECKS
// leaves every check out; conforming hosts and modules behave the same
// either way.  A host outside the contract (fewer DSP pins than the module
// declares, an event delivered off its stamp) is stopped by a build with the
// checks where it first shows, and a build without them runs on: the
// missing pins read silence and reach nobody (docs/sdk.md tells each
// module's case).
#ifndef SE_CHECK_H
#define SE_CHECK_H

namespace se_sdk {
[[noreturn]] void check_failed(const char *expression, const char *source, int line);
}

#ifdef SE_NO_CHECKS
// The expression stays compiled (never evaluated), so what only a check
// reads is still used.
#define SE_CHECK(expr, source)          ((void)sizeof((expr) ? 1 : 0), (void)(source))
#define SE_CHECK_AT(expr, source, line) ((void)sizeof((expr) ? 1 : 0), (void)(source), (void)(line))
#else
#define SE_CHECK(expr, source) ((expr) ? (void)0 : ::se_sdk::check_failed(#expr, source, 0))
// For checks whose report names a fixed line of the SDK source.
#define SE_CHECK_AT(expr, source, line)                                                            \
    ((expr) ? (void)0 : ::se_sdk::check_failed(#expr, source, line))
#endif

#endif
