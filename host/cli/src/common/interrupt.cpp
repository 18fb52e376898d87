// interrupt.cpp - the signal handler and its list of files. The handler
// only calls unlink, write, pause and _exit and touches lock-free atomics,
// which are safe in a signal handler. The list and the note are changed
// only under a hold. A signal may run the handler on any thread (a live
// run has several), so a hold is a count all threads see: a handler that
// finds it taken leaves the signal pending, and the last hold to go acts
// on it.
#include "common/interrupt.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace secli {
namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
const char kFirstNote[] = "temporary files removed";

std::vector<std::string> g_files;
// Holds alive (> 0), none (0), or the process is ending (-1).
std::atomic<int> g_holds{0};
std::atomic<int> g_pending{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");
std::string g_note = kFirstNote;
struct sigaction g_old[3];
int g_installed = 0;

void say(const char *text)
{
    ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

// Ends the process unless a hold is alive (the signal then waits for it)
// or another thread is ending it already.
void end_process(int sig)
{
    int idle = 0;
    if (!g_holds.compare_exchange_strong(idle, -1)) {
        if (idle < 0)
            for (;;)
                ::pause();
        g_pending.store(sig);
        // The hold may have gone between the two looks.
        idle = 0;
        if (!g_holds.compare_exchange_strong(idle, -1))
            return;
    }
    for (const std::string &f : g_files)
        ::unlink(f.c_str());
    say(sig == SIGINT    ? "sehost: interrupted; "
        : sig == SIGTERM ? "sehost: terminated; "
                         : "sehost: hung up; ");
    say(g_note.c_str());
    say("\n");
    ::_exit(128 + sig);
}

extern "C" void on_interrupt(int sig)
{
    end_process(sig);
}

sigset_t held_signals()
{
    sigset_t s;
    sigemptyset(&s);
    for (int sig : kSignals)
        sigaddset(&s, sig);
    return s;
}

} // namespace

InterruptHold::InterruptHold()
{
    sigset_t s = held_signals();
    sigprocmask(SIG_BLOCK, &s, &m_before);
    for (int n = g_holds.load();;) {
        if (n < 0) // another thread is ending the process
            for (;;)
                ::pause();
        if (g_holds.compare_exchange_weak(n, n + 1))
            break;
    }
}

InterruptHold::~InterruptHold()
{
    if (g_holds.fetch_sub(1) == 1)
        if (int sig = g_pending.exchange(0))
            end_process(sig);
    sigprocmask(SIG_SETMASK, &m_before, nullptr);
}

InterruptCleanup::InterruptCleanup()
{
    InterruptHold hold;
    if (g_installed++ > 0)
        return;
    g_note = kFirstNote;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sa.sa_mask = held_signals();
    for (size_t i = 0; i < 3; ++i)
        sigaction(kSignals[i], &sa, &g_old[i]);
}

InterruptCleanup::~InterruptCleanup()
{
    InterruptHold hold;
    if (--g_installed > 0)
        return;
    for (size_t i = 0; i < 3; ++i)
        sigaction(kSignals[i], &g_old[i], nullptr);
}

void remove_on_interrupt(const std::string &path)
{
    InterruptHold hold;
    g_files.push_back(path);
}

void keep_on_interrupt(const std::string &path)
{
    InterruptHold hold;
    auto it = std::find(g_files.begin(), g_files.end(), path);
    if (it != g_files.end())
        g_files.erase(it);
}

void set_interrupt_note(const std::string &note)
{
    InterruptHold hold;
    g_note = note;
}

} // namespace secli
