// Every export and entry of every plug-in (getModuleProperties, makeModule,
// the DSP dispatcher, event and process entries, the GUI dispatcher) called
// on a stack moved 4, 8 and 12 bytes off a 16-byte boundary, as a 32-bit
// host built with another compiler may call them.  A plug-in that assumed
// more alignment would fault on an aligned SSE access to its stack; one that
// survived with a different result is caught by comparing everything it
// did with the same session called on an aligned stack.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deliverables.h"
#include "plugin_path.h"
#include "sehost/sehost.h"
#include "shifted_call.h"

namespace {

uint32_t word(const void *p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
uint32_t word(int32_t v)
{
    return static_cast<uint32_t>(v);
}
uint32_t word(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// A minimal host: answers what the SDK asks during a session and logs
// every request with its arguments.
struct Session {
    uint32_t shift = 0;
    uint32_t clock = 0;
    int32_t dsp_pins = 0;
    std::vector<std::vector<float>> buffers; // per DSP pin (audio pins only)
    std::vector<uint32_t> log;
    char text[4] = "";

    uint32_t call(const void *fn, std::vector<uint32_t> args)
    {
        return se_call_shifted(fn, args.data(), static_cast<uint32_t>(args.size()), shift);
    }
};

Session *g_session = nullptr;

se_result SE_CALL dsp_callback(void *, int32_t op, int32_t index, int32_t value, void *ptr,
                               float opt)
{
    Session &s = *g_session;
    // The pointer argument is a time stamp for these two, an address else.
    uint32_t stamp = op == HOST_SET_PIN_STATUS || op == HOST_SEND_MIDI ? word(ptr) : 0u;
    s.log.insert(s.log.end(), {0xD5Bu, word(op), word(index), word(value), stamp, word(opt)});
    if (op == HOST_POST_EVENT && ptr) {
        TimedEvent e;
        std::memcpy(&e, ptr, sizeof e);
        s.log.insert(s.log.end(), {e.time_stamp, word(e.kind), word(e.value)});
    }
    switch (op) {
    case HOST_GET_PIN_COUNT:
        return s.dsp_pins;
    case HOST_GET_SAMPLE_CLOCK:
        return static_cast<se_result>(s.clock);
    case HOST_GET_PIN_BUFFER:
        if (index >= 0 && index < s.dsp_pins && !s.buffers[size_t(index)].empty())
            return reinterpret_cast<se_result>(s.buffers[size_t(index)].data());
        return 0;
    case HOST_IS_PIN_CONNECTED:
        return 1;
    case HOST_GET_VERSION:
        return 100238;
    default:
        return 0;
    }
}

se_result SE_CALL gui_callback(void *, int32_t op, int32_t index, int32_t value, void *ptr,
                               float opt)
{
    Session &s = *g_session;
    s.log.insert(s.log.end(), {0x6E1u, word(op), word(index), word(value), word(opt)});
    switch (op) {
    case GUI_HOST_GET_PIN_VALUE:
        if (ptr)
            std::memset(ptr, 0, 4);
        return 0;
    case GUI_HOST_GET_PIN_TEXT:
        return reinterpret_cast<se_result>(s.text);
    case GUI_HOST_GET_PIN_WIDE_TEXT:
        if (ptr && value > 0)
            std::memset(ptr, 0, 2);
        return 0;
    default:
        return 0;
    }
}

// One session: properties, both sides created, pins learnt, opened, a status
// for every input, MIDI and a patch change, stretches processed, GUI
// operations, both sides closed.  Answers the log and the output samples.
std::vector<uint32_t> run_session(const char *name, uint32_t shift)
{
    auto lib = sehost::Library::load(se_test::plugin_path(name));
    Session s;
    s.shift = shift;
    g_session = &s;

    ModuleProperties props;
    std::memset(&props, 0, sizeof props);
    s.log.push_back(
        s.call(reinterpret_cast<const void *>(lib->get_properties_fn()), {0, word(&props)}));
    s.log.push_back(word(props.sdk_revision));

    auto *rec = reinterpret_cast<PlugRecord *>(static_cast<uintptr_t>(
        s.call(reinterpret_cast<const void *>(lib->make_module_fn()),
               {0, SE_MAKE_DSP, word(reinterpret_cast<const void *>(&dsp_callback)), word(&s)})));
    if (!rec) {
        ADD_FAILURE() << name << ": makeModule(0, 1) answered null";
        return s.log;
    }
    auto dispatch = [&](int32_t op, int32_t index, int32_t value, void *ptr, float opt) {
        return s.call(reinterpret_cast<const void *>(rec->dispatch),
                      {word(rec), word(op), word(index), word(value), word(ptr), word(opt)});
    };

    // Pins: declarations until the answer is 0; every DSP-side one numbered.
    std::vector<SEPinProperties> decls;
    for (int32_t j = 0; j < 64; ++j) {
        SEPinProperties p;
        std::memset(&p, 0, sizeof p);
        if (dispatch(MOD_GET_PIN_PROPERTIES, j, 0, &p, 0.0f) == 0)
            break;
        decls.push_back(p);
    }
    std::vector<SEPinProperties> dsp;
    for (const SEPinProperties &p : decls)
        if ((p.flags & IO_UI_COMMUNICATION) == 0 || (p.flags & IO_BOTH_SIDES) != 0)
            dsp.push_back(p);
    s.dsp_pins = static_cast<int32_t>(dsp.size());
    s.buffers.resize(dsp.size());
    const int32_t block = 256;
    for (size_t i = 0; i < dsp.size(); ++i) {
        if (dsp[i].datatype != DT_FSAMPLE)
            continue;
        s.buffers[i].assign(block, 0.0f);
        for (int32_t k = 0; k < block; ++k) // a sine that crosses zero, and a positive gate
            s.buffers[i][size_t(k)] =
                dsp[i].direction == DR_OUT
                    ? 0.0f
                    : static_cast<float>(0.4 + 0.5 * std::sin(0.3 * k + double(i)));
        float *address = s.buffers[i].data();
        std::memcpy(dsp[i].variable_address, &address, sizeof address);
    }

    // As a host does, every input variable gets a value before open (0 here:
    // a member the module leaves for the host would otherwise hold garbage).
    for (const SEPinProperties &p : dsp) {
        if (!p.variable_address || p.direction == DR_OUT)
            continue;
        if (p.datatype == DT_CHOICE)
            std::memset(p.variable_address, 0, 2);
        else if (p.datatype == DT_BOOLEAN)
            std::memset(p.variable_address, 0, 1);
        else if (p.datatype == DT_FLOAT32 || p.datatype == DT_WORD32)
            std::memset(p.variable_address, 0, 4);
    }
    dispatch(MOD_SET_SAMPLE_RATE, 0, 0, nullptr, 44100.0f);
    dispatch(MOD_SET_BLOCK_SIZE, 0, block, nullptr, 0.0f);
    dispatch(MOD_OPEN, 0, 0, nullptr, 0.0f);
    dispatch(MOD_GET_PROCESS_INFO, 0, 0, nullptr, 0.0f);

    auto event = [&](uint32_t at, int32_t kind, int32_t value, intptr_t data) {
        TimedEvent e{at, kind, value, 0, data, 0};
        s.clock = at;
        s.call(reinterpret_cast<const void *>(rec->event), {word(rec->object), word(&e)});
    };
    auto process = [&](int32_t start, int32_t count) {
        s.clock = static_cast<uint32_t>(start);
        s.call(reinterpret_cast<const void *>(rec->process),
               {word(rec->object), word(start), word(count)});
    };
    for (size_t i = 0; i < dsp.size(); ++i) {
        if (dsp[i].direction == DR_OUT)
            continue;
        if (dsp[i].datatype == DT_FSAMPLE)
            event(0, EV_PIN_STATUS, STATUS_STREAMING, static_cast<intptr_t>(i));
        else if (dsp[i].datatype != DT_MIDI)
            event(0, EV_PIN_STATUS, STATUS_CHANGED, static_cast<intptr_t>(i));
    }
    process(0, 100);
    for (size_t i = 0; i < dsp.size(); ++i)
        if (dsp[i].datatype == DT_MIDI && dsp[i].direction == DR_IN)
            event(100, EV_MIDI, SE_MIDI_PACK(0x90, 60, 100), static_cast<intptr_t>(i));
    event(100, EV_PATCH_CHANGE, 0, 0);
    process(100, 56);
    process(156, 100);
    for (const std::vector<float> &b : s.buffers)
        for (float x : b)
            s.log.push_back(word(x));
    s.log.push_back(dispatch(MOD_CLOSE, 0, 0, nullptr, 0.0f));

    auto *gui = reinterpret_cast<GuiPlugRecord *>(static_cast<uintptr_t>(
        s.call(reinterpret_cast<const void *>(lib->make_module_fn()),
               {0, SE_MAKE_GUI, word(reinterpret_cast<const void *>(&gui_callback)), word(&s)})));
    if (gui) {
        auto gui_op = [&](int32_t op, int32_t index, int32_t value) {
            s.log.push_back(s.call(reinterpret_cast<const void *>(gui->dispatcher),
                                   {word(gui), word(op), word(index), word(value), 0, word(0.0f)}));
        };
        gui_op(GUI_OP_INITIALISE, 1, 0);
        for (size_t j = 0; j < decls.size(); ++j)
            gui_op(GUI_OP_PIN_VALUE_CHANGED, static_cast<int32_t>(j), 0);
        gui_op(GUI_OP_DSP_MESSAGE, 0, 995);
        gui_op(GUI_OP_IDLE, 0, 0);
        gui_op(GUI_OP_CLOSE, 0, 0);
    }
    g_session = nullptr;
    return s.log;
}

TEST(StackAlign, TheShiftIsTheOneAskedFor)
{
    for (uint32_t shift : {0u, 4u, 8u, 12u}) {
        uint32_t sp =
            se_call_shifted(reinterpret_cast<const void *>(&se_stack_at_call), nullptr, 0, shift);
        EXPECT_EQ((sp + shift) % 16, 0u) << "shift " << shift;
    }
    uint32_t args[3] = {1, 2, 3};
    auto sum = +[](uint32_t a, uint32_t b, uint32_t c) -> uint32_t { return a + 10 * b + 100 * c; };
    EXPECT_EQ(se_call_shifted(reinterpret_cast<const void *>(sum), args, 3, 4), 321u);
}

class StackAlignModule : public ::testing::TestWithParam<std::string>
{};

TEST_P(StackAlignModule, EveryEntryOnAMisalignedStackDoesWhatItDoesAligned)
{
    const std::vector<uint32_t> aligned = run_session(GetParam().c_str(), 0);
    ASSERT_GT(aligned.size(), 20u);
    for (uint32_t shift : {4u, 8u, 12u}) {
        const std::vector<uint32_t> shifted = run_session(GetParam().c_str(), shift);
        size_t at = 0;
        while (at < shifted.size() && at < aligned.size() && shifted[at] == aligned[at])
            ++at;
        EXPECT_TRUE(at == shifted.size() && at == aligned.size())
            << GetParam() << ", stack off by " << shift << ": first difference at word " << at
            << " of " << aligned.size() << " (" << (at < shifted.size() ? shifted[at] : 0u)
            << " against " << (at < aligned.size() ? aligned[at] : 0u) << ")";
    }
}

// The negative control: a plug-in built to assume an aligned stack, with
// SSE values in an aligned stack slot, runs its session on an aligned stack
// and dies on every misaligned one, so the test above would catch it.
TEST(StackAlignDeathTest, APlugInThatAssumesAlignmentIsCaught)
{
    const std::vector<uint32_t> aligned = run_session("aligned_stack_probe", 0);
    ASSERT_GT(aligned.size(), 20u);
    for (uint32_t shift : {4u, 8u, 12u})
        EXPECT_DEATH(run_session("aligned_stack_probe", shift), "") << "stack off by " << shift;
}

INSTANTIATE_TEST_SUITE_P(AllModules, StackAlignModule,
                         ::testing::ValuesIn(se_test::deliverable_names()),
                         [](const ::testing::TestParamInfo<std::string> &i) { return i.param; });

} // namespace
