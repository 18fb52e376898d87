// stop_signals.h - stopping a validation from outside: SIGINT, SIGTERM and
// SIGHUP (Ctrl-C or Ctrl-Break in a Windows console) while the checks run.
// The handler only notes the signal; each loop that waits for a check's
// child looks at the note, ends the child with everything it started, and
// the run removes its files and ends with 128 + the signal (130, 143, 129),
// as a shell reports a process ended by it.
#ifndef SEVALIDATE_STOP_SIGNALS_H
#define SEVALIDATE_STOP_SIGNALS_H

namespace sevalidate {

// While one is alive the signals are noted instead of ending the process;
// the handlers before it come back when it goes.
class StopSignals
{
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
};

// The signal noted since the last StopSignals began, or 0.
int stop_signal();

// "SIGINT" and so on, for the message.
const char *signal_name(int sig);

} // namespace sevalidate

#endif
