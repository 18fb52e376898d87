// interrupt.cpp - the signal handler and its list of files. The handler
// only calls unlink, write and _exit, which are safe in a signal handler;
// the list is changed only while the signals are held back, so the handler
// never sees it half-changed.
#include "common/interrupt.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace secli {
namespace {

std::vector<std::string> g_files;
struct sigaction g_old_int, g_old_term;
int g_installed = 0;

extern "C" void on_interrupt(int sig)
{
    for (const std::string &f : g_files)
        ::unlink(f.c_str());
    const char *msg = sig == SIGINT ? "sehost: interrupted; temporary files removed\n"
                                    : "sehost: terminated; temporary files removed\n";
    ssize_t ignored = ::write(STDERR_FILENO, msg, std::strlen(msg));
    (void)ignored;
    ::_exit(128 + sig);
}

sigset_t held_signals()
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    return s;
}

} // namespace

InterruptHold::InterruptHold()
{
    sigset_t s = held_signals();
    sigprocmask(SIG_BLOCK, &s, &m_before);
}

InterruptHold::~InterruptHold()
{
    sigprocmask(SIG_SETMASK, &m_before, nullptr);
}

InterruptCleanup::InterruptCleanup()
{
    InterruptHold hold;
    if (g_installed++ > 0)
        return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaction(SIGINT, &sa, &g_old_int);
    sigaction(SIGTERM, &sa, &g_old_term);
}

InterruptCleanup::~InterruptCleanup()
{
    InterruptHold hold;
    if (--g_installed > 0)
        return;
    sigaction(SIGINT, &g_old_int, nullptr);
    sigaction(SIGTERM, &g_old_term, nullptr);
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

} // namespace secli
