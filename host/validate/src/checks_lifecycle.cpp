// checks_lifecycle.cpp - creating, opening and closing instances in the
// orders the host may use.
#include <climits>
#include <memory>

#include "scenario.h"

namespace sevalidate {
namespace {

// Requests that announce or change something: none may come from an object
// that has not been opened.
bool announces(int32_t op)
{
    return op == HOST_SET_PIN_STATUS || op == HOST_SEND_MIDI || op == HOST_SEND_TO_GUI ||
           op == HOST_POST_EVENT || op == HOST_SLEEP;
}

void create_close(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    for (int k = 0; k < 3; ++k) {
        sehost::DspInstance dsp(lib); // makeModule, declarations
        dsp.close();                  // MOD_CLOSE without MOD_OPEN
        for (const sehost::Request &r : dsp.requests())
            if (announces(r.op))
                rep.fail("request " + std::to_string(r.op) + " (index " + std::to_string(r.index) +
                         ") from a DSP object that was never opened (creation or MOD_CLOSE)");
        if (rep.failed())
            return;
    }
    auto pins = sehost::learn_pins(lib);
    auto gui = sehost::GuiInstance::make(lib, pins);
    if (!gui) {
        rep.note("no GUI side (makeModule type 2 answers null)");
        return;
    }
    gui->close(); // GUI_OP_CLOSE without GUI_OP_INITIALISE
    for (const sehost::GuiWrite &w : gui->writes())
        rep.fail("GUI side wrote pin " + std::to_string(w.pin) + " before GUI_OP_INITIALISE");
}

// A host that gives no pins: Open creates none.  The module must then name
// no pin in its requests; one that reaches for a pin of its own is stopped
// by the SDK's own check, which the contract allows.
void zero_pins(Context &ctx, Report &rep)
{
    sehost::HostConfig cfg;
    cfg.pin_count = 0;
    cfg.throw_on_module_error = false;
    sehost::DspInstance dsp(ctx.library(), cfg);
    dsp.open();
    dsp.close();
    for (const std::string &e : dsp.errors())
        rep.fail("with a pin count of 0: " + e);
    rep.note("opened and closed with a pin count of 0");
}

// Statuses at open and in the first stretch: for output pins only.
void check_status_pins(const sehost::DspInstance &dsp, Report &rep, const std::string &when)
{
    for (const sehost::StatusOut &st : dsp.statuses()) {
        const auto &pins = dsp.dsp_pins();
        if (st.pin < 0 || static_cast<size_t>(st.pin) >= pins.size())
            continue; // the host reports unknown pins itself
        if (pins[static_cast<size_t>(st.pin)].direction != DR_OUT)
            rep.fail(when + ": status " + std::to_string(st.status) + " announced for input pin " +
                     std::to_string(st.pin));
    }
}

void open_close(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    {
        sehost::Module m(lib);
        m.open();
        check_status_pins(m.dsp(), rep, "at open");
        m.close(); // right after open: no process call, no event
    }
    {
        sehost::Module m(lib);
        m.open();
        m.run(1);
        check_status_pins(m.dsp(), rep, "at open and in the first sample");
        m.close();
    }
    rep.note("closed right after open, and after one sample");
}

// Several instances at once, driven in turns: identical instances must
// give identical output (nothing shared but ProcessInfo).
void instances(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    ScenarioPlan plan;
    plan.block_size = 128;
    plan.blocks = 3;
    Scenario s = make_scenario(ctx, plan, t, ctx.rng);
    std::vector<std::unique_ptr<sehost::Module>> mods;
    for (int k = 0; k < 4; ++k) {
        mods.emplace_back(new sehost::Module(ctx.library(), s.config));
        mods.back()->open();
    }
    // Different settings on instance 3 (if it has any).
    for (const auto &p : mods[3]->dsp().dsp_pins())
        if (p.datatype == DT_CHOICE && p.direction != DR_OUT && p.decl >= 0)
            mods[3]->dsp().set_value(p.index, 0, 0);
    std::vector<std::vector<std::vector<float>>> out(4);
    for (int k = 0; k < 4; ++k)
        for (const auto &p : mods[static_cast<size_t>(k)]->dsp().dsp_pins())
            if (p.datatype == DT_FSAMPLE && p.direction == DR_OUT)
                mods[static_cast<size_t>(k)]->dsp().capture(p.index);
    for (uint32_t b = 0; b < 4; ++b)
        for (int k : {2, 0, 3, 1})
            mods[static_cast<size_t>(k)]->run_block();
    // Instances 1 and 2 run the same settings as instance 0.
    const auto &d0 = mods[0]->dsp();
    for (int k = 1; k < 3; ++k) {
        const auto &dk = mods[static_cast<size_t>(k)]->dsp();
        const std::string who = "instances 0 and " + std::to_string(k) + " with equal settings";
        for (const auto &p : d0.dsp_pins())
            if (p.datatype == DT_FSAMPLE && p.direction == DR_OUT &&
                d0.captured(p.index) != dk.captured(p.index))
                rep.fail(who + " differ on output pin " + std::to_string(p.index));
        const auto a = d0.statuses(), b = dk.statuses();
        bool same = a.size() == b.size();
        for (size_t i = 0; same && i < a.size(); ++i)
            same = a[i].pin == b[i].pin && a[i].status == b[i].status && a[i].stamp == b[i].stamp;
        if (!same)
            rep.fail(who + " announce different statuses");
        const auto x = d0.midi_out(), y = dk.midi_out();
        same = x.size() == y.size();
        for (size_t i = 0; same && i < x.size(); ++i)
            same = x[i].pin == y[i].pin && x[i].message == y[i].message && x[i].stamp == y[i].stamp;
        if (!same)
            rep.fail(who + " send different MIDI");
    }
    // Close out of creation order.
    for (int k : {1, 3, 0, 2})
        mods[static_cast<size_t>(k)]->close();
    rep.note("4 instances at once, closed in the order 1 3 0 2");
}

// Sample rates and block sizes set before open, unusual ones included.
void rates_blocks(Context &ctx, Report &rep)
{
    const Traits &t = ctx.traits();
    static const struct {
        float rate;
        int32_t block;
    } combos[] = {{44100.0f, 1},   {8000.0f, 7},     {96000.0f, 4096},
                  {192000.0f, 33}, {22050.0f, 1000}, {48000.0f, 2}};
    for (const auto &c : combos) {
        ScenarioPlan plan;
        plan.block_size = c.block;
        plan.sample_rate = c.rate;
        plan.blocks = c.block < 64 ? 200 / static_cast<uint32_t>(c.block) + 2 : 3;
        Scenario s = make_scenario(ctx, plan, t, ctx.rng);
        RunResult r = run_scenario(ctx, s, Split::Random, ctx.rng.next(), t, rep);
        check_outputs_finite(r, rep,
                             " at " + std::to_string(static_cast<int>(c.rate)) + " Hz, block " +
                                 std::to_string(c.block));
    }
    rep.note("6 pairs of sample rate and block size, block sizes 1 to 4096");
}

// Operation codes the module has no use for answer 0 and do nothing.
void dispatch_codes(Context &ctx, Report &rep)
{
    sehost::DspInstance dsp(ctx.library());
    dsp.open();
    for (int32_t op : {4, 5, 9, 11, 14, 15, 100, -1, INT_MIN, INT_MAX}) {
        se_result a = dsp.dispatch(op, 1, 1, nullptr, 1.0f);
        if (a != 0)
            rep.fail("dispatcher operation " + std::to_string(op) + " answered " +
                     std::to_string(a));
    }
    for (int32_t index : {0, -3, 2}) {
        se_result a = dsp.dispatch(MOD_NOTIFY, index);
        if (a != 0)
            rep.fail("MOD_NOTIFY(" + std::to_string(index) + ") answered " + std::to_string(a));
    }
    if (dsp.dispatch(MOD_MESSAGE, 1, 2, nullptr) != 0)
        rep.fail("MOD_MESSAGE answered non-zero");
    dsp.run_block();
    dsp.close();
}

} // namespace

void add_lifecycle_checks(std::vector<CheckInfo> &out)
{
    out.push_back({"lifecycle.create_close", create_close, nullptr, 1});
    out.push_back({"lifecycle.zero_pins", zero_pins, "m_pins != 0", 1});
    out.push_back({"lifecycle.open_close", open_close, nullptr, 1});
    out.push_back({"lifecycle.instances", instances, nullptr, 2});
    out.push_back({"lifecycle.rates_blocks", rates_blocks, nullptr, 3});
    out.push_back({"lifecycle.dispatch_codes", dispatch_codes, nullptr, 1});
}

} // namespace sevalidate
