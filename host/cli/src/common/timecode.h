// timecode.h - times and durations as users write them: "1.5s", "250ms",
// "4410smp" (samples) or a plain number of seconds.
#ifndef SEHOST_CLI_TIMECODE_H
#define SEHOST_CLI_TIMECODE_H

#include <cstdint>
#include <string>

namespace secli {

// A time read from text; samples are kept exact, seconds converted later.
struct TimeSpec {
    double seconds = 0.0;
    bool in_samples = false;
    uint64_t samples = 0;
    uint64_t clock(double rate) const; // sample clock at `rate`
};

// Throws InputError naming `where` for text that is no time or is negative.
TimeSpec parse_time(const std::string &text, const std::string &where);

// Limits that keep renders sane (a typo like 1e9 must not run for hours).
constexpr double kMaxRate = 768000.0;
constexpr double kMinRate = 1000.0;
constexpr double kMaxSeconds = 3600.0;
constexpr int kMaxBlock = 65536;

// Checks of the run settings; InputError naming `where`.
void check_rate(double rate, const std::string &where);
void check_block(long long block, const std::string &where);
void check_duration(const TimeSpec &t, double rate, const std::string &where);

} // namespace secli

#endif
