// fuzz_module.cpp - turns fuzzer bytes into a run of one plug-in: block
// size and sample rate, value changes (inside and outside the lists), MIDI,
// patch changes, audio inputs (ordinary and hostile samples), block splits,
// and writes of GUI-side pins with re-entrant echoes.  A fault the reference
// host finds in the module (a write outside a buffer, a stamp in the past,
// a request about an unknown pin) stops the run like a sanitizer report.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "sehost/sehost.h"

namespace {

std::shared_ptr<sehost::Library> g_lib;
std::vector<sehost::PinDecl> g_decls;

struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    bool more() const { return n > 0; }
};

float sample_from(uint8_t kind, uint32_t bits, uint32_t clock) {
    static const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(), FLT_MIN / 4, -FLT_MAX, FLT_MAX,
                                1e30f, -1e30f, 0.0f, -0.0f, 1.0f, -1.0f};
    switch (kind % 5) {
    case 0: { // raw bit pattern: anything a float can hold
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    case 1: return std::sin(clock * ((bits & 0xFFFF) / 65536.0f)) * ((bits >> 16) / 6553.6f);
    case 2: return (clock % ((bits & 0xFF) + 2)) < ((bits & 0xFF) + 2) / 2 ? 1.0f : -1.0f;
    case 3: return odd[(bits + clock * 7) % 12];
    default: return static_cast<float>(static_cast<int32_t>(bits)) / 2147483648.0f;
    }
}

[[noreturn]] void fault(const std::string &what) {
    std::fprintf(stderr, "module fault found by the host: %s\n", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    try {
        g_lib = sehost::Library::load(SE_FUZZ_PLUGIN);
        g_decls = sehost::learn_pins(g_lib);
    } catch (const sehost::HostError &e) {
        fault(e.what());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    static const int32_t blocks[] = {1, 7, 16, 64, 256, 1024};
    static const float rates[] = {8000.0f, 44100.0f, 96000.0f, 192000.0f};
    sehost::HostConfig cfg;
    cfg.block_size = blocks[in.u8() % 6];
    cfg.sample_rate = rates[in.u8() % 4];
    const bool repeat = !g_decls.empty() && g_decls.back().has_dsp_pin() && (g_decls.back().flags & IO_REPEAT_LAST);
    cfg.repeat_copies = repeat ? in.u8() % 4 : 0;
    const uint32_t length = std::min<uint32_t>(8192, static_cast<uint32_t>(cfg.block_size) * (1 + in.u8() % 8));

    try {
        sehost::DspInstance dsp(g_lib, cfg);
        const auto pins = dsp.dsp_pins();
        std::vector<int> settable, audio;
        for (const auto &p : pins) {
            bool input = p.direction == DR_IN || p.direction == DR_SETTING;
            if (input && p.datatype == DT_FSAMPLE)
                audio.push_back(p.index);
            else if (input && p.datatype != DT_MIDI)
                settable.push_back(p.index);
        }
        // Audio inputs: a source each, chosen by the bytes.
        for (int a : audio) {
            uint8_t kind = in.u8();
            uint32_t bits = in.u32();
            if (kind & 0x80)
                dsp.set_source(a, [kind, bits](uint32_t c) { return sample_from(kind, bits, c); });
        }
        dsp.open();

        uint32_t clock = 0;
        for (int op = 0; op < 96 && in.more(); ++op) {
            uint8_t code = in.u8();
            clock = std::min(length - 1, clock + in.u8() % 64);
            switch (code % 5) {
            case 0:
            case 1:
                if (!settable.empty()) {
                    int pin = settable[in.u8() % settable.size()];
                    int16_t v = static_cast<int16_t>(in.u16());
                    int32_t t = pins[static_cast<size_t>(pin)].datatype;
                    dsp.set_value(pin, t == DT_BOOLEAN ? (v & 1) : t == DT_FLOAT32 ? v / 100.0 : v, clock);
                }
                break;
            case 2: {
                uint32_t m = in.u32();
                m = (m & 0x7F7F7F) | 0x80; // a well-formed message
                dsp.queue_midi(clock, static_cast<int32_t>(m), static_cast<int16_t>(in.u16()));
                break;
            }
            case 3:
                dsp.queue_patch_change(clock);
                break;
            default:
                if (!audio.empty())
                    dsp.set_status(audio[in.u8() % audio.size()], in.u8() % 3, clock);
                break;
            }
        }
        uint8_t split = in.u8();
        if (split % 3 == 1)
            dsp.split_random(in.u32() | 1, 1 + in.u8() % 96);
        else if (split % 3 == 2)
            dsp.split_lengths({1 + in.u8() % 13, 1 + in.u8() % 5, 1 + in.u8() % 97});
        dsp.run(length);
        dsp.close();

        // The GUI side: stored values, initialise, writes echoed back.
        sehost::HostConfig gcfg;
        gcfg.gui_echo = true;
        if (auto gui = sehost::GuiInstance::make(g_lib, g_decls, gcfg)) {
            for (const auto &d : g_decls)
                if (d.is_gui_pin() && (d.flags & IO_PATCH_STORE))
                    gui->set_pin(d.number, in.u8() / 128.0);
            gui->initialise(in.u8() & 1);
            for (int k = 0; k < 32 && in.more(); ++k) {
                int pin = in.u8() % static_cast<int>(g_decls.size());
                if (!g_decls[static_cast<size_t>(pin)].is_gui_pin() || !g_decls[static_cast<size_t>(pin)].is_input())
                    continue;
                uint32_t bits = in.u32();
                float f;
                std::memcpy(&f, &bits, sizeof f);
                gui->set_pin(pin, g_decls[static_cast<size_t>(pin)].datatype == DT_FLOAT32 ? f : bits % 5);
                gui->run_idle(3);
            }
            gui->close();
        }
    } catch (const sehost::HostError &e) {
        fault(e.what());
    }
    return 0;
}
