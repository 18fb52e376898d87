// panel_switch8 / panel_switch4 through the reference host: properties, the
// pin table generated for each number of ways, the DSP side that only
// sleeps, and the GUI side's exact pin writes in every case, with and
// without the host echoing the module's own writes back into it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "float_bits.h"
#include "plugin_path.h"
#include "sehost/sehost.h"

namespace {

struct Build {
    const char *plugin;
    int ways;
    const char *name;
    const char *identifier;
};

const Build kBuilds[] = {
    {"panel_switch8", 8, "QZ_GUI_Panel_Switch8", "GUI_Panel_Switch_8_QZ2009"},
    {"panel_switch4", 4, "QZ_GUI_Panel_Switch4", "GUI_Panel_Switch_4_QZ2009"},
};

void PrintTo(const Build &b, std::ostream *os)
{
    *os << b.plugin;
}

using se_test::bits;

// A pin of way k, resolved against the number of ways.
struct Ref {
    enum Kind { Switch, Out, In, Mode } kind;
    int k;
    int pin(int n) const
    {
        switch (kind) {
        case Switch:
            return k;
        case Out:
            return n + k;
        case In:
            return 2 * n + k;
        default:
            return 3 * n;
        }
    }
};
Ref Sw(int k)
{
    return {Ref::Switch, k};
}
Ref Out(int k)
{
    return {Ref::Out, k};
}
Ref In(int k)
{
    return {Ref::In, k};
}
const Ref kMode{Ref::Mode, 0};

// Writes as text, so that a mismatch prints both sequences: switches are
// float writes compared by bits, show signals integer writes.
std::string describe(int pin, sehost::GuiValue::Kind kind, int32_t i, float f)
{
    std::ostringstream s;
    s << "pin " << pin;
    if (kind == sehost::GuiValue::Kind::Float)
        s << " float 0x" << std::hex << bits(f);
    else if (kind == sehost::GuiValue::Kind::Int)
        s << " int " << i;
    else
        s << " text";
    return s.str();
}

struct W {
    Ref ref;
    double value;
};
// A way's show signal, output pin first, as the module writes it.
std::vector<W> pair(int k, int v)
{
    return {{Out(k), double(v)}, {In(k), double(v)}};
}
std::vector<W> operator+(std::vector<W> a, const std::vector<W> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> expected_text(const std::vector<W> &ws, int n)
{
    std::vector<std::string> out;
    for (const W &w : ws) {
        if (w.ref.kind == Ref::Switch)
            out.push_back(describe(w.ref.pin(n), sehost::GuiValue::Kind::Float, 0, float(w.value)));
        else
            out.push_back(describe(w.ref.pin(n), sehost::GuiValue::Kind::Int, int32_t(w.value), 0));
    }
    return out;
}

std::vector<std::string> actual_text(const sehost::GuiInstance &gui)
{
    std::vector<std::string> out;
    for (const sehost::GuiWrite &w : gui.writes())
        out.push_back(describe(w.pin, w.kind, w.i, w.f));
    return out;
}

size_t count_requests(const sehost::GuiInstance &gui, int32_t op, int32_t index)
{
    size_t n = 0;
    for (const sehost::GuiRequest &r : gui.requests())
        n += (r.op == op && r.index == index) ? 1 : 0;
    return n;
}

class PanelSwitch : public ::testing::TestWithParam<Build>
{
protected:
    int n() const { return GetParam().ways; }

    std::unique_ptr<sehost::GuiInstance> make_gui(bool echo)
    {
        m_lib = sehost::Library::load(se_test::plugin_path(GetParam().plugin));
        sehost::HostConfig config;
        config.gui_echo = echo;
        auto gui = sehost::GuiInstance::make(m_lib, sehost::learn_pins(m_lib, config), config);
        EXPECT_NE(gui, nullptr);
        return gui;
    }

    std::shared_ptr<sehost::Library> m_lib;
};

// ---- identity and pins ------------------------------------------------------

TEST_P(PanelSwitch, PropertiesNameTheBuild)
{
    auto lib = sehost::Library::load(se_test::plugin_path(GetParam().plugin));
    const sehost::ModuleInfo info = lib->properties();
    EXPECT_EQ(info.name, GetParam().name);
    EXPECT_EQ(info.identifier, GetParam().identifier);
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.sdk_revision, 2240);
    EXPECT_EQ(info.about.rfind("GUI Panel Switch\nVer:2.90", 0), 0u) << info.about;
    EXPECT_NE(info.about.find("\n\nAllows custom images to switch panels\n\n"), std::string::npos)
        << info.about;
}

TEST_P(PanelSwitch, DeclaresThreeNPlusOneGuiPins)
{
    auto lib = sehost::Library::load(se_test::plugin_path(GetParam().plugin));
    const std::vector<sehost::PinDecl> pins = sehost::learn_pins(lib);
    const int ways = n();
    ASSERT_EQ(pins.size(), size_t(3 * ways + 1));

    struct Expect {
        std::string name;
        int32_t direction, datatype, flags;
    };
    std::vector<Expect> expect;
    for (int k = 0; k < ways; ++k)
        expect.push_back(
            {std::to_string(k + 1) + " Switch (Animation)", DR_IN, DT_FLOAT32, 0x10400});
    for (int32_t dir : {DR_OUT, DR_IN})
        for (int k = 0; k < ways; ++k)
            expect.push_back(
                {"Controls on Parent " + std::to_string(k + 1), dir, DT_BOOLEAN, 0x400});
    expect.push_back({"Mode", DR_SETTING, DT_CHOICE, 0x400});

    for (size_t i = 0; i < pins.size(); ++i) {
        SCOPED_TRACE("pin " + std::to_string(i));
        const sehost::PinDecl &p = pins[i];
        EXPECT_EQ(p.number, int(i));
        EXPECT_EQ(p.name, expect[i].name);
        EXPECT_EQ(p.direction, expect[i].direction);
        EXPECT_EQ(p.datatype, expect[i].datatype);
        EXPECT_EQ(p.flags, expect[i].flags);
        EXPECT_EQ(p.variable_address, 0u);
        EXPECT_FALSE(p.default_value.has_value());
        if (i + 1 == pins.size())
            EXPECT_EQ(p.list_text.value_or(""), "Allow Off,Keep 1 Panel");
        else
            EXPECT_FALSE(p.list_text.has_value());
        EXPECT_EQ(p.dsp_index, -1);
    }
}

TEST_P(PanelSwitch, DspSideHasNoPinsAndSleeps)
{
    auto lib = sehost::Library::load(se_test::plugin_path(GetParam().plugin));
    sehost::DspInstance dsp(lib);
    EXPECT_TRUE(dsp.dsp_pins().empty());
    EXPECT_EQ(dsp.pin_count(), 0);
    dsp.open();
    dsp.run(4096);
    EXPECT_FALSE(dsp.sleeps().empty());
    EXPECT_EQ(dsp.process_calls(), 1u); // asleep after the first call
    EXPECT_TRUE(dsp.errors().empty());
    dsp.close();
}

// ---- Initialise -------------------------------------------------------------

struct InitCase {
    const char *name;
    std::vector<std::pair<int, float>> stored; // switch k -> stored value
    int shown;                                 // way expected shown, -1 none
};

TEST_P(PanelSwitch, InitialiseShowsTheLowestStoredSwitchThatIsOn)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int last = n() - 1;
    const InitCase cases[] = {
        {"nothing stored on", {}, -1},
        {"switches 2 and last on: 2 wins", {{2, 1.0f}, {last, 1.0f}}, 2},
        {"0.5 is on", {{1, 0.5f}}, 1},
        {"0.4999 and NaN are off", {{0, 0.4999f}, {1, nan}, {3, 0.5f}}, 3},
        {"everything below threshold", {{0, 0.4999f}, {1, nan}, {2, -1.0f}}, -1},
        {"last way alone", {{last, 0.75f}}, last},
    };
    for (bool echo : {false, true}) {
        for (const InitCase &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (echo ? " (echo)" : ""));
            auto gui = make_gui(echo);
            for (const auto &[k, v] : c.stored)
                gui->set_pin(Sw(k).pin(n()), v);
            gui->initialise();

            std::vector<W> expect;
            for (int k = 0; k < n(); ++k) {
                if (k == c.shown)
                    expect = expect + pair(k, 1) + std::vector<W>{{Sw(k), 1.0}};
                else
                    expect = expect + std::vector<W>{{Sw(k), 0.0}} + pair(k, 0);
            }
            EXPECT_EQ(actual_text(*gui), expected_text(expect, n()));
            // Reads: "Mode" first, then the switches up to the first one on.
            ASSERT_FALSE(gui->requests().empty());
            EXPECT_EQ(gui->requests()[0].op, GUI_HOST_GET_PIN_VALUE);
            EXPECT_EQ(gui->requests()[0].index, kMode.pin(n()));
            size_t reads = 0;
            for (const sehost::GuiRequest &r : gui->requests())
                reads += r.op == GUI_HOST_GET_PIN_VALUE ? 1 : 0;
            EXPECT_EQ(reads, size_t(1 + (c.shown == -1 ? n() : c.shown + 1)));
            EXPECT_TRUE(gui->errors().empty());
        }
    }
}

