// interrupt.h - an interrupted run (SIGINT, SIGTERM, SIGHUP) removes the
// temporary files it has made, says what its output folder holds and ends
// with status 130, 143 or 129, as a shell reports a process ended by those
// signals.
#ifndef SEHOST_CLI_INTERRUPT_H
#define SEHOST_CLI_INTERRUPT_H

#include <csignal>
#include <string>

namespace secli {

// While one is alive, SIGINT, SIGTERM and SIGHUP remove the files on the
// list, print the note and end the process. The previous handlers are
// restored when it goes.
class InterruptCleanup
{
public:
    InterruptCleanup();
    ~InterruptCleanup();
    InterruptCleanup(const InterruptCleanup &) = delete;
    InterruptCleanup &operator=(const InterruptCleanup &) = delete;
};

// The list of files to remove on an interrupt.
void remove_on_interrupt(const std::string &path);
void keep_on_interrupt(const std::string &path);

// What an interrupt prints after "sehost: interrupted; " (or "terminated",
// "hung up"): what the output folder holds by then. At first "temporary
// files removed".
void set_interrupt_note(const std::string &note);

// Holds SIGINT, SIGTERM and SIGHUP back while alive (a signal that arrives
// waits until it goes), so that a group of renames is never cut in half.
class InterruptHold
{
public:
    InterruptHold();
    ~InterruptHold();
    InterruptHold(const InterruptHold &) = delete;
    InterruptHold &operator=(const InterruptHold &) = delete;

private:
    sigset_t m_before; // restored as it was: holds may nest
};

} // namespace secli

#endif
