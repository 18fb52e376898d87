// No exception a module throws reaches the host: every C entry answers its
// failure value instead, and closing destroys the object even when Close
// throws. The test module announces each throw, so a case whose throw never
// happened fails too.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include "plugin_path.h"
#include "sehost/sehost.h"
#include "throwing_protocol.h"

namespace {

struct HostLog {
    int throws = 0;
    int destroyed = 0;
    std::vector<TimedEvent> posted;
};
HostLog g_log;

se_result SE_CALL callback(void *, int32_t operation, int32_t, int32_t, void *pointer, float)
{
    switch (operation) {
    case THROWING_ABOUT_TO_THROW:
        ++g_log.throws;
        return 0;
    case THROWING_DESTROYED:
        ++g_log.destroyed;
        return 0;
    case HOST_POST_EVENT:
        g_log.posted.push_back(*static_cast<TimedEvent *>(pointer));
        return 0;
    default: // no pins, the clock at 0
        return 0;
    }
}

const sehost::Library &library()
{
    static std::shared_ptr<sehost::Library> lib =
        sehost::Library::load(se_test::plugin_path("sdk_throwing_module"));
    return *lib;
}

PlugRecord *make_dsp()
{
    return static_cast<PlugRecord *>(library().make_module_fn()(0, SE_MAKE_DSP, &callback, &g_log));
}

TimedEvent event_at_zero(int32_t kind, intptr_t data)
{
    TimedEvent e;
    std::memset(&e, 0, sizeof e);
    e.kind = kind;
    e.data = data;
    return e;
}

// One entry that throws inside the module: what the host does, and what
// the entry must answer.
struct Case {
    const char *name;
    std::function<se_result(PlugRecord *)> call;
    se_result answer;
};

} // namespace

TEST(SdkExceptions, NoneReachesTheHost)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows plug-ins are built without exceptions";
#endif
    const Case cases[] = {
        {"open", [](PlugRecord *r) { return r->dispatch(r, MOD_OPEN, 0, 0, nullptr, 0.0f); }, 0},
        {"message", [](PlugRecord *r) { return r->dispatch(r, MOD_MESSAGE, 0, 0, nullptr, 0.0f); },
         0},
        {"process",
         [](PlugRecord *r) {
             r->process(r->object, 0, 16);
             return se_result(1);
         },
         1},
        {"MIDI event",
         [](PlugRecord *r) {
             TimedEvent e = event_at_zero(EV_MIDI, 0);
             r->event(r->object, &e);
             return se_result(1);
         },
         1},
        {"run-function event",
         [](PlugRecord *r) {
             EXPECT_EQ(g_log.posted.size(), 1u); // posted by Open
             if (g_log.posted.empty())
                 return se_result(-1);
             TimedEvent e = g_log.posted.front();
             r->event(r->object, &e);
             return se_result(1);
         },
         1},
    };

    g_log = HostLog{};
    PlugRecord *record = make_dsp();
    ASSERT_NE(record, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int before = g_log.throws;
        se_result answer = -1;
        EXPECT_NO_THROW(answer = c.call(record));
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(g_log.throws, before + 1) << "the module did not throw";
    }

    // Close throws too; the object is destroyed all the same.
    se_result closed = 0;
    EXPECT_NO_THROW(closed = record->dispatch(record, MOD_CLOSE, 0, 0, nullptr, 0.0f));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(g_log.throws, int(std::size(cases)) + 1);
    EXPECT_EQ(g_log.destroyed, 1);
}

TEST(SdkExceptions, AConstructorThatThrowsMakesNoModule)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows plug-ins are built without exceptions";
#endif
    g_log = HostLog{};
    void *made = reinterpret_cast<void *>(1);
    EXPECT_NO_THROW(
        made = library().make_module_fn()(0, SE_MAKE_DSP, &callback, THROWING_IN_CONSTRUCTOR));
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(g_log.throws, 1);
}

TEST(SdkExceptions, TheGuiSideAnswersZeroAndStillCloses)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows plug-ins are built without exceptions";
#endif
    g_log = HostLog{};
    auto *gui =
        static_cast<GuiPlugRecord *>(library().make_module_fn()(0, SE_MAKE_GUI, &callback, &g_log));
    ASSERT_NE(gui, nullptr);
    se_result answer = -1;
    EXPECT_NO_THROW(answer = gui->dispatcher(gui, GUI_OP_DSP_MESSAGE, 0, 1, nullptr, 0.0f));
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(g_log.throws, 1);
    EXPECT_NO_THROW(answer = gui->dispatcher(gui, GUI_OP_CLOSE, 0, 0, nullptr, 0.0f));
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(g_log.throws, 2);
    EXPECT_EQ(g_log.destroyed, 1);
}
