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

std::unique_ptr<sehost::GuiInstance> make_gui(Context &ctx, Report &rep,
                                              sehost::HostConfig cfg = {})
{
    auto gui = sehost::GuiInstance::make(ctx.library(), sehost::learn_pins(ctx.library()), cfg);
    if (!gui)
        rep.note("no GUI side (makeModule type 2 answers null): nothing to check");
    return gui;
}

// Values the module wrote must be values of the pin: 0 or 1 for a bool, an
// entry of the list for a choice with entries.
void check_writes(const sehost::GuiInstance &gui, size_t from, Report &rep, const std::string &when)
{
    const auto &pins = gui.pins();
    const auto &writes = gui.writes();
    int shown = 0;
    for (size_t k = from; k < writes.size() && shown < 5; ++k) {
        const sehost::GuiWrite &w = writes[k];
        if (w.pin < 0 || static_cast<size_t>(w.pin) >= pins.size() ||
            w.kind == sehost::GuiValue::Kind::Text)
            continue;
        const sehost::PinDecl &d = pins[static_cast<size_t>(w.pin)];
        std::string bad;
        if (d.datatype == DT_BOOLEAN && w.i != 0 && w.i != 1)
            bad = "bool pin written " + std::to_string(w.i);
        if (d.datatype == DT_CHOICE && d.list_text) {
            sehost::EnumList list = sehost::EnumList::parse(*d.list_text);
            if (list.kind() == sehost::EnumList::Kind::Entries && !list.label_of(w.i))
                bad = "choice pin written " + std::to_string(w.i) + ", not a value of \"" +
                      *d.list_text + "\"";
        }
        if (!bad.empty()) {
            ++shown;
            rep.fail(when + ": pin " + std::to_string(w.pin) + " \"" + d.name + "\": " + bad);
        }
    }
}

void gui_operations(Context &ctx, Report &rep)
{
    auto gui = make_gui(ctx, rep);
    if (!gui)
        return;
    gui->initialise(1);
    for (int32_t op : {13, 14, 100, -1, INT_MIN, INT_MAX}) {
        se_result a = gui->dispatch(op, 1, 1, nullptr, 1.0f);
        if (a != 0)
            rep.fail("GUI operation " + std::to_string(op) + " answered " + std::to_string(a) +
                     ", not 0");
    }
    for (int32_t op : {2, 3, 4, 5, 8, 9, 11, 12}) {
        se_result a = gui->dispatch(op, 3, -2, nullptr, 0.5f);
        if (a != 0)
            rep.fail("forwarded GUI operation " + std::to_string(op) + " answered " +
                     std::to_string(a));
    }
    for (int32_t index : {0, 2, -1}) // initialise again with other flags
        gui->dispatch(GUI_OP_INITIALISE, index);
    gui->close();
}

// Idle calls answer 0 or 1 (the host checks), and idle calls asked for are
// ended by the time the object closes: the host would call a destroyed
// object otherwise.
void gui_idle(Context &ctx, Report &rep)
{
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
    const bool asked = gui->idle_requested();
    rep.note(std::to_string(calls) + " idle calls while asked for; idle " +
             (asked ? "still asked for" : "not asked for") + " before close");
    const size_t before = gui->requests().size();
    gui->close();
    bool ended = !asked;
    for (size_t k = before; k < gui->requests().size(); ++k)
        if (gui->requests()[k].op == GUI_HOST_SET_IDLE)
            ended = gui->requests()[k].index == 0;
    if (!ended)
        rep.fail("idle calls still asked for after GUI_OP_CLOSE: the host would call a destroyed "
                 "object");
}

