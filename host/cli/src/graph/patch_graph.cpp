// patch_graph.cpp - creating, wiring, ordering and setting up the instances
// of a patch, and carrying along its connections as it runs.
#include "graph/patch_graph.h"

#include <cctype>

#include <algorithm>
#include <utility>

#include "common/errors.h"
#include "common/safe_names.h"
#include "graph/node_order.h"
#include "patch/plugin_find.h"

namespace secli {

PatchGraph::PatchGraph(const Patch &patch, const GraphConfig &config, GraphDriver &driver)
    : m_patch(patch), m_config(config), m_driver(driver)
{
    build();
}

std::string PatchGraph::label(size_t n, int dsp_pin) const
{
    const sehost::DspInstance &dsp = m_nodes[n].mod->dsp();
    const sehost::DspPin &p = dsp.dsp_pins()[static_cast<size_t>(dsp_pin)];
    const sehost::PinDecl &d = dsp.pins()[static_cast<size_t>(p.decl)];
    return p.copy ? d.name + "[" + std::to_string(p.index - d.dsp_index) + "]" : d.name;
}

void PatchGraph::build()
{
    if (m_patch.modules.empty())
        throw InputError(m_patch.origin + ": the patch has no modules");
    std::map<std::string, std::shared_ptr<sehost::Library>> libs;
    // Instance names name output files: two that differ only in case would
    // be one file where case is not told apart (Windows, macOS).
    std::map<std::string, const ModuleSpec *> folded_names;
    m_nodes.reserve(m_patch.modules.size());
    for (const ModuleSpec &definition : m_patch.modules) {
        if (m_by_name.count(definition.name) ||
            std::any_of(m_patch.sources.begin(), m_patch.sources.end(),
                        [&](auto &s) { return s.name == definition.name; }))
            throw InputError(definition.where + ": the name \"" + definition.name +
                             "\" is used twice");
        check_instance_name(definition.name, definition.where + ".name");
        std::string folded = definition.name;
        for (char &c : folded)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (auto [at, fresh] = folded_names.emplace(folded, &definition); !fresh) {
            const ModuleSpec &first = *at->second;
            throw InputError(definition.where + ".name: \"" + definition.name +
                             "\" differs from \"" + first.name + "\" (" +
                             first.where.substr(first.where.rfind(": ") + 2) +
                             ") only in case; instance names name output files, and many file "
                             "systems do not tell them apart");
        }
        GraphNode node;
        node.definition = definition;
        std::string path = find_plugin(definition.plugin, definition.where + ".plugin");
        try {
            if (!libs.count(path))
                libs[path] = sehost::Library::load(path);
            node.module_name = libs[path]->properties().name;
            sehost::HostConfig cfg;
            cfg.sample_rate = static_cast<float>(m_config.rate);
            cfg.block_size = static_cast<int32_t>(m_config.block);
            cfg.host_version = m_patch.host_version;
            cfg.repeat_copies = definition.repeat;
            node.mod.reset(new sehost::Module(libs[path], cfg));
        } catch (const sehost::HostError &e) {
            throw InputError(definition.where + ": " + e.what());
        }
        const sehost::DspInstance &dsp = node.mod->dsp();
        const size_t pins = dsp.dsp_pins().size(), decls = dsp.pins().size();
        node.status_targets.resize(pins);
        node.gui_targets.resize(decls);
        node.wired_in.assign(pins + decls, false);
        node.fed.assign(pins, false);
        for (const sehost::DspPin &p : dsp.dsp_pins())
            if (p.datatype == DT_MIDI && p.direction == DR_IN && node.midi_in < 0)
                node.midi_in = p.index;
        m_by_name[definition.name] = m_nodes.size();
        m_nodes.push_back(std::move(node));
    }
    for (const Wire &w : m_patch.wires)
        wire(w);
    settle_order();
    for (size_t n = 0; n < m_nodes.size(); ++n)
        apply_settings(n);
    for (size_t n = 0; n < m_nodes.size(); ++n)
        schedule(n);
}

SourceFill PatchGraph::source_fill(const SourceSpec &s)
{
    if (SourceFill own = m_driver.own_source(s))
        return own;
    m_sources.push_back(make_source(s.definition, m_config.rate, m_config.span, s.where));
    return m_sources.back().fill;
}

void PatchGraph::wire(const Wire &w)
{
    // The receiving end.
    size_t dot = w.to.find('.');
    if (dot == std::string::npos || !m_by_name.count(w.to.substr(0, dot)))
        throw InputError(w.where + ": \"" + w.to + "\" names no instance pin (write instance.Pin)");
    const size_t tn = m_by_name[w.to.substr(0, dot)];
    GraphNode &to_node = m_nodes[tn];
    sehost::DspInstance &dst = to_node.mod->dsp();
    PinPick to = pick_pin(dst, w.to.substr(dot + 1), Want::Input, w.where + ": to");
    const size_t slot = to.dsp >= 0 && !to.gui
                            ? static_cast<size_t>(to.dsp)
                            : dst.dsp_pins().size() + static_cast<size_t>(to.decl);
    if (to_node.wired_in[slot] && to.datatype != DT_MIDI)
        throw InputError(w.where + ": input \"" + w.to + "\" is already wired");
    to_node.wired_in[slot] = true;

    // A host source?
    for (const SourceSpec &s : m_patch.sources) {
        if (s.name != w.from)
            continue;
        if (to.datatype != DT_FSAMPLE || to.dsp < 0)
            throw InputError(w.where + ": source \"" + s.name + "\" is audio, but \"" + w.to +
                             "\" is a " + wire_kind(to.datatype) + " pin");
        dst.set_source(to.dsp, m_driver.input_fill(tn, to.dsp, source_fill(s)));
        to_node.fed[static_cast<size_t>(to.dsp)] = true;
        to_node.wired_from[to.decl] =
            "source " + s.name + " (" + (s.shown.empty() ? s.definition : s.shown) + ")";
        m_wire_ends.push_back(WireEnd{tn, to, true});
        return;
    }
    dot = w.from.find('.');
    if (dot == std::string::npos || !m_by_name.count(w.from.substr(0, dot))) {
        std::vector<std::string> names;
        for (auto &s : m_patch.sources)
            names.push_back(s.name);
        for (auto &n : m_nodes)
            names.push_back(n.definition.name + ".PIN");
        throw InputError(w.where + ": \"" + w.from +
                         "\" names no source or instance pin; known: " + quoted_list(names));
    }
    const size_t fn = m_by_name[w.from.substr(0, dot)];
    GraphNode &from_node = m_nodes[fn];
    PinPick from =
        pick_pin(from_node.mod->dsp(), w.from.substr(dot + 1), Want::Output, w.where + ": from");
    if (std::string(wire_kind(from.datatype)) != wire_kind(to.datatype))
        throw InputError(w.where + ": cannot wire " + wire_kind(from.datatype) + " output \"" +
                         w.from + "\" to " + wire_kind(to.datatype) + " input \"" + w.to + "\"");
    if (from.gui != to.gui)
        throw InputError(w.where + ": \"" + (from.gui ? w.from : w.to) +
                         "\" is a GUI-side pin and \"" + (from.gui ? w.to : w.from) +
                         "\" is not; GUI pins wire only to GUI pins");
    m_wire_ends.push_back(WireEnd{tn, to, false});
    if (from.gui) {
        from_node.gui_targets[static_cast<size_t>(from.decl)].push_back(Target{tn, to});
        to_node.wired_from[to.decl] = "wired from " + w.from;
        return;
    }
    if (fn == tn && from.datatype == DT_FSAMPLE)
        throw InputError(w.where + ": audio loop: \"" + w.from + "\" feeds its own instance");
    // A MIDI input merges several outputs, but each only once: a doubled
    // wire would double every message (and, in a loop, double it again on
    // every pass).
    std::vector<Target> &targets = from_node.status_targets[static_cast<size_t>(from.dsp)];
    for (const Target &t : targets)
        if (t.node == tn && t.pin.dsp == to.dsp)
            throw InputError(w.where + ": \"" + w.from + "\" is already wired to \"" + w.to + "\"");
    targets.push_back(Target{tn, to});
    std::string &feed = to_node.wired_from[to.decl];
    feed += (feed.empty() ? "wired from " : ", ") + w.from;
    if (to.datatype != DT_MIDI)
        to_node.fed[static_cast<size_t>(to.dsp)] = true;
    if (to.datatype == DT_FSAMPLE) {
        sehost::DspInstance *src = &from_node.mod->dsp();
        const int out = from.dsp;
        const uint32_t block = m_config.block;
        // The source instance has run this block already (audio order).
        SourceFill read = [src, out, block](uint32_t first, uint32_t count, float *buf) {
            read_ring(src->output(out), block, first, count, buf);
        };
        dst.set_source(to.dsp, m_driver.input_fill(tn, to.dsp, std::move(read)));
        dst.set_status(to.dsp, STATUS_STILL); // until the output announces itself
    }
}

// Audio connections fix the order; value and MIDI connections are followed
// too when they leave no loop.
void PatchGraph::settle_order()
{
    auto sort = [&](bool audio_only) {
        std::vector<std::vector<size_t>> next(m_nodes.size());
        for (size_t a = 0; a < m_nodes.size(); ++a)
            for (auto &targets : m_nodes[a].status_targets)
                for (const Target &t : targets)
                    if ((!audio_only || t.pin.datatype == DT_FSAMPLE) && t.node != a)
                        next[a].push_back(t.node);
        return order_nodes(next, m_order);
    };
    if (sort(false) || sort(true))
        return;
    std::vector<std::string> names;
    std::vector<bool> placed(m_nodes.size(), false);
    for (size_t i : m_order)
        placed[i] = true;
    for (size_t i = 0; i < m_nodes.size(); ++i)
        if (!placed[i])
            names.push_back(m_nodes[i].definition.name);
    // The first connection between two instances of the loop.
    auto in_loop = [&](const std::string &end) {
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string &n) { return end.rfind(n + ".", 0) == 0; });
    };
    std::string where = m_patch.origin;
    for (const Wire &w : m_patch.wires)
        if (in_loop(w.from) && in_loop(w.to)) {
            where = w.where;
            break;
        }
    throw InputError(where + ": audio connections form a loop through " + quoted_list(names));
}

