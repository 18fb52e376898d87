// midi_choice through the reference host: properties and pins (with and
// without the repeatable output), routing and the channel filter, the
// routing update with its clamping, the all-notes-off rules, hosts with no
// outputs or more outputs than a fixed table would hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "plugin_library.h"
#include "sehost/sehost.h"

namespace {

const char *const kChannel = "Channel (All:1-16)";
const char *const kChoice = "Choice";
const char *const kNotesOff = "All-Notes-Off on Change?";
constexpr int kFirstOut = 4; // DSP index of the first MIDI output

std::shared_ptr<sehost::Library> load()
{
    return se_test::plugin_library("midi_choice");
}

sehost::HostConfig with_outputs(int outputs)
{
    sehost::HostConfig config;
    config.repeat_copies = outputs - 1;
    return config;
}

// One MIDI message as sent: output (0-based), stamp, packed message.
struct Sent {
    int output;
    uint32_t stamp;
    int32_t message;
};

std::vector<std::string> text(const std::vector<Sent> &sent)
{
    std::vector<std::string> out;
    for (const Sent &s : sent) {
        std::ostringstream o;
        o << "out " << s.output << " @" << s.stamp << " 0x" << std::hex << s.message;
        out.push_back(o.str());
    }
    return out;
}

std::vector<std::string> sent_text(const sehost::DspInstance &dsp)
{
    std::vector<Sent> sent;
    for (const sehost::MidiOut &m : dsp.midi_out())
        sent.push_back({m.pin - kFirstOut, m.stamp, m.message});
    return text(sent);
}

// Sixteen all-notes-off messages, channels 0..15 in order, one stamp.
std::vector<Sent> notes_off_all(int output, uint32_t stamp)
{
    std::vector<Sent> out;
    for (int32_t ch = 0; ch < 16; ++ch)
        out.push_back({output, stamp, 0x7BB0 + ch});
    return out;
}
std::vector<Sent> operator+(std::vector<Sent> a, const std::vector<Sent> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- identity and pins ------------------------------------------------------

TEST(MidiChoice, Properties)
{
    const sehost::ModuleInfo info = load()->properties();
    EXPECT_EQ(info.name, "QZ_Midi_1_to_Choice");
    EXPECT_EQ(info.identifier, "Midi_1_to_Choice_QZ2005");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);
    EXPECT_EQ(info.about.rfind("Midi input to a Choice of multiple Outputs\nVer:2.90", 0), 0u);
    EXPECT_NE(info.about.find("\n\nChoose which Midi Output the incoming Midi data is sent to\n"
                              "Option to transmit All Midi data or just one Midi Channel\n\n"),
              std::string::npos)
        << info.about;
}

TEST(MidiChoice, PinTableDependsOnHostVersion)
{
    struct Expect {
        const char *name;
        int32_t direction, datatype;
        const char *default_value, *list;
        int32_t flags;
        bool variable;
    };
    const Expect table[] = {
        {"Midi In", DR_IN, DT_MIDI, nullptr, nullptr, 0, false},
        {kChannel, DR_IN, DT_CHOICE, "-1", "All=-1,1=0,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", 0,
         true},
        {kChoice, DR_IN, DT_CHOICE, "0", "{AUTO}", 0x4, true},
        {kNotesOff, DR_IN, DT_CHOICE, "0", "No,Yes", 0, true},
        {"Add Midi Out", DR_OUT, DT_MIDI, "0", nullptr, 0xC, false},
    };
    const struct {
        int32_t version;
        size_t pins;
    } hosts[] = {{100238, 5}, {200000, 5}, {100237, 4}, {0, 4}};

    for (const auto &host : hosts) {
        SCOPED_TRACE("host version " + std::to_string(host.version));
        sehost::HostConfig config;
        config.host_version = host.version;
        const std::vector<sehost::PinDecl> pins = sehost::learn_pins(load(), config);
        ASSERT_EQ(pins.size(), host.pins);
        for (size_t i = 0; i < pins.size(); ++i) {
            SCOPED_TRACE(table[i].name);
            const sehost::PinDecl &p = pins[i];
            EXPECT_EQ(p.name, table[i].name);
            EXPECT_EQ(p.direction, table[i].direction);
            EXPECT_EQ(p.datatype, table[i].datatype);
            EXPECT_EQ(p.flags, table[i].flags);
            EXPECT_EQ(p.default_value.has_value(), table[i].default_value != nullptr);
            if (table[i].default_value != nullptr && p.default_value) {
                EXPECT_EQ(*p.default_value, table[i].default_value);
            }
            EXPECT_EQ(p.list_text.has_value(), table[i].list != nullptr);
            if (table[i].list != nullptr && p.list_text) {
                EXPECT_EQ(*p.list_text, table[i].list);
            }
            EXPECT_EQ(p.variable_address != 0, table[i].variable);
        }
    }
    // The channel list: "All" is -1, "1".."16" are 0..15.
    const sehost::EnumList list = sehost::learn_pins(load())[1].list();
    EXPECT_EQ(list.value_of("All"), -1);
    EXPECT_EQ(list.value_of("1"), 0);
    EXPECT_EQ(list.value_of("3"), 2);
    EXPECT_EQ(list.value_of("16"), 15);
    EXPECT_EQ(sehost::learn_pins(load())[2].list().kind(), sehost::EnumList::Kind::Auto);
}

TEST(MidiChoice, SleepsWheneverRun)
{
    sehost::DspInstance dsp(load(), with_outputs(2));
    dsp.open();
    dsp.run(4096);
    EXPECT_FALSE(dsp.sleeps().empty());
    EXPECT_EQ(dsp.sleeps().size(), dsp.process_calls());
    dsp.queue_midi(5000, 0x90);
    dsp.run(4096);
    EXPECT_EQ(dsp.sleeps().size(), dsp.process_calls());
    EXPECT_TRUE(dsp.errors().empty());
}

// ---- routing ------------------------------------------------------------------

TEST(MidiChoice, RoutesByChannelAndPassesSystemMessages)
{
    struct Case {
        const char *channel;
        int choice;
        std::vector<int32_t> in;
        std::vector<int32_t> out;
    };
    const Case cases[] = {
        {"All",
         1,
         {0x403C90, 0x403C93, 0x7FB0, 0xF8, 0xF0, 0x0AC5, 0xFF},
         {0x403C90, 0x403C93, 0x7FB0, 0xF8, 0xF0, 0x0AC5, 0xFF}},
        {"3",
         2,
         {0x403C92, 0x403C93, 0xF8, 0xF0, 0x3C82, 0x7FB3, 0x2000E2, 0xFE},
         {0x403C92, 0xF8, 0xF0, 0x3C82, 0x2000E2, 0xFE}},
        {"16", 0, {0x403C9F, 0x403C90, 0xF2, 0x0102F3}, {0x403C9F, 0xF2, 0x0102F3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("channel ") + c.channel);
        sehost::DspInstance dsp(load(), with_outputs(3));
        dsp.set_choice(kChannel, c.channel);
        dsp.set_value(kChoice, c.choice);
        dsp.open();
        uint32_t stamp = 100;
        for (int32_t m : c.in)
            dsp.queue_midi(stamp += 7, m);
        dsp.run(2048);

        // Every message leaves on the chosen output with its own stamp.
        std::vector<Sent> expect;
        stamp = 100;
        size_t o = 0;
        for (int32_t m : c.in) {
            stamp += 7;
            if (o < c.out.size() && c.out[o] == m) {
                expect.push_back({c.choice, stamp, m});
                ++o;
            }
        }
        ASSERT_EQ(o, c.out.size());
        EXPECT_EQ(sent_text(dsp), text(expect));
        EXPECT_TRUE(dsp.errors().empty());
    }
}

TEST(MidiChoice, FirstUpdateSendsNothing)
{
    // Whatever the stored settings, opening only records them.
    for (const char *channel : {"All", "5"}) {
        SCOPED_TRACE(channel);
        sehost::DspInstance dsp(load(), with_outputs(3));
        dsp.set_choice(kChannel, channel);
        dsp.set_value(kChoice, 2);
        dsp.set_choice(kNotesOff, "Yes");
        dsp.open();
        dsp.run(2048);
        EXPECT_TRUE(dsp.midi_out().empty());
        dsp.queue_midi(3000, 0x403C94);
        dsp.run(2048);
        EXPECT_EQ(sent_text(dsp), text({{2, 3000, 0x403C94}}));
    }
}

// ---- routing updates and all-notes-off ----------------------------------------

struct Change {
    const char *pin;
    double value;
};

struct UpdateCase {
    const char *name;
    int channel, choice, notes_off; // stored before open
    std::vector<Change> changes;    // at clock 100, in order
    std::vector<Sent> expect;       // messages of the changes, then of a note at 200
    int32_t note;                   // sent at 200 (must pass the channel in force)
};

std::vector<UpdateCase> update_cases()
{
    return {
        {"choice 0 to 1, All, Yes: sixteen on output 0",
         -1,
         0,
         1,
         {{kChoice, 1}},
         notes_off_all(0, 100) + std::vector<Sent>{{1, 200, 0x403C90}},
         0x403C90},
        {"channel 1 to 2, Yes: one B0 7B 00",
         0,
         0,
         1,
         {{kChannel, 1}},
         {{0, 100, 0x7BB0}, {0, 200, 0x403C91}},
         0x403C91},
        {"channel 5 to All, Yes: one B4 7B 00",
         4,
         1,
         1,
         {{kChannel, -1}},
         {{1, 100, 0x7BB4}, {1, 200, 0x403C97}},
         0x403C97},
        {"channel All to 5, Yes: sixteen",
         -1,
         2,
         1,
         {{kChannel, 4}},
         notes_off_all(2, 100) + std::vector<Sent>{{2, 200, 0x403C94}},
         0x403C94},
        {"choice 2 to 0 on channel 3, Yes: on the output left",
         2,
         2,
         1,
         {{kChoice, 0}},
         {{2, 100, 0x7BB2}, {0, 200, 0x403C92}},
         0x403C92},
        {"choice and channel together: old channel on old output",
         2,
         0,
         1,
         {{kChannel, 9}, {kChoice, 1}},
         {{0, 100, 0x7BB2}, {0, 100, 0x7BB9}, {1, 200, 0x403C99}},
         0x403C99},
        {"No: changes send nothing",
         -1,
         0,
         0,
         {{kChoice, 1}, {kChannel, 3}},
         {{1, 200, 0x403C93}},
         0x403C93},
        {"switching to Yes sends nothing",
         -1,
         0,
         0,
         {{kNotesOff, 1}},
         {{0, 200, 0x403C90}},
         0x403C90},
        {"same choice and channel again sends nothing",
         3,
         1,
         1,
         {{kChoice, 1}, {kChannel, 3}},
         {{1, 200, 0x403C93}},
         0x403C93},
        {"choice 7 of three becomes 2",
         -1,
         0,
         1,
         {{kChoice, 7}},
         notes_off_all(0, 100) + std::vector<Sent>{{2, 200, 0x403C90}},
         0x403C90},
        {"choice -1 becomes 0",
         5,
         2,
         1,
         {{kChoice, -1}},
         {{2, 100, 0x7BB5}, {0, 200, 0x403C95}},
         0x403C95},
        {"choice above the last one again: clamped value unchanged",
         5,
         2,
         1,
         {{kChoice, 9}},
         {{2, 200, 0x403C95}},
         0x403C95},
        // Wired channel values outside the list read as its nearest entry.
        {"channel 100 reads as 16: leaving it sends BF 7B 00",
         100,
         0,
         1,
         {{kChoice, 1}},
         {{0, 100, 0x7BBF}, {1, 200, 0x403C9F}},
         0x403C9F},
        {"channel -1000 reads as All: sixteen",
         -1000,
         0,
         1,
         {{kChoice, 1}},
         notes_off_all(0, 100) + std::vector<Sent>{{1, 200, 0x403C93}},
         0x403C93},
        {"channel 20 to 21 is no change",
         20,
         1,
         1,
         {{kChannel, 21}},
         {{1, 200, 0x403C9F}},
         0x403C9F},
    };
}

TEST(MidiChoice, RoutingUpdatesAndAllNotesOff)
{
    for (const UpdateCase &c : update_cases()) {
        SCOPED_TRACE(c.name);
        sehost::DspInstance dsp(load(), with_outputs(3));
        dsp.set_value(kChannel, c.channel);
        dsp.set_value(kChoice, c.choice);
        dsp.set_value(kNotesOff, c.notes_off);
        dsp.open();
        dsp.run(64);
        ASSERT_TRUE(dsp.midi_out().empty());

        for (const Change &ch : c.changes)
            dsp.set_value(ch.pin, ch.value, 100);
        dsp.queue_midi(200, c.note);
        dsp.run(1024);
        EXPECT_EQ(sent_text(dsp), text(c.expect));
        // The clamped choice is written back into the pin variable.
        const auto *choice = reinterpret_cast<const int16_t *>(dsp.decl(kChoice).variable_address);
        const int routed = c.expect.back().output;
        EXPECT_EQ(*choice, routed);
        EXPECT_TRUE(dsp.errors().empty());
    }
}

TEST(MidiChoice, ChoiceOutOfRangeBeforeTheUpdateIsClampedAtUse)
{
    // The host may write a new value and deliver MIDI before the status
    // change: the value is written into the variable with no event.
    const struct {
        int16_t choice;
        int output;
    } cases[] = {{7, 2}, {-1, 0}, {32767, 2}, {-32768, 0}, {1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.choice);
        sehost::DspInstance dsp(load(), with_outputs(3));
        dsp.open();
        dsp.run(64);
        *reinterpret_cast<int16_t *>(dsp.decl(kChoice).variable_address) = c.choice;
        dsp.queue_midi(100, 0x403C90);
        dsp.run(1024);
        EXPECT_EQ(sent_text(dsp), text({{c.output, 100, 0x403C90}}));
    }
}

// ---- hosts with no outputs or many outputs -------------------------------------

TEST(MidiChoice, OldHostHasNoOutputAndRoutesNothing)
{
    for (std::optional<int32_t> pin_count : {std::optional<int32_t>(), std::optional<int32_t>(6)}) {
        SCOPED_TRACE(pin_count ? "host counts 6 pins" : "host counts the declared pins");
        sehost::HostConfig config;
        config.host_version = 100237;
        config.pin_count = pin_count;
        sehost::DspInstance dsp(load(), config);
        EXPECT_EQ(dsp.pins().size(), 4u);
        dsp.set_value(kChoice, 3);
        dsp.set_value(kNotesOff, 1);
        dsp.open();
        dsp.queue_midi(10, 0x403C90);
        dsp.queue_midi(20, 0xF8);
        dsp.set_value(kChoice, 1, 30);
        dsp.set_value(kChannel, 2, 40);
        dsp.run(2048);
        EXPECT_TRUE(dsp.midi_out().empty());
        EXPECT_FALSE(dsp.sleeps().empty());
        EXPECT_TRUE(dsp.errors().empty());
    }
}

TEST(MidiChoice, MoreThan256Outputs)
{
    const int outputs = 300;
    sehost::DspInstance dsp(load(), with_outputs(outputs));
    ASSERT_EQ(dsp.pin_count(), kFirstOut + outputs);
    dsp.set_value(kChoice, 299);
    dsp.set_value(kNotesOff, 1);
    dsp.open();
    dsp.queue_midi(10, 0x403C90);
    dsp.set_value(kChoice, 1000, 20); // clamps to the last output: unchanged
    dsp.set_value(kChoice, 256, 30);
    dsp.queue_midi(40, 0x403C91);
    dsp.run(1024);
    EXPECT_EQ(sent_text(dsp), text(std::vector<Sent>{{299, 10, 0x403C90}} + notes_off_all(299, 30) +
                                   std::vector<Sent>{{256, 40, 0x403C91}}));
    EXPECT_TRUE(dsp.errors().empty());
}

} // namespace
