// sdk_probe - a test module that exercises every SDK path and reports what
// the SDK did through MOD_MESSAGE (see probe_protocol.h).
//
// Declarations: 0 choice in, 1 audio in, 2 float GUI-only, 3 bool in,
// 4 MIDI out repeated (IO_REPEAT_LAST).  None has a variable, so every DSP
// pin lives in the SDK's own storage.
#include <cstring>
#include <initializer_list>
#include <string>

#include "../probe_protocol.h"
#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "se_module_exports.h"
#include "se_pin_table.h"

namespace {
const se_sdk::ModuleIdentity kIdentity = {"SDK Probe", "sdk_probe_test_module",
                                          "Test module\nfor the SDK", 0, 2240};
}

class Module : public SEModule_base
{
public:
    Module(se_host_callback callback, void *host_data) : SEModule_base(callback, host_data) {}

    bool QueryPinProperties(int32_t number, SEPinProperties *p) override
    {
        return se_sdk::describe_pin(kPins, number, this, p);
    }

    void Open() override
    {
        SEModule_base::Open();
        InstallProcess<&Module::process_a>();
    }

    void Close() override { log(HOOK_CLOSE, 0, 0, 0); }

    void OnPinStatusChange(SEPin *pin) override
    {
        log(HOOK_PIN_STATUS, pin->PinIndex(), pin->Status(), 0);
    }
    void OnMidi(uint32_t time_stamp, int32_t message, int16_t extra) override
    {
        log(HOOK_MIDI, static_cast<int32_t>(time_stamp), message, extra);
    }
    void OnNotify() override { log(HOOK_NOTIFY, 0, 0, 0); }
    void OnNotifyValue(int32_t index) override { log(HOOK_NOTIFY_VALUE, index, 0, 0); }

    void process_a(int32_t start, int32_t count)
    {
        log(HOOK_PROCESS_A, start, count, static_cast<int32_t>(SampleClock()));
    }
    void process_b(int32_t start, int32_t count)
    {
        log(HOOK_PROCESS_B, start, count, static_cast<int32_t>(SampleClock()));
    }
    void on_run() { log(HOOK_RUN, static_cast<int32_t>(SampleClock()), 0, 0); }

    void OnMessage(int32_t command, int32_t arg, void *pointer) override
    {
        switch (command) {
        case PROBE_PIN_INFO:
            pin_info(static_cast<ProbePins *>(pointer));
            break;
        case PROBE_LOG:
            std::memcpy(pointer, &m_log, sizeof m_log);
            break;
        case PROBE_INSTALL_TWICE:
            InstallProcess<&Module::process_b>();
            InstallProcess<&Module::process_b>();
            break;
        case PROBE_POST_EVENT:
            RunAt<&Module::on_run>(SampleClock() + static_cast<uint32_t>(arg));
            break;
        case PROBE_PIN_AT:
            PinAt(arg);
            break;
        case PROBE_CURRENT_SAMPLE:
            *static_cast<float *>(pointer) = PinAt(arg)->CurrentSample();
            break;
        case PROBE_SEND_MIDI:
            PinAt(3)->SendMidi(SampleClock() + static_cast<uint32_t>(arg), 0x407F90);
            break;
        case PROBE_IS_CONNECTED:
            *static_cast<int32_t *>(pointer) = PinAt(arg)->IsConnected() ? 1 : 0;
            break;
        case PROBE_RATES: {
            const float rate = SampleRate();
            std::memcpy(static_cast<int32_t *>(pointer), &rate, sizeof rate);
            static_cast<int32_t *>(pointer)[1] = BlockSize();
            break;
        }
        default:
            break;
        }
    }

private:
    static const se_sdk::PinSpec kPins[5];

    void log(int32_t hook, int32_t a, int32_t b, int32_t c)
    {
        if (m_log.count < 64)
            m_log.entries[m_log.count++] = ProbeEntry{hook, a, b, c};
    }

