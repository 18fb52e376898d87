// pulse_counter: identity, the pin table with its list texts, the GUI side,
// and going to sleep.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "pulse_counter_support.h"

using namespace pc;

namespace {

// "1=1,2,3,...,n": values 1 to n, each shown as its own number.
std::string numbered_list(int n)
{
    std::string s = "1=1";
    for (int i = 2; i <= n; ++i)
        s += "," + std::to_string(i);
    return s;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

TEST(PulseCounterShell, Properties)
{
    const sehost::ModuleInfo info = library()->properties();
    EXPECT_EQ(info.name, "QZ_Counter_IndexingV2");
    EXPECT_EQ(info.identifier, "Pulse_Count_IDX_V2_QZ2008");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);

    const std::vector<std::string> about = lines(info.about);
    ASSERT_GE(about.size(), 9u);
    EXPECT_EQ(about[0], "Pulse/Osc Counter with Indexing Output");
    EXPECT_EQ(about[1].rfind("Ver:2.90", 0), 0u) << about[1];
    const std::vector<std::string> fixed = {"",
                                            "Counts Pulses/Osc Cycles, Output directly controls "
                                            "Switch/Choice modules",
                                            "",
                                            "Features:",
                                            "Start and End counter range",
                                            ""};
    EXPECT_EQ(std::vector<std::string>(about.begin() + 2, about.begin() + 8), fixed);
    EXPECT_EQ(info.about.find('\r'), std::string::npos);

    sehost::Module both(library());
    EXPECT_TRUE(both.has_gui());
}

TEST(PulseCounterShell, PinTable)
{
    const std::string list_a = numbered_list(64);
    const std::string list_b = numbered_list(31);
    const std::string list_c = "Off," + list_a;
    ASSERT_EQ(list_a.substr(0, 10), "1=1,2,3,4,");
    ASSERT_EQ(list_a.substr(list_a.size() - 9), ",62,63,64");

    struct Row {
        const char *name;
        int32_t direction, datatype;
        const char *default_value; // null: none
        std::string list;          // empty: none
    };
    const Row rows[] = {
        {"Pulse/Osc In", DR_IN, DT_FSAMPLE, nullptr, ""},
        {"Start", DR_IN, DT_CHOICE, "1", list_a},
        {"End", DR_IN, DT_CHOICE, "8", list_a},
        {"Step", DR_IN, DT_CHOICE, "1", list_b},
        {"Mode", DR_IN, DT_CHOICE, "0",
         "Forward,Back,Fwd+Back,Back+Fwd,Random,Fwd+Back2,Back+Fwd2"},
        {"Reset (to)", DR_IN, DT_CHOICE, "0", list_c},
        {"Index:Count", DR_OUT, DT_CHOICE, nullptr, ""},
        {"Active", DR_IN, DT_CHOICE, "0", "OFF,ON"},
        {"Random Seed (ratio)", DR_IN, DT_FSAMPLE, "1.0", ""},
        {"Humanise (ms)", DR_IN, DT_FSAMPLE, "0.0", "100,0,100,0"},
        {"Shift/Delay (ms) +ve only", DR_IN, DT_FSAMPLE, "0.0", "500,0,500,0"},
    };

    sehost::DspInstance dsp(library());
    const std::vector<sehost::PinDecl> &pins = dsp.pins();
    ASSERT_EQ(pins.size(), std::size(rows));
    for (size_t i = 0; i < pins.size(); ++i) {
        const sehost::PinDecl &pin = pins[i];
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(pin.name, row.name);
        EXPECT_EQ(pin.direction, row.direction);
        EXPECT_EQ(pin.datatype, row.datatype);
        EXPECT_EQ(pin.flags, 0);
        EXPECT_NE(pin.variable_address, 0u);
        EXPECT_EQ(pin.dsp_index, static_cast<int>(i));
        EXPECT_EQ(pin.default_value.has_value(), row.default_value != nullptr);
        if (row.default_value != nullptr && pin.default_value) {
            EXPECT_EQ(*pin.default_value, row.default_value);
        }
        EXPECT_EQ(pin.list_text.value_or(""), row.list);
    }

    // The lists read as the values they stand for.
    const sehost::EnumList reset = pins[kReset].list();
    ASSERT_EQ(reset.entries().size(), 65u);
    for (int32_t v = 0; v <= 64; ++v)
        EXPECT_EQ(reset.label_of(v), v == 0 ? std::string("Off") : std::to_string(v));
    EXPECT_EQ(pins[kMode].list().value_of("Back+Fwd2"), 6);
    EXPECT_EQ(pins[kStep].list().entries().back().value, 31);
}

// With the input streaming and Active ON the counter stays awake; with a
// still input it sleeps once block size + 1 samples have passed since the
// last pin change.
TEST(PulseCounterShell, Sleep)
{
    auto streaming = open_counter(Settings{});
    streaming->run(20 * 64);
    EXPECT_TRUE(streaming->sleeps().empty());
    EXPECT_EQ(indices(*streaming).size(), 80u);

    auto still = std::make_unique<sehost::DspInstance>(library(), small_blocks());
    still->set_value(kActive, 1);
    still->set_value(kIn, 0.5);
    still->open();
    still->run(64);
    EXPECT_TRUE(still->sleeps().empty()); // 64 of 65 samples
    still->run(64);
    EXPECT_EQ(still->sleeps(), std::vector<uint32_t>{64});
    EXPECT_EQ(indices(*still), std::vector<int>{0}); // the first sample rose from the open state
}
