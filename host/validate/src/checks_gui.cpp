// checks_gui.cpp - the GUI side under operations the host may send:
// unknown operation numbers, idle calls asked for or not, notifications
// for pins nobody declared, and pin writes echoed back re-entrantly.
#include <climits>
#include <cmath>
#include <limits>
#include <set>

#include "check.h"

namespace sevalidate {
namespace {

std::unique_ptr<sehost::GuiInstance> make_gui(Context &ctx, Report &rep, sehost::HostConfig cfg = {}) {
    auto gui = sehost::GuiInstance::make(ctx.library(), sehost::learn_pins(ctx.library()), cfg);
    if (!gui)
        rep.skip("no GUI side (makeModule type 2 answers null)");
    return gui;
}

void gui_operations(Context &ctx, Report &rep) {
    auto gui = make_gui(ctx, rep);
    if (!gui)
        return;
    gui->initialise(1);
    for (int32_t op : {13, 14, 100, -1, INT_MIN, INT_MAX}) {
        se_result a = gui->dispatch(op, 1, 1, nullptr, 1.0f);
        if (a != 0)
            rep.fail("GUI operation " + std::to_string(op) + " answered " + std::to_string(a) + ", not 0");
    }
    for (int32_t op : {2, 3, 4, 5, 8, 9, 11, 12}) {
        se_result a = gui->dispatch(op, 3, -2, nullptr, 0.5f);
        if (a != 0)
            rep.fail("forwarded GUI operation " + std::to_string(op) + " answered " + std::to_string(a));
    }
    for (int32_t index : {0, 2, -1}) // initialise again with other flags
        gui->dispatch(GUI_OP_INITIALISE, index);
    gui->close();
}

void gui_idle(Context &ctx, Report &rep) {
    auto gui = make_gui(ctx, rep);
    if (!gui)
        return;
    gui->initialise(1);
    gui->idle(); // not asked for: must answer 0 or 1 all the same
    gui->idle();
    // Provoke requests for idle calls: every GUI-side input on and off.
    const auto pins = gui->pins();
    int calls = 0;
    for (int round = 0; round < 3; ++round)
        for (const auto &d : pins)
            if (d.is_gui_pin() && d.is_input()) {
                gui->set_pin(d.number, round == 1 ? 0.0 : 1.0);
                calls += gui->run_idle(20);
            }
    rep.note(std::to_string(calls) + " idle calls while asked for; idle " +
             (gui->idle_requested() ? "still asked for" : "not asked for") + " at the end");
    gui->close();
}

void gui_undeclared(Context &ctx, Report &rep) {
    sehost::HostConfig cfg;
    cfg.throw_on_module_error = false;
    auto gui = make_gui(ctx, rep, cfg);
    if (!gui)
        return;
    gui->initialise(1);
    const int32_t n = static_cast<int32_t>(gui->pins().size());
    for (int32_t index : {n, n + 1, n + 1000, -1, INT_MAX, INT_MIN}) {
        se_result a = gui->dispatch(GUI_OP_PIN_VALUE_CHANGED, index);
        if (a != 0)
            rep.fail("GUI_OP_PIN_VALUE_CHANGED(" + std::to_string(index) + ") answered " + std::to_string(a));
    }
    std::set<std::string> seen;
    for (const std::string &e : gui->errors())
        if (seen.insert(e).second)
            rep.warn("a notification for an undeclared pin made the module ask about it: " + e);
    gui->close();
}

// Pin writes echoed back from inside the write, as a real host may, with
// values both ordinary and odd, and stored values found at initialise.
void gui_echo(Context &ctx, Report &rep) {
    sehost::HostConfig cfg;
    cfg.gui_echo = true;
    auto lib = ctx.library();
    sehost::Module mod(lib, cfg);
    sehost::GuiInstance *gui = mod.gui();
    if (!gui) {
        rep.skip("no GUI side (makeModule type 2 answers null)");
        return;
    }
    const auto pins = gui->pins();
    for (const auto &d : pins)
        if (d.is_gui_pin() && (d.flags & IO_PATCH_STORE))
            gui->set_pin(d.number, ctx.rng.below(2)); // stored with the patch
    mod.open();
    const double odd[] = {0.5, 0.4999, 1.0, 0.0, -1.0, 2.0, 1e30, -0.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
    size_t writes = 0;
    for (int round = 0; round < 40; ++round) {
        for (const auto &d : pins) {
            if (!d.is_gui_pin() || !d.is_input())
                continue;
            double v;
            if (d.datatype == DT_FLOAT32)
                v = odd[ctx.rng.below(10)];
            else if (d.datatype == DT_CHOICE)
                v = ctx.rng.range(-2, 3);
            else
                v = ctx.rng.below(2);
            if (ctx.rng.below(3) == 0)
                continue;
            mod.set_gui_pin(d.number, v);
            writes += gui->writes().size();
            gui->clear_writes();
            gui->run_idle(4);
        }
        mod.run(64);
    }
    rep.note(std::to_string(writes) + " module writes, each echoed back at once");
    mod.close();
}

void gui_dsp_messages(Context &ctx, Report &rep) {
    auto gui = make_gui(ctx, rep);
    if (!gui)
        return;
    gui->initialise(1);
    for (int32_t v : {0, -1, 994, 996, INT_MAX, INT_MIN, 995})
        gui->dsp_message(v, ctx.rng.range(-1, 2));
    gui->close();
}

} // namespace

void add_gui_checks(std::vector<CheckInfo> &out) {
    out.push_back({"gui.operations", gui_operations, nullptr});
    out.push_back({"gui.idle", gui_idle, nullptr});
    out.push_back({"gui.undeclared_pins", gui_undeclared, nullptr});
    out.push_back({"gui.echo", gui_echo, nullptr});
    out.push_back({"gui.dsp_messages", gui_dsp_messages, nullptr});
}

} // namespace sevalidate
