// fuzz_module.cpp - a hostile host for one plug-in, driven by fuzzer bytes.
//
// One input decides everything the host may do: its version number, the
// pin count it answers (the declared one, fewer or more), which pins it
// reports unconnected, block size (up to 8192) and sample rate (1 Hz to
// 768 kHz), value changes with any bit pattern on float, integer and bool
// variables, MIDI, patch changes, audio inputs (ordinary and hostile
// samples), block splits, events delivered at a clock other than their
// stamp, and the GUI side driven together with the DSP side: writes of
// GUI-side pins (negative choices, not-a-number), idle calls, messages
// from the DSP side and arbitrary ones.
//
// Faults and contract stops are kept apart.  A fault - a sanitizer report,
// a crash, or a fault the reference host finds in the module's requests -
// stops the run and is reported.  A host that makes fewer pins than
// declared, or delivers an event off its stamp, is outside the contract: a
// build with the SDK's checks may stop there ("check failed: ..."), one
// without runs on (missing pins read silence and reach nobody).  Inputs
// that leave the contract run in a child process, and a child that ends
// with a contract message counts as expected behaviour; any other fault is
// reported as ever.
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sehost/sehost.h"

namespace {

std::shared_ptr<sehost::Library> g_lib;
unsigned long g_contract_stops = 0, g_guarded_runs = 0;

// What the module declares depends on the host version it is told.
struct Declared {
    std::vector<sehost::PinDecl> decls;
    int32_t dsp_pins = 0;
    bool repeat_last = false;
};

const Declared &declared_for(int32_t version)
{
    static std::vector<std::pair<int32_t, Declared>> cache;
    for (const auto &c : cache)
        if (c.first == version)
            return c.second;
    sehost::HostConfig cfg;
    cfg.host_version = version;
    Declared d;
    d.decls = sehost::learn_pins(g_lib, cfg);
    for (const auto &p : d.decls)
        if (p.has_dsp_pin())
            ++d.dsp_pins;
    d.repeat_last =
        !d.decls.empty() && d.decls.back().has_dsp_pin() && (d.decls.back().flags & IO_REPEAT_LAST);
    if (cache.size() > 64)
        cache.clear();
    cache.emplace_back(version, std::move(d));
    return cache.back().second;
}

struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    bool more() const { return n > 0; }
};

float bits_float(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

float sample_from(uint8_t kind, uint32_t bits, uint32_t clock)
{
    static const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(),
                                FLT_MIN / 4,
                                -FLT_MAX,
                                FLT_MAX,
                                1e30f,
                                -1e30f,
                                0.0f,
                                -0.0f,
                                1.0f,
                                -1.0f};
    switch (kind % 5) {
    case 0:
        return bits_float(bits); // anything a float can hold
    case 1:
        return std::sin(clock * ((bits & 0xFFFF) / 65536.0f)) * ((bits >> 16) / 6553.6f);
    case 2:
        return (clock % ((bits & 0xFF) + 2)) < ((bits & 0xFF) + 2) / 2 ? 1.0f : -1.0f;
    case 3:
        return odd[(bits + clock * 7) % 12];
    default:
        return static_cast<float>(static_cast<int32_t>(bits)) / 2147483648.0f;
    }
}

// A value for a GUI-side pin or a DSP value change: ordinary or hostile.
double value_from(Reader &in)
{
    static const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(),
                                 1e30,
                                 -1e30,
                                 2147483648.0,
                                 -2147483649.0,
                                 65536.0,
                                 -32769.0,
                                 -1.0,
                                 -2.0,
                                 0.5};
    const uint8_t kind = in.u8();
    switch (kind % 4) {
    case 0:
        return static_cast<int16_t>(in.u16());
    case 1:
        return static_cast<int32_t>(in.u32());
    case 2:
        return bits_float(in.u32());
    default:
        return odd[in.u8() % 12];
    }
}

// Writes raw bits of the variable's own width: bytes other than 0 and 1 in
// a bool, any 16 bits in a choice, any float.
void write_raw(const sehost::DspPin &p, uint32_t bits)
{
    if (!p.variable_address)
        return;
    void *var = reinterpret_cast<void *>(p.variable_address);
    switch (p.datatype) {
    case DT_BOOLEAN: {
        uint8_t b = static_cast<uint8_t>(bits);
        std::memcpy(var, &b, 1);
        break;
    }
    case DT_CHOICE: {
        uint16_t c = static_cast<uint16_t>(bits);
        std::memcpy(var, &c, 2);
        break;
    }
    case DT_FLOAT32:
    case DT_WORD32:
        std::memcpy(var, &bits, 4);
        break;
    default:
        break;
    }
}

[[noreturn]] void fault(const std::string &what)
{
    std::fprintf(stderr, "module fault found by the host: %s\n", what.c_str());
    std::abort();
}