void PatchGraph::apply_settings(size_t n)
{
    GraphNode &node = m_nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    const ModuleSpec &d = node.definition;
    // An input a connection or a source feeds starts from what they give.
    // An audio input stays theirs (the stream fills it every block); a
    // value input may take a timed change, which holds until its
    // connection carries the next value.
    auto refuse_fed = [&](const PinPick &p, const std::string &where, bool timed) {
        if (!p.gui && p.dsp >= 0 && node.fed[static_cast<size_t>(p.dsp)] &&
            (!timed || p.datatype == DT_FSAMPLE))
            throw InputError(where + ": \"" + p.label + "\" is wired; it cannot be set as well");
    };
    for (const Setting &s : d.set) {
        PinPick p = pick_pin(dsp, s.pin, Want::Input, s.where);
        refuse_fed(p, s.where, false);
        if (p.datatype == DT_FSAMPLE && looks_like_source(s.value)) {
            m_sources.push_back(make_source(s.value, m_config.rate, m_config.span, s.where));
            dsp.set_source(p.dsp, m_driver.input_fill(n, p.dsp, m_sources.back().fill));
            node.fed[static_cast<size_t>(p.dsp)] = true;
            node.applied.push_back(Applied{&s, p, true, 0.0});
            continue;
        }
        double v = parse_value(dsp.pins()[static_cast<size_t>(p.decl)], s.value, s.where);
        if (p.gui)
            node.mod->set_gui_pin(p.decl, v); // before open: the stored patch value
        else
            dsp.set_value(p.dsp, v);
        node.applied.push_back(Applied{&s, p, false, v});
    }
    for (const TimedSetting &t : d.at) {
        PinPick p = pick_pin(dsp, t.pin, Want::Input, t.where);
        if (p.datatype == DT_FSAMPLE && looks_like_source(t.value))
            throw InputError(t.where + ": timed changes of audio pins take volts, not a source");
        double v = parse_value(dsp.pins()[static_cast<size_t>(p.decl)], t.value, t.where);
        if (m_config.end && t.time.clock(m_config.rate) >= *m_config.end)
            throw InputError(t.where + ": time lies at or after the end of the run");
        refuse_fed(p, t.where, true);
        const uint32_t index = static_cast<uint32_t>(&t - d.at.data());
        const uint64_t clock = t.time.clock(m_config.rate);
        if (p.gui)
            node.gui_timed.push_back(Timed{clock, Timed::kSet, p.decl, v, 0, index});
        else
            node.timed.push_back(Timed{clock, Timed::kSet, p.dsp, v, 0, index});
    }
    for (size_t i = 0; i < d.patch_changes.size(); ++i) {
        const uint64_t clock = d.patch_changes[i].first.clock(m_config.rate);
        if (m_config.end && clock >= *m_config.end)
            throw InputError(d.patch_changes[i].second +
                             ": time lies at or after the end of the run");
        node.timed.push_back(Timed{clock, Timed::kPatchChange, -1, 0.0, 0, uint32_t(i)});
    }
    if ((!d.midi.empty() || (d.midi_file && d.midi_file->messages > 0)) && node.midi_in < 0)
        throw InputError(d.midi_where + ": module \"" + d.name + "\" has no MIDI input");
    for (size_t i = 0; i < d.midi.size(); ++i) {
        const uint64_t clock = d.midi[i].time.clock(m_config.rate);
        if (!m_config.end || clock < *m_config.end)
            node.timed.push_back(
                Timed{clock, Timed::kMidi, node.midi_in, 0.0, d.midi[i].message, uint32_t(i)});
    }
    if (m_patch.split_seed)
        dsp.split_random(*m_patch.split_seed + static_cast<uint32_t>(n), m_patch.split_max);
}

