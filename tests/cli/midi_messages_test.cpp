// midi_messages_test.cpp - inline MIDI is checked against its status byte
// before the run: the right number of data bytes for its status byte, and
// no system exclusive or undefined status bytes, which a packed message
// cannot carry. A live MIDI port's bytes are read by the same rule.
#include <sstream>

#include "cli_support.h"
#include "common/errors.h"
#include "midi/midi_bytes.h"
#include "midi/midi_input.h"

namespace {

using namespace se_cli;

struct InlineCase {
    const char *text;
    const char *error; // "" when valid
};
const InlineCase kInline[] = {
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

TEST(SehostMidiMessages, LengthFollowsTheStatusByte)
{
    for (const InlineCase &c : kInline) {
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

// The bytes of one live MIDI event, read by the same rule: the messages
// taken and the count refused.
struct LiveRead {
    std::vector<int32_t> messages;
    size_t refused = 0;
};
LiveRead read_live(const std::vector<uint8_t> &bytes)
{
    LiveRead r;
    r.refused = secli::read_midi_event(bytes.data(), bytes.size(),
                                       [&](int32_t m) { r.messages.push_back(m); });
    return r;
}

std::vector<uint8_t> hex_bytes(const char *text)
{
    std::vector<uint8_t> b;
    std::istringstream in(text);
    for (std::string t; in >> t;)
        b.push_back(static_cast<uint8_t>(std::stoul(t, nullptr, 16)));
    return b;
}

// A live MIDI port's events follow the inline rule: what an inline entry
// takes arrives as that one message, and what it refuses never arrives as
// that one message alone (an event may hold several, with running status
// as in a file). Events of several messages, system exclusive and bytes
// without a status are read as a file's track would hold them.
TEST(SehostMidiMessages, LiveEventsFollowTheSameRule)
{
    for (const InlineCase &c : kInline) {
        const LiveRead r = read_live(hex_bytes(c.text));
        if (!*c.error) {
            EXPECT_EQ(r.messages, std::vector<int32_t>{secli::parse_midi_message(c.text, "t")})
                << c.text;
            EXPECT_EQ(r.refused, 0u) << c.text;
        } else {
            EXPECT_TRUE(r.refused > 0 || r.messages.size() > 1) << c.text;
        }
    }
    struct Case {
        const char *bytes;
        std::vector<int32_t> messages;
        size_t refused;
    };
    const Case cases[] = {
        {"90 3C 64 3E 64", {0x643C90, 0x643E90}, 0},   // running status
        {"C0 05 06", {0x05C0, 0x06C0}, 0},             // running status, one data byte
        {"90 3C 64 3E", {0x643C90}, 1},                // the second cut short
        {"F0 7E 7F 06 01 F7 90 3C 64", {0x643C90}, 1}, // system exclusive, counted once
        {"90 3C F8 64", {0xF8, 0x643C90}, 0},          // real-time between data bytes
        {"3C 64", {}, 1},                              // no status
        {"F4 01 02 F8", {0xF8}, 1},                    // undefined, its data with it
        {"F2 10 20 30 40", {0x2010F2}, 1},             // no running status after F2
    };
    for (const Case &c : cases) {
        const LiveRead r = read_live(hex_bytes(c.bytes));
        EXPECT_EQ(r.messages, c.messages) << c.bytes;
        EXPECT_EQ(r.refused, c.refused) << c.bytes;
    }
}

} // namespace
