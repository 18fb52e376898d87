// timecode.cpp - reading times and checking run settings.
#include "common/timecode.h"

#include <cmath>
#include <cstdlib>

#include "common/errors.h"
#include "common/numbers.h"

namespace secli {

uint64_t TimeSpec::clock(double rate) const
{
    if (in_samples)
        return samples;
    // Times read from text are at most an hour; a Standard MIDI File may
    // still place an event far later. Such a time saturates (it lies after
    // every run) rather than overflowing the conversion.
    double c = seconds * rate;
    if (!(c < 9.0e18))
        return UINT64_MAX;
    return static_cast<uint64_t>(std::llround(c));
}

static bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TimeSpec parse_time(const std::string &text, const std::string &where)
{
    std::string number = text;
    double scale = 1.0;
    bool samples = false;
    if (ends_with(text, "smp")) {
        number = text.substr(0, text.size() - 3);
        samples = true;
    } else if (ends_with(text, "ms")) {
        number = text.substr(0, text.size() - 2);
        scale = 0.001;
    } else if (ends_with(text, "s")) {
        number = text.substr(0, text.size() - 1);
    }
    const std::string absurd =
        where + ": time \"" + text + "\" is absurd (a run lasts at most 3600 s)";
    TimeSpec t;
    if (samples) {
        // Whole samples, checked against the longest run at the highest
        // rate before any conversion.
        static constexpr Whole kSamples{"sample time", 0,
                                        static_cast<long long>(kMaxSeconds * kMaxRate), ""};
        if (!is_whole_text(number)) {
            if (read_decimal(number))
                throw InputError(where + ": \"" + text + "\" is not a whole number of samples");
            throw InputError(where + ": \"" + text +
                             "\" is no time (write e.g. 1.5s, 250ms or 4410smp)");
        }
        if (number[0] == '-')
            throw InputError(where + ": time \"" + text + "\" is negative");
        size_t first = number.find_first_not_of('0');
        size_t significant = first == std::string::npos ? 0 : number.size() - first;
        if (significant > 12)
            throw InputError(absurd);
        long long n = significant == 0 ? 0 : std::stoll(number.substr(first));
        if (n > kSamples.hi)
            throw InputError(absurd);
        t.in_samples = true;
        t.samples = static_cast<uint64_t>(n);
        return t;
    }
    std::optional<double> v = read_decimal(number);
    if (!v)
        throw InputError(where + ": \"" + text +
                         "\" is no time (write e.g. 1.5s, 250ms or 4410smp)");
    if (*v < 0)
        throw InputError(where + ": time \"" + text + "\" is negative");
    if (*v * scale > kMaxSeconds)
        throw InputError(absurd);
    t.seconds = *v * scale;
    return t;
}

void check_rate(double rate, const std::string &where)
{
    if (!std::isfinite(rate) || rate <= 0)
        throw InputError(where + ": sample rate " + std::to_string(rate) + " must be positive");
    if (rate < kMinRate || rate > kMaxRate)
        throw InputError(where + ": sample rate " + std::to_string(static_cast<long long>(rate)) +
                         " Hz is outside 1000 to 768000 Hz");
}

void check_block(long long block, const std::string &where)
{
    if (block <= 0 || block > kMaxBlock)
        throw InputError(where + ": block size " + std::to_string(block) +
                         " is outside 1 to 65536 samples");
}

void check_duration(const TimeSpec &t, double rate, const std::string &where)
{
    uint64_t n = t.clock(rate);
    if (n == 0)
        throw InputError(where + ": duration is zero");
    if (static_cast<double>(n) > kMaxSeconds * rate)
        throw InputError(where + ": duration of " + std::to_string(n / rate) +
                         " s is absurd (at most 3600 s)");
}

} // namespace secli