struct Plan {
    sehost::HostConfig cfg;
    const Declared *declared = nullptr;
    // The DSP side's messages reach the GUI side.  Only in one input of 32:
    // a GUI side may spend long on each (patch_pulse's busy delay takes a
    // second under the sanitizers).
    bool messages_to_gui = false;
    uint16_t connected = 0xFFFF;
    uint32_t length = 0;
    bool off_stamp_events = false; // events delivered at another clock
    bool guarded() const
    {
        return off_stamp_events ||
               (cfg.pin_count && *cfg.pin_count < declared->dsp_pins + cfg.repeat_copies);
    }
};

Plan read_plan(Reader &in)
{
    static const int32_t blocks[] = {1, 2, 7, 16, 64, 256, 1024, 1025, 2048, 4096, 8192};
    static const float rates[] = {1.0f,     8000.0f,  22050.0f,  44100.0f,
                                  48000.0f, 96000.0f, 192000.0f, 768000.0f};
    static const int32_t versions[] = {100238, 100237, 0, 1, 200000, -1, 2147483647};
    Plan plan;
    sehost::HostConfig &cfg = plan.cfg;
    cfg.block_size = blocks[in.u8() % 11];
    cfg.sample_rate = rates[in.u8() % 8];
    const uint8_t v = in.u8();
    cfg.host_version = v < 240 ? versions[v % 7] : static_cast<int32_t>(in.u32());
    plan.declared = &declared_for(cfg.host_version);
    cfg.repeat_copies = plan.declared->repeat_last ? in.u8() % 4 : 0;
    const int32_t declared = plan.declared->dsp_pins + cfg.repeat_copies;
    // SE_FUZZ_FEWER_PINS=0 leaves out pin counts below the declared one
    // (to compare runs with and without them).
    static const bool fewer =
        !std::getenv("SE_FUZZ_FEWER_PINS") || std::strcmp(std::getenv("SE_FUZZ_FEWER_PINS"), "0");
    switch (in.u8() % 12) { // mostly what the module declared
    case 8:
        if (fewer)
            cfg.pin_count = std::max(0, declared - 1);
        break;
    case 9:
        if (fewer)
            cfg.pin_count = 0;
        break;
    case 10:
        cfg.pin_count = declared + 1;
        break;
    case 11:
        cfg.pin_count = declared + 3;
        break;
    default:
        break;
    }
    plan.connected = in.u8() < 192 ? 0xFFFF : in.u16();
    const uint16_t connected = plan.connected;
    cfg.is_pin_connected = [connected](int pin) {
        return static_cast<int32_t>((connected >> (pin % 16)) & 1);
    };
    plan.off_stamp_events = in.u8() >= 224;
    plan.messages_to_gui = in.u8() < 8;
    plan.length =
        std::min<uint32_t>(16384, static_cast<uint32_t>(cfg.block_size) * (1 + in.u8() % 8));
    return plan;
}

// The host takes 16-bit values for choice pins: anything else wraps there.
double fit_pin(int32_t datatype, double v)
{
    if (datatype != DT_CHOICE || (v >= INT16_MIN && v <= INT16_MAX))
        return v;
    if (!std::isfinite(v))
        return v > 0 ? INT16_MAX : INT16_MIN;
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int64_t>(std::fmod(v, 65536.0))));
}