// The timed inputs by clock, and the MIDI file read as the run goes.
void PatchGraph::schedule(size_t n)
{
    GraphNode &node = m_nodes[n];
    for (auto *list : {&node.timed, &node.gui_timed})
        std::stable_sort(list->begin(), list->end(),
                         [](const Timed &a, const Timed &b) { return a.clock < b.clock; });
    if (node.definition.midi_file)
        node.file.emplace(node.definition.midi_file, m_config.rate,
                          m_config.end.value_or(UINT64_MAX));
}

void PatchGraph::feed(size_t n, uint64_t before)
{
    GraphNode &node = m_nodes[n];
    sehost::DspInstance &dsp = node.mod->dsp();
    if (!dsp.is_open())
        return;
    FileMidi *file = node.file ? &*node.file : nullptr;
    for (;;) {
        const Timed *t = node.timed_fed < node.timed.size() ? &node.timed[node.timed_fed] : nullptr;
        const bool have_t = t && t->clock < before;
        const bool have_f = file && file->more && file->clock < before;
        if (!have_t && !have_f)
            return;
        // The file's messages come after the list's at equal clocks.
        if (have_f && (!have_t || file->clock < t->clock)) {
            dsp.queue_midi(static_cast<uint32_t>(file->clock), file->message);
            file->next();
            continue;
        }
        ++node.timed_fed;
        const uint32_t clock = static_cast<uint32_t>(t->clock);
        if (t->kind == Timed::kSet)
            dsp.set_value(t->pin, t->value, clock);
        else if (t->kind == Timed::kPatchChange)
            dsp.queue_patch_change(clock);
        else
            dsp.queue_midi(clock, t->message);
    }
}

