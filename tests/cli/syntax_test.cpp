// syntax_test.cpp - only the number forms the manual shows are accepted:
// decimal digits for counts, decimals (with an optional exponent) for times
// and values, hex bytes of one or two digits for MIDI.
#include "cli_support.h"
#include "common/errors.h"
#include "common/numbers.h"
#include "midi/midi_input.h"

namespace {

using namespace se_cli;

TEST(SehostSyntax, DecimalsAndWholeNumbers)
{
    const std::pair<const char *, double> decimals[] = {
        {"0", 0}, {"-1.5", -1.5}, {"1e-3", 0.001}, {"2E+3", 2000}, {"007", 7}, {"12.250", 12.25}};
    for (const auto &[text, value] : decimals) {
        ASSERT_TRUE(secli::read_decimal(text).has_value()) << text;
        EXPECT_DOUBLE_EQ(*secli::read_decimal(text), value) << text;
    }
    for (const char *bad :
         {"", "+1", " 1", "1 ", "0x10", "1.", ".5", "inf", "nan", "1e", "1e400", "1,5", "--1", "-"})
        EXPECT_FALSE(secli::read_decimal(bad).has_value()) << "\"" << bad << "\"";
    for (const char *bad : {"1000.5", "+64", "0x40", " 64", "64 ", "1e3", "", "-"})
        EXPECT_FALSE(secli::is_whole_text(bad)) << "\"" << bad << "\"";
}

TEST(SehostSyntax, MidiBytesAndWords)
{
    for (const char *bad : {"0x90 3C 40", "90 +3 40", "90 3c0", "on 1 +60 100", "on 1 60.0 100",
                            "cc 01 0x7 1", "pc 1 -0"})
        EXPECT_THROW(secli::parse_midi_message(bad, "t"), secli::InputError) << bad;
    EXPECT_EQ(secli::parse_midi_message("on 01 060 100", "t"), 0x90 | 60 << 8 | 100 << 16);
    EXPECT_EQ(secli::parse_midi_message("b0 7 7f", "t"), 0xB0 | 7 << 8 | 0x7F << 16);
}

TEST(SehostSyntax, LenientFormsAreRefused)
{
    std::string out = fresh_dir("syntax");
    auto wire = [](const std::string &name, const std::string &from) {
        return input_file(
            name, R"({"duration":"10ms","modules":[{"name":"r","plugin":"midi_choice","repeat":2}],
            "connections":[[")" +
                      from + R"(","r.Midi In"]]})");
    };
    expect_refused({
        {{"render", "pitch_adjust", "--rate", "1000.5", "-o", out},
         "--rate: \"1000.5\" is not a whole number"},
        {{"render", "pitch_adjust", "-d", "0x10", "-o", out}, "--duration: \"0x10\" is no time"},
        {{"render", "pitch_adjust", "--block", "+64", "-o", out},
         "--block: \"+64\" is not a whole number"},
        {{"render", "midi_choice", "--repeat", "0x2", "-o", out},
         "--repeat: \"0x2\" is not a whole number"},
        {{"render", "pitch_adjust", "--split-max", " 8", "-o", out},
         "--split-max: \" 8\" is not a whole number"},
        {{"render", "pitch_adjust", "--set", "Octave=0x1", "-o", out}, "has no entry \"0x1\""},
        {{"run", wire("hex.json", "r.Add Midi Out[0x1]"), "-o", out},
         "no pin \"Add Midi Out[0x1]\""},
        {{"run", wire("space.json", "r.Add Midi Out[ 1]"), "-o", out},
         "no pin \"Add Midi Out[ 1]\""},
        {{"render", "midi_choice", "--midi", "0x1=on 1 60 100", "-o", out}, "\"0x1\" is no time"},
    });
    // The documented forms still work.
    Result r = sehost({"run", wire("ok.json", "r.Add Midi Out[1]"), "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
}

} // namespace