void gui_undeclared(Context &ctx, Report &rep)
{
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
            rep.fail("GUI_OP_PIN_VALUE_CHANGED(" + std::to_string(index) + ") answered " +
                     std::to_string(a));
    }
    // Reading an undeclared pin is the host's to refuse (the SDK passes the
    // index through); writing one is the module's fault.
    for (const sehost::GuiRequest &r : gui->requests())
        if ((r.op == GUI_HOST_SET_PIN_VALUE || r.op == GUI_HOST_SET_PIN_TEXT) &&
            (r.index < 0 || r.index >= n))
            rep.fail("a notification for an undeclared pin made the module write pin " +
                     std::to_string(r.index));
    std::set<std::string> seen;
    if (!rep.failed())
        for (const std::string &e : gui->errors())
            if (seen.insert(e).second)
                rep.warn("a notification for an undeclared pin made the module ask about it: " + e);
    gui->close();
}

// Pin writes echoed back from inside the write, as a real host may, with
// values both ordinary and odd, and stored values found at initialise.  A
// module that writes its own pins from a notification must guard against
// the echo: writes that keep coming back never settle.
void gui_echo(Context &ctx, Report &rep)
{
    constexpr int kDeepest = 16;
    auto lib = ctx.library();
    sehost::Module mod(lib);
    sehost::GuiInstance *gui = mod.gui();
    if (!gui) {
        rep.note("no GUI side (makeModule type 2 answers null): nothing to check");
        return;
    }
    // The echo, made here so that its depth can be bounded.
    int depth = 0;
    bool endless = false;
    auto carry = gui->on_write;
    gui->on_write = [&](int pin, const sehost::GuiValue &v) {
        if (carry)
            carry(pin, v);
        if (depth >= kDeepest) {
            endless = true;
            return;
        }
        ++depth;
        gui->dispatch(GUI_OP_PIN_VALUE_CHANGED, pin);
        --depth;
    };
    const auto pins = gui->pins();
    for (const auto &d : pins)
        if (d.is_gui_pin() && (d.flags & IO_PATCH_STORE))
            gui->set_pin(d.number, ctx.rng.below(2)); // stored with the patch
    mod.open();
    const double odd[] = {0.5,
                          0.4999,
                          1.0,
                          0.0,
                          -1.0,
                          2.0,
                          1e30,
                          -0.0,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
    size_t writes = 0;
    for (int round = 0; round < 40 && !endless; ++round) {
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
    if (endless)
        rep.fail("a write echoed back made the module write again, " + std::to_string(kDeepest) +
                 " deep: its writes never settle");
    rep.note(std::to_string(writes) + " module writes, each echoed back at once");
    gui->on_write = carry;
    mod.close();
}

// Messages from the DSP side: those the module's own DSP side sends while it
// runs with patch changes, then arbitrary numbers.  What the GUI side writes
// in answer must be values of its pins.
void gui_dsp_messages(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    sehost::Module mod(lib);
    sehost::GuiInstance *gui = mod.gui();
    if (!gui) {
        rep.note("no GUI side (makeModule type 2 answers null): nothing to check");
        return;
    }
    mod.open();
    mod.dsp().queue_patch_change(100 + ctx.rng.below(800));
    mod.run(4096);
    const size_t sent = mod.dsp().gui_messages().size();
    check_writes(*gui, 0, rep, "after the DSP side's own messages");
    const size_t from = gui->writes().size();
    for (int32_t v : {0, -1, 1, 2, 3, 5, 7, 8, 16, 994, 996, INT_MAX, INT_MIN, 995})
        gui->dsp_message(v, ctx.rng.range(-1, 2));
    check_writes(*gui, from, rep, "after arbitrary messages");
    rep.note(std::to_string(sent) + " messages from the DSP side, 14 arbitrary ones");
    mod.close();
}

} // namespace

void add_gui_checks(std::vector<CheckInfo> &out)
{
    out.push_back({"gui.operations", gui_operations, nullptr, 1});
    out.push_back({"gui.idle", gui_idle, nullptr, 2});
    out.push_back({"gui.undeclared_pins", gui_undeclared, nullptr, 1});
    out.push_back({"gui.echo", gui_echo, nullptr, 2});
    out.push_back({"gui.dsp_messages", gui_dsp_messages, nullptr, 2});
}

} // namespace sevalidate
