// stop_signals.cpp - the note of a stop signal and its handlers.
#include "stop_signals.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace sevalidate {
namespace {

std::atomic<int> g_signal{0}; // lock-free on every target: safe in a handler
static_assert(std::atomic<int>::is_always_lock_free, "a handler may only touch a lock-free atomic");

#if defined(_WIN32)
constexpr int kInterrupt = 2; // as SIGINT: 130

BOOL WINAPI on_console(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_signal.store(kInterrupt);
    return TRUE;
}
#else
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_before[3];

extern "C" void on_signal(int sig)
{
    g_signal.store(sig);
}
#endif

} // namespace

StopSignals::StopSignals()
{
    g_signal.store(0);
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console, TRUE);
#else
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // A signal ignored from the start stays ignored (nohup, a background
    // job of a script).
    for (int k = 0; k < 3; ++k)
        if (sigaction(kSignals[k], nullptr, &g_before[k]) == 0 && g_before[k].sa_handler != SIG_IGN)
            sigaction(kSignals[k], &sa, nullptr);
#endif
}

StopSignals::~StopSignals()
{
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console, FALSE);
#else
    for (int k = 0; k < 3; ++k)
        sigaction(kSignals[k], &g_before[k], nullptr);
#endif
    g_signal.store(0);
}

int stop_signal()
{
    return g_signal.load();
}

const char *signal_name(int sig)
{
    switch (sig) {
    case 1:
        return "SIGHUP";
    case 2:
        return "SIGINT";
    case 15:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

} // namespace sevalidate
