// midi_messages_test.cpp - inline MIDI is checked against its status byte
// before the run: the right number of data bytes for its status byte, and
// no system exclusive or undefined status bytes, which a packed message
// cannot carry.
#include "cli_support.h"
#include "common/errors.h"
#include "midi/midi_input.h"

namespace {

using namespace se_cli;

TEST(SehostMidiMessages, LengthFollowsTheStatusByte)
{
    struct Case {
        const char *text;
        const char *error; // "" when valid
    };
    const Case cases[] = {
        {"80 3C 00", ""},
        {"90 3C 64", ""},
        {"A0 3C 10", ""},
        {"B0 07 7F", ""},
        {"C0 05", ""},
        {"D0 40", ""},
        {"E0 00 40", ""},
        {"90 3C", "a note-on (90) takes 2 data bytes, not 1"},
        {"80", "a note-off (80) takes 2 data bytes, not 0"},
        {"B0 07", "a control change (B0) takes 2 data bytes"},
        {"E0 00", "a pitch bend (E0) takes 2 data bytes"},
        {"C0", "a program change (C0) takes 1 data byte, not 0"},
        {"C0 05 06", "a program change (C0) takes 1 data byte, not 2"},
        {"DF 01 02", "a channel pressure (DF) takes 1 data byte"},
        {"F1 10", ""},
        {"F2 01 02", ""},
        {"F3 05", ""},
        {"F6", ""},
        {"F8", ""},
        {"FA", ""},
        {"FB", ""},
        {"FC", ""},
        {"FE", ""},
        {"FF", ""},
        {"F0", "F0 is a system exclusive byte"},
        {"F7", "F7 is a system exclusive byte"},
        {"F0 01 02", "F0 is a system exclusive byte"},
        {"F4", "F4 is an undefined status byte"},
        {"F5", "F5 is an undefined status byte"},
        {"F9", "F9 is an undefined status byte"},
        {"FD", "FD is an undefined status byte"},
        {"F2 01", "a song position (F2) takes 2 data bytes, not 1"},
        {"F3", "a song select (F3) takes 1 data byte, not 0"},
        {"F6 01", "a tune request (F6) takes 0 data bytes, not 1"},
        {"F8 00", "a real-time message (F8) takes 0 data bytes, not 1"},
        {"FF 7F 7F", "a real-time message (FF) takes 0 data bytes, not 2"},
    };
    for (const Case &c : cases) {
        if (!*c.error) {
            EXPECT_NO_THROW(secli::parse_midi_message(c.text, "t")) << c.text;
            continue;
        }
        try {
            secli::parse_midi_message(c.text, "--midi");
            ADD_FAILURE() << c.text << " accepted";
        } catch (const secli::InputError &e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << c.text << ": " << e.what();
        }
    }
}

TEST(SehostMidiMessages, RefusedBeforeTheRunLeavingNoFiles)
{
    std::string out = fresh_dir("midi_messages");
    std::string patch = input_file(
        "sysex.json", R"({"duration":"10ms","modules":[{"name":"r","plugin":"midi_choice",
        "midi":["0=90 3C 64", "1ms=F9"]}]})");
    expect_refused({
        {{"render", "midi_choice", "--midi", "0=F7", "-o", out},
         "--midi \"0=F7\": MIDI \"F7\": F7 is a system"},
        {{"render", "midi_choice", "--midi", "0=FF 7F 7F", "-o", out},
         "a real-time message (FF) takes 0 data bytes"},
        {{"render", "midi_choice", "--midi", "0=90 3C", "-o", out},
         "a note-on (90) takes 2 data bytes"},
        {{"run", patch, "-o", out},
         "sysex.json: modules[0].midi[1]: MIDI \"F9\": F9 is an undefined status byte"},
    });
    EXPECT_FALSE(fs::exists(out)) << "a refused run wrote into " << out;

    // A two-byte program change goes through as it is.
    Result r = sehost(
        {"render", "midi_choice", "--repeat", "1", "--midi", "0=C0 05", "-d", "10ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string log = slurp(out + "/midi_choice.Add_Midi_Out.midi.txt");
    EXPECT_NE(log.find("C0 05"), std::string::npos) << log;
}

} // namespace
