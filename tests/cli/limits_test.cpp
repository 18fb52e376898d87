// limits_test.cpp - numbers at and beyond their limits: times, copy indices,
// choice numbers, volts. Each must be refused, naming the value, before it
// is converted; the largest legal value must still work.
#include <cmath>

#include "cli_support.h"
#include "common/errors.h"
#include "common/numbers.h"
#include "common/timecode.h"

namespace {

using namespace se_cli;
using secli::InputError;

TEST(SehostLimits, TimesAreCheckedBeforeConversion)
{
    struct Case {
        const char *text;
        const char *message; // "" when accepted
        uint64_t clock = 0;  // at 48000 Hz, when accepted
    };
    const Case cases[] = {
        {"2764800000smp", "", 2764800000u}, // an hour at the highest rate
        {"2764800001smp", "is absurd"},
        {"100000000000000000000smp", "is absurd"},
        {"000000000000000000001smp", "", 1},
        {"1e20smp", "not a whole number of samples"},
        {"3600s", "", 172800000u},
        {"3600001ms", "is absurd"},
        {"1e20s", "is absurd"},
        {"1e20", "is absurd"},
        {"1e-3s", "", 48},
        {"-0.5s", "is negative"},
        {"-3smp", "is negative"},
    };
    for (const Case &c : cases) {
        if (*c.message) {
            try {
                secli::parse_time(c.text, "--at");
                ADD_FAILURE() << c.text << " accepted";
            } catch (const InputError &e) {
                std::string what = e.what();
                EXPECT_NE(what.find(c.message), std::string::npos) << c.text << ": " << what;
                EXPECT_NE(what.find(c.text), std::string::npos) << c.text << ": " << what;
            }
        } else {
            EXPECT_EQ(secli::parse_time(c.text, "t").clock(48000), c.clock) << c.text;
        }
    }
    // A time from a MIDI file can lie far beyond any run: it saturates.
    secli::TimeSpec far{1e300, false, 0};
    EXPECT_EQ(far.clock(768000), UINT64_MAX);
}

TEST(SehostLimits, WholeNumbersAreReadDigitByDigit)
{
    const secli::Whole small{"copy", 0, 64, ""};
    EXPECT_EQ(secli::read_whole("64", small, "t"), 64);
    EXPECT_EQ(secli::read_whole("0000000000000000000064", small, "t"), 64);
    for (const char *bad : {"65", "-1", "4294967297", "2147483647", "18446744073709551617",
                            "99999999999999999999999"}) {
        try {
            secli::read_whole(bad, small, "--x");
            ADD_FAILURE() << bad << " accepted";
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find(std::string(bad) + " is outside 0 to 64"),
                      std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(secli::whole_from(4294967295.0, secli::kSplitSeed, "t"), 4294967295LL);
    for (double bad : {4294967296.0, -1.0, 1e20, 0.5, double(INFINITY), double(NAN)})
        EXPECT_THROW(secli::whole_from(bad, secli::kSplitSeed, "t"), InputError) << bad;
}

TEST(SehostLimits, OutOfRangeValuesExitTwoNamingTheValue)
{
    std::string out = fresh_dir("limits");
    int files = 0;
    auto wire = [&files](const std::string &from) {
        return input_file(
            "copy" + std::to_string(++files) + ".json",
            R"({"duration":"10ms","modules":[{"name":"r","plugin":"midi_choice","repeat":2}],
            "connections":[[")" +
                from + R"(","r.Midi In"]]})");
    };
    expect_refused({
        {{"run", wire("r.Add Midi Out[4294967297]"), "-o", out},
         "copy 4294967297 is outside 0 to 64"},
        {{"run", wire("r.Add Midi Out[2147483647]"), "-o", out},
         "copy 2147483647 is outside 0 to 64"},
        {{"render", "midi_choice", "--midi", "100000000000000000000smp=on 1 60 100", "-o", out},
         "time \"100000000000000000000smp\" is absurd"},
        {{"render", "pitch_adjust", "--at", "1e20s", "Octave=+1", "-o", out},
         "time \"1e20s\" is absurd"},
        {{"render", "patch_pulse", "--patch-change", "1e20smp", "-o", out},
         "\"1e20smp\" is not a whole number"},
        {{"render", "pitch_adjust", "-d", "1e20smp", "-o", out},
         "\"1e20smp\" is not a whole number"},
        {{"render", "pitch_adjust", "-d", "99999999999999999999smp", "-o", out}, "is absurd"},
        {{"render", "pulse_counter", "--set", "End=1e20", "-o", out}, "has no entry \"1e20\""},
        {{"render", "edge_detect", "--set", "Audio In=1e300", "-o", out},
         "1e300 V is outside the range"},
        {{"render", "edge_detect", "--set", "Audio In=const:1e300", "-o", out},
         "1e300 is outside the range"},
    });
    EXPECT_FALSE(fs::exists(out + "/events.jsonl"));
}

} // namespace
