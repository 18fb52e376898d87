// panel_switch - a row of N switch images choosing which sub-panel is shown.
//
// Built twice from this file: PANEL_SWITCH_WAYS is 8 or 4.  For way k the
// switch is pin k (a float animation position, on at 0.5 or more), its show
// signal is the bool pair pin N + k (output) and pin 2N + k (input), both
// written together, and "Mode" is pin 3N.  Turning a switch on moves the
// show signal to its way, like radio buttons; "Keep 1 Panel" forbids turning
// the shown way off.  All the work is done on the GUI side; the DSP side
// only declares the pins and sleeps.
#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

#ifndef PANEL_SWITCH_WAYS
#error "PANEL_SWITCH_WAYS (the number of ways) must be defined by the build"
#endif

#define PANEL_SWITCH_TEXT2(x) #x
#define PANEL_SWITCH_TEXT(x)  PANEL_SWITCH_TEXT2(x)

namespace {

constexpr int32_t kWays = PANEL_SWITCH_WAYS;
static_assert(kWays >= 1 && kWays <= 8, "pin names exist for 1 to 8 ways");

const char *const kAbout = "GUI Panel Switch\n"
                           "Ver:2.90 module pack edition, free to use in any patch\n"
                           "\n"
                           "Allows custom images to switch panels\n"
                           "\n"
                           "Wire each Controls on Parent pair to the panel it shows.";

const se_sdk::ModuleIdentity kIdentity = {
    "QZ_GUI_Panel_Switch" PANEL_SWITCH_TEXT(PANEL_SWITCH_WAYS),
    "GUI_Panel_Switch_" PANEL_SWITCH_TEXT(PANEL_SWITCH_WAYS) "_QZ2009", kAbout, 0, 2240};

// Pin numbers of way k.
constexpr int32_t switch_pin(int32_t k)
{
    return k;
}
constexpr int32_t shown_out_pin(int32_t k)
{
    return kWays + k;
}
constexpr int32_t shown_in_pin(int32_t k)
{
    return 2 * kWays + k;
}
constexpr int32_t kModePin = 3 * kWays;
constexpr int32_t kPinCount = 3 * kWays + 1;

constexpr float kOnThreshold = 0.5f; // NaN compares false: off

constexpr const char *kSwitchNames[8] = {
    "1 Switch (Animation)", "2 Switch (Animation)", "3 Switch (Animation)", "4 Switch (Animation)",
    "5 Switch (Animation)", "6 Switch (Animation)", "7 Switch (Animation)", "8 Switch (Animation)"};
constexpr const char *kShownNames[8] = {
    "Controls on Parent 1", "Controls on Parent 2", "Controls on Parent 3", "Controls on Parent 4",
    "Controls on Parent 5", "Controls on Parent 6", "Controls on Parent 7", "Controls on Parent 8"};

// Every pin is a GUI-side pin: the DSP side creates no SEPin.
constexpr int32_t kStored = IO_PATCH_STORE | IO_UI_COMMUNICATION;
constexpr int32_t kGuiOnly = IO_UI_COMMUNICATION;

struct PinTable {
    se_sdk::PinSpec pins[kPinCount];
};

constexpr PinTable make_pin_table()
{
    PinTable t{};
    for (int32_t k = 0; k < kWays; ++k) {
        t.pins[switch_pin(k)] = {kSwitchNames[k], DR_IN,   DT_FLOAT32, nullptr,
                                 nullptr,         nullptr, kStored};
        t.pins[shown_out_pin(k)] = {kShownNames[k], DR_OUT,  DT_BOOLEAN, nullptr,
                                    nullptr,        nullptr, kGuiOnly};
        t.pins[shown_in_pin(k)] = {kShownNames[k], DR_IN,   DT_BOOLEAN, nullptr,
                                   nullptr,        nullptr, kGuiOnly};
    }
    t.pins[kModePin] = {"Mode",  DR_SETTING, DT_CHOICE, nullptr, nullptr, "Allow Off,Keep 1 Panel",
                        kGuiOnly};
    return t;
}

constexpr PinTable kPins = make_pin_table();

constexpr bool every_pin_declared(const PinTable &t)
{
    for (const se_sdk::PinSpec &pin : t.pins) {
        if (pin.name == nullptr)
            return false;
    }
    return true;
}
static_assert(every_pin_declared(kPins), "the pin numbers of the ways and Mode cover the table");

} // namespace

class Module : public SEModule_base
{
public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins.pins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_sleep>();
    }

    void process_sleep(int32_t, int32_t) { CallHost(HOST_SLEEP); }
};

class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;

    ~GuiModule() override { CallHost(GUI_HOST_SET_IDLE, 0); }

    void Initialise(bool flag) override
    {
        SEGUI_base::Initialise(flag);
        m_updating = 1;
        m_keep_one = GetPin(kModePin).GetValueInt();
        m_active_switch = -1;
        for (int32_t k = 0; k < kWays; ++k) {
            if (is_on(GetPin(switch_pin(k)).GetValueFloat())) {
                m_active_switch = k;
                break; // the lowest stored switch that is on wins
            }
        }
        for (int32_t k = 0; k < kWays; ++k) {
            if (k == m_active_switch) {
                set_shown(k, 1);
                GetPin(switch_pin(k)).SetValueFloat(1.0f);
            } else {
                GetPin(switch_pin(k)).SetValueFloat(0.0f);
                set_shown(k, 0);
            }
        }
        m_updating = 0;
    }

    void OnPinValueChanged(GuiPinHandle pin) override
    {
        if (m_updating == 1)
            return; // an echo of the module's own writes
        const int32_t p = pin.Index();
        if (p < 0 || p > kModePin)
            return; // not a pin of this module
        if (p == kModePin) {
            m_keep_one = pin.GetValueInt();
            return;
        }
        if (p >= shown_out_pin(0))
            return; // the show signals are only written, never read

        if (is_on(pin.GetValueFloat())) {
            m_updating = 1;
            if (m_active_switch != -1 && m_active_switch != p) {
                GetPin(switch_pin(m_active_switch)).SetValueFloat(0.0f);
                set_shown(m_active_switch, 0);
            }
            set_shown(p, 1); // the switch keeps the value the user gave it
            m_active_switch = p;
            m_updating = 0;
        } else if (m_keep_one != 0) {
            if (p == m_active_switch) {
                // The panel stays shown; OnIdle puts the switch back on,
                // outside the host's handling of this change.
                CallHost(GUI_HOST_SET_IDLE, 1);
                return;
            }
            m_updating = 1;
            set_shown(p, 0);
            m_updating = 0;
        } else {
            m_updating = 1;
            set_shown(p, 0);
            if (p == m_active_switch)
                m_active_switch = -1;
            m_updating = 0;
        }
    }

    // Idle calls go on until the destructor ends them.
    bool OnIdle() override
    {
        if (m_active_switch != -1) {
            m_updating = 1;
            GetPin(switch_pin(m_active_switch)).SetValueFloat(1.0f);
            m_updating = 0;
        }
        return false;
    }

private:
    static bool is_on(float x) { return x >= kOnThreshold; }

    // Writes both pins of way k's show signal, output first.
    void set_shown(int32_t k, int32_t shown)
    {
        GetPin(shown_out_pin(k)).SetValueInt(shown);
        GetPin(shown_in_pin(k)).SetValueInt(shown);
    }

    int32_t m_active_switch = -1; // the shown way, -1 for none
    int32_t m_updating = 0;       // 1 while writing the module's own pins
    int32_t m_keep_one = 0;       // "Mode": 0 Allow Off, else Keep 1 Panel
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