void PatchGraph::carry(size_t n, const sehost::Request &r)
{
    if (r.op != HOST_SET_PIN_STATUS && r.op != HOST_SEND_MIDI)
        return;
    for (const Target &t : m_nodes[n].status_targets[static_cast<size_t>(r.index)]) {
        GraphNode &to = m_nodes[t.node];
        sehost::DspInstance &dst = to.mod->dsp();
        if (r.op == HOST_SEND_MIDI) {
            if (dst.clock() > r.stamp) {
                if (to.looped_clock != dst.clock()) {
                    to.looped_clock = dst.clock();
                    to.looped = 0;
                }
                if (++to.looped > max_looped_midi())
                    throw InputError(
                        m_patch.origin + ": MIDI feedback into \"" + to.definition.name + "." +
                        label(t.node, t.pin.dsp) + "\" grows without bound (over " +
                        std::to_string(max_looped_midi()) +
                        " messages in one block come back through a loop); a loop must pass each "
                        "message on at most once");
            }
            const uint32_t at = std::max(r.stamp, dst.clock());
            feed(t.node, uint64_t{at} + 1); // the patch's own inputs at that time come first
            dst.queue_midi(at, r.value);
            m_driver.carried_midi(t.node, t.pin.dsp, at, r.value);
            continue;
        }
        std::optional<uint32_t> at;
        if (dst.is_open()) {
            at = std::max(r.stamp, dst.clock());
            feed(t.node, uint64_t{*at} + 1);
        } else if (r.stamp != 0) {
            continue; // cannot happen: every instance opens at clock 0
        }
        if (t.pin.datatype == DT_FSAMPLE || !r.output_value) {
            dst.set_status(t.pin.dsp, r.value, at);
        } else {
            dst.set_value(t.pin.dsp, *r.output_value, at);
            m_driver.carried_value(t.node, t.pin.dsp, at.value_or(0), *r.output_value);
        }
    }
}

void PatchGraph::carry_gui(size_t n, int decl, double value)
{
    if (!m_gui_error.empty())
        return; // the run ends when the driver's call returns
    if (m_gui_depth >= 16) {
        const sehost::PinDecl &d = m_nodes[n].mod->dsp().pins()[static_cast<size_t>(decl)];
        m_gui_error = m_patch.origin + ": GUI connections from \"" + m_nodes[n].definition.name +
                      "." + d.name + "\" loop back on themselves";
        return;
    }
    ++m_gui_depth;
    for (const Target &t : m_nodes[n].gui_targets[static_cast<size_t>(decl)]) {
        if (!m_gui_error.empty())
            break;
        m_driver.write_gui(t.node, t.pin.decl, value);
    }
    --m_gui_depth;
}

std::string PatchGraph::take_gui_error()
{
    return std::exchange(m_gui_error, std::string());
}

} // namespace secli