// ---- changes after Initialise ---------------------------------------------

struct Action {
    enum Kind { Set, Idle, Raw } kind;
    Ref ref;
    double value;
};
Action set(Ref r, double v)
{
    return {Action::Set, r, v};
}
const Action kIdle{Action::Idle, kMode, 0};
// A notification for a raw declaration number; ref.k holds it, relative to
// 3N when value is 1 (so "3N + 1" stays right for both builds).
Action notify_raw(int number, bool relative_to_mode)
{
    return {Action::Raw, {Ref::Mode, number}, relative_to_mode ? 1.0 : 0.0};
}

struct ChangeCase {
    const char *name;
    int mode;                  // "Mode" stored before Initialise
    int shown;                 // way shown by Initialise, -1 none
    std::vector<Action> setup; // after Initialise; writes cleared afterwards
    std::vector<Action> actions;
    std::vector<W> expect; // writes made by the actions
    bool idle_requested;
};

std::vector<ChangeCase> change_cases()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {
        {"another way on moves the panel",
         0,
         1,
         {},
         {set(Sw(3), 0.75)},
         std::vector<W>{{Sw(1), 0.0}} + pair(1, 0) + pair(3, 1),
         false},
        {"exactly 0.5 switches on",
         0,
         1,
         {},
         {set(Sw(2), 0.5)},
         std::vector<W>{{Sw(1), 0.0}} + pair(1, 0) + pair(2, 1),
         false},
        {"0.4999 of an inactive way is off", 0, 1, {}, {set(Sw(2), 0.4999)}, pair(2, 0), false},
        {"NaN on the shown way is off", 0, 1, {}, {set(Sw(1), nan)}, pair(1, 0), false},
        {"allow off: shown way off, then another on clears nothing",
         0,
         1,
         {},
         {set(Sw(1), 0.0), set(Sw(2), 1.0)},
         pair(1, 0) + pair(2, 1),
         false},
        {"with nothing shown a switch on writes only its pair",
         0,
         -1,
         {},
         {set(Sw(0), 1.0)},
         pair(0, 1),
         false},
        {"the shown switch on again rewrites its pair only",
         0,
         1,
         {},
         {set(Sw(1), 0.9)},
         pair(1, 1),
         false},
        {"keep one: shown way off writes nothing and asks for idle",
         1,
         1,
         {},
         {set(Sw(1), 0.0)},
         {},
         true},
        {"keep one: the idle call puts the switch back",
         1,
         1,
         {},
         {set(Sw(1), 0.0), kIdle, kIdle},
         {{Sw(1), 1.0}, {Sw(1), 1.0}},
         true},
        {"keep one: the way stays shown",
         1,
         1,
         {},
         {set(Sw(1), 0.0), kIdle, set(Sw(0), 1.0)},
         std::vector<W>{{Sw(1), 1.0}, {Sw(1), 0.0}} + pair(1, 0) + pair(0, 1),
         true},
        {"keep one: an inactive way off writes only its pair",
         1,
         1,
         {},
         {set(Sw(2), 0.0)},
         pair(2, 0),
         false},
        {"keep one with nothing shown: a way off writes its pair",
         1,
         -1,
         {},
         {set(Sw(2), 0.0)},
         pair(2, 0),
         false},
        {"idle with nothing shown writes nothing", 0, -1, {}, {kIdle}, {}, false},
        {"mode changed later to keep one", 0, 1, {set(kMode, 1)}, {set(Sw(1), 0.0)}, {}, true},
        {"mode changed later to allow off",
         1,
         1,
         {set(kMode, 0)},
         {set(Sw(1), 0.0)},
         pair(1, 0),
         false},
        {"a mode change writes nothing", 0, 1, {}, {set(kMode, 1), set(kMode, 0)}, {}, false},
        {"values on the show pins change nothing",
         0,
         1,
         {},
         {set(Out(1), 0), set(In(1), 0), set(Out(2), 1), set(In(3), 1), set(Sw(1), 0.0)},
         pair(1, 0),
         false},
        {"undeclared numbers change nothing",
         1,
         1,
         {},
         {notify_raw(-1, false), notify_raw(1, true), notify_raw(1000, false), set(Sw(1), 0.0)},
         {},
         true},
    };
}

