// se_sleep.h - counting process calls down to a sleep request.
//
// A module whose outputs hold still may ask the host to sleep (HOST_SLEEP)
// once it has written the new values for long enough that the host's kept
// buffers hold them everywhere. The idiom, with the module's own choices
// written where it uses it:
//
//   on a change:          m_sleep.restart(samples);   // how long: the module's choice
//   in a process call:    write the call's samples, then
//                         if (m_sleep.run_down(count)) CallHost(HOST_SLEEP);
//
// Whether a streaming input keeps the module awake, and what else it does
// when the count runs out, stay in the module.
#ifndef SE_SLEEP_H
#define SE_SLEEP_H

#include <cstdint>

namespace se_sdk {

class SleepCountdown
{
public:
    // Starts over: the countdown runs out once `samples` more samples have
    // been counted (at once for 0 or less).
    void restart(int32_t samples) { m_left = samples; }

    // Counts one process call of `count` samples; true once the countdown
    // has run out, in this call or an earlier one. The host still takes the
    // call's samples, so the call writes them all the same. A countdown that
    // has run out stays out until the next restart and stops counting, so
    // no number of calls can wrap it round.
    bool run_down(int32_t count)
    {
        if (m_left > 0)
            m_left -= count;
        return m_left <= 0;
    }

    bool expired() const { return m_left <= 0; }

private:
    int32_t m_left = 0;
};

} // namespace se_sdk

#endif