    void pin_info(ProbePins *out)
    {
        std::memset(out, 0, sizeof *out);
        out->count = PinCount();
        out->has_array = m_pins != nullptr ? 1 : 0;
        for (int32_t i = 0; i < PinCount() && i < 16; ++i) {
            SEPin &pin = m_pins[i];
            ProbePin &p = out->pins[i];
            p.pin_index = pin.PinIndex();
            p.datatype = pin.DataType();
            p.status = pin.Status();
            p.has_variable = pin.Variable() != nullptr ? 1 : 0;
            const char *v = static_cast<const char *>(pin.Variable());
            const char *self = reinterpret_cast<const char *>(&pin);
            p.own_storage = v != nullptr && v >= self && v < self + sizeof pin ? 1 : 0;
            if (v == nullptr)
                continue;
            switch (pin.DataType()) {
            case DT_CHOICE: {
                int16_t x;
                std::memcpy(&x, v, sizeof x);
                p.value = x;
                break;
            }
            case DT_BOOLEAN:
                p.value = static_cast<uint8_t>(*v);
                break;
            case DT_FSAMPLE: // report whether a buffer address is held
                p.value = *reinterpret_cast<float *const *>(v) != nullptr ? 1 : 0;
                break;
            default:
                std::memcpy(&p.value, v, sizeof p.value);
                break;
            }
        }
    }

    ProbeLog m_log{};
};

const se_sdk::PinSpec Module::kPins[5] = {
    {"Choice In", DR_IN, DT_CHOICE, nullptr, "0", "A,B,C", 0},
    {"Audio In", DR_IN, DT_FSAMPLE, nullptr, nullptr, nullptr, 0},
    {"Gui Float", DR_IN, DT_FLOAT32, nullptr, "0.5", nullptr, IO_UI_COMMUNICATION},
    {"Bool In", DR_IN, DT_BOOLEAN, nullptr, "1", nullptr, 0},
    {"Midi Out", DR_OUT, DT_MIDI, nullptr, nullptr, nullptr, IO_REPEAT_LAST},
};

// Reports what its hooks receive as integer writes on PROBE_GUI_REPORT_PIN:
// a hook number first, then its arguments.
class GuiModule : public SEGUI_base
{
public:
    using SEGUI_base::SEGUI_base;

    void Initialise(bool flag) override { report({100, flag ? 1 : 0}); }
    void Close() override { report({101}); }
    void OnGuiOperation2(int32_t index, void *pointer) override
    {
        report({102, index, pointer != nullptr ? 1 : 0});
    }
    void OnGuiOperation3(void *, float opt, SEPoint point) override
    {
        point_report(103, opt, point);
    }
    void OnGuiOperation4(void *, float opt, SEPoint point) override
    {
        point_report(104, opt, point);
    }
    void OnGuiOperation5(void *, float opt, SEPoint point) override
    {
        point_report(105, opt, point);
    }
    void OnGuiOperation8(void *) override { report({108}); }
    void OnGuiOperation9(void *) override { report({109}); }
    void OnGuiOperation11(int32_t index) override { report({111, index}); }
    void OnGuiOperation12(int32_t index) override { report({112, index}); }
    void OnPinValueChanged(GuiPinHandle pin) override
    {
        if (pin.Index() != PROBE_GUI_REPORT_PIN)
            report({107, pin.Index()});
    }

    void OnDspMessage(int32_t value, int32_t index, void *pointer) override
    {
        GuiPinHandle pin = GetPin(index);
        switch (value) {
        case PROBE_GUI_SET_FLOAT_ONE:
            pin.SetValueFloat(1.0f);
            break;
        case PROBE_GUI_SET_INT_ONE:
            pin.SetValueInt(1);
            break;
        case PROBE_GUI_GET_TEXT:
            report({int32_t(pin.GetValueText().size())});
            break;
        case PROBE_GUI_GET_WIDE: {
            const std::u16string text = pin.GetValueWideText();
            report({int32_t(text.size())});
            for (char16_t c : text)
                report({int32_t(c)});
            break;
        }
        case PROBE_GUI_GET_VALUES: {
            const int32_t i = pin.GetValueInt();
            const float f = pin.GetValueFloat();
            report({i});
            GetPin(PROBE_GUI_REPORT_PIN).SetValueFloat(f);
            break;
        }
        default:
            report({106, value, index, pointer != nullptr ? 1 : 0});
            break;
        }
    }

private:
    void report(std::initializer_list<int32_t> values)
    {
        for (int32_t v : values)
            GetPin(PROBE_GUI_REPORT_PIN).SetValueInt(v);
    }
    void point_report(int32_t hook, float opt, SEPoint point)
    {
        report({hook, point.x, point.y});
        GetPin(PROBE_GUI_REPORT_PIN).SetValueFloat(opt);
    }
};

SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