TEST_P(PanelSwitch, ChangesWriteExactlyTheseSequences)
{
    const int ways = n();
    for (bool echo : {false, true}) {
        for (const ChangeCase &c : change_cases()) {
            SCOPED_TRACE(std::string(c.name) + (echo ? " (echo)" : ""));
            auto gui = make_gui(echo);
            gui->set_pin(kMode.pin(ways), c.mode);
            if (c.shown != -1)
                gui->set_pin(Sw(c.shown).pin(ways), 1.0);
            gui->initialise();

            auto run = [&](const std::vector<Action> &actions) {
                for (const Action &a : actions) {
                    if (a.kind == Action::Set) {
                        gui->set_pin(a.ref.pin(ways), a.value);
                    } else if (a.kind == Action::Idle) {
                        EXPECT_EQ(gui->idle(), false);
                    } else {
                        const int number = a.value != 0 ? 3 * ways + a.ref.k : a.ref.k;
                        gui->dispatch(GUI_OP_PIN_VALUE_CHANGED, number);
                    }
                }
            };
            run(c.setup);
            gui->clear_writes();
            run(c.actions);

            EXPECT_EQ(actual_text(*gui), expected_text(c.expect, ways));
            EXPECT_EQ(gui->idle_requested(), c.idle_requested);
            EXPECT_TRUE(gui->errors().empty());
        }
    }
}