void run_input(const Plan &plan, Reader in)
{
    const std::vector<sehost::PinDecl> &decls = plan.declared->decls;
    sehost::Module mod(g_lib, plan.cfg);
    sehost::DspInstance &dsp = mod.dsp();
    sehost::GuiInstance *gui = mod.gui();
    if (!plan.messages_to_gui)
        dsp.on_send_to_gui = nullptr;
    const auto pins = dsp.dsp_pins();
    std::vector<int> settable, audio, gui_inputs;
    for (const auto &p : pins) {
        bool input = p.direction == DR_IN || p.direction == DR_SETTING;
        if (input && p.datatype == DT_FSAMPLE)
            audio.push_back(p.index);
        else if (input && p.datatype != DT_MIDI)
            settable.push_back(p.index);
    }
    for (const auto &d : decls)
        if (d.is_gui_pin() && d.is_input())
            gui_inputs.push_back(d.number);
    // Stored GUI values, then audio sources, then open.
    if (gui)
        for (const auto &d : decls)
            if (d.is_gui_pin() && (d.flags & IO_PATCH_STORE))
                gui->set_pin(d.number, value_from(in));
    for (int a : audio) {
        uint8_t kind = in.u8();
        uint32_t bits = in.u32();
        if (kind & 0x80)
            dsp.set_source(a, [kind, bits](uint32_t c) { return sample_from(kind, bits, c); });
    }
    uint8_t split = in.u8();
    if (split % 3 == 1)
        dsp.split_random(in.u32() | 1, 1 + in.u8() % 96);
    else if (split % 3 == 2)
        dsp.split_lengths({1 + in.u8() % 13, 1 + in.u8() % 5, 1 + in.u8() % 97});
    mod.open();

    // Operations in clock order; queued ones go to the host's event queue,
    // immediate ones run the module up to their clock first.
    auto run_to = [&](uint32_t t) {
        if (t > dsp.clock())
            mod.run(t - dsp.clock());
    };
    uint32_t clock = 0;
    for (int op = 0; op < 128 && in.more(); ++op) {
        const uint8_t code = in.u8();
        clock = std::min(plan.length - 1, clock + in.u8() % 64);
        if (clock < dsp.clock())
            clock = dsp.clock();
        switch (code % 9) {
        case 0:
        case 1:
            if (!settable.empty()) {
                int pin = settable[in.u8() % settable.size()];
                dsp.set_value(pin, fit_pin(pins[static_cast<size_t>(pin)].datatype, value_from(in)),
                              clock);
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
        case 4:
            if (!audio.empty())
                dsp.set_status(audio[in.u8() % audio.size()], in.u8() % 3, clock);
            break;
        case 5: // raw bits in a variable, announced now
            if (!settable.empty()) {
                int pin = settable[in.u8() % settable.size()];
                uint32_t bits = in.u32();
                run_to(clock);
                write_raw(pins[static_cast<size_t>(pin)], bits);
                dsp.set_status(pin, STATUS_CHANGED);
            }
            break;
        case 6: // the GUI side: a write from outside, echoes, idle calls
            if (gui && !gui_inputs.empty()) {
                int pin = gui_inputs[in.u8() % gui_inputs.size()];
                double v = value_from(in);
                run_to(clock);
                mod.set_gui_pin(pin, v);
                gui->run_idle(1 + in.u8() % 4);
            }
            break;
        case 7: // a message the DSP side never sends
            if (gui) {
                int32_t v = static_cast<int32_t>(in.u32());
                run_to(clock);
                gui->dsp_message(v, static_cast<int8_t>(in.u8()));
            }
            break;
        default: // an event off its stamp, past or future (contract break)
            if (plan.off_stamp_events && dsp.record()) {
                run_to(clock);
                const uint32_t off = 1 + in.u8();
                const uint8_t how = in.u8();
                TimedEvent e{};
                e.time_stamp =
                    how & 1 ? dsp.clock() + off : (dsp.clock() > off ? dsp.clock() - off : 0);
                e.kind = how & 2 ? EV_PATCH_CHANGE : how & 4 ? EV_MIDI : EV_PIN_STATUS;
                e.value = how & 4 ? 0x403C90 : STATUS_CHANGED;
                e.data = settable.empty() ? 0 : settable[how % settable.size()];
                dsp.record()->event(dsp.record()->object, &e);
            }
            break;
        }
    }
    run_to(plan.length);
    mod.close();
}

// Runs the input in a child process.  A child that stops with the SDK's
// contract message did what the contract says; anything else it died of is
// a fault, reported from here so that the fuzzer keeps the input.
void run_guarded(const Plan &plan, const Reader &in)
{
    ++g_guarded_runs;
    char path[] = "/tmp/se_fuzz_child_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        fault("cannot make a file for the child's messages");
    unlink(path);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        fault("fork failed");
    if (pid == 0) {
        dup2(fd, 2);
        // The SDK's stop must end this child, not be caught as a crash.
        std::signal(SIGABRT, SIG_DFL);
        try {
            run_input(plan, in);
        } catch (const sehost::HostError &e) {
            std::fprintf(stderr, "module fault found by the host: %s\n", e.what());
            std::fflush(stderr);
            _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    const bool contract = WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT &&
                          text.find("check failed: ") != std::string::npos &&
                          text.find("Sanitizer") == std::string::npos &&
                          text.find("runtime error") == std::string::npos;
    if (contract) {
        ++g_contract_stops;
        return;
    }
    std::fprintf(stderr, "%s", text.c_str());
    fault(WIFSIGNALED(status)
              ? "the child died of signal " + std::to_string(WTERMSIG(status))
              : "the child ended with exit code " + std::to_string(WEXITSTATUS(status)));
}

void report_at_exit()
{
    std::fprintf(
        stderr,
        "hostile host: %lu inputs broke the contract (run in a child), %lu of them stopped by "
        "the SDK's contract check\n",
        g_guarded_runs, g_contract_stops);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    try {
        g_lib = sehost::Library::load(SE_FUZZ_PLUGIN);
        declared_for(100238);
    } catch (const sehost::HostError &e) {
        fault(e.what());
    }
    std::atexit(report_at_exit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    const Plan plan = read_plan(in);
    if (plan.guarded()) {
        run_guarded(plan, in);
        return 0;
    }
    try {
        run_input(plan, in);
    } catch (const sehost::HostError &e) {
        fault(e.what());
    }
    return 0;
}
