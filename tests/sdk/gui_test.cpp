// The GUI base: operations, hook arguments and pin handles.
#include <gtest/gtest.h>

#include "sdk_support.h"

using namespace sdk_test;

namespace {

std::unique_ptr<sehost::GuiInstance> make_gui()
{
    auto gui = sehost::GuiInstance::make(probe_library(), sehost::learn_pins(probe_library()));
    if (gui == nullptr)
        throw std::runtime_error("probe has no GUI side");
    return gui;
}

// The probe reports each hook as writes on its report pin: value for
// integers, opt for floats.
struct Write {
    int32_t value;
    float opt;
};
std::vector<Write> reports(const sehost::GuiInstance &gui)
{
    std::vector<Write> out;
    for (const auto &r : gui.requests())
        if (r.op == GUI_HOST_SET_PIN_VALUE && r.index == PROBE_GUI_REPORT_PIN)
            out.push_back({r.value, r.opt});
    return out;
}
std::vector<int32_t> report_values(const sehost::GuiInstance &gui)
{
    std::vector<int32_t> out;
    for (const Write &w : reports(gui))
        out.push_back(w.value);
    return out;
}

} // namespace

TEST(SdkGui, InitialiseFlagIsTrueOnlyForIndexOne)
{
    struct Case {
        int32_t index, flag;
    } cases[] = {{1, 1}, {0, 0}, {2, 0}, {-1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        auto gui = make_gui();
        gui->initialise(c.index);
        EXPECT_EQ(report_values(*gui), (std::vector<int32_t>{100, c.flag}));
    }
}

TEST(SdkGui, OperationsReachTheirHooksWithTheirArguments)
{
    int marker = 0;
    struct Case {
        int32_t op;
        std::vector<int32_t> expected;
    } cases[] = {
        {2, {102, 7, 1}},
        {3, {103, 7, -9}}, // index as x, value as y
        {4, {104, 7, -9}},
        {5, {105, 7, -9}},
        {6, {106, 1234, 7, 1}}, // value, index, pointer in that order
        {7, {107, 7}},
        {8, {108}},
        {9, {109}},
        {11, {111, 7}},
        {12, {112, 7}},
        {13, {}},
        {-1, {}},
        {1000, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.op);
        auto gui = make_gui();
        gui->initialise();
        const size_t after_init = report_values(*gui).size();
        const int32_t value = c.op == 6 ? 1234 : -9;
        EXPECT_EQ(gui->dispatch(c.op, 7, value, &marker, 0.25f), 0);
        auto got = report_values(*gui);
        got.erase(got.begin(), got.begin() + after_init);
        if (c.op == 3 || c.op == 4 || c.op == 5) {
            ASSERT_EQ(got.size(), 4u); // the opt follows as a float write
            EXPECT_EQ(reports(*gui).back().opt, 0.25f);
            got.pop_back();
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(SdkGui, IdleAnswersZeroWithTheBaseHook)
{
    auto gui = make_gui();
    gui->initialise();
    EXPECT_EQ(gui->dispatch(GUI_OP_IDLE), 0);
}

TEST(SdkGui, CloseAnswersOneAfterTheCloseHook)
{
    auto gui = make_gui();
    gui->initialise();
    gui->close(); // the host checks the answer 1
    auto values = report_values(*gui);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), 101);
    EXPECT_EQ(std::count(values.begin(), values.end(), 101), 1);
}

TEST(SdkGui, SetValueRequests)
{
    struct Case {
        int32_t command;
        int32_t value;
        float opt;
    } cases[] = {{PROBE_GUI_SET_FLOAT_ONE, 0, 1.0f}, {PROBE_GUI_SET_INT_ONE, 1, 0.0f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        auto gui = make_gui();
        gui->initialise();
        gui->dsp_message(c.command, 0);
        const auto &requests = gui->requests();
        ASSERT_FALSE(requests.empty());
        const auto &last = requests.back();
        EXPECT_EQ(last.op, GUI_HOST_SET_PIN_VALUE);
        EXPECT_EQ(last.index, 0);
        EXPECT_EQ(last.value, c.value);
        EXPECT_EQ(last.opt, c.opt);
    }
}

TEST(SdkGui, ReadsValuesAndTexts)
{
    auto gui = make_gui();
    gui->set_pin(0, 2); // choice pin "Choice In"
    gui->initialise();
    gui->dsp_message(PROBE_GUI_GET_VALUES, 0);
    auto values = report_values(*gui);
    ASSERT_GE(values.size(), 3u);
    EXPECT_EQ(values[2], 2);

    gui->set_pin_text(1, "abc");
    gui->dsp_message(PROBE_GUI_GET_WIDE, 1);
    values = report_values(*gui);
    ASSERT_GE(values.size(), 4u);
    EXPECT_EQ(std::vector<int32_t>(values.end() - 4, values.end()),
              (std::vector<int32_t>{3, 'a', 'b', 'c'}));
}

namespace {
// A host that answers 0 to every request and keeps the integer writes.
std::vector<int32_t> g_null_host_writes;
se_result SE_CALL null_host(void *, int32_t op, int32_t, int32_t value, void *, float)
{
    if (op == GUI_HOST_SET_PIN_VALUE)
        g_null_host_writes.push_back(value);
    return 0;
}
} // namespace

TEST(SdkGui, TextsAreEmptyWhenTheHostHasNone)
{
    // A null text and a wide-text length of 0 give empty texts, not a crash
    // or an allocation of nothing.
    for (int32_t command : {PROBE_GUI_GET_TEXT, PROBE_GUI_GET_WIDE}) {
        SCOPED_TRACE(command);
        g_null_host_writes.clear();
        auto *rec = static_cast<GuiPlugRecord *>(
            probe_library()->make_module_fn()(0, SE_MAKE_GUI, &null_host, nullptr));
        ASSERT_NE(rec, nullptr);
        rec->dispatcher(rec, GUI_OP_DSP_MESSAGE, 1, command, nullptr, 0.0f);
        EXPECT_EQ(g_null_host_writes, (std::vector<int32_t>{0}));
        EXPECT_EQ(rec->dispatcher(rec, GUI_OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    }
}
