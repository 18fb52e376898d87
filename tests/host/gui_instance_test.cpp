// gui_instance_test.cpp - the GUI value store, notifications, echo, idle,
// and the two sides of one instance joined through the host.
#include <gtest/gtest.h>

#include "fixture_support.h"

using namespace host_test;
using sehost::GuiValue;
using sehost::HostError;

namespace {

std::unique_ptr<sehost::GuiInstance> make_gui(sehost::HostConfig config = {})
{
    return sehost::GuiInstance::make(fixture(), sehost::learn_pins(fixture()), config);
}

TEST(HostGuiStore, StoredValueIsFoundAtInitialise)
{
    const struct {
        bool preset;
        float read;
    } cases[] = {{false, 2.5f}, {true, 7.5f}};
    for (const auto &c : cases) {
        auto gui = make_gui();
        ASSERT_NE(gui, nullptr);
        if (c.preset)
            gui->set_pin(4, 7.5); // before initialise: no notification
        gui->initialise();
        FixGuiLog log = gui_log(*gui);
        EXPECT_EQ(log.initialised, 2); // index 1
        EXPECT_EQ(log.gui_at_init, c.read);
        EXPECT_EQ(log.changes, 0);
        ASSERT_EQ(gui->writes().size(), 1u);
        EXPECT_EQ(gui->writes()[0].pin, 4);
        EXPECT_EQ(gui->writes()[0].kind, GuiValue::Kind::Float);
        EXPECT_EQ(gui->writes()[0].f, c.read + 1.0f);
        EXPECT_EQ(gui->float_value(4), c.read + 1.0f);
    }
}

TEST(HostGuiStore, ChangesFromOutsideNotifyAndReadAsText)
{
    auto gui = make_gui();
    gui->initialise();
    EXPECT_EQ(gui->int_value(2), 5); // default "B"
    gui->set_pin(2, 6);
    FixGuiLog log = gui_log(*gui);
    EXPECT_EQ(log.changes, 1);
    EXPECT_EQ(log.last_changed, 2);
    EXPECT_STREQ(log.text, "6");
    EXPECT_EQ(log.wide[0], u'6');
    EXPECT_EQ(log.wide[1], 0);
    gui->set_pin_text(2, "C");
    EXPECT_EQ(gui->int_value(2), 6); // a label is read back as its number
    EXPECT_STREQ(gui_log(*gui).text, "C");
    EXPECT_THROW(gui->set_pin(8, 1), HostError);
}

TEST(HostGuiStore, OwnWritesEchoBackWhenAsked)
{
    sehost::HostConfig config;
    config.gui_echo = true;
    auto gui = make_gui(config);
    gui->initialise();
    FixGuiLog log = gui_log(*gui);
    EXPECT_EQ(log.changes, 1);
    EXPECT_EQ(log.nested, 1); // inside the module's own write
    EXPECT_EQ(log.last_changed, 4);
}

// A throw of the host's own handler inside the module's request waits until
// the module's call has returned: the module runs to its end and the host's
// call depth is back at zero.
TEST(HostGuiStore, AHandlersThrowIsRaisedWhenTheModulesCallHasReturned)
{
    auto gui = make_gui();
    gui->initialise();
    gui->on_write = [](int, const GuiValue &) { throw HostError("handler failed"); };
    try {
        gui->set_pin(3, 0); // the fixture answers by writing pin 5 inside its call
        ADD_FAILURE() << "the handler's throw was lost";
    } catch (const HostError &e) {
        EXPECT_STREQ(e.what(), "handler failed");
    }
    EXPECT_EQ(gui->value(5).i, 1); // stored before the handler ran
    gui->on_write = nullptr;
    gui->set_pin(2, 6);
    // The fixture counts a change inside its own write as nested; unwound
    // halfway through that write, it would still think itself inside it.
    EXPECT_EQ(gui_log(*gui).nested, 0);
    EXPECT_TRUE(gui->errors().empty());
    gui->host_request(GUI_HOST_SET_IDLE, 0, 0, nullptr, 0.0f); // from no call of the host's
    ASSERT_EQ(gui->errors().size(), 1u);
    EXPECT_NE(gui->errors()[0].find("made outside the host's calls"), std::string::npos)
        << gui->errors()[0];
}

TEST(HostGuiStore, IdleWhileRequested)
{
    auto gui = make_gui();
    EXPECT_THROW(gui->idle(), HostError); // before initialise
    gui->initialise();
    EXPECT_EQ(gui->run_idle(), 0);
    gui->set_pin(1, 1.0); // the fixture asks for idle calls here
    EXPECT_TRUE(gui->idle_requested());
    EXPECT_EQ(gui->run_idle(), 3); // it ends them on the third
    EXPECT_FALSE(gui->idle_requested());
    EXPECT_EQ(gui_log(*gui).idle_calls, 3);
    gui->close();
    EXPECT_THROW(gui->dispatch(GUI_OP_IDLE), HostError);
}

TEST(HostBothSides, MessagesAndBothSidesPinsCross)
{
    sehost::HostConfig config = small_blocks();
    config.repeat_copies = 1;
    sehost::Module m(fixture(), config);
    ASSERT_TRUE(m.has_gui());
    m.open();
    m.run(100);
    // the fixture's GUI side answers a change of pin 3 by writing pin 5 ("Both")
    m.set_gui_pin(3, 0);
    m.run(100);
    auto events = entries(m.dsp(), FIX_EVENT);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[5].clock, 100u);
    EXPECT_EQ(events[5].c, 4); // DSP index of "Both"
    EXPECT_EQ(events[5].b, STATUS_CHANGED);
    EXPECT_EQ(events[5].both, 1);

    misbehave(m.dsp(), FIX_DO_ANNOUNCE);
    m.run(10);
    EXPECT_EQ(gui_log(*m.gui()).last_message, 995);
}

} // namespace
