// checks_static.cpp - what a plug-in declares: exports, properties, pins.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "exports_table.h"

namespace sevalidate {
namespace {

void static_exports(Context &ctx, Report &rep)
{
    std::vector<std::string> names;
    std::string error;
    if (!read_exports(ctx.plugin, names, error)) {
        rep.fail("export table: " + error);
        return;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::vector<std::string> want = {"getModuleProperties", "makeModule"};
    if (names != want) {
        std::string found;
        for (const auto &n : names)
            found += " " + n;
        rep.fail("exports must be exactly getModuleProperties and makeModule; found:" + found);
    }
    ctx.library(); // both resolve by name
}

void static_properties(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    sehost::ModuleInfo info = lib->properties(); // answer 1, printable texts
    rep.note("name \"" + info.name + "\", identifier \"" + info.identifier + "\", flags " +
             std::to_string(info.flags) + ", SDK revision " + std::to_string(info.sdk_revision));
    if (info.name.empty() || info.identifier.empty())
        rep.fail("name or identifier is empty");
    for (int32_t index : {1, -1, 2, INT_MIN, INT_MAX}) {
        ModuleProperties p;
        std::memset(&p, 0, sizeof p);
        int32_t a = lib->get_properties_fn()(index, &p);
        if (a != 0)
            rep.fail("getModuleProperties(" + std::to_string(index) + ") answered " +
                     std::to_string(a) + ", not 0");
    }
    // makeModule with a wrong index or type creates nothing.
    static const struct {
        int32_t index, type;
    } bad[] = {{1, 1}, {-1, 1}, {0, 0}, {0, 3}, {0, -1}, {7, 2}, {INT_MAX, 1}};
    for (const auto &b : bad) {
        void *a = lib->make_module_fn()(b.index, b.type, nullptr, nullptr);
        if (a)
            rep.fail("makeModule(" + std::to_string(b.index) + ", " + std::to_string(b.type) +
                     ") answered an object instead of null");
    }
    if (!ctx.declared.empty() && ctx.traits().source.empty())
        rep.warn("no traits file given names the identifier \"" + info.identifier +
                 "\": the defaults apply");
    // The same answer a second time.
    sehost::ModuleInfo again = lib->properties();
    if (again.name != info.name || again.identifier != info.identifier ||
        again.sdk_revision != info.sdk_revision)
        rep.fail("getModuleProperties(0) answers differently on a second call");
}

bool is_number(const std::string &s, double &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

void check_declaration(const sehost::PinDecl &d, size_t count, Report &rep)
{
    std::string where = "pin " + std::to_string(d.number) + " \"" + d.name + "\"";
    if (d.name.empty() || !printable_text(d.name))
        rep.fail(where + ": name empty or not printable");
    if ((d.default_value && !printable_text(*d.default_value)) ||
        (d.list_text && !printable_text(*d.list_text)))
        rep.fail(where + ": default or list text not printable");
    // The patch-store condition of the SDK.
    if ((d.flags & IO_PATCH_STORE) && !(d.flags & IO_PRIVATE) && d.direction != DR_OUT &&
        !(d.flags & IO_UI_COMMUNICATION))
        rep.fail(where +
                 ": stored with the patch but neither private, an output nor a GUI-side pin");
    if ((d.flags & IO_REPEAT_LAST) && static_cast<size_t>(d.number) + 1 != count)
        rep.fail(where + ": IO_REPEAT_LAST on a declaration that is not the last");
    if ((d.flags & IO_BOTH_SIDES) && !(d.flags & IO_UI_COMMUNICATION))
        rep.warn(where + ": IO_BOTH_SIDES without IO_UI_COMMUNICATION");

    sehost::EnumList list;
    if (d.list_text) {
        try {
            list = sehost::EnumList::parse(*d.list_text, d.datatype == DT_FSAMPLE);
        } catch (const sehost::HostError &e) {
            rep.fail(where + ": list text does not parse: " + e.what());
            return;
        }
    }
    if (d.datatype == DT_CHOICE && d.direction != DR_OUT && !d.list_text)
        rep.warn(where + ": choice input without a list");
    if (d.datatype == DT_FSAMPLE && d.list_text &&
        list.kind() != sehost::EnumList::Kind::AudioRange)
        rep.fail(where + ": an audio pin's list text must be four numbers");
    if (!d.default_value || d.default_value->empty())
        return;
    const std::string &dv = *d.default_value;
    double v = 0.0;
    switch (d.datatype) {
    case DT_CHOICE: {
        bool numeric = is_number(dv, v);
        if (!numeric) {
            auto x = list.value_of(dv);
            if (!x) {
                rep.fail(where + ": default \"" + dv +
                         "\" is neither a number nor an entry of the list");
                return;
            }
            v = *x;
        }
        if (list.kind() == sehost::EnumList::Kind::Entries &&
            !list.label_of(static_cast<int32_t>(v)))
            rep.fail(where + ": default " + dv + " is not a value of the list \"" + list.text() +
                     "\"");
        if (list.kind() == sehost::EnumList::Kind::Range &&
            (v < list.range_min() || v > list.range_max()))
            rep.fail(where + ": default " + dv + " lies outside the range \"" + list.text() + "\"");
        break;
    }
    case DT_BOOLEAN:
        if (dv != "0" && dv != "1" && dv != "true" && dv != "false")
            rep.fail(where + ": bool default \"" + dv + "\"");
        break;
    case DT_FSAMPLE:
    case DT_FLOAT32:
        if (!is_number(dv, v))
            rep.fail(where + ": default \"" + dv + "\" is no number");
        break;
    default:
        break;
    }
}

// Pin names in the traits file must be audio pins of the right direction.
void check_traits_pins(const Traits &t, const std::vector<sehost::PinDecl> &pins, Report &rep)
{
    auto check = [&](const std::string &name, bool input, const char *key) {
        for (const auto &d : pins)
            if (d.name == name && d.datatype == DT_FSAMPLE && d.has_dsp_pin() &&
                d.is_input() == input)
                return;
        rep.fail(t.origin() + ": \"" + key + "\" names \"" + name + "\", not an audio " +
                 (input ? "input" : "output") + " of the module");
    };
    for (const InputRule &r : t.split_inputs)
        check(r.pin, true, "split_inputs");
    if (t.finite_needs)
        for (const std::string &n : *t.finite_needs)
            check(n, true, "finite_needs");
    for (const std::string &n : t.partial_outputs)
        check(n, false, "partial_outputs");
}

void static_pins(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    for (int32_t version : {100238, 0, 200000}) {
        sehost::HostConfig cfg;
        cfg.host_version = version;
        sehost::DspInstance dsp(lib, cfg); // every declaration readable
        const auto &pins = dsp.pins();
        if (version == 100238) {
            rep.note(std::to_string(pins.size()) + " pin declarations, " +
                     std::to_string(dsp.dsp_pins().size()) + " DSP pins");
            for (const auto &d : pins)
                check_declaration(d, pins.size(), rep);
            check_traits_pins(ctx.traits(), pins, rep);
        }
        // A number past the last pin answers 0 and leaves the record alone.
        for (int32_t n : {static_cast<int32_t>(pins.size()), static_cast<int32_t>(pins.size()) + 1,
                          static_cast<int32_t>(pins.size()) + 1000, -1}) {
            SEPinProperties rec, before;
            std::memset(&rec, 0xA5, sizeof rec);
            before = rec;
            se_result a = dsp.dispatch(MOD_GET_PIN_PROPERTIES, n, 0, &rec);
            if (a != 0)
                rep.fail("MOD_GET_PIN_PROPERTIES(" + std::to_string(n) + ") answered " +
                         std::to_string(a) + " (host version " + std::to_string(version) + ")");
            if (std::memcmp(&rec, &before, sizeof rec) != 0)
                rep.fail("MOD_GET_PIN_PROPERTIES(" + std::to_string(n) + ") wrote into the record");
        }
        // Declarations read twice give the same answers.
        sehost::DspInstance again(lib, cfg);
        if (again.pins().size() != pins.size())
            rep.fail("a second instance declares a different number of pins");
        else
            for (size_t k = 0; k < pins.size(); ++k)
                if (again.pins()[k].name != pins[k].name ||
                    again.pins()[k].flags != pins[k].flags ||
                    again.pins()[k].datatype != pins[k].datatype)
                    rep.fail("pin " + std::to_string(k) +
                             " is declared differently by a second instance");
        dsp.close();
        again.close();
    }
}

void static_process_info(Context &ctx, Report &rep)
{
    auto lib = ctx.library();
    sehost::DspInstance a(lib), b(lib);
    for (sehost::DspInstance *inst : {&a, &b}) {
        se_result r = inst->dispatch(MOD_GET_PROCESS_INFO);
        if (!r) {
            rep.fail("MOD_GET_PROCESS_INFO answered null");
            return;
        }
        const ProcessInfo *info = reinterpret_cast<const ProcessInfo *>(r);
        uintptr_t object = reinterpret_cast<uintptr_t>(inst->record()->object);
        uintptr_t ref = static_cast<uintptr_t>(info->reference);
        if (info->one != 1)
            rep.fail("ProcessInfo word 0 is " + std::to_string(info->one) + ", not 1");
        if (ref < object || ref >= object + 65536)
            rep.fail("ProcessInfo word 2 does not point into the module object");
        if (info->reference_size <= 0 || info->reference_size > 64)
            rep.warn("ProcessInfo word 1 (reference size) is " +
                     std::to_string(info->reference_size));
    }
    if (a.dispatch(MOD_GET_PROCESS_INFO) != b.dispatch(MOD_GET_PROCESS_INFO))
        rep.fail("MOD_GET_PROCESS_INFO answers a different record per instance");
}

} // namespace

void add_static_checks(std::vector<CheckInfo> &out)
{
    out.push_back(
        {kIdentityCheck,
         [](Context &ctx, Report &rep) { rep.note(ctx.library()->properties().identifier); },
         nullptr, kHiddenLevel});
    out.push_back({"static.exports", static_exports, nullptr, 1});
    out.push_back({"static.properties", static_properties, nullptr, 1});
    out.push_back({"static.pins", static_pins, nullptr, 1});
    out.push_back({"static.process_info", static_process_info, nullptr, 1});
}

} // namespace sevalidate