TEST_P(PanelSwitch, TurnedOnSwitchKeepsTheUsersValue)
{
    auto gui = make_gui(true);
    gui->set_pin(Sw(1).pin(n()), 1.0);
    gui->initialise();
    gui->set_pin(Sw(3).pin(n()), 0.75);
    EXPECT_EQ(bits(gui->float_value(Sw(3).pin(n()))), bits(0.75f));
    EXPECT_EQ(bits(gui->float_value(Sw(1).pin(n()))), bits(0.0f));
    EXPECT_EQ(gui->int_value(Out(3).pin(n())), 1);
    EXPECT_EQ(gui->int_value(In(3).pin(n())), 1);
    EXPECT_EQ(gui->int_value(Out(1).pin(n())), 0);
    EXPECT_EQ(gui->int_value(In(1).pin(n())), 0);
}

TEST_P(PanelSwitch, DestructorEndsIdleCalls)
{
    auto gui = make_gui(false);
    gui->set_pin(kMode.pin(n()), 1);
    gui->set_pin(Sw(0).pin(n()), 1.0);
    gui->initialise();
    gui->set_pin(Sw(0).pin(n()), 0.0);
    ASSERT_TRUE(gui->idle_requested());
    EXPECT_EQ(count_requests(*gui, GUI_HOST_SET_IDLE, 0), 0u);
    gui->close();
    EXPECT_EQ(count_requests(*gui, GUI_HOST_SET_IDLE, 0), 1u);
    EXPECT_FALSE(gui->idle_requested());
}

INSTANTIATE_TEST_SUITE_P(Builds, PanelSwitch, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build> &param_info) {
                             return std::string(param_info.param.plugin);
                         });

} // namespace
