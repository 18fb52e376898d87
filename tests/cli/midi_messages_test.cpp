// midi_messages_test.cpp - inline MIDI is checked against its status byte
// before the run: the right number of data bytes, and no system bytes,
// which a module's input and the MIDI file of its output cannot take.
#include "cli_support.h"
#include "errors.h"
#include "midi_input.h"

namespace {

using namespace se_cli;

TEST(SehostMidiMessages, LengthFollowsTheStatusByte) {
    struct Case {
        const char *text;
        const char *error; // "" when valid
    };
    const Case cases[] = {
        {"80 3C 00", ""}, {"90 3C 64", ""}, {"A0 3C 10", ""}, {"B0 07 7F", ""},
        {"C0 05", ""}, {"D0 40", ""}, {"E0 00 40", ""},
        {"90 3C", "a note-on (90) takes 2 data bytes, not 1"},
        {"80", "a note-off (80) takes 2 data bytes, not 0"},
        {"B0 07", "a control change (B0) takes 2 data bytes"},
        {"E0 00", "a pitch bend (E0) takes 2 data bytes"},
        {"C0", "a program change (C0) takes 1 data byte, not 0"},
        {"C0 05 06", "a program change (C0) takes 1 data byte, not 2"},
        {"DF 01 02", "a channel pressure (DF) takes 1 data byte"},
        {"F0", "F0 is a system exclusive byte"},
        {"F7", "F7 is a system exclusive byte"},
        {"F2 01 02", "F2 is a system common byte"},
        {"F8", "F8 is a real-time byte"},
        {"FE", "FE is a real-time byte"},
        {"FF 7F 7F", "FF is a reset or meta byte"},
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
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << c.text << ": " << e.what();
        }
    }
}

TEST(SehostMidiMessages, RefusedBeforeTheRunLeavingNoFiles) {
    std::string out = fresh_dir("midi_messages");
    std::string patch = input_file("sysex.json", R"({"duration":"10ms","modules":[{"name":"r","plugin":"midi_choice",
        "midi":["0=90 3C 64", "1ms=F8"]}]})");
    expect_refused({
        {{"render", "midi_choice", "--midi", "0=F7", "-o", out}, "--midi \"0=F7\": MIDI \"F7\": F7 is a system"},
        {{"render", "midi_choice", "--midi", "0=FF 7F 7F", "-o", out}, "FF is a reset or meta byte"},
        {{"render", "midi_choice", "--midi", "0=90 3C", "-o", out}, "a note-on (90) takes 2 data bytes"},
        {{"run", patch, "-o", out}, "sysex.json: modules[0].midi[1]: MIDI \"F8\": F8 is a real-time byte"},
    });
    EXPECT_FALSE(fs::exists(out)) << "a refused run wrote into " << out;

    // A two-byte program change goes through as it is.
    Result r = sehost({"render", "midi_choice", "--repeat", "1", "--midi", "0=C0 05", "-d", "10ms", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string log = slurp(out + "/midi_choice.Add_Midi_Out.midi.txt");
    EXPECT_NE(log.find("C0 05"), std::string::npos) << log;
}

} // namespace
